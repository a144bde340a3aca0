// Raising with causes and catching by type.
#include <cstdarg>

#include "pcrt/errors.hpp"

namespace pcrt {

void raise(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  raised();
}

void raise_format(PyObject* type, const char* format, ...) {
  va_list vargs;
  va_start(vargs, format);
  PyErr_FormatV(type, format, vargs);
  va_end(vargs);
  raised();
}

void raise_arg_type(const char* arg, const char* expected, PyObject* given) {
  raise_format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", arg,
               expected, Py_TYPE(given)->tp_name);
}

void raise_exc(Ref exc) {
  // PyErr_SetObject chains to the handled exception, breaking cycles as the
  // interpreter's own raise does.
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
  raised();
}

void reraise(Ref exc) {
  PyErr_SetRaisedException(exc.release());
  raised();
}

void raise_from(Ref exc, Ref cause) {
  PyException_SetContext(exc.get(), cause.new_ref());
  PyException_SetCause(exc.get(), cause.release());
  reraise(std::move(exc));
}

void raise_during(Ref exc, Ref handled) {
  PyException_SetContext(exc.get(), handled.release());
  reraise(std::move(exc));
}

Ref catch_if(PyObject* type) {
  if (!PyErr_ExceptionMatches(type)) raised();
  return Ref::steal(PyErr_GetRaisedException());
}

Ref catch_any() { return Ref::steal(PyErr_GetRaisedException()); }

}  // namespace pcrt
