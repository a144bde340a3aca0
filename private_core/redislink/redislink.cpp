// A Redis that may fail; see redislink.hpp.
#include "redislink/redislink.hpp"

#include <cctype>

namespace redislink {
namespace {
using namespace pcrt;

const Id id_warning("warning"), id_info("info");

// A client whose commands fail at the first failure: its pool's connection
// settings with retries off.  Only plain pools are copied: a Sentinel or
// cluster pool carries state of its own, and such clients are used as given.
Ref bounded_client(PyObject* client) {
  static const Id id_connection_pool("connection_pool"), id_ConnectionPool("ConnectionPool"),
      id_BlockingConnectionPool("BlockingConnectionPool"), id_connection_kwargs("connection_kwargs"),
      id_connection_class("connection_class"), id_max_connections("max_connections"), id_retry("retry"),
      id_Retry("Retry"), id_NoBackoff("NoBackoff"), id_Redis("Redis"),
      id_pool_handler("maint_notifications_pool_handler");
  Ref pool = getattr_opt(client, id_connection_pool);
  if (!pool) return Ref::borrow(client);
  Ref redis = import("redis");
  Ref plain = getattr(redis.get(), id_ConnectionPool), blocking = getattr(redis.get(), id_BlockingConnectionPool);
  PyObject* kind = reinterpret_cast<PyObject*>(Py_TYPE(pool.get()));
  if (kind != plain.get() && kind != blocking.get()) return Ref::borrow(client);
  Ref given_kwargs = getattr(pool.get(), id_connection_kwargs);
  Ref kwargs = check(PyDict_Copy(given_kwargs.get()));
  // The given pool's handler of maintenance notices belongs to that pool.
  check(PyDict_PopString(kwargs.get(), id_pool_handler.text(), nullptr));
  Ref retry_cls = import_from("redis.retry", "Retry");
  Ref no_backoff = call(import_from("redis.backoff", "NoBackoff").get());
  dict_set(kwargs.get(), id_retry, call(retry_cls.get(), {no_backoff.get(), integer(0).get()}).get());
  dict_set(kwargs.get(), id_connection_class, getattr(pool.get(), id_connection_class).get());
  dict_set(kwargs.get(), id_max_connections, getattr(pool.get(), id_max_connections).get());
  Ref no_args = tuple({});
  Ref own_pool = check(PyObject_Call(plain.get(), no_args.get(), kwargs.get()));
  return call(getattr(redis.get(), id_Redis).get(), {}, {{id_connection_pool, own_pool.get()}});
}

}  // namespace

std::string kind_of(PyObject* exc) {
  std::string kind(Py_TYPE(exc)->tp_name);
  Ref text = Ref::steal_or_null(PyObject_Str(exc));
  if (!text) {
    PyErr_Clear();
    return kind;
  }
  std::string_view words = utf8(text.get());
  std::size_t end = 0;
  while (end < words.size() && std::isupper(static_cast<unsigned char>(words[end]))) ++end;
  if (end > 0 && (end == words.size() || words[end] == ' ')) kind.append(" ").append(words.substr(0, end));
  return kind;
}

void Link::open(PyObject* owner, PyObject* client, double retry_interval, PyObject* logger, const Texts& texts) {
  static const Id id_RedisError("RedisError"), id_ConnectionError("ConnectionError"), id_TimeoutError("TimeoutError");
  Ref exceptions = import("redis.exceptions");
  Ref redis_error = getattr(exceptions.get(), id_RedisError);
  Ref connection_error = getattr(exceptions.get(), id_ConnectionError);
  Ref timeout_error = getattr(exceptions.get(), id_TimeoutError);
  failures_ = tuple({redis_error.get(), PyExc_OSError});
  outages_ = tuple({connection_error.get(), timeout_error.get(), PyExc_OSError});
  close_own_pool();
  client_ = bounded_client(client);
  own_pool_ = client_.get() != client;
  owner_ = owner;
  logger_ = Ref::borrow(logger);
  texts_ = &texts;
  retry_interval_ = retry_interval;
  out_ = false;
  warned_.clear();
}

void Link::log(const Id& level, const char* text, std::initializer_list<PyObject*> args) const {
  if (!logger_) return;  // cleared by the garbage collector
  log_record(logger_.get(), level, text, args);
}

Failure Link::failed(PyObject* exc) {
  if (isinstance(exc, outages_.get())) {
    if (out_) return Failure::outage;  // another thread noticed first
    out_ = true;
    Ref kind = str(Py_TYPE(exc)->tp_name);
    log(id_warning, texts_->outage, {kind.get(), exc});
    probe_.start(owner_, retry_interval_);
    return Failure::outage;
  }
  std::string kind = kind_of(exc);
  if (warned_.insert(kind).second) {
    Ref shown = str(kind);
    log(id_warning, texts_->refused, {shown.get(), exc});
  }
  return Failure::refused;
}

bool Link::probe_step(PyObject* /*owner*/, void* context) {
  static const Id id_ping("ping");
  auto* link = static_cast<Link*>(context);
  if (!link->client_) return false;
  try {
    call_method(link->client_.get(), id_ping);
  } catch (const Raised&) {
    Ref exc = catch_if(link->failures_.get());
    if (isinstance(exc.get(), link->outages_.get())) return true;  // still out; an error answer is an answer
  }
  // Logged while the outage still holds: once `out_` is cleared, a failure
  // may start a new probe, and the daemon must have let go of this one by
  // then (no Python code runs between here and its end).
  link->log(id_info, link->texts_->recovered, {});
  link->out_ = false;
  return false;
}

void Link::traverse(Visitor& visit) const {
  visit(client_);
  visit(logger_);
  visit(failures_);
  visit(outages_);
  visit(probe_.thread());
}

void Link::close_own_pool() noexcept {
  static const Id id_connection_pool("connection_pool"), id_disconnect("disconnect");
  if (!own_pool_ || !client_) return;
  own_pool_ = false;
  PyObject* pending = PyErr_GetRaisedException();  // a dealloc may run while an error is set
  try {
    Ref pool = getattr(client_.get(), id_connection_pool);
    call_method(pool.get(), id_disconnect);
  } catch (const Raised&) {
    PyErr_Clear();
  }
  PyErr_SetRaisedException(pending);
}

void Link::clear() {
  probe_.stop();
  close_own_pool();
  client_ = nullptr;
  logger_ = nullptr;
}

void Link::after_fork_in_child() noexcept { out_ = false; }

}  // namespace redislink
