// Daemon threads of native objects and the fork reset; see daemon.hpp.
#include "pcrt/daemon.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <new>
#include <vector>

#include "pcrt/errors.hpp"
#include "pcrt/gil.hpp"

namespace pcrt {
namespace {

// This module's registries (the runtime is linked into each module, so each
// module keeps and resets its own).  Touched under the GIL only.
std::vector<ForkAware*>& fork_aware() {
  static auto* objects = new std::vector<ForkAware*>();  // never freed: exit handlers may run late
  return *objects;
}
std::vector<Daemon*>& running_daemons() {
  static auto* daemons = new std::vector<Daemon*>();
  return *daemons;
}
void forget(std::vector<Daemon*>& list, Daemon* daemon) { std::erase(list, daemon); }

// Set by the exit handler; read by paused threads without the GIL.
std::atomic<bool> g_exiting{false};

constexpr const char* kRunCapsule = "pcrt.daemon.run";

PyObject* after_fork_child(PyObject*, PyObject*) {
  // A reset may free others: a daemon dropping its dead thread can release
  // the last reference to its owner.  Each is looked up again before it runs.
  std::vector<ForkAware*> objects = fork_aware();
  for (ForkAware* object : objects) {
    if (std::ranges::find(fork_aware(), object) != fork_aware().end()) object->after_fork_in_child();
  }
  Py_RETURN_NONE;
}

PyObject* at_exit(PyObject*, PyObject*) {
  try {
    Daemon::stop_all_and_join();
    Py_RETURN_NONE;
  } catch (const std::exception&) {
    translate_exception();
    return nullptr;
  }
}

PyMethodDef g_fork_def{"_pcrt_after_fork_in_child", after_fork_child, METH_NOARGS, nullptr};
PyMethodDef g_exit_def{"_pcrt_stop_daemons", at_exit, METH_NOARGS, nullptr};
PyMethodDef g_run_def{"_pcrt_daemon_loop", Daemon::run_loop, METH_NOARGS, nullptr};

// os.register_at_fork(after_in_child=...) and atexit.register(...), once.
void install_hooks() {
  static bool installed = false;
  if (installed) return;
  static const Id id_register_at_fork("register_at_fork"), id_after_in_child("after_in_child"), id_register("register");
  Ref os = import("os");
  Ref on_fork = check(PyCFunction_New(&g_fork_def, nullptr));
  call_method(os.get(), id_register_at_fork, {}, {{id_after_in_child, on_fork.get()}});
  Ref atexit = import("atexit");
  Ref on_exit = check(PyCFunction_New(&g_exit_def, nullptr));
  call_method(atexit.get(), id_register, {on_exit.get()});
  installed = true;
}

}  // namespace

ForkAware::ForkAware() {
  install_hooks();
  fork_aware().push_back(this);
}

ForkAware::~ForkAware() { std::erase(fork_aware(), this); }

// What a thread runs for: its daemon, the owner it keeps alive, its start.
struct Daemon::Run {
  Daemon* daemon;
  Ref owner;
  std::uint64_t generation;
};

Daemon::~Daemon() {
  // The thread keeps the owner (and so this daemon) alive: no run is left.
  forget(running_daemons(), this);
}

bool Daemon::start(PyObject* owner, double period) {
  static const Id id_Thread("Thread"), id_target("target"), id_daemon("daemon"), id_name("name"), id_start("start");
  if (g_exiting.load()) return false;
  if (thread_) return true;
  period_ = period;
  const std::uint64_t generation = ++generation_;
  auto* run = new Run{this, Ref::borrow(owner), generation};
  PyObject* capsule_raw = PyCapsule_New(run, kRunCapsule, [](PyObject* capsule) {
    delete static_cast<Run*>(PyCapsule_GetPointer(capsule, kRunCapsule));
  });
  if (capsule_raw == nullptr) {
    delete run;
    raised();
  }
  Ref capsule = check(capsule_raw);
  Ref target = check(PyCFunction_New(&g_run_def, capsule.get()));
  Ref threading = import("threading");
  Ref name = check(PyUnicode_FromString(name_));
  Ref thread = call_method(threading.get(), id_Thread, {},
                           {{id_target, target.get()}, {id_daemon, Py_True}, {id_name, name.get()}});
  thread_ = thread;  // before start: a concurrent caller sees it and starts none
  running_daemons().push_back(this);
  try {
    call_method(thread.get(), id_start);
  } catch (const std::exception&) {
    ended(generation);
    throw;
  }
  return true;
}

void Daemon::wake() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    woken_ = true;
  }
  wakeup_.notify_all();
}

void Daemon::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_generation_ = generation_;
  }
  wakeup_.notify_all();
  ended(generation_);
}

Daemon::Wake Daemon::pause(double seconds, std::uint64_t generation) {
  // Bounded so that the clock arithmetic cannot overflow; a step comes at least once in 11 days.
  const auto span = std::chrono::duration<double>(std::clamp(seconds, 0.0, 1e6));
  return without_gil([&] {
    std::unique_lock<std::mutex> lock(mutex_);
    auto stopped = [&] {
      return stopped_generation_ >= generation || g_exiting.load();
    };
    wakeup_.wait_for(lock, span, [&] { return woken_ || stopped(); });
    const Wake result = stopped() ? Wake::stopped : woken_ ? Wake::woken : Wake::timeout;
    woken_ = false;
    return result;
  });
}

void Daemon::ended(std::uint64_t generation) noexcept {
  if (generation != generation_ || !thread_) return;  // a stale run: a newer start owns the slot
  thread_ = nullptr;
  forget(running_daemons(), this);
}

PyObject* Daemon::run_loop(PyObject* capsule, PyObject*) {
  auto* run = static_cast<Run*>(PyCapsule_GetPointer(capsule, kRunCapsule));
  if (run == nullptr) return nullptr;
  Daemon* daemon = run->daemon;
  const std::uint64_t generation = run->generation;
  try {
    // No Python code runs between a step's last look at the owner and
    // ended(): a start either sees this thread still set or starts another.
    while (daemon->pause(daemon->period_, generation) != Wake::stopped) {
      if (!daemon->step_(run->owner.get(), daemon->context_)) break;
    }
  } catch (const std::exception&) {
    daemon->ended(generation);
    translate_exception();
    return nullptr;
  }
  daemon->ended(generation);
  Py_RETURN_NONE;
}

void Daemon::after_fork_in_child() noexcept {
  // The thread does not exist here; its lock may have been held by it at the fork.
  new (&mutex_) std::mutex();
  new (&wakeup_) std::condition_variable();
  woken_ = false;
  stopped_generation_ = generation_;
  ++generation_;
  forget(running_daemons(), this);
  // Last: the dead thread may hold the last reference to the owner, and so to this daemon.
  Ref dead = std::move(thread_);
}

void Daemon::stop_all_and_join() {
  static const Id id_join("join"), id_timeout("timeout");
  g_exiting.store(true);
  std::vector<Ref> threads;
  std::vector<Daemon*> daemons = running_daemons();
  for (Daemon* daemon : daemons) {
    threads.push_back(daemon->thread_);
    daemon->stop();
  }
  // A thread inside a slow call ends when that call returns; the exit waits for it a while only.
  // One that another thread is still starting (Thread.start() waits for it
  // without the GIL) cannot be joined yet; it sees the exit at its first
  // pause and ends without a step.
  static const Id id_is_alive("is_alive");
  Ref timeout = check(PyFloat_FromDouble(5.0));
  for (Ref& thread : threads) {
    if (truthy(call_method(thread.get(), id_is_alive).get())) {
      call_method(thread.get(), id_join, {}, {{id_timeout, timeout.get()}});
    }
  }
}

}  // namespace pcrt
