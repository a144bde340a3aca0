// Control-flow statements whose Python spelling has no C++ twin:
// `try/finally` and `with`, both with the interpreter's chaining rules.
#pragma once

#include <utility>

#include "pcrt/errors.hpp"

namespace pcrt {

// try: return body()  finally: closing()
// If both fail, the closing action's exception propagates with the body's as
// its context, as in Python.
template <class Body, class Closing>
auto try_finally(Body&& body, Closing&& closing) -> decltype(body()) {
  try {
    auto result = body();
    closing();
    return result;
  } catch (const Raised&) {
    Ref pending = catch_any();
    try {
      closing();
    } catch (const Raised&) {
      raise_during(catch_any(), std::move(pending));
    }
    reraise(std::move(pending));
  }
}

// with manager: return body()
// `__exit__` receives the exception (or three Nones); a true result from it
// swallows the exception, and the statement then yields None.
template <class Body>
Ref with(PyObject* manager, Body&& body) {
  static const Id id_enter("__enter__"), id_exit("__exit__");
  Ref exit = getattr(reinterpret_cast<PyObject*>(Py_TYPE(manager)), id_exit);
  call_method(manager, id_enter);
  try {
    Ref result = body();
    call(exit.get(), {manager, Py_None, Py_None, Py_None});
    return result;
  } catch (const Raised&) {
    Ref pending = catch_any();
    Ref traceback = Ref::steal_or_null(PyException_GetTraceback(pending.get()));
    Ref swallow;
    try {
      swallow = call(exit.get(), {manager, reinterpret_cast<PyObject*>(Py_TYPE(pending.get())), pending.get(),
                                  traceback ? traceback.get() : Py_None});
    } catch (const Raised&) {
      raise_during(catch_any(), std::move(pending));
    }
    if (!truthy(swallow.get())) reraise(std::move(pending));
    return none();
  }
}

}  // namespace pcrt
