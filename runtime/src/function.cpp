// The native function type: object layout, argument parsing and conversion,
// binding as a method, and the introspection attributes Python tools read.
#include <cstddef>
#include <cstring>
#include <string>

#include "pcrt/function.hpp"

namespace pcrt {

struct FunctionObject {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  const FnSpec* spec;
  Py_ssize_t n_params;
  Py_ssize_t n_positional;  // positional-or-keyword parameters, in front
  Py_ssize_t varargs_index;  // -1 when absent
  Py_ssize_t varkw_index;    // -1 when absent
  std::uint32_t checked_mask;  // bit i set: parameter i has a conversion rule
  Conv convs[kMaxParams];
  PyObject* names[kMaxParams];  // interned parameter names
  // As on a Python function: a tuple of defaults for the last positional
  // parameters and a dict of keyword-only defaults (each NULL when none).
  // The parser reads them on every call, so changing them takes effect.
  PyObject* defaults;
  PyObject* kwdefaults;
  // The keyword-only defaults as last read from `kwdefaults` (borrowed, NULL
  // where it has none), valid while the watch's change count is unchanged.
  PyObject* kw_snapshot_of;
  unsigned long long kw_snapshot_epoch;
  PyObject* kw_snapshot[kMaxParams];
  PyObject* name;
  PyObject* qualname;
  PyObject* module;   // __module__
  PyObject* globals;  // the defining module's namespace
  PyObject* doc;
  PyObject* annotations;
  PyObject* klass;      // defining class, for super()
  PyObject* dict;
  PyObject* weaklist;
};

// ---------------------------------------------------------------------------
// Module-global reads.  A read is served from the name's last result while no
// module namespace has changed since: one dict watcher, shared by every
// extension module of the process through the interpreter's state dict,
// counts the changes of the namespaces our functions read.  The count moves
// before a change takes effect, so a cached value is never one the namespace
// has let go of.

namespace {

struct GlobalsWatch {
  int watcher = -1;
  unsigned long long epoch = 1;
};

GlobalsWatch* g_watch = nullptr;  // this module's view of the shared watch

#if PCRT_FAST_PATHS
int count_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
  // The first module's callback serves every module; the record it updates
  // is the shared one.
  ++g_watch->epoch;
  return 0;
}

// The process-wide watch, created by the first module that asks; NULL when no
// dict watcher is free (reads then always go to the namespace).
GlobalsWatch* globals_watch() {
  static bool tried = false;
  if (tried) return g_watch;
  tried = true;
  PyObject* state = PyInterpreterState_GetDict(PyInterpreterState_Get());
  if (state == nullptr) return nullptr;
  static const char* const kKey = "private_core.pcrt.globals_watch";
  PyObject* capsule = nullptr;
  if (PyDict_GetItemStringRef(state, kKey, &capsule) < 0) {
    PyErr_Clear();
    return nullptr;
  }
  if (capsule != nullptr) {
    g_watch = static_cast<GlobalsWatch*>(PyCapsule_GetPointer(capsule, kKey));
    Py_DECREF(capsule);
    if (g_watch == nullptr) PyErr_Clear();
    return g_watch;
  }
  // Lives for the process, like the callback that updates it.
  auto* watch = static_cast<GlobalsWatch*>(PyMem_RawMalloc(sizeof(GlobalsWatch)));
  if (watch == nullptr) return nullptr;
  *watch = GlobalsWatch{};
  g_watch = watch;
  watch->watcher = PyDict_AddWatcher(count_change);
  Ref made = Ref::steal_or_null(PyCapsule_New(watch, kKey, nullptr));
  if (watch->watcher < 0 || !made || PyDict_SetItemString(state, kKey, made.get()) < 0) {
    PyErr_Clear();
    g_watch = nullptr;
    return nullptr;
  }
  return g_watch;
}
#else
GlobalsWatch* globals_watch() { return nullptr; }
#endif

// Starts counting the changes of a dict our functions read (a module
// namespace or a function's keyword defaults).
// False when the dict is not watched (its reads must not be cached).
bool watch_globals(PyObject* globals) {
  GlobalsWatch* watch = globals_watch();
  if (watch == nullptr) return false;
  if (PyDict_Watch(watch->watcher, globals) < 0) {
    PyErr_Clear();
    return false;
  }
  return true;
}

}  // namespace

namespace {

FunctionObject* as_function(PyObject* obj) { return reinterpret_cast<FunctionObject*>(obj); }

const char* qualname_utf8(FunctionObject* fn) { return PyUnicode_AsUTF8(fn->qualname); }

// ---------------------------------------------------------------------------
// Conversions of the calling convention.

bool is_number(PyObject* value) {
  PyNumberMethods* nb = Py_TYPE(value)->tp_as_number;
  return nb != nullptr && (nb->nb_int != nullptr || nb->nb_index != nullptr || nb->nb_float != nullptr);
}

// Returns a new reference when the value is replaced, NULL when kept as is.
PyObject* convert(const Param& param, PyObject* value) {
  switch (param.conv) {
    case Conv::Any:
      return nullptr;
    case Conv::OptStr:
      if (value == Py_None) return nullptr;
      [[fallthrough]];
    case Conv::Str:
      if (!PyUnicode_CheckExact(value)) raise_arg_type(param.name, "str", value);
      return nullptr;
    case Conv::OptDict:
      if (value == Py_None) return nullptr;
      [[fallthrough]];
    case Conv::Dict:
      if (!PyDict_CheckExact(value)) raise_arg_type(param.name, "dict", value);
      return nullptr;
    case Conv::List:
      if (!PyList_CheckExact(value)) raise_arg_type(param.name, "list", value);
      return nullptr;
    case Conv::OptInt:
      if (value == Py_None) return nullptr;
      [[fallthrough]];
    case Conv::Int:
      if (PyLong_CheckExact(value)) return nullptr;
      if (!is_number(value)) raise_arg_type(param.name, "int", value);
      return check(PyNumber_Long(value)).release();
    case Conv::Float: {
      if (PyFloat_CheckExact(value)) return nullptr;
      double real = PyFloat_AsDouble(value);
      if (real == -1.0 && PyErr_Occurred()) raised();
      return check(PyFloat_FromDouble(real)).release();
    }
    case Conv::Bool:
      if (value == Py_True || value == Py_False) return nullptr;
      return Py_NewRef(truthy(value) ? Py_True : Py_False);
    case Conv::OptExactBool:
      if (value != Py_None && !PyBool_Check(value)) raise_arg_type(param.name, "bool", value);
      return nullptr;
  }
  return nullptr;
}

// ---------------------------------------------------------------------------
// Parser failures, worded as the interpreter words them for Python functions.

// Index of the first positional parameter that has a default (n_positional
// when none has); a default tuple longer than the parameters covers them all.
Py_ssize_t first_defaulted(FunctionObject* fn) {
  Py_ssize_t count = fn->defaults ? PyTuple_GET_SIZE(fn->defaults) : 0;
  return count >= fn->n_positional ? 0 : fn->n_positional - count;
}

// The default of positional parameter `i`, borrowed; NULL when it has none.
PyObject* positional_default(FunctionObject* fn, Py_ssize_t i) {
  if (fn->defaults == nullptr) return nullptr;
  Py_ssize_t shift = fn->n_positional - PyTuple_GET_SIZE(fn->defaults);
  return i >= shift ? PyTuple_GET_ITEM(fn->defaults, i - shift) : nullptr;
}

[[noreturn]] void too_many_positional(FunctionObject* fn, Py_ssize_t given) {
  Py_ssize_t most = fn->n_positional;
  Py_ssize_t least = first_defaulted(fn);
  if (least == most) {
    raise_format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd %s given", qualname_utf8(fn), most,
                 most == 1 ? "" : "s", given, given == 1 ? "was" : "were");
  }
  raise_format(PyExc_TypeError, "%s() takes from %zd to %zd positional arguments but %zd were given",
               qualname_utf8(fn), least, most, given);
}

[[noreturn]] void missing_positional(FunctionObject* fn, PyObject* const* slots) {
  std::string names;
  Py_ssize_t count = 0;
  const Py_ssize_t first_default = first_defaulted(fn);
  auto is_missing = [&](Py_ssize_t i) {
    return slots[i] == nullptr && i < first_default;
  };
  for (Py_ssize_t i = 0; i < fn->n_positional; ++i) {
    if (is_missing(i)) ++count;
  }
  Py_ssize_t seen = 0;
  for (Py_ssize_t i = 0; i < fn->n_positional; ++i) {
    if (!is_missing(i)) continue;
    ++seen;
    if (seen > 1) names += (seen == count) ? (count > 2 ? ", and " : " and ") : ", ";
    names += "'";
    names += PyUnicode_AsUTF8(fn->names[i]);
    names += "'";
  }
  raise_format(PyExc_TypeError, "%s() missing %zd required positional argument%s: %s", qualname_utf8(fn), count,
               count == 1 ? "" : "s", names.c_str());
}

Py_ssize_t find_keyword(FunctionObject* fn, PyObject* key) {
  for (Py_ssize_t i = 0; i < fn->n_params; ++i) {
    if (fn->names[i] == key) return i;
  }
  for (Py_ssize_t i = 0; i < fn->n_params; ++i) {
    if (PyUnicode_Check(key) && PyUnicode_Compare(fn->names[i], key) == 0) return i;
  }
  return -1;
}

}  // namespace

Ref convert_value(Conv conv, const char* name, PyObject* value) {
  Param param{name, nullptr, conv};
  PyObject* converted = convert(param, value);
  return converted ? Ref::steal(converted) : Ref::borrow(value);
}

// ---------------------------------------------------------------------------
// Call: parsing into parameter order.

void Call::take(std::size_t index, Ref value) {
  slots_[index] = value.release();
  owned_ |= (1u << index);
}

Call::Call(FunctionObject* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) : fn_(fn) {
  try {
    parse(args, nargs, kwnames);
  } catch (const ThreadExit&) {
    throw;
  } catch (...) {
    release();
    throw;
  }
}

void Call::release() noexcept {
  for (std::uint32_t bits = owned_; bits != 0; bits &= bits - 1) drop_ref(slots_[__builtin_ctz(bits)]);
  owned_ = 0;
}

Call::~Call() { release(); }

void Call::parse(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  FunctionObject* fn = fn_;
  const Py_ssize_t n_params = fn->n_params;
  const Py_ssize_t n_positional = fn->n_positional;
  for (Py_ssize_t i = 0; i < n_params; ++i) slots_[i] = nullptr;

  Py_ssize_t n_direct = nargs;
  if (nargs > n_positional) {
    if (fn->varargs_index < 0) too_many_positional(fn, nargs);
    n_direct = n_positional;
  }
  for (Py_ssize_t i = 0; i < n_direct; ++i) slots_[i] = args[i];
  if (fn->varargs_index >= 0) {
    Ref extra = check(PyTuple_New(nargs - n_direct));
    for (Py_ssize_t i = n_direct; i < nargs; ++i) PyTuple_SET_ITEM(extra.get(), i - n_direct, Py_NewRef(args[i]));
    take(static_cast<std::size_t>(fn->varargs_index), std::move(extra));
  }
  if (fn->varkw_index >= 0) take(static_cast<std::size_t>(fn->varkw_index), new_dict());

  if (kwnames != nullptr) {
    const Py_ssize_t n_kw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < n_kw; ++k) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, k);
      PyObject* value = args[nargs + k];
      Py_ssize_t index = find_keyword(fn, key);
      if (index == fn->varargs_index || index == fn->varkw_index) index = -1;
      if (index < 0) {
        if (fn->varkw_index < 0) {
          raise_format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", qualname_utf8(fn), key);
        }
        dict_set(slots_[fn->varkw_index], key, value);
        continue;
      }
      if (slots_[index] != nullptr) {
        raise_format(PyExc_TypeError, "%s() got multiple values for argument '%S'", qualname_utf8(fn), key);
      }
      slots_[index] = value;
    }
  }

  fill_defaults();

  // Every value gets its check, defaults included: `__defaults__` and
  // `__kwdefaults__` may have been given anything since creation.
  for (std::uint32_t bits = fn->checked_mask; bits != 0; bits &= bits - 1) {
    const int i = __builtin_ctz(bits);
    PyObject* value = slots_[i];
    // Inline the commonest outcomes: already the exact type asked for.
    switch (fn->convs[i]) {
      case Conv::Str:
      case Conv::OptStr:
        if (PyUnicode_CheckExact(value)) continue;
        break;
      case Conv::Int:
      case Conv::OptInt:
        if (PyLong_CheckExact(value)) continue;
        break;
      case Conv::Float:
        if (PyFloat_CheckExact(value)) continue;
        break;
      case Conv::Bool:
      case Conv::OptExactBool:
        if (value == Py_True || value == Py_False) continue;
        break;
      case Conv::Dict:
      case Conv::OptDict:
        if (PyDict_CheckExact(value)) continue;
        break;
      default:
        break;
    }
    if (PyObject* converted = convert(fn->spec->params[i], value))
      take(static_cast<std::size_t>(i), Ref::steal(converted));
  }
}

// The default of keyword-only parameter `i` as a new reference, NULL when it
// has none.  Served from the function's snapshot of `__kwdefaults__` while no
// watched dict has changed (the dict is watched like the module namespaces).
PyObject* keyword_default(FunctionObject* fn, Py_ssize_t i) {
  PyObject* kwdefaults = fn->kwdefaults;
  if (kwdefaults == nullptr) return nullptr;
  if (g_watch != nullptr && fn->kw_snapshot_of == kwdefaults && fn->kw_snapshot_epoch == g_watch->epoch) {
    return Py_XNewRef(fn->kw_snapshot[i]);
  }
  PyObject* value = nullptr;
  check(PyDict_GetItemRef(kwdefaults, fn->names[i], &value));
  if (g_watch != nullptr && PyDict_CheckExact(kwdefaults) && watch_globals(kwdefaults)) {
    // Rebuilt whole, so that every keyword-only parameter is covered; a
    // look-up that ran code and changed a dict leaves the snapshot invalid.
    const unsigned long long epoch = g_watch->epoch;
    bool complete = true;
    for (Py_ssize_t k = fn->n_positional; k < fn->n_params && complete; ++k) {
      PyObject* found = PyDict_GetItemWithError(kwdefaults, fn->names[k]);
      if (found == nullptr && PyErr_Occurred()) {
        PyErr_Clear();
        complete = false;
      }
      fn->kw_snapshot[k] = found;
    }
    fn->kw_snapshot_of = complete && epoch == g_watch->epoch ? kwdefaults : nullptr;
    fn->kw_snapshot_epoch = epoch;
  }
  return value;
}

// Parameters the caller left out take their defaults, held strongly for the
// call: the body may run code that replaces or changes the defaults.
void Call::fill_defaults() {
  FunctionObject* fn = fn_;
  for (Py_ssize_t i = 0; i < fn->n_params; ++i) {
    if (slots_[i] != nullptr) continue;
    if (i < fn->n_positional) {
      PyObject* value = positional_default(fn, i);
      if (value == nullptr) missing_positional(fn, slots_);
      take(static_cast<std::size_t>(i), Ref::borrow(value));
      continue;
    }
    PyObject* value = keyword_default(fn, i);
    if (value == nullptr) {
      raise_format(PyExc_TypeError, "%s() needs keyword-only argument %U", PyUnicode_AsUTF8(fn->name), fn->names[i]);
    }
    take(static_cast<std::size_t>(i), Ref::steal(value));
  }
}

void Call::check_access(std::size_t index, Conv needed) const {
  const FunctionObject* fn = fn_;
  if (index >= static_cast<std::size_t>(fn->n_params)) {
    raise_format(PyExc_SystemError, "%U(): argument index %zu is out of range (%zd parameters)", fn->qualname, index,
                 fn->n_params);
  }
  if (needed != Conv::Any && fn->convs[index] != needed) {
    raise_format(PyExc_SystemError, "%U(): argument '%U' is read with a conversion rule it does not have",
                 fn->qualname, fn->names[index]);
  }
}

// dict[name] through the name's cache; an empty Ref when missing.
Ref Call::cached_get(PyObject* dict, const Id& name) {
  if (g_watch != nullptr && name.global_dict_ == dict && name.global_epoch_ == g_watch->epoch) {
    return Ref::borrow(name.global_value_);
  }
  Ref value = dict_get(dict, name);
  // Watching a dict already watched is a no-op.
  if (value && g_watch != nullptr && PyDict_CheckExact(dict) && watch_globals(dict)) {
    name.global_dict_ = dict;
    name.global_value_ = value.get();
    name.global_epoch_ = g_watch->epoch;
  }
  return value;
}

Ref module_attr(PyObject* obj, const Id& name) {
  // A module's own names live in its dict; names of the "__x__" form may be
  // the module type's descriptors and take the generic path.
  const char* text = name.text();
  if (g_watch != nullptr && PyModule_CheckExact(obj) && !(text[0] == '_' && text[1] == '_')) {
    if (Ref value = Call::cached_get(PyModule_GetDict(obj), name)) return value;
  }
  return getattr(obj, name);
}

Ref Call::global(const Id& name) const {
  Ref value = cached_get(fn_->globals, name);
  if (value) return value;
  Ref builtins = Ref::steal_or_null(PyEval_GetFrameBuiltins());  // a new reference
  if (builtins) value = dict_get(builtins.get(), name);
  if (!value) raise_format(PyExc_NameError, "name '%s' is not defined", name.text());
  return value;
}

void Call::set_global(const Id& name, PyObject* value) const { dict_set(fn_->globals, name, value); }

PyObject* Call::defining_class() const {
  if (fn_->klass == nullptr) raise(PyExc_RuntimeError, "super(): no defining class");
  return fn_->klass;
}

Ref super_attr(const Call& call, const Id& name) {
  PyObject* klass = call.defining_class();
  PyObject* self = call.self();
#if PCRT_FAST_PATHS
  // What super() does, without making the proxy: the first class after
  // `klass` in type(self)'s MRO that defines the name, bound to self.
  PyTypeObject* type = Py_TYPE(self);
  PyObject* mro = type->tp_mro;
  if (mro != nullptr && PyTuple_CheckExact(mro)) {
    const Py_ssize_t n = PyTuple_GET_SIZE(mro);
    Py_ssize_t i = 0;
    while (i < n && PyTuple_GET_ITEM(mro, i) != klass) ++i;
    if (i < n) {
      Ref keep_mro = Ref::borrow(mro);  // a look-up below may replace type(self).__mro__
      for (++i; i < n; ++i) {
        PyObject* cls = PyTuple_GET_ITEM(mro, i);
        Ref dict = Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(cls)));
        Ref found = dict_get(dict.get(), name);
        if (!found) continue;
        descrgetfunc get = Py_TYPE(found.get())->tp_descr_get;
        if (get == nullptr) return found;
        return check(get(found.get(), self, reinterpret_cast<PyObject*>(type)));
      }
    }
  }
#endif
  static PyObject* super_type = reinterpret_cast<PyObject*>(&PySuper_Type);
  Ref proxy = pcrt::call(super_type, {klass, self});
  return getattr(proxy.get(), name);
}

// ---------------------------------------------------------------------------
// The type.

namespace {

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  FunctionObject* fn = as_function(callable);
  try {
    Call call(fn, args, PyVectorcall_NARGS(nargsf), kwnames);
    return fn->spec->body(call).release();
  } catch (const ThreadExit&) {
    throw;
  } catch (...) {
    translate_exception();
    return nullptr;
  }
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
  FunctionObject* fn = as_function(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(fn->defaults);
  Py_VISIT(fn->kwdefaults);
  Py_VISIT(fn->module);
  Py_VISIT(fn->globals);
  Py_VISIT(fn->doc);
  Py_VISIT(fn->annotations);
  Py_VISIT(fn->klass);
  Py_VISIT(fn->dict);
  return 0;
}

int function_clear(PyObject* self) {
  FunctionObject* fn = as_function(self);
  Py_CLEAR(fn->defaults);
  Py_CLEAR(fn->kwdefaults);
  Py_CLEAR(fn->module);
  Py_CLEAR(fn->globals);
  Py_CLEAR(fn->doc);
  Py_CLEAR(fn->annotations);
  Py_CLEAR(fn->klass);
  Py_CLEAR(fn->dict);
  return 0;
}

void function_dealloc(PyObject* self) {
  FunctionObject* fn = as_function(self);
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  if (fn->weaklist != nullptr) PyObject_ClearWeakRefs(self);
  function_clear(self);
  for (Py_ssize_t i = 0; i < fn->n_params; ++i) Py_CLEAR(fn->names[i]);
  Py_CLEAR(fn->name);
  Py_CLEAR(fn->qualname);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject* /*type*/) {
  if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
  return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// Wraps getters so that C++ exceptions never reach the interpreter.
template <Ref (*Get)(FunctionObject*)>
PyObject* guarded_getter(PyObject* self, void*) {
  try {
    return Get(as_function(self)).release();
  } catch (const ThreadExit&) {
    throw;
  } catch (...) {
    translate_exception();
    return nullptr;
  }
}

Ref get_name(FunctionObject* fn) { return Ref::borrow(fn->name); }
Ref get_qualname(FunctionObject* fn) { return Ref::borrow(fn->qualname); }
Ref get_doc(FunctionObject* fn) { return Ref::borrow(fn->doc ? fn->doc : Py_None); }
Ref get_globals(FunctionObject* fn) { return Ref::borrow(fn->globals); }
Ref get_annotations(FunctionObject* fn) { return Ref::borrow(fn->annotations); }

Ref get_defaults(FunctionObject* fn) { return Ref::borrow(fn->defaults ? fn->defaults : Py_None); }
Ref get_kwdefaults(FunctionObject* fn) { return Ref::borrow(fn->kwdefaults ? fn->kwdefaults : Py_None); }

// Assigning None (or deleting) removes the defaults, as on a Python function.
int set_defaults(PyObject* self, PyObject* value, void*) {
  if (value == Py_None) value = nullptr;
  if (value != nullptr && !PyTuple_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
    return -1;
  }
  Py_XSETREF(as_function(self)->defaults, Py_XNewRef(value));
  return 0;
}

int set_kwdefaults(PyObject* self, PyObject* value, void*) {
  if (value == Py_None) value = nullptr;
  if (value != nullptr && !PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
    return -1;
  }
  FunctionObject* fn = as_function(self);
  fn->kw_snapshot_of = nullptr;
  if (value != nullptr && PyDict_CheckExact(value)) watch_globals(value);
  if (PyErr_Occurred()) return -1;
  Py_XSETREF(fn->kwdefaults, Py_XNewRef(value));
  return 0;
}

// Built on each read, as inspect does for Python functions, so that it shows
// the defaults in force.
Ref get_signature(FunctionObject* fn) {
  static const Id id_Parameter("Parameter"), id_Signature("Signature"), id_empty("empty"), id_default("default"),
      id_annotation("annotation"), id_return_annotation("return_annotation");
  static const Id kind_ids[] = {Id("POSITIONAL_OR_KEYWORD"), Id("KEYWORD_ONLY"), Id("VAR_POSITIONAL"),
                                Id("VAR_KEYWORD")};
  Ref inspect = import("inspect");
  Ref parameter_cls = getattr(inspect.get(), id_Parameter);
  Ref empty = getattr(parameter_cls.get(), id_empty);
  Ref parameters = new_list();
  for (Py_ssize_t i = 0; i < fn->n_params; ++i) {
    const Param& param = fn->spec->params[i];
    Ref kind = getattr(parameter_cls.get(), kind_ids[static_cast<int>(param.kind)]);
    Ref annotation = param.annotation ? str(param.annotation) : empty;
    Ref default_value = empty;
    if (i < fn->n_positional) {
      if (PyObject* value = positional_default(fn, i)) default_value = Ref::borrow(value);
    } else if (param.kind == Kind::KeywordOnly && fn->kwdefaults != nullptr) {
      if (Ref value = dict_get(fn->kwdefaults, fn->names[i])) default_value = std::move(value);
    }
    Ref parameter = call(parameter_cls.get(), {fn->names[i], kind.get()},
                         {{id_default, default_value.get()}, {id_annotation, annotation.get()}});
    list_append(parameters.get(), parameter.get());
  }
  Ref signature_cls = getattr(inspect.get(), id_Signature);
  Ref returns = fn->spec->returns ? str(fn->spec->returns) : getattr(signature_cls.get(), id_empty);
  return call(signature_cls.get(), {parameters.get()}, {{id_return_annotation, returns.get()}});
}

int set_doc(PyObject* self, PyObject* value, void*) {
  FunctionObject* fn = as_function(self);
  Py_XSETREF(fn->doc, Py_XNewRef(value));
  return 0;
}

int set_qualname(PyObject* self, PyObject* value, void*) {
  if (value == nullptr || !PyUnicode_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
    return -1;
  }
  Py_XSETREF(as_function(self)->qualname, Py_NewRef(value));
  return 0;
}

PyObject* function_reduce(PyObject* self, PyObject*) { return Py_NewRef(as_function(self)->qualname); }

PyGetSetDef function_getset[] = {
    {"__name__", guarded_getter<get_name>, nullptr, nullptr, nullptr},
    {"__qualname__", guarded_getter<get_qualname>, set_qualname, nullptr, nullptr},
    {"__doc__", guarded_getter<get_doc>, set_doc, nullptr, nullptr},
    {"__globals__", guarded_getter<get_globals>, nullptr, nullptr, nullptr},
    {"__annotations__", guarded_getter<get_annotations>, nullptr, nullptr, nullptr},
    {"__defaults__", guarded_getter<get_defaults>, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", guarded_getter<get_kwdefaults>, set_kwdefaults, nullptr, nullptr},
    {"__signature__", guarded_getter<get_signature>, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", Py_T_OBJECT_EX, offsetof(FunctionObject, module), 0, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, weaklist), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {Py_tp_methods, function_methods},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "private_core.native_function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

// One type per extension module, created on first use and kept for the life
// of the process, like a static type.
PyTypeObject* function_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) type = check(PyType_FromSpec(&function_spec)).release();
  return reinterpret_cast<PyTypeObject*>(type);
}

// ---------------------------------------------------------------------------
// Creation: defaults, annotations and the docstring's signature line.

Ref make_default(const Default& def, PyObject* globals) {
  switch (def.tag) {
    case Default::Tag::Required:
      return nullptr;
    case Default::Tag::None:
      return none();
    case Default::Tag::True:
      return boolean(true);
    case Default::Tag::False:
      return boolean(false);
    case Default::Tag::Int:
      return integer(def.integer);
    case Default::Tag::Float:
      return real(def.real);
    case Default::Tag::Str:
      return str(def.text);
    case Default::Tag::Global: {
      Ref value = dict_get(globals, str(def.text).get());
      if (!value) raise_format(PyExc_NameError, "name '%s' is not defined", def.text);
      return value;
    }
  }
  return nullptr;
}

// A str default written in double quotes, the package's style for signature
// lines (`interval: Interval = "1D"`): repr()'s escapes, with the quote
// characters escaped for the other delimiter.
std::string double_quoted(PyObject* text) {
  Ref shown = check(PyObject_Repr(text));
  const std::string_view literal = utf8(shown.get());
  if (literal.front() == '"') return std::string(literal);  // repr() already chose double quotes
  std::string out = "\"";
  const std::string_view body = literal.substr(1, literal.size() - 2);
  for (std::size_t i = 0; i < body.size(); ++i) {
    if (body[i] == '\\' && i + 1 < body.size()) {
      // An escape: \' needs none between double quotes, any other stays.
      if (body[i + 1] != '\'') out += '\\';
      out += body[++i];
    } else if (body[i] == '"') {
      out += "\\\"";
    } else {
      out += body[i];
    }
  }
  out += '"';
  return out;
}

// "name(a: str, b: int = 3, *, c=None) -> str", as inspect would print it but
// with annotations unquoted and module-level defaults shown by name.
std::string signature_line(FunctionObject* fn, const Ref* defaults) {
  std::string line = PyUnicode_AsUTF8(fn->name);
  line += "(";
  bool star_written = false;
  for (Py_ssize_t i = 0; i < fn->n_params; ++i) {
    const Param& param = fn->spec->params[i];
    if (i > 0) line += ", ";
    if (param.kind == Kind::KeywordOnly && !star_written) {
      line += "*, ";
      star_written = true;
    }
    if (param.kind == Kind::VarPositional) {
      line += "*";
      star_written = true;
    }
    if (param.kind == Kind::VarKeyword) line += "**";
    line += param.name;
    if (param.annotation) {
      line += ": ";
      line += param.annotation;
    }
    if (!defaults[i]) continue;
    line += param.annotation ? " = " : "=";
    if (param.def.tag == Default::Tag::Global) {
      line += param.def.text;
    } else if (PyUnicode_CheckExact(defaults[i].get())) {
      line += double_quoted(defaults[i].get());
    } else {
      Ref shown = check(PyObject_Repr(defaults[i].get()));
      line += utf8(shown.get());
    }
  }
  line += ")";
  if (fn->spec->returns) {
    line += " -> ";
    line += fn->spec->returns;
  }
  return line;
}

}  // namespace

Ref make_function(const FnSpec& spec, PyObject* module, const char* qualname_prefix) {
  if (spec.params.size() > kMaxParams) {
    raise_format(PyExc_SystemError, "%s() declares %zu parameters; native functions take at most %zu", spec.name,
                 spec.params.size(), kMaxParams);
  }
  PyTypeObject* type = function_type();
  Ref self = check(type->tp_alloc(type, 0));
  FunctionObject* fn = as_function(self.get());
  fn->vectorcall = function_vectorcall;
  fn->spec = &spec;
  fn->n_params = static_cast<Py_ssize_t>(spec.params.size());
  fn->varargs_index = fn->varkw_index = -1;

  PyObject* globals = PyModule_GetDict(module);
  if (globals == nullptr) raised();
  fn->globals = Py_NewRef(globals);
  watch_globals(globals);
  fn->module = dict_get(globals, str("__name__").get()).release();
  if (fn->module == nullptr) fn->module = Py_NewRef(Py_None);
  fn->name = check(PyUnicode_InternFromString(spec.name)).release();
  fn->qualname = qualname_prefix ? check(PyUnicode_FromFormat("%s%s", qualname_prefix, spec.name)).release()
                                 : Py_NewRef(fn->name);

  Ref annotations = new_dict();
  Ref defaults[kMaxParams];
  Py_ssize_t first_default = -1;  // first positional parameter with a default
  for (Py_ssize_t i = 0; i < fn->n_params; ++i) {
    const Param& param = spec.params[i];
    fn->names[i] = check(PyUnicode_InternFromString(param.name)).release();
    defaults[i] = make_default(param.def, globals);
    fn->convs[i] = param.conv;
    if (param.conv != Conv::Any) {
      fn->checked_mask |= 1u << i;
      // A default goes through its rule once, here, as a value passed in would.
      if (defaults[i]) defaults[i] = convert_value(param.conv, param.name, defaults[i].get());
    }
    if (param.kind == Kind::PositionalOrKeyword) {
      fn->n_positional = i + 1;
      if (defaults[i] && first_default < 0) first_default = i;
      if (!defaults[i] && first_default >= 0) {
        raise_format(PyExc_SystemError, "%s(): parameter without a default follows a parameter with one", spec.name);
      }
    }
    if (param.kind == Kind::VarPositional) fn->varargs_index = i;
    if (param.kind == Kind::VarKeyword) fn->varkw_index = i;
    if (param.annotation) dict_set(annotations.get(), fn->names[i], str(param.annotation).get());
  }
  if (spec.returns) dict_set(annotations.get(), str("return").get(), str(spec.returns).get());
  fn->annotations = annotations.release();

  if (first_default >= 0) {
    Ref tuple_defaults = check(PyTuple_New(fn->n_positional - first_default));
    for (Py_ssize_t i = first_default; i < fn->n_positional; ++i) {
      PyTuple_SET_ITEM(tuple_defaults.get(), i - first_default, defaults[i].new_ref());
    }
    fn->defaults = tuple_defaults.release();
  }
  for (Py_ssize_t i = fn->n_positional; i < fn->n_params; ++i) {
    if (!defaults[i] || spec.params[i].kind != Kind::KeywordOnly) continue;
    if (fn->kwdefaults == nullptr) {
      fn->kwdefaults = new_dict().release();
      watch_globals(fn->kwdefaults);
    }
    dict_set(fn->kwdefaults, fn->names[i], defaults[i].get());
  }

  std::string doc = signature_line(fn, defaults);
  if (spec.doc && *spec.doc) {
    doc += "\n\n";
    doc += spec.doc;
  }
  fn->doc = str(doc).release();
  return self;
}

void set_defining_class(PyObject* function, PyObject* cls) {
  Py_XSETREF(as_function(function)->klass, Py_NewRef(cls));
}

bool is_function(PyObject* obj) { return Py_IS_TYPE(obj, function_type()); }

}  // namespace pcrt
