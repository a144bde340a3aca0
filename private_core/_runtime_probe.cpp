// private_core._runtime_probe: a test-only module that exercises the native
// runtime on its own (conversions, parameter kinds, classes, dataclasses,
// protocols, call-time name lookup).  Built only for development installs.
#include "pcrt/pcrt.hpp"

namespace {
using namespace pcrt;

// Returns its arguments as a tuple, so tests can see what each rule produced.
Ref echo(Call& c) {
  return tuple({c[0], c[1], c[2], c[3], c[4], c[5], c[6], c[7], c[8], c[9]});
}

const FnSpec kConversions{
    "conversions",
    echo,
    {arg("s", "str", Conv::Str), arg("l", "list", Conv::List), arg("os", "Optional[str]", Conv::OptStr, none_default()),
     arg("d", "Optional[dict]", Conv::OptDict, none_default()),
     kwonly("i", "int", Conv::Int), kwonly("oi", "Optional[int]", Conv::OptInt, none_default()),
     kwonly("f", "float", Conv::Float, float_default(1.0)), kwonly("b", "bool", Conv::Bool, bool_default(true)),
     kwonly("a", "Any", Conv::Any, str_default("x")), kwonly("g", "str", Conv::Str, global_default("GREETING"))},
    "tuple",
    "Echo the converted arguments."};

Ref varargs_body(Call& c) { return tuple({c[0], c[1], c[2]}); }

const FnSpec kVarargs{"varargs", varargs_body, {arg("first"), var_args("args"), var_kwargs("kwargs")}, nullptr,
                      nullptr};

// Same shape as a typical fetcher: positional, defaulted and keyword-only.
Ref bench_body(Call& c) { return Ref::borrow(c[0]); }

const FnSpec kBench{"bench",
                    bench_body,
                    {arg("session"), arg("symbol", "str", Conv::Str), arg("start", "Optional[str]", Conv::OptStr, none_default()),
                     arg("end", "Optional[str]", Conv::OptStr, none_default()), kwonly("show_progress", "bool", Conv::Bool, bool_default(true))},
                    "object",
                    nullptr};

// Reads the module attribute GREETING at call time.
Ref greet_body(Call& c) {
  static const Id id_GREETING("GREETING");
  return c.global(id_GREETING);
}

const FnSpec kGreet{"greet", greet_body, {}, "str", nullptr};

// Raises ValueError from a KeyError, as `raise ValueError(...) from exc`.
Ref chained_body(Call&) {
  try {
    raise(PyExc_KeyError, "missing");
  } catch (const Raised&) {
    Ref cause = catch_if(PyExc_KeyError);
    raise_from(call(PyExc_ValueError, {str("wrapped").get()}), std::move(cause));
  }
}

const FnSpec kChained{"chained", chained_body, {}, "None", nullptr};

// class Base: __init__ stores its arguments; Mixin.__init__ passes everything on.
Ref mixin_init(Call& c) {
  static const Id id_init("__init__"), id_ready("ready");
  Ref next_init = super_attr(c, id_init);
  Ref result = check(PyObject_Call(next_init.get(), c[1], c[2]));
  setattr(c.self(), id_ready, Py_True);
  return none();
}

const FnSpec kMixinInit{"__init__", mixin_init, {self_arg(), var_args("args"), var_kwargs("kwargs")}, nullptr, nullptr};

Ref mixin_describe(Call& c) {
  static const Id id_name("name");
  Ref name = call_method(c.self(), id_name);
  return check(PyUnicode_FromFormat("%U:%S", name.get(), c[1]));
}

Ref mixin_name(Call& c) {
  static const Id id_name("__name__");
  return getattr(reinterpret_cast<PyObject*>(Py_TYPE(c.self())), id_name);
}

const FnSpec kMixinDescribe{"describe", mixin_describe, {self_arg(), arg("tag", "str", Conv::Str)}, "str", nullptr};
const FnSpec kMixinName{"name", mixin_name, {self_arg()}, "str", nullptr};

Ref record_double(Call& c) {
  static const Id id_value("value");
  Ref value = getattr(c.self(), id_value);
  return check(PyNumber_Multiply(value.get(), integer(2).get()));
}

const FnSpec kRecordDouble{"double", record_double, {self_arg()}, "int", nullptr};

Ref proto_fetch(Call&) { return none(); }

const FnSpec kProtoFetch{"fetch", proto_fetch, {self_arg(), arg("name", "str", Conv::Str)}, "None", nullptr};

void build(Module& m) {
  m.add("GREETING", str("hello").get());
  m.def(kConversions);
  m.def(kVarargs);
  m.def(kBench);
  m.def(kGreet);
  m.def(kChained);

  ClassBuilder mixin(m, "Mixin", "A cooperative mixin.");
  mixin.method(kMixinInit).method(kMixinDescribe).method(kMixinName);
  m.add("Mixin", mixin.build().get());

  ClassBuilder record(m, "Record", "A record.");
  record.annotate("value", "int").annotate("label", "str", str("none").get()).method(kRecordDouble);
  m.add("Record", record.build_dataclass().get());

  static const Id id_Protocol("Protocol"), id_runtime_checkable("runtime_checkable");
  Ref typing = import("typing");
  ClassBuilder proto(m, "Fetcher", "Anything that fetches.");
  proto.base(getattr(typing.get(), id_Protocol).get()).annotate("session", "'object'").method(kProtoFetch);
  Ref proto_cls = proto.build();
  m.add("Fetcher", call_method(typing.get(), id_runtime_checkable, {proto_cls.get()}).get());
  m.set_all({"conversions", "varargs", "Mixin", "Record", "Fetcher"});
}

}  // namespace

PCRT_MODULE(_runtime_probe, build)
