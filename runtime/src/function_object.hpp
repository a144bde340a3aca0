// What the units of the native function type share: the object layout and
// the steps one unit runs for another (parsing reads defaults, creation
// builds the signature line, every unit reads the globals watch).
#pragma once

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

namespace detail {

inline FunctionObject* as_function(PyObject* obj) { return reinterpret_cast<FunctionObject*>(obj); }
inline const char* qualname_utf8(FunctionObject* fn) { return PyUnicode_AsUTF8(fn->qualname); }

// The count of changes of the dicts our functions read (module namespaces and
// keyword defaults), shared by every extension module of the process; NULL
// when no dict watcher was free.  See function_globals.cpp.
struct GlobalsWatch {
  int watcher = -1;
  unsigned long long epoch = 1;
};
extern GlobalsWatch* g_watch;  // this module's view of the shared watch
// Starts counting the changes of a dict our functions read; false when the
// dict is not watched (its reads must not be cached).
bool watch_globals(PyObject* dict);

// Argument conversion: a new reference when the value is replaced, NULL when
// kept as is (function_args.cpp).
PyObject* convert(const Param& param, PyObject* value);
// TypeError for the positional parameters left without a value.
[[noreturn]] void missing_positional(FunctionObject* fn, PyObject* const* slots);
// The call: parse, run the body, hand back its result (function_args.cpp).
PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames);

// Defaults (function_defaults.cpp).
Py_ssize_t first_defaulted(FunctionObject* fn);
PyObject* positional_default(FunctionObject* fn, Py_ssize_t i);
PyObject* keyword_default(FunctionObject* fn, Py_ssize_t i);
// The defaults of a new function, evaluated once, into `defaults` (one per
// parameter, empty where none), and stored as __defaults__ / __kwdefaults__.
void make_defaults(FunctionObject* fn, PyObject* globals, Ref* defaults);
Ref get_defaults(FunctionObject* fn);
Ref get_kwdefaults(FunctionObject* fn);
int set_defaults(PyObject* self, PyObject* value, void*);
int set_kwdefaults(PyObject* self, PyObject* value, void*);

// Signature text (function_signature.cpp): the docstring's first line, and
// the inspect.Signature read as __signature__.
std::string signature_line(FunctionObject* fn, const Ref* defaults);
Ref get_signature(FunctionObject* fn);

}  // namespace detail
}  // namespace pcrt
