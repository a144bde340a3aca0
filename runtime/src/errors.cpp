// Raising with causes and catching by type.
#include <cstdarg>
#include <exception>
#include <new>

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

Ref catch_json_error() {
  if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_RecursionError)) raised();
  return Ref::steal(PyErr_GetRaisedException());
}

void translate_exception() noexcept {
  try {
    throw;
  } catch (const Raised&) {
    // Already pending; an entry point that lost it still must not return
    // NULL without an error set.
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "native code failed without setting an error");
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& exc) {
    PyErr_SetString(PyExc_SystemError, exc.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unknown C++ exception in native code");
  }
}

Ref catch_current() {
  translate_exception();
  return catch_any();
}

}  // namespace pcrt
