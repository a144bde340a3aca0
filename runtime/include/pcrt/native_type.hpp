// Classes whose instances carry C++ members.
//
// `NativeType<State>::build(m, spec)` creates a heap type (one per module)
// whose instances hold a `State` constructed when the instance is created and
// destroyed with it.  Methods come from `FnSpec`s as in `ClassBuilder`, so
// signatures, docstrings and `super()` work as on any class of ours; an
// `__init__` FnSpec initialises the state.  Instances take part in garbage
// collection (State lists its references in `traverse`), accept weak
// references, and by default have a `__dict__` like instances of a Python
// class, but the state itself is reached only through its members:
//
//   struct StoreState {
//     Ref redis;
//     void traverse(Visitor& visit) const { visit(redis); }
//     void clear() { redis = nullptr; }
//   };
//   Ref store_get(Call& c) { StoreState& s = NativeType<StoreState>::of(c); ... }
//
// A read-only attribute is a `Getter` (name, function of the instance).  The
// class may be subclassed in Python.
#pragma once

#include <new>
#include <type_traits>
#include <vector>

#include "pcrt/function.hpp"
#include "pcrt/module.hpp"

namespace pcrt {

// Hands the references of a state to the garbage collector's visit function.
class Visitor {
 public:
  Visitor(visitproc visit, void* arg) noexcept : visit_(visit), arg_(arg) {}
  void operator()(PyObject* obj) noexcept {
    if (result_ == 0 && obj != nullptr) result_ = visit_(obj, arg_);
  }
  void operator()(const Ref& ref) noexcept { (*this)(ref.get()); }
  int result() const noexcept { return result_; }

 private:
  visitproc visit_;
  void* arg_;
  int result_ = 0;
};

// A read-only attribute computed from the instance.
struct Getter {
  const char* name;
  Ref (*get)(PyObject* self);
  const char* doc = nullptr;
};

struct NativeTypeSpec {
  const char* name;  // the class name; the module's name is put in front
  const char* doc;
  std::vector<const FnSpec*> methods;
  std::vector<Getter> getters = {};
  bool instance_dict = true;  // instances take attributes, as a Python class's do
};

namespace detail {

// The parts of the type that do not depend on State.
struct NativeSlots {
  Py_ssize_t basicsize;
  newfunc tp_new;
  destructor dealloc;
  traverseproc traverse;
  inquiry clear;
};
Ref build_native_type(Module& m, const NativeTypeSpec& spec, const NativeSlots& slots);
[[noreturn]] void raise_not_instance(const Call& c);

}  // namespace detail

template <class State>
class NativeType {
 public:
  // Creates the class in `m` (the caller binds it, usually with m.add).
  static Ref build(Module& m, const NativeTypeSpec& spec) {
    return detail::build_native_type(m, spec, {sizeof(Object), tp_new, dealloc, traverse, clear});
  }

  // The state of a method's `self`; TypeError when `self` is not an
  // instance of the class the method was defined in.
  static State& of(const Call& c) {
    PyObject* self = c.self();
    PyObject* cls = c.defining_class();
    if (cls == nullptr || !PyObject_TypeCheck(self, reinterpret_cast<PyTypeObject*>(cls)) ||
        !as_object(self)->constructed) {
      detail::raise_not_instance(c);
    }
    return state(self);
  }
  // The state of an object known to be an instance (a getter's, a daemon's owner).
  static State& of(PyObject* self) noexcept { return state(self); }

 private:
  struct Object {
    PyObject_HEAD
    bool constructed;
    alignas(State) unsigned char storage[sizeof(State)];
  };
  static Object* as_object(PyObject* self) noexcept { return reinterpret_cast<Object*>(self); }
  static State& state(PyObject* self) noexcept {
    return *std::launder(reinterpret_cast<State*>(as_object(self)->storage));
  }

  static PyObject* tp_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    try {
      new (as_object(self)->storage) State();
      as_object(self)->constructed = true;
    } catch (const std::exception&) {
      translate_exception();
      Py_DECREF(self);
      return nullptr;
    }
    return self;
  }

  static int traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (PyType_HasFeature(Py_TYPE(self), Py_TPFLAGS_MANAGED_DICT)) {
      if (int failed = PyObject_VisitManagedDict(self, visit, arg)) return failed;
    }
    if constexpr (requires(const State& s, Visitor& v) { s.traverse(v); }) {
      if (as_object(self)->constructed) {
        Visitor visitor(visit, arg);
        state(self).traverse(visitor);
        return visitor.result();
      }
    }
    return 0;
  }

  static int clear(PyObject* self) {
    if (PyType_HasFeature(Py_TYPE(self), Py_TPFLAGS_MANAGED_DICT)) PyObject_ClearManagedDict(self);
    if constexpr (requires(State& s) { s.clear(); }) {
      if (as_object(self)->constructed) state(self).clear();
    }
    return 0;
  }

  static void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    PyObject_ClearWeakRefs(self);
    if (PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT)) PyObject_ClearManagedDict(self);
    if (as_object(self)->constructed) {
      as_object(self)->constructed = false;
      state(self).~State();
    }
    type->tp_free(self);
    Py_DECREF(type);
  }
};

}  // namespace pcrt
