// Native work that runs without the GIL.
#pragma once

#include <type_traits>

#include "pcrt/ref.hpp"

namespace pcrt {

// Returns work(), run with the GIL released.  `work` must not touch Python
// objects.  The GIL is taken back by explicit calls, after a normal return and
// after a C++ exception, never by a destructor: at exit, taking it back is
// where the interpreter ends a daemon thread, and that forced unwind must be
// free to leave through the frames above (a destructor cannot let it pass).
template <class Work>
auto without_gil(Work&& work) -> decltype(work()) {
  using Result = decltype(work());
  PyThreadState* saved = PyEval_SaveThread();
  try {
    if constexpr (std::is_void_v<Result>) {
      work();
    } else {
      Result result = work();
      PyEval_RestoreThread(saved);
      return result;
    }
  } catch (const std::exception&) {
    PyEval_RestoreThread(saved);
    throw;
  }
  if constexpr (std::is_void_v<Result>) PyEval_RestoreThread(saved);
}

}  // namespace pcrt
