// super() from native methods: the defining class, kept on the function as
// Python keeps it in the `__class__` cell, and the look-up past it.
#include "function_object.hpp"

namespace pcrt {

using namespace detail;

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

void set_defining_class(PyObject* function, PyObject* cls) {
  Py_XSETREF(as_function(function)->klass, Py_NewRef(cls));
}

}  // namespace pcrt
