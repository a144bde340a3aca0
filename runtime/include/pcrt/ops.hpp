// Everyday object operations that throw `Raised` instead of returning NULL.
//
// Calls go through vectorcall with the arguments on the C stack; keyword
// arguments are named by interned `Id`s.  Method calls look the method up on
// the object each time, so a subclass or a monkey-patched attribute is honoured
// exactly as `obj.name(...)` in Python would.
#pragma once

#include <initializer_list>
#include <string_view>

#include "pcrt/id.hpp"
#include "pcrt/ref.hpp"

namespace pcrt {

// One keyword argument of a call.  `name` must be an Id with static storage
// (they all are): the tuples of keyword names are kept per call site, keyed by
// the Ids' addresses.
struct Kw {
  const Id& name;
  PyObject* value;
};

using Args = std::initializer_list<PyObject*>;
using Kws = std::initializer_list<Kw>;

// callable(*args, **kws)
Ref call(PyObject* callable, Args args = {}, Kws kws = {});
// obj.name(*args, **kws), with the attribute looked up at call time.
Ref call_method(PyObject* obj, const Id& name, Args args = {}, Kws kws = {});

inline Ref getattr(PyObject* obj, const Id& name) { return check(PyObject_GetAttr(obj, name.get())); }
// The attribute, or an empty Ref when it does not exist (other errors throw).
inline Ref getattr_opt(PyObject* obj, const Id& name) {
  PyObject* out = nullptr;
  check(PyObject_GetOptionalAttr(obj, name.get(), &out));
  return Ref::steal_or_null(out);
}
inline void setattr(PyObject* obj, const Id& name, PyObject* value) {
  check(PyObject_SetAttr(obj, name.get(), value));
}

inline bool truthy(PyObject* obj) { return check(PyObject_IsTrue(obj)) != 0; }
inline bool isinstance(PyObject* obj, PyObject* cls) { return check(PyObject_IsInstance(obj, cls)) != 0; }

inline Ref none() { return Ref::borrow(Py_None); }
inline Ref boolean(bool value) { return Ref::borrow(value ? Py_True : Py_False); }
inline Ref str(std::string_view text) {
  return check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}
inline Ref integer(long long value) { return check(PyLong_FromLongLong(value)); }
inline Ref real(double value) { return check(PyFloat_FromDouble(value)); }
// int(obj) and float(obj) as C numbers: the interpreter's own conversions,
// with their errors (TypeError, OverflowError) raised as exceptions.
inline long long as_long_long(PyObject* obj) {
  const long long value = PyLong_AsLongLong(obj);
  if (value == -1 && PyErr_Occurred()) raised();
  return value;
}
inline double as_double(PyObject* obj) {
  const double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) raised();
  return value;
}
inline Ref new_dict() { return check(PyDict_New()); }
inline Ref new_list(Py_ssize_t size = 0) { return check(PyList_New(size)); }
// A dict that takes `size` entries without growing.  Presizing is an
// interpreter internal, so it follows the fast-path switch; without it the
// dict grows as it is filled, with the same contents.
inline Ref new_dict_sized([[maybe_unused]] Py_ssize_t size) {
#if PCRT_FAST_PATHS
  return check(_PyDict_NewPresized(size));
#else
  return new_dict();
#endif
}
Ref tuple(Args items);

// left == right, item in container, container[key] and len(obj) as an int.
inline bool equals(PyObject* left, PyObject* right) {
  return check(PyObject_RichCompareBool(left, right, Py_EQ)) != 0;
}
inline bool contains(PyObject* container, PyObject* item) {
  return check(PySequence_Contains(container, item)) != 0;
}
inline Ref get_item(PyObject* container, PyObject* key) { return check(PyObject_GetItem(container, key)); }
inline Ref length_of(PyObject* obj) { return check(PyLong_FromSsize_t(check_size(PyObject_Size(obj)))); }

inline void dict_set(PyObject* dict, const Id& key, PyObject* value) {
  check(PyDict_SetItem(dict, key.get(), value));
}
inline void dict_set(PyObject* dict, PyObject* key, PyObject* value) { check(PyDict_SetItem(dict, key, value)); }
// dict.get(key): the value or an empty Ref.
inline Ref dict_get(PyObject* dict, PyObject* key) {
  PyObject* out = nullptr;
  check(PyDict_GetItemRef(dict, key, &out));
  return Ref::steal_or_null(out);
}
inline Ref dict_get(PyObject* dict, const Id& key) { return dict_get(dict, key.get()); }
inline void list_append(PyObject* list, PyObject* item) { check(PyList_Append(list, item)); }

// logger.<level>(format, *args): the logging module formats the message only
// when a handler takes the record.
void log_record(PyObject* logger, const Id& level, const char* format, Args args = {});

// `import name` (the named module itself, also for dotted names).
Ref import(const char* name);
// `from module import name`.
Ref import_from(const char* module, const char* name);

// UTF-8 view of a str object, valid while the object lives.
std::string_view utf8(PyObject* text);

}  // namespace pcrt
