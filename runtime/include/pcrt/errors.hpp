// Raising and catching Python exceptions from native code.
//
// `raise_*` set the error indicator and throw `Raised`.  Inside a
// `catch (const Raised&)` block, `catch_if(type)` takes the pending exception
// when it is an instance of `type` and otherwise lets it propagate, which is
// the native spelling of `except type as exc:`.
#pragma once

#include <string>

#include "pcrt/ops.hpp"

namespace pcrt {

[[noreturn]] void raise(PyObject* type, const char* message);
[[noreturn]] void raise_format(PyObject* type, const char* format, ...);
// The argument-type failure of the calling convention:
// "Argument 'name' has incorrect type (expected str, got int)".
[[noreturn]] void raise_arg_type(const char* arg, const char* expected, PyObject* given);

// The raising primitives below take what a call of an exception class
// returned, which callers may have replaced: as Python's raise, an exception
// class is called without arguments, and anything that is no exception
// raises TypeError("exceptions must derive from BaseException") instead.
//
// `raise exc`: like Python's raise, a new exception takes the exception the
// caller is handling (if any) as its context.
[[noreturn]] void raise_exc(Ref exc);
// Bare `raise` of an exception taken with catch_if/catch_any: it goes on
// unchanged, its context untouched.
[[noreturn]] void reraise(Ref exc);
// `raise exc from cause`: cause and context both point at `cause` (a
// TypeError for an `exc` that is no exception has `cause` as its context).
[[noreturn]] void raise_from(Ref exc, Ref cause);
// `raise exc` inside `except`: the handled exception becomes the context.
[[noreturn]] void raise_during(Ref exc, Ref handled);

// Inside a handler for `Raised`: the pending exception if it is an instance of
// `type` (the indicator is then cleared), otherwise rethrows with it still set.
// No Python code may run while the error is pending: for a class that has to
// be looked up (a module global, a class of another package) use
// `catch_matching`.
Ref catch_if(PyObject* type);
// Inside a handler for `Raised`: the pending exception, whatever its type.
Ref catch_any();
// `except (ValueError, RecursionError)` around a JSON decode: a decoder
// raises ValueError for a malformed body and RecursionError for one nested
// too deeply; both mean "not decodable" and are handled alike.
Ref catch_json_error();

// "TypeName: message" of an exception, the message cut after `limit` bytes:
// the reason a log line gives when a value is kept back.
std::string exception_text(PyObject* exc, std::size_t limit = 200);

// Inside a `catch (const std::exception&)` handler: makes the C++ exception in flight the
// pending Python exception (`Raised`: already pending; std::bad_alloc:
// MemoryError; anything else: SystemError).  Entry points call this before
// returning NULL, so no C++ exception crosses into the interpreter.
void translate_exception() noexcept;
// Inside a `catch (const std::exception&)` handler: the exception in flight, as a Python
// exception taken from the indicator.
Ref catch_current();

// Marks `exc` as the exception being handled for the life of the scope, as an
// `except` block does: sys.exc_info() and `logger.exception` see it, and an
// exception set meanwhile with PyErr_SetString & co. takes it as its context.
class Handling {
 public:
  explicit Handling(PyObject* exc) : previous_(Ref::steal_or_null(PyErr_GetHandledException())) {
    PyErr_SetHandledException(exc);
  }
  ~Handling() {
    if (has_thread_state()) PyErr_SetHandledException(previous_.get());
  }
  Handling(const Handling&) = delete;
  Handling& operator=(const Handling&) = delete;

 private:
  Ref previous_;
};

// One level of the interpreter's recursion limit for the life of a scope, for
// native code that recurses through nested values without Python frames of
// its own: too deep a nesting raises RecursionError (its message ending with
// `where`) instead of exhausting the C stack.
class RecursionGuard {
 public:
  explicit RecursionGuard(const char* where) {
    if (Py_EnterRecursiveCall(where) != 0) raised();
  }
  ~RecursionGuard() {
    if (has_thread_state()) Py_LeaveRecursiveCall();
  }
  RecursionGuard(const RecursionGuard&) = delete;
  RecursionGuard& operator=(const RecursionGuard&) = delete;
};

// Whether `exc`, already taken from the indicator, is an instance of the
// class `lookup()` returns; the look-up runs while `exc` is being handled, so
// an error in it chains to `exc` as in Python.  For a chain of `except`
// clauses, test each class in turn.
template <class Lookup>
bool except_matches(PyObject* exc, Lookup&& lookup) {
  Ref cls;
  {
    Handling handling(exc);
    cls = lookup();
  }
  return PyErr_GivenExceptionMatches(exc, cls.get()) != 0;
}

// `except <expr> as exc:` where evaluating <expr> runs Python code (a module
// global read at call time, an import).  Inside a handler for `Raised`: takes
// the pending exception first, then calls `lookup()` for the class while that
// exception is being handled, then returns the exception if it matches and
// re-raises it unchanged otherwise.
template <class Lookup>
Ref catch_matching(Lookup&& lookup) {
  Ref pending = catch_any();
  if (!except_matches(pending.get(), lookup)) reraise(std::move(pending));
  return pending;
}

}  // namespace pcrt
