// private_core._runtime_probe: a test-only module that exercises the native
// runtime on its own (conversions, parameter kinds, classes, dataclasses,
// protocols, call-time name lookup).  Built only for development installs.
#include <new>
#include <utility>

#include "pcrt/pcrt.hpp"
#include "pcrt/site.hpp"

namespace {
using namespace pcrt;

enum class ConversionsArg : std::size_t { s, l, os, d, i, oi, f, b, a, g };

// Returns its arguments as a tuple, so tests can see what each rule produced.
Ref probe_conversions(Call& c) {
  using A = ConversionsArg;
  return tuple({c[A::s], c[A::l], c[A::os], c[A::d], c[A::i], c[A::oi], c[A::f], c[A::b], c[A::a], c[A::g]});
}

const FnSpec kConversions{
    "conversions",
    probe_conversions,
    {arg("s", "str", Conv::Str), arg("l", "list", Conv::List), arg("os", "Optional[str]", Conv::OptStr, none_default()),
     arg("d", "Optional[dict]", Conv::OptDict, none_default()), kwonly("i", "int", Conv::Int),
     kwonly("oi", "Optional[int]", Conv::OptInt, none_default()),
     kwonly("f", "float", Conv::Float, float_default(1.0)), kwonly("b", "bool", Conv::Bool, bool_default(true)),
     kwonly("a", "Any", Conv::Any, str_default("x")), kwonly("g", "str", Conv::Str, global_default("GREETING"))},
    "tuple",
    "Echo the converted arguments."};

enum class VarargsArg : std::size_t { first, args, kwargs };

Ref probe_varargs(Call& c) { return tuple({c[VarargsArg::first], c[VarargsArg::args], c[VarargsArg::kwargs]}); }

const FnSpec kVarargs{"varargs", probe_varargs, {arg("first"), var_args("args"), var_kwargs("kwargs")}, nullptr, nullptr};

// Same shape as a typical fetcher: positional, defaulted and keyword-only.
enum class BenchArg : std::size_t { session, symbol, start, end, show_progress };

Ref probe_bench(Call& c) { return Ref::borrow(c[BenchArg::session]); }

const FnSpec kBench{"bench",
                    probe_bench,
                    {arg("session"), arg("symbol", "str", Conv::Str),
                     arg("start", "Optional[str]", Conv::OptStr, none_default()),
                     arg("end", "Optional[str]", Conv::OptStr, none_default()),
                     kwonly("show_progress", "bool", Conv::Bool, bool_default(true))},
                    "object",
                    nullptr};

// Reads the module attribute GREETING at call time.
Ref probe_greet(Call& c) {
  static const Id id_GREETING("GREETING");
  return c.global(id_GREETING);
}

const FnSpec kGreet{"greet", probe_greet, {}, "str", nullptr};

// Text defaults with every kind of quote and escape, for the signature line.
enum class QuotedArg : std::size_t { apostrophe, quotes, both, escapes };

Ref probe_quoted(Call& c) {
  using A = QuotedArg;
  return tuple({c[A::apostrophe], c[A::quotes], c[A::both], c[A::escapes]});
}

const FnSpec kQuoted{"quoted",
                     probe_quoted,
                     {arg("apostrophe", "str", Conv::Str, str_default("it's")),
                      arg("quotes", "str", Conv::Str, str_default("say \"hi\"")),
                      arg("both", "str", Conv::Str, str_default("'a' \"b\" \\'")),
                      arg("escapes", nullptr, Conv::Any, str_default("tab\t\\ \xc3\xa9\x01"))},
                     "tuple",
                     nullptr};

enum class GilSlotArg : std::size_t { module };

// What the definition of an extension module declares under Py_mod_gil:
// "used", "not used", or None when it has no such slot (or no definition).
Ref probe_gil_slot(Call& c) {
  PyObject* module = c[GilSlotArg::module];
  if (!PyModule_Check(module)) raise(PyExc_TypeError, "gil_slot() expects a module");
  PyModuleDef* def = PyModule_GetDef(module);
  if (def == nullptr || def->m_slots == nullptr) return none();
  for (PyModuleDef_Slot* slot = def->m_slots; slot->slot != 0; ++slot) {
    if (slot->slot == Py_mod_gil) return str(slot->value == Py_MOD_GIL_USED ? "used" : "not used");
  }
  return none();
}

const FnSpec kGilSlot{"gil_slot", probe_gil_slot, {arg("module")}, nullptr, nullptr};

// Raises ValueError from a KeyError, as `raise ValueError(...) from exc`.
Ref probe_chained(Call&) {
  try {
    raise(PyExc_KeyError, "missing");
  } catch (const Raised&) {
    Ref cause = catch_if(PyExc_KeyError);
    raise_from(call(PyExc_ValueError, {str("wrapped").get()}), std::move(cause));
  }
}

const FnSpec kChained{"chained", probe_chained, {}, "None", nullptr};

// class Base: __init__ stores its arguments; Mixin.__init__ passes everything on.
enum class MixinInitArg : std::size_t { self, args, kwargs };

Ref mixin_init(Call& c) {
  static const Id id_init("__init__"), id_ready("ready");
  Ref next_init = super_attr(c, id_init);
  Ref result = check(PyObject_Call(next_init.get(), c[MixinInitArg::args], c[MixinInitArg::kwargs]));
  setattr(c.self(), id_ready, Py_True);
  return none();
}

const FnSpec kMixinInit{"__init__", mixin_init, {self_arg(), var_args("args"), var_kwargs("kwargs")}, nullptr, nullptr};

enum class MixinDescribeArg : std::size_t { self, tag };

Ref mixin_describe(Call& c) {
  static const Id id_name("name");
  Ref name = call_method(c.self(), id_name);
  return check(PyUnicode_FromFormat("%U:%S", name.get(), c[MixinDescribeArg::tag]));
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

Ref fetcher_fetch(Call&) { return none(); }

const FnSpec kProtoFetch{"fetch", fetcher_fetch, {self_arg(), arg("name", "str", Conv::Str)}, "None", nullptr};


// ---------------------------------------------------------------------------
// Control flow, error handling and the checks of the runtime itself.

enum class FinallyArg : std::size_t { body, closing };

// try: return body()  finally: closing()
Ref probe_try_finally(Call& c) {
  return try_finally([&] { return call(c[FinallyArg::body]); }, [&] { call(c[FinallyArg::closing]); });
}

const FnSpec kTryFinally{"try_finally", probe_try_finally, {arg("body"), arg("closing")}, nullptr, nullptr};

enum class WithArg : std::size_t { manager, body };

// with manager: return body()
Ref probe_with(Call& c) {
  return with(c[WithArg::manager], [&] { return call(c[WithArg::body]); });
}

const FnSpec kWith{"with_", probe_with, {arg("manager"), arg("body")}, nullptr, nullptr};

enum class FinallyCppArg : std::size_t { closing };

// A C++ exception other than Raised leaves the body; the closing action
// must still run, and the caller sees MemoryError.
Ref probe_finally_bad_alloc(Call& c) {
  return try_finally([]() -> Ref { throw std::bad_alloc(); }, [&] { call(c[FinallyCppArg::closing]); });
}

const FnSpec kFinallyBadAlloc{"finally_bad_alloc", probe_finally_bad_alloc, {arg("closing")}, nullptr, nullptr};

enum class WithoutGilArg : std::size_t { fail };

// Work without the GIL that returns 7, or throws std::bad_alloc: either way the
// GIL is back before the result or the exception reaches Python code.
Ref probe_without_gil(Call& c) {
  const bool fail = c.flag(WithoutGilArg::fail);
  return integer(without_gil([fail] {
    if (fail) throw std::bad_alloc();
    return 7;
  }));
}

const FnSpec kWithoutGil{"without_gil", probe_without_gil, {arg("fail", "bool", Conv::Bool)}, "int", nullptr};

enum class ExceptionTextArg : std::size_t { exc, limit };

Ref probe_exception_text(Call& c) {
  return str(
      exception_text(c[ExceptionTextArg::exc], static_cast<std::size_t>(as_long_long(c[ExceptionTextArg::limit]))));
}

const FnSpec kExceptionText{
    "exception_text", probe_exception_text, {arg("exc"), arg("limit", "int", Conv::Int)}, "str", nullptr};

enum class HandlingArg : std::size_t { exc, fn };

// Calls fn() while `exc` is marked as being handled; returns fn's result.
Ref probe_handling(Call& c) {
  Handling handling(c[HandlingArg::exc]);
  return call(c[HandlingArg::fn]);
}

const FnSpec kHandling{"handling", probe_handling, {arg("exc"), arg("fn")}, nullptr, nullptr};

enum class RaiseDuringArg : std::size_t { exc, handled };

Ref probe_raise_during(Call& c) {
  raise_during(Ref::borrow(c[RaiseDuringArg::exc]), Ref::borrow(c[RaiseDuringArg::handled]));
}

const FnSpec kRaiseDuring{"raise_during", probe_raise_during, {arg("exc"), arg("handled")}, nullptr, nullptr};

enum class CatchMatchingArg : std::size_t { fn };

// try: fn()  except ProbeError as exc: return exc
// where ProbeError is the module global at the time of the exception.
Ref probe_catch_matching(Call& c) {
  static const Id id_ProbeError("ProbeError");
  try {
    call(c[CatchMatchingArg::fn]);
  } catch (const Raised&) {
    return catch_matching([&] { return c.global(id_ProbeError); });
  }
  return none();
}

const FnSpec kCatchMatching{"catch_matching", probe_catch_matching, {arg("fn")}, nullptr, nullptr};

// Specs the function builder must refuse.
const FnSpec kMissingDefault{"missing_default",
                             probe_greet,
                             {arg("x", nullptr, Conv::Any, global_default("NOT_BOUND_ANYWHERE"))},
                             nullptr,
                             nullptr};
const FnSpec kTooManyParams{"too_many",
                            probe_greet,
                            {arg("p0"), arg("p1"), arg("p2"), arg("p3"), arg("p4"), arg("p5"), arg("p6"), arg("p7"),
                             arg("p8"), arg("p9"), arg("p10"), arg("p11"), arg("p12")},
                            nullptr,
                            nullptr};
const FnSpec kMostParams{"most",
                         probe_greet,
                         {arg("p0"), arg("p1"), arg("p2"), arg("p3"), arg("p4"), arg("p5"), arg("p6"), arg("p7"),
                          arg("p8"), arg("p9"), arg("p10"), arg("p11")},
                         nullptr,
                         nullptr};

enum class MakeArg : std::size_t { which };

// Creates one of the FnSpecs above in this module, as a `def` would.
Ref probe_make(Call& c) {
  static const Id id_missing("missing_default"), id_too_many("too_many"), id_most("most");
  PyObject* which = c[MakeArg::which];
  Ref module = import("private_core._runtime_probe");
  for (auto [name, spec] : {std::pair{&id_missing, &kMissingDefault}, std::pair{&id_too_many, &kTooManyParams},
                            std::pair{&id_most, &kMostParams}}) {
    if (PyUnicode_Compare(which, name->get()) == 0) return make_function(*spec, module.get());
  }
  raise(PyExc_ValueError, "unknown spec");
}

const FnSpec kMake{"make", probe_make, {arg("which", "str", Conv::Str)}, nullptr, nullptr};

// Reads arguments its FnSpec does not describe: caught in checked builds.
enum class MisreadArg : std::size_t { text, flag, beyond };

Ref probe_misread(Call& c) {
  static const Id id_index("index"), id_real("real"), id_flag("flag");
  PyObject* how = c[MisreadArg::text];
  if (PyUnicode_Compare(how, id_index.get()) == 0) return Ref::borrow(c[MisreadArg::beyond]);
  if (PyUnicode_Compare(how, id_real.get()) == 0) return real(c.real(MisreadArg::text));
  if (PyUnicode_Compare(how, id_flag.get()) == 0) return boolean(c.flag(MisreadArg::text));
  return boolean(c.flag(MisreadArg::flag));
}

const FnSpec kMisread{"misread",
                      probe_misread,
                      {arg("text", "str", Conv::Str), arg("flag", "bool", Conv::Bool, bool_default(false))},
                      nullptr,
                      nullptr};

void build(Module& m) {
  m.add("GREETING", str("hello").get());
  m.def(kConversions);
  m.def(kVarargs);
  m.def(kBench);
  m.def(kGreet);
  m.def(kChained);
  m.def(kTryFinally);
  m.def(kWith);
  m.def(kFinallyBadAlloc);
  m.def(kHandling);
  m.def(kWithoutGil);
  m.def(kExceptionText);
  m.def(kRaiseDuring);
  m.def(kCatchMatching);
  m.def(kMake);
  m.def(kMisread);
  m.def(kGilSlot);
  m.def(kQuoted);
  m.add("ProbeError", PyExc_LookupError);
#ifdef PCRT_CHECKED_ARGS
  m.add("CHECKED_ARGS", Py_True);
#else
  m.add("CHECKED_ARGS", Py_False);
#endif
  m.add("FAST_PATHS", boolean(PCRT_FAST_PATHS != 0).get());

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
