// Attribute look-up sites for hot paths.
//
// `obj.name` on an ordinary instance walks the class's MRO for a descriptor
// before it reads the instance dict.  A site remembers, for the last class it
// saw and as long as that class is unchanged (its version tag), what the class
// defines under the name, and then reads the instance dict directly: the same
// specialisation the interpreter applies to attribute access in Python code.
// Semantics are those of getattr / call_method: a data descriptor, a custom
// __getattribute__, an instance attribute shadowing a method, a patched class
// attribute all take the generic path or invalidate the site.
//
// Declare sites `static` next to the code that uses them; a site is not
// thread-safe beyond what the GIL gives (every module declares that it needs
// the GIL).
//
// Fast paths that reach into interpreter internals (here `_PyType_Lookup`,
// `_PyObject_GetDictPtr` and type version tags; in memstore the lock type's
// C entry points) are compiled only when PCRT_FAST_PATHS is 1, which the
// CMake option PC_FAST_PATHS controls; with it off every access takes the
// generic, public-API path, and the test suite passes both ways.  They were
// checked against CPython 3.13.0 (GCC 12.2); recheck them on each new minor
// version before trusting the default.
#pragma once

#include "pcrt/ops.hpp"

#ifndef PCRT_FAST_PATHS
#define PCRT_FAST_PATHS 1
#endif

namespace pcrt {

class Site {
 public:
  constexpr explicit Site(const Id& name) noexcept : name_(name) {}

  // obj.name
  Ref get(PyObject* obj) {
    Ref class_attr;
    if (!specialised(Py_TYPE(obj), class_attr)) return getattr(obj, name_);
    bool reliable = true;
    if (Ref value = instance_value(obj, reliable)) return value;
    if (reliable && class_attr && Py_TYPE(class_attr.get())->tp_descr_get == nullptr) return class_attr;
    return getattr(obj, name_);
  }

  // Whether `obj.name` is the class's `fn` itself (not shadowed by the
  // instance): lets a caller run a known native method without the call.
  bool resolves_to(PyObject* obj, PyObject* fn) {
    Ref class_attr;
    if (!specialised(Py_TYPE(obj), class_attr) || class_attr.get() != fn) return false;
    bool reliable = true;
    return !instance_value(obj, reliable) && reliable;
  }

  // obj.name(*args)
  Ref call(PyObject* obj, Args args = {}) {
    Ref method;
    if (args.size() < 4 && specialised(Py_TYPE(obj), method) && method) {
      PyTypeObject* kind = Py_TYPE(method.get());
      const bool binds = PyType_HasFeature(kind, Py_TPFLAGS_METHOD_DESCRIPTOR);
      bool reliable = true;
      // A method descriptor is called with obj in front; a class attribute
      // that is no descriptor at all is what obj.name gives, called as is.
      if ((binds || kind->tp_descr_get == nullptr) && !instance_value(obj, reliable) && reliable) {
        PyObject* stack[5] = {nullptr, obj};
        std::size_t n = 2;
        for (PyObject* item : args) stack[n++] = item;
        PyObject* const* argv = binds ? stack + 1 : stack + 2;
        const std::size_t nargs = binds ? n - 1 : n - 2;
        return check(PyObject_Vectorcall(method.get(), argv, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
      }
    }
    return call_method(obj, name_, args);
  }

 private:
  // True when instances of `type` may be served from their dict; `class_attr`
  // then holds what the class defines under the name (empty for nothing).  It
  // is taken as a strong reference before any Python code can run and change
  // the class or this site.
  bool specialised(PyTypeObject* type, Ref& class_attr) {
#if !PCRT_FAST_PATHS
    (void)type;
    (void)class_attr;
    return false;
#else
    if (type != type_ || version_ == 0 || type->tp_version_tag != version_) {
      version_ = 0;
      type_ = nullptr;
      class_attr_ = nullptr;
      if (type->tp_getattro != PyObject_GenericGetAttr || !PyUnstable_Type_AssignVersionTag(type)) return false;
      PyObject* attr = _PyType_Lookup(type, name_.get());
      if (attr != nullptr && Py_TYPE(attr)->tp_descr_set != nullptr) return false;  // data descriptors win
      if (type->tp_version_tag == 0) return false;
      type_ = type;
      version_ = type->tp_version_tag;
      class_attr_ = attr;  // owned by the class dict, valid while the version holds
    }
    class_attr = Ref::borrow(class_attr_);
    return true;
#endif
  }

  // The instance dict's entry for the name; `reliable` false when the dict
  // could not be read (the caller then takes the generic path).
  Ref instance_value(PyObject* obj, bool& reliable) const {
#if !PCRT_FAST_PATHS
    (void)obj;
    reliable = false;
    return nullptr;
#else
    PyObject** dictptr = _PyObject_GetDictPtr(obj);
    if (dictptr == nullptr) {
      reliable = Py_TYPE(obj)->tp_dictoffset == 0;  // no dict at all: nothing to shadow
      return nullptr;
    }
    if (*dictptr == nullptr) return nullptr;
    return dict_get(*dictptr, name_);
#endif
  }

  const Id& name_;
  PyTypeObject* type_ = nullptr;  // compared by identity, together with its version tag
  unsigned int version_ = 0;
  PyObject* class_attr_ = nullptr;
};

}  // namespace pcrt
