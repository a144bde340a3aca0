// Raising with causes and catching by type.
#include <cstdarg>
#include <exception>
#include <new>
#include <optional>

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
  raise_format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", arg, expected,
               Py_TYPE(given)->tp_name);
}

namespace {

// Runs `body` while `handled` is the exception being handled, as inside its
// `except` block; with no `handled`, under whatever the caller handles.
template <class Body>
auto while_handling(PyObject* handled, Body&& body) {
  std::optional<Handling> handling;
  if (handled != nullptr) handling.emplace(handled);
  return body();
}

// What `raise value` raises: an exception as it is, an exception class
// called without arguments; anything else (a replaced class that returned
// None, a str, a Mock) is the interpreter's TypeError, chained to `handled`
// as that raise would chain it, never a crash.
Ref raisable(Ref value, PyObject* handled) {
  PyObject* obj = value.get();
  if (PyExceptionInstance_Check(obj)) return value;
  if (!PyExceptionClass_Check(obj)) {
    while_handling(handled, [] { PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException"); });
    raised();
  }
  Ref made = while_handling(handled, [&] { return check(PyObject_CallNoArgs(obj)); });
  if (!PyExceptionInstance_Check(made.get())) {
    while_handling(handled, [&] {
      PyErr_Format(PyExc_TypeError, "calling %R should have returned an instance of BaseException, not %R", obj,
                   reinterpret_cast<PyObject*>(Py_TYPE(made.get())));
    });
    raised();
  }
  return made;
}

}  // namespace

void raise_exc(Ref exc) {
  Ref raised_exc = raisable(std::move(exc), nullptr);
  // PyErr_SetObject chains to the handled exception, breaking cycles as the
  // interpreter's own raise does.
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(raised_exc.get())), raised_exc.get());
  raised();
}

void reraise(Ref exc) {
  PyErr_SetRaisedException(raisable(std::move(exc), nullptr).release());
  raised();
}

void raise_from(Ref exc, Ref cause) {
  // `except ... as cause: raise exc from cause`: a failure to raise `exc` is
  // raised while `cause` is handled.
  Ref raised_exc = raisable(std::move(exc), cause.get());
  PyException_SetContext(raised_exc.get(), cause.new_ref());
  PyException_SetCause(raised_exc.get(), cause.release());
  PyErr_SetRaisedException(raised_exc.release());
  raised();
}

void raise_during(Ref exc, Ref handled) {
  Ref raised_exc = raisable(std::move(exc), handled.get());
  PyException_SetContext(raised_exc.get(), handled.release());
  PyErr_SetRaisedException(raised_exc.release());
  raised();
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

std::string exception_text(PyObject* exc, std::size_t limit) {
  Ref text = check(PyObject_Str(exc));
  return std::string(Py_TYPE(exc)->tp_name) + ": " + std::string(utf8(text.get()).substr(0, limit));
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
  }
}

Ref catch_current() {
  translate_exception();
  return catch_any();
}

}  // namespace pcrt
