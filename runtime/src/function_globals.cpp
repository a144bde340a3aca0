// Module-global reads.  A read is served from the name's last result while no
// module namespace has changed since: one dict watcher, shared by every
// extension module of the process through the interpreter's state dict,
// counts the changes of the namespaces our functions read.  The count moves
// before a change takes effect, so a cached value is never one the namespace
// has let go of.
#include "function_object.hpp"

namespace pcrt {
namespace detail {

GlobalsWatch* g_watch = nullptr;

namespace {

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

}  // namespace

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

}  // namespace detail

using namespace detail;

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

namespace {

// globals[name], else builtins[name], as the interpreter's global look-up.
Ref read_global(PyObject* globals, const Id& name) {
  Ref value = Call::cached_get(globals, name);
  if (value) return value;
  Ref builtins = Ref::steal_or_null(PyEval_GetFrameBuiltins());  // a new reference
  if (builtins) value = dict_get(builtins.get(), name);
  if (!value) raise_format(PyExc_NameError, "name '%s' is not defined", name.text());
  return value;
}

}  // namespace

Ref Call::global(const Id& name) const { return read_global(fn_->globals, name); }

ModuleNames Call::names() const { return ModuleNames(fn_->globals); }

Ref ModuleNames::get(const Id& name) const { return read_global(globals_.get(), name); }

void Call::set_global(const Id& name, PyObject* value) const { dict_set(fn_->globals, name, value); }

}  // namespace pcrt
