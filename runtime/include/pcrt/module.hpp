// Building extension modules: imports, module attributes, classes,
// dataclasses and protocols, bound in the order a Python module body would.
//
// A module source defines `static void build(pcrt::Module& m)` and declares
// `PCRT_MODULE(name, build)`.  Modules use multi-phase initialisation, so the
// module is already in `sys.modules` while it is built (dataclasses look their
// module up there to resolve string annotations).
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

#include "pcrt/function.hpp"

namespace pcrt {

class Module {
 public:
  explicit Module(PyObject* module);

  PyObject* object() const noexcept { return module_; }
  PyObject* dict() const noexcept { return dict_; }

  // module.name = value
  void add(const char* name, PyObject* value);
  // The current value of a module attribute.
  Ref get(const char* name) const;

  // `import name` binds `name`; `import name as alias` binds `alias`.
  Ref import(const char* name, const char* alias = nullptr);
  // `from module import a, b, ...`
  void import_from(const char* module, std::initializer_list<const char*> names);
  // `from .module import a, b, ...` relative to this module's package (`level` dots).
  void import_relative(const char* module, std::initializer_list<const char*> names, int level = 1);

  // `def name(...)`: creates the function and binds it under its name.
  Ref def(const FnSpec& spec);
  // `__all__ = [...]`
  void set_all(std::initializer_list<const char*> names);

 private:
  PyObject* module_;  // borrowed: the module outlives its build
  PyObject* dict_;
};

// Collects a class body and creates the class as a class statement would:
// the metaclass is resolved from the bases, the namespace carries
// `__module__`, `__qualname__`, `__doc__`, the methods and `__annotations__`.
class ClassBuilder {
 public:
  ClassBuilder(Module& module, const char* name, const char* doc = nullptr);

  ClassBuilder& base(PyObject* cls);
  ClassBuilder& method(const FnSpec& spec);
  // A method wrapped in a decorator such as `classmethod` or `staticmethod`.
  ClassBuilder& decorated(const FnSpec& spec, PyObject* decorator);
  ClassBuilder& attr(const char* name, PyObject* value);
  // An annotated class attribute (`name: annotation` or `name: annotation = value`).
  ClassBuilder& annotate(const char* name, const char* annotation, PyObject* value = nullptr);

  // type(name, bases, namespace), or the bases' metaclass.
  Ref build();
  // `@dataclass` applied to the class built from the collected body.
  Ref build_dataclass();

 private:
  Module& module_;
  const char* name_;
  Ref bases_;  // list until build
  Ref namespace_;
  Ref annotations_;
  std::vector<Ref> functions_;
};

// Runs `build` as the module's exec slot; any error makes the import fail.
//
// Every module declares Py_MOD_GIL_USED: the runtime's caches (global reads,
// keyword-name tuples, attribute sites, interned ids) rely on the GIL, so a
// free-threaded interpreter re-enables it for them, as the declaration asks.
int exec_module(PyObject* module, void (*build)(Module&));

}  // namespace pcrt

#define PCRT_MODULE(NAME, BUILD)                                                                                        \
  static int NAME##_exec(PyObject* module) { return ::pcrt::exec_module(module, BUILD); }                               \
  static PyModuleDef_Slot NAME##_slots[] = {{Py_mod_exec, reinterpret_cast<void*>(NAME##_exec)},                        \
                                            {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED}, \
                                            {Py_mod_gil, Py_MOD_GIL_USED},                                              \
                                            {0, nullptr}};                                                              \
  static PyModuleDef NAME##_def = {PyModuleDef_HEAD_INIT, #NAME,   nullptr, 0,      nullptr,                            \
                                   NAME##_slots,          nullptr, nullptr, nullptr};                                   \
  PyMODINIT_FUNC PyInit_##NAME(void) { return PyModuleDef_Init(&NAME##_def); }
