// Module and class builders.
#include "pcrt/module.hpp"

namespace pcrt {

Module::Module(PyObject* module) : module_(module), dict_(PyModule_GetDict(module)) {
  if (dict_ == nullptr) raised();
}

void Module::add(const char* name, PyObject* value) { check(PyModule_AddObjectRef(module_, name, value)); }

Ref Module::get(const char* name) const {
  Ref value = dict_get(dict_, str(name).get());
  if (!value) raise_format(PyExc_NameError, "name '%s' is not defined", name);
  return value;
}

Ref Module::import(const char* name, const char* alias) {
  Ref mod = pcrt::import(name);
  add(alias ? alias : name, mod.get());
  return mod;
}

void Module::import_from(const char* module, std::initializer_list<const char*> names) {
  for (const char* name : names) add(name, pcrt::import_from(module, name).get());
}

void Module::import_relative(const char* module, std::initializer_list<const char*> names, int level) {
  Ref fromlist = new_list();
  for (const char* name : names) list_append(fromlist.get(), str(name).get());
  Ref target = check(PyImport_ImportModuleLevel(module, dict_, nullptr, fromlist.get(), level));
  for (const char* name : names) {
    Ref attr_name = str(name);
    PyObject* value = PyObject_GetAttr(target.get(), attr_name.get());
    if (value == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
      PyErr_Clear();
      raise_format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module);
    }
    add(name, check(value).get());
  }
}

Ref Module::def(const FnSpec& spec) {
  Ref fn = make_function(spec, module_);
  add(spec.name, fn.get());
  return fn;
}

void Module::set_all(std::initializer_list<const char*> names) {
  Ref all = new_list();
  for (const char* name : names) list_append(all.get(), str(name).get());
  add("__all__", all.get());
}

// ---------------------------------------------------------------------------

ClassBuilder::ClassBuilder(Module& module, const char* name, const char* doc)
    : module_(module), name_(name), bases_(new_list()), namespace_(new_dict()), annotations_(new_dict()) {
  static const Id id_module("__module__"), id_qualname("__qualname__"), id_doc("__doc__"), id_name("__name__");
  Ref module_name = dict_get(module.dict(), id_name);
  dict_set(namespace_.get(), id_module, module_name ? module_name.get() : Py_None);
  dict_set(namespace_.get(), id_qualname, str(name).get());
  if (doc) dict_set(namespace_.get(), id_doc, str(doc).get());
}

ClassBuilder& ClassBuilder::base(PyObject* cls) {
  list_append(bases_.get(), cls);
  return *this;
}

ClassBuilder& ClassBuilder::method(const FnSpec& spec) {
  std::string prefix = std::string(name_) + ".";
  Ref fn = make_function(spec, module_.object(), prefix.c_str());
  check(PyDict_SetItemString(namespace_.get(), spec.name, fn.get()));
  functions_.push_back(std::move(fn));
  return *this;
}

ClassBuilder& ClassBuilder::decorated(const FnSpec& spec, PyObject* decorator) {
  std::string prefix = std::string(name_) + ".";
  Ref fn = make_function(spec, module_.object(), prefix.c_str());
  Ref wrapped = call(decorator, {fn.get()});
  check(PyDict_SetItemString(namespace_.get(), spec.name, wrapped.get()));
  functions_.push_back(std::move(fn));
  return *this;
}

ClassBuilder& ClassBuilder::attr(const char* name, PyObject* value) {
  check(PyDict_SetItemString(namespace_.get(), name, value));
  return *this;
}

ClassBuilder& ClassBuilder::annotate(const char* name, const char* annotation, PyObject* value) {
  check(PyDict_SetItemString(annotations_.get(), name, str(annotation).get()));
  if (value) attr(name, value);
  return *this;
}

Ref ClassBuilder::build() {
  static const Id id_annotations("__annotations__"), id_prepare_class("prepare_class"),
      id_resolve_bases("resolve_bases");
  if (PyDict_GET_SIZE(annotations_.get()) != 0) dict_set(namespace_.get(), id_annotations, annotations_.get());
  Ref name = str(name_);
  Ref bases = check(PyList_AsTuple(bases_.get()));
  Ref cls;
  if (PyTuple_GET_SIZE(bases.get()) == 0) {
    cls = call(reinterpret_cast<PyObject*>(&PyType_Type), {name.get(), bases.get(), namespace_.get()});
  } else {
    // As a class statement: resolve __mro_entries__, pick the metaclass and
    // let it prepare the namespace (typing.Protocol relies on this).
    Ref types = pcrt::import("types");
    Ref resolved = call_method(types.get(), id_resolve_bases, {bases.get()});
    Ref prepared = call_method(types.get(), id_prepare_class, {name.get(), resolved.get()});
    PyObject* metaclass = PyTuple_GET_ITEM(prepared.get(), 0);
    PyObject* ns = PyTuple_GET_ITEM(prepared.get(), 1);
    check(PyDict_Update(ns, namespace_.get()));
    if (resolved.get() != bases.get()) {
      static const Id id_orig_bases("__orig_bases__");
      dict_set(ns, id_orig_bases, bases.get());
    }
    cls = call(metaclass, {name.get(), resolved.get(), ns});
  }
  for (Ref& fn : functions_) set_defining_class(fn.get(), cls.get());
  return cls;
}

Ref ClassBuilder::build_dataclass() {
  static const Id id_dataclass("dataclass");
  Ref cls = build();
  Ref dataclasses = pcrt::import("dataclasses");
  return call_method(dataclasses.get(), id_dataclass, {cls.get()});
}

int exec_module(PyObject* module, void (*build)(Module&)) {
  try {
    Module builder(module);
    build(builder);
    return 0;
  } catch (const std::exception&) {
    translate_exception();
    return -1;
  }
}

}  // namespace pcrt
