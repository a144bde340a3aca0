// Control-flow statements whose Python spelling has no C++ twin:
// `try/finally` and `with`, both with the interpreter's chaining rules.
//
// Both are built on one primitive, `run_with_exit`, so that "the exit action
// runs on every way out" is written once.
#pragma once

#include <utility>

#include "pcrt/errors.hpp"

namespace pcrt {

namespace detail {

// After the body failed: runs `exit` on its exception while that exception is
// being handled (sys.exception() sees it, as in a finally block or __exit__).
// Returns normally only when `exit` swallows the exception; an exception from
// `exit` itself propagates with the body's as its context.
template <class Exit>
void exit_after_failure(Exit& exit) {
  Ref pending = catch_current();
  bool swallow = false;
  try {
    Handling handling(pending.get());
    swallow = exit(pending.get());
  } catch (const std::exception&) {
    raise_during(catch_current(), std::move(pending));
  }
  if (!swallow) reraise(std::move(pending));
}

}  // namespace detail

// The one primitive: returns body(), and runs `exit(exc)` exactly once on
// every way out of it: with nullptr after a normal return, and with the
// body's exception when it fails (any C++ exception, std::bad_alloc
// included, first becomes its Python counterpart).  `exit` returns true to
// swallow that exception, and the result is then a default-constructed value.
template <class Body, class Exit>
auto run_with_exit(Body&& body, Exit&& exit) -> decltype(body()) {
  using Result = decltype(body());
  Result result{};
  try {
    result = body();
  } catch (const std::exception&) {
    detail::exit_after_failure(exit);
    return Result{};
  }
  exit(nullptr);
  return result;
}

// try: return body()  finally: closing()
// If both fail, the closing action's exception propagates with the body's as
// its context, as in Python.
template <class Body, class Closing>
auto try_finally(Body&& body, Closing&& closing) -> decltype(body()) {
  return run_with_exit(std::forward<Body>(body), [&](PyObject*) {
    closing();
    return false;
  });
}

// with manager: return body()
// `__enter__` and `__exit__` are looked up on the manager's type, as the
// statement does.  `__exit__` receives the exception (or three Nones); a
// true result from it swallows the exception, and the statement then yields
// None.
template <class Body>
Ref with(PyObject* manager, Body&& body) {
  static const Id id_enter("__enter__"), id_exit("__exit__");
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(manager));
  Ref enter = getattr_opt(type, id_enter);
  Ref exit = enter ? getattr_opt(type, id_exit) : Ref();
  if (!exit) {
    raise_format(PyExc_TypeError, "'%.200s' object does not support the context manager protocol%s",
                 Py_TYPE(manager)->tp_name, enter ? " (missed __exit__ method)" : "");
  }
  call(enter.get(), {manager});
  Ref result = run_with_exit(std::forward<Body>(body), [&](PyObject* exc) {
    if (exc == nullptr) {
      call(exit.get(), {manager, Py_None, Py_None, Py_None});
      return false;
    }
    Ref traceback = Ref::steal_or_null(PyException_GetTraceback(exc));
    Ref swallow = call(exit.get(), {manager, reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc,
                                    traceback ? traceback.get() : Py_None});
    return truthy(swallow.get());
  });
  return result ? result : none();
}

}  // namespace pcrt
