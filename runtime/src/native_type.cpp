// Heap types whose instances carry C++ members; see native_type.hpp.
#include "pcrt/native_type.hpp"

#include <cstring>
#include <string>

namespace pcrt {
namespace detail {
namespace {

PyObject* get_attribute(PyObject* self, void* closure) {
  try {
    return static_cast<const Getter*>(closure)->get(self).release();
  } catch (const std::exception&) {
    translate_exception();
    return nullptr;
  }
}

// The getset table of a type: it must live as long as the type, which lives
// as long as its module, so it is made once per build and never freed.
// With `instance_dict`, `__dict__` too (vars() and copy read it), as a Python class has.
PyGetSetDef* getset_table(const std::vector<Getter>& getters, bool instance_dict) {
  auto* table = new PyGetSetDef[getters.size() + 2]();
  std::size_t at = 0;
  for (const Getter& getter : getters) {
    const Getter* kept = new Getter(getter);
    table[at++] = {getter.name, get_attribute, nullptr, getter.doc, const_cast<Getter*>(kept)};
  }
  if (instance_dict) table[at] = {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr};
  return table;
}

}  // namespace

Ref build_native_type(Module& m, const NativeTypeSpec& spec, const NativeSlots& slots) {
  Ref module_name = m.get("__name__");
  // The type spec's name gives __module__ and __qualname__; kept for the type's life.
  auto* full_name = new std::string(std::string(utf8(module_name.get())) + "." + spec.name);
  std::vector<PyType_Slot> type_slots{
      {Py_tp_new, reinterpret_cast<void*>(slots.tp_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(slots.dealloc)},
      {Py_tp_traverse, reinterpret_cast<void*>(slots.traverse)},
      {Py_tp_clear, reinterpret_cast<void*>(slots.clear)},
      {Py_tp_getset, getset_table(spec.getters, spec.instance_dict)},
  };
  if (spec.doc != nullptr) type_slots.push_back({Py_tp_doc, const_cast<char*>(spec.doc)});
  type_slots.push_back({0, nullptr});
  unsigned int flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_MANAGED_WEAKREF;
  if (spec.instance_dict) flags |= Py_TPFLAGS_MANAGED_DICT;
  PyType_Spec type_spec{full_name->c_str(), static_cast<int>(slots.basicsize), 0, flags, type_slots.data()};
  Ref type = check(PyType_FromModuleAndSpec(m.object(), &type_spec, nullptr));
  const std::string prefix = std::string(spec.name) + ".";
  for (const FnSpec* method : spec.methods) {
    Ref fn = make_function(*method, m.object(), prefix.c_str());
    check(PyObject_SetAttrString(type.get(), method->name, fn.get()));
    set_defining_class(fn.get(), type.get());
  }
  return type;
}

void raise_not_instance(const Call& c) {
  static const Id id_name("__name__");
  PyObject* cls = c.defining_class();
  Ref fn_name = getattr(reinterpret_cast<PyObject*>(c.function()), id_name);
  // Worded as the interpreter words it for a method descriptor, with the class's short name.
  const char* full = cls != nullptr ? reinterpret_cast<PyTypeObject*>(cls)->tp_name : "?";
  const char* dot = std::strrchr(full, '.');
  raise_format(PyExc_TypeError, "descriptor '%U' for '%s' objects doesn't apply to a '%s' object", fn_name.get(),
               dot != nullptr ? dot + 1 : full, Py_TYPE(c.self())->tp_name);
}

}  // namespace detail
}  // namespace pcrt
