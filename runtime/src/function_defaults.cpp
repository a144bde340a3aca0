// Parameter defaults: evaluated once at creation, held as __defaults__ and
// __kwdefaults__ (which may be read and replaced as on a Python function),
// and read by the parser on every call that leaves a parameter out.
#include "function_object.hpp"

namespace pcrt {
namespace detail {

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

namespace {

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

}  // namespace

void make_defaults(FunctionObject* fn, PyObject* globals, Ref* defaults) {
  const FnSpec& spec = *fn->spec;
  Py_ssize_t first_default = -1;  // first positional parameter with a default
  for (Py_ssize_t i = 0; i < fn->n_params; ++i) {
    const Param& param = spec.params[i];
    defaults[i] = make_default(param.def, globals);
    // A default goes through its rule once, here, as a value passed in would.
    if (param.conv != Conv::Any && defaults[i])
      defaults[i] = convert_value(param.conv, param.name, defaults[i].get());
    if (param.kind != Kind::PositionalOrKeyword) continue;
    if (defaults[i] && first_default < 0) first_default = i;
    if (!defaults[i] && first_default >= 0) {
      raise_format(PyExc_SystemError, "%s(): parameter without a default follows a parameter with one", spec.name);
    }
  }
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
}

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

}  // namespace detail

using namespace detail;

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

}  // namespace pcrt
