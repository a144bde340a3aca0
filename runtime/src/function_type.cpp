// The native function type: object lifetime, binding as a method, the
// introspection attributes Python tools read, and creation from an FnSpec.
#include <cstddef>
#include <string>

#include "function_object.hpp"

namespace pcrt {
namespace detail {
namespace {

int function_traverse(PyObject* self, visitproc visit, void* arg) {
  FunctionObject* fn = as_function(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(fn->defaults);
  Py_VISIT(fn->kwdefaults);
  Py_VISIT(fn->module);
  Py_VISIT(fn->globals);
  Py_VISIT(fn->doc);
  Py_VISIT(fn->annotations);
  Py_VISIT(fn->klass);
  Py_VISIT(fn->dict);
  return 0;
}

int function_clear(PyObject* self) {
  FunctionObject* fn = as_function(self);
  Py_CLEAR(fn->defaults);
  Py_CLEAR(fn->kwdefaults);
  Py_CLEAR(fn->module);
  Py_CLEAR(fn->globals);
  Py_CLEAR(fn->doc);
  Py_CLEAR(fn->annotations);
  Py_CLEAR(fn->klass);
  Py_CLEAR(fn->dict);
  return 0;
}

void function_dealloc(PyObject* self) {
  FunctionObject* fn = as_function(self);
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  if (fn->weaklist != nullptr) PyObject_ClearWeakRefs(self);
  function_clear(self);
  for (Py_ssize_t i = 0; i < fn->n_params; ++i) Py_CLEAR(fn->names[i]);
  Py_CLEAR(fn->name);
  Py_CLEAR(fn->qualname);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject* /*type*/) {
  if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
  return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// Wraps getters so that C++ exceptions never reach the interpreter.
template <Ref (*Get)(FunctionObject*)>
PyObject* guarded_getter(PyObject* self, void*) {
  try {
    return Get(as_function(self)).release();
  } catch (const std::exception&) {
    translate_exception();
    return nullptr;
  }
}

Ref get_name(FunctionObject* fn) { return Ref::borrow(fn->name); }
Ref get_qualname(FunctionObject* fn) { return Ref::borrow(fn->qualname); }
Ref get_doc(FunctionObject* fn) { return Ref::borrow(fn->doc ? fn->doc : Py_None); }
Ref get_globals(FunctionObject* fn) { return Ref::borrow(fn->globals); }
Ref get_annotations(FunctionObject* fn) { return Ref::borrow(fn->annotations); }

int set_doc(PyObject* self, PyObject* value, void*) {
  FunctionObject* fn = as_function(self);
  Py_XSETREF(fn->doc, Py_XNewRef(value));
  return 0;
}

int set_qualname(PyObject* self, PyObject* value, void*) {
  if (value == nullptr || !PyUnicode_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
    return -1;
  }
  Py_XSETREF(as_function(self)->qualname, Py_NewRef(value));
  return 0;
}

PyObject* function_reduce(PyObject* self, PyObject*) { return Py_NewRef(as_function(self)->qualname); }

PyGetSetDef function_getset[] = {
    {"__name__", guarded_getter<get_name>, nullptr, nullptr, nullptr},
    {"__qualname__", guarded_getter<get_qualname>, set_qualname, nullptr, nullptr},
    {"__doc__", guarded_getter<get_doc>, set_doc, nullptr, nullptr},
    {"__globals__", guarded_getter<get_globals>, nullptr, nullptr, nullptr},
    {"__annotations__", guarded_getter<get_annotations>, nullptr, nullptr, nullptr},
    {"__defaults__", guarded_getter<get_defaults>, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", guarded_getter<get_kwdefaults>, set_kwdefaults, nullptr, nullptr},
    {"__signature__", guarded_getter<get_signature>, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", Py_T_OBJECT_EX, offsetof(FunctionObject, module), 0, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, weaklist), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {Py_tp_methods, function_methods},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "private_core.native_function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

// One type per extension module, created on first use and kept for the life
// of the process, like a static type.
PyTypeObject* function_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) type = check(PyType_FromSpec(&function_spec)).release();
  return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace
}  // namespace detail

using namespace detail;

namespace {

// Names, conversion rules, kinds and annotations of the parameters.
void describe_params(FunctionObject* fn, const FnSpec& spec) {
  Ref annotations = new_dict();
  for (Py_ssize_t i = 0; i < fn->n_params; ++i) {
    const Param& param = spec.params[i];
    fn->names[i] = check(PyUnicode_InternFromString(param.name)).release();
    fn->convs[i] = param.conv;
    if (param.conv != Conv::Any) fn->checked_mask |= 1u << i;
    if (param.kind == Kind::PositionalOrKeyword) fn->n_positional = i + 1;
    if (param.kind == Kind::VarPositional) fn->varargs_index = i;
    if (param.kind == Kind::VarKeyword) fn->varkw_index = i;
    if (param.annotation) dict_set(annotations.get(), fn->names[i], str(param.annotation).get());
  }
  if (spec.returns) dict_set(annotations.get(), str("return").get(), str(spec.returns).get());
  fn->annotations = annotations.release();
}

}  // namespace

Ref make_function(const FnSpec& spec, PyObject* module, const char* qualname_prefix) {
  if (spec.params.size() > kMaxParams) {
    raise_format(PyExc_SystemError, "%s() declares %zu parameters; native functions take at most %zu", spec.name,
                 spec.params.size(), kMaxParams);
  }
  PyTypeObject* type = function_type();
  Ref self = check(type->tp_alloc(type, 0));
  FunctionObject* fn = as_function(self.get());
  fn->vectorcall = function_vectorcall;
  fn->spec = &spec;
  fn->n_params = static_cast<Py_ssize_t>(spec.params.size());
  fn->varargs_index = fn->varkw_index = -1;

  PyObject* globals = PyModule_GetDict(module);
  if (globals == nullptr) raised();
  fn->globals = Py_NewRef(globals);
  watch_globals(globals);
  fn->module = dict_get(globals, str("__name__").get()).release();
  if (fn->module == nullptr) fn->module = Py_NewRef(Py_None);
  fn->name = check(PyUnicode_InternFromString(spec.name)).release();
  fn->qualname = qualname_prefix ? check(PyUnicode_FromFormat("%s%s", qualname_prefix, spec.name)).release()
                                 : Py_NewRef(fn->name);

  describe_params(fn, spec);
  Ref defaults[kMaxParams];
  make_defaults(fn, globals, defaults);

  std::string doc = signature_line(fn, defaults);
  if (spec.doc && *spec.doc) {
    doc += "\n\n";
    doc += spec.doc;
  }
  fn->doc = str(doc).release();
  return self;
}

bool is_function(PyObject* obj) { return Py_IS_TYPE(obj, function_type()); }

}  // namespace pcrt
