// Owning references and the error-propagation convention of the runtime.
//
// Every Python object that native code holds lives in a `Ref`.  A failing C API
// call leaves the Python error indicator set and throws `Raised`; the entry
// point of every native function catches it and returns NULL to the
// interpreter, so module code reads straight through like the Python it mirrors.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <utility>

// 1: use the fast paths that rely on interpreter internals or on caches kept
// valid by interpreter hooks (see site.hpp); 0: public-API paths only.  Set by
// the build (PC_FAST_PATHS).
#ifndef PCRT_FAST_PATHS
#define PCRT_FAST_PATHS 1
#endif

namespace pcrt {

// Thrown when the Python error indicator is set.  Carries nothing: the error
// itself stays in the interpreter until an entry point hands it back.
//
// Every exception of ours derives from std::exception, and handlers name it
// (`catch (const std::exception&)`), never `catch (...)`.  At exit the
// interpreter ends a daemon thread that asks for the GIL back with
// pthread_exit, which glibc runs as a forced unwind through our frames, the
// thread by then without a thread state.  That unwind must pass through
// untouched: a handler that catches it, even only to rethrow it, aborts the
// process when it runs inside another handler (libstdc++ refuses to catch
// that foreign exception while one is being handled, and a handler's Python
// call may well release the GIL), and a handler that swallows it aborts too.
struct Raised : std::exception {
  const char* what() const noexcept override { return "a Python exception is pending"; }
};

[[noreturn]] inline void raised() { throw Raised{}; }

// Whether this thread may call the C API.  False only in a thread the
// interpreter is ending at exit, while it unwinds: destructors then leave what
// they hold to the dying process instead of touching the interpreter.
inline bool has_thread_state() noexcept { return PyThreadState_GetUnchecked() != nullptr; }

// Py_DECREF for destructors.  Only the branch that would free looks at the
// thread state, so the common case costs one compare: a thread being ended at
// exit may drop a count that stays above zero (the object lives on for its
// other owners, and at worst a racing count leaks), never run a deallocator.
inline void drop_ref(PyObject* obj) noexcept {
  if (Py_REFCNT(obj) == 1 && !has_thread_state()) [[unlikely]]
    return;
  Py_DECREF(obj);
}

class Ref {
 public:
  Ref() noexcept = default;
  Ref(std::nullptr_t) noexcept {}
  Ref(const Ref& other) noexcept : ptr_(Py_XNewRef(other.ptr_)) {}
  Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
  ~Ref() {
    if (ptr_ != nullptr) drop_ref(ptr_);
  }

  Ref& operator=(Ref other) noexcept {
    std::swap(ptr_, other.ptr_);
    return *this;
  }

  // Takes over a new reference; NULL means the call that produced it failed.
  static Ref steal(PyObject* obj) {
    if (obj == nullptr) raised();
    return Ref(obj);
  }
  // Takes over a new reference that may legitimately be NULL without an error.
  static Ref steal_or_null(PyObject* obj) noexcept { return Ref(obj); }
  // Adds a reference to a borrowed object.
  static Ref borrow(PyObject* obj) noexcept { return Ref(Py_XNewRef(obj)); }

  PyObject* get() const noexcept { return ptr_; }
  PyObject* operator->() const noexcept { return ptr_; }
  explicit operator bool() const noexcept { return ptr_ != nullptr; }
  // Hands the reference to a caller that steals it (C API return values).
  PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
  // A new reference for a consumer that steals but where we keep ours.
  PyObject* new_ref() const noexcept { return Py_XNewRef(ptr_); }

 private:
  explicit Ref(PyObject* obj) noexcept : ptr_(obj) {}
  PyObject* ptr_ = nullptr;
};

// Steals a new reference returned by a C API call, throwing on NULL.
inline Ref check(PyObject* obj) { return Ref::steal(obj); }
// Checks an int status of a C API call (-1 means an error is set).
inline int check(int status) {
  if (status < 0) raised();
  return status;
}
inline Py_ssize_t check_size(Py_ssize_t n) {
  if (n < 0) raised();
  return n;
}

}  // namespace pcrt
