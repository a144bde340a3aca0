// A Redis that may fail, as the shared stores and the shared pace gate see it.
//
// A `Link` is a member of the state of the object that talks to Redis.  It
// wraps the caller's redis-py client and gives three things:
//
// - Calls bounded in time.  redis-py retries a failed or timed-out command
//   (and a failed connect) with back-off, by default for seconds, whatever
//   the socket time-out says.  A client on a plain connection pool is
//   therefore copied: same connection settings, its own pool, no retries, so
//   a call that meets a dead or paused Redis fails after the connect or
//   socket time-out (at most about twice `socket_timeout` when a reconnect
//   precedes the command).  Other clients (a cluster, Sentinel) are used as
//   given.
// - Failure classes.  A connection error, a time-out or a socket error means
//   Redis is out; an error answer (OOM, NOPERM, a read-only replica...) fails
//   that one command only, with one warning per kind of error.
// - The outage.  Declared once, with one warning; callers then skip Redis
//   while a daemon thread pings it every `retry_interval` seconds and ends
//   the outage when it answers.  A forked child starts without the parent's
//   outage (its first failing call declares its own).
#pragma once

#include <optional>
#include <string>
#include <unordered_set>

#include "pcrt/daemon.hpp"
#include "pcrt/native_type.hpp"
#include "pcrt/pcrt.hpp"

namespace redislink {

// The records a link logs; %s are replaced by the error's kind and the error.
struct Texts {
  const char* outage;     // warning when an outage begins: (kind, error)
  const char* recovered;  // info when Redis answers again
  const char* refused;    // warning, once per kind of error answer: (kind, error)
};

enum class Failure { outage, refused };

class Link : public pcrt::ForkAware {
 public:
  Link() : probe_("private_core redis probe", probe_step, this) {}
  ~Link() override { close_own_pool(); }

  // `owner` is the object whose state holds this link (kept alive by the
  // probe while it runs); `logger` a logging.Logger; `texts` static.
  void open(PyObject* owner, PyObject* client, double retry_interval, PyObject* logger, const Texts& texts);

  // The client commands go through (the bounded copy, or the given client).
  PyObject* client() const noexcept { return client_.get(); }
  // Whether an outage is going on (callers skip Redis).
  bool out() const noexcept { return out_; }

  // command()'s result; nothing when Redis is out (now or already) or
  // refused the command, and then `failure` (if given) says which.
  // Exceptions that are no Redis or socket failure propagate.
  template <class Command>
  std::optional<pcrt::Ref> attempt(Command&& command, Failure* failure = nullptr) {
    if (failure != nullptr) *failure = Failure::outage;
    if (out_ || !client_) return std::nullopt;
    try {
      return command();
    } catch (const pcrt::Raised&) {
      pcrt::Ref exc = pcrt::catch_if(failures_.get());
      const Failure kind = failed(exc.get());
      if (failure != nullptr) *failure = kind;
      return std::nullopt;
    }
  }
  // What `exc` (a Redis or socket failure) means, and its effect: an outage
  // begins, or the refusal is warned about once per kind.
  Failure failed(PyObject* exc);

  void traverse(pcrt::Visitor& visit) const;
  void clear();
  void after_fork_in_child() noexcept override;

 private:
  static bool probe_step(PyObject* owner, void* context);
  // Closes the sockets of the pool this link made (garbage collection could
  // otherwise reach a socket before the connection that would close it).
  void close_own_pool() noexcept;
  void log(const pcrt::Id& level, const char* text, std::initializer_list<PyObject*> args) const;

  PyObject* owner_ = nullptr;  // borrowed: the link lives inside it
  pcrt::Ref client_, logger_;
  pcrt::Ref failures_;  // (RedisError, OSError): what attempt() catches
  pcrt::Ref outages_;   // (ConnectionError, TimeoutError, OSError)
  const Texts* texts_ = nullptr;
  double retry_interval_ = 1.0;
  bool out_ = false;
  bool own_pool_ = false;  // client_ is the bounded copy, with a pool of its own
  std::unordered_set<std::string> warned_;  // kinds of error answers already warned about
  pcrt::Daemon probe_;
};

// The kind of an error answer, for "once per kind": the exception's class
// and the error code Redis puts first ("ResponseError OOM").
std::string kind_of(PyObject* exc);

}  // namespace redislink
