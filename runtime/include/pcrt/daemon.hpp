// Background work of an object: one named daemon thread running a native
// loop, and the reset a forked child needs.
//
// A `Daemon` lives inside the object it works for (a member of a native
// type's state).  `start(owner, period)` runs `step(owner, context)` every
// `period` seconds in a daemon thread of the `threading` module, unless one
// runs already; the thread keeps `owner` alive and ends when `step` returns
// false, when `stop()` is called, or when the interpreter exits.
//
// Interpreter exit: a daemon thread woken while the interpreter finalizes is
// ended by unwinding its stack, which native frames do not survive.  An exit
// handler therefore stops every daemon of the module and joins it before
// finalization starts, and no daemon starts after it ran.
//
// Fork: a child inherits the parent's objects but none of its threads.  Every
// `ForkAware` object (each Daemon among them) is told in the child, right
// after `os.fork()`, to drop what the child must not keep: a Daemon forgets
// its thread, so the child's next `start` runs a thread of its own.
//
// Everything here runs under the GIL, except the pause between two steps.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "pcrt/ref.hpp"

namespace pcrt {

// An object that resets, in a process forked from the one that made it, what
// the child must not inherit (threads, tokens that name the parent, locks).
// Construct it under the GIL; the first one installs the fork hook (a
// failure to install it raises).
class ForkAware {
 public:
  ForkAware();
  virtual ~ForkAware();
  ForkAware(const ForkAware&) = delete;
  ForkAware& operator=(const ForkAware&) = delete;

  // Runs in the child, under the GIL, right after os.fork(); must not raise.
  virtual void after_fork_in_child() noexcept = 0;
};

class Daemon : public ForkAware {
 public:
  // One round of work; false ends the thread.  It runs under the GIL; an
  // exception ends the thread and is reported as a thread's exception is.
  using Step = bool (*)(PyObject* owner, void* context);

  // `name` (static text) names the thread in threading.enumerate().
  Daemon(const char* name, Step step, void* context) noexcept : name_(name), step_(step), context_(context) {}
  ~Daemon() override;

  // Starts the loop unless it runs; false when the interpreter is exiting.
  // The first step comes `period` seconds after the start.  The step reads
  // the object's state at each round, so a thread that is already running
  // serves what was added since it started.
  bool start(PyObject* owner, double period);
  // Ends the current pause at once: the next step runs now.
  void wake();
  // Asks the thread to end without another step (it does not wait for it).
  void stop();
  bool running() const noexcept { return static_cast<bool>(thread_); }

  void after_fork_in_child() noexcept override;
  // The threading.Thread while one runs (for a type's GC traversal).
  PyObject* thread() const noexcept { return thread_.get(); }

  // Used by the thread body and the exit handler.
  struct Run;
  static PyObject* run_loop(PyObject* capsule, PyObject*);
  static void stop_all_and_join();

 private:
  enum class Wake : std::uint8_t { timeout, woken, stopped };
  Wake pause(double seconds, std::uint64_t generation);
  void ended(std::uint64_t generation) noexcept;

  const char* name_;
  Step step_;
  void* context_;
  double period_ = 1.0;
  Ref thread_;
  // Which start a thread belongs to: a thread ends only its own run, and a
  // stop or fork makes every older run stale.
  std::uint64_t generation_ = 0;
  std::mutex mutex_;
  std::condition_variable wakeup_;
  bool woken_ = false;
  std::uint64_t stopped_generation_ = 0;  // runs up to this one are asked to end
};

}  // namespace pcrt
