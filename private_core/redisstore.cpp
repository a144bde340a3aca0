// private_core.redisstore: a cache store shared by every process that talks to
// one Redis, with single-flight across them.
//
// RedisStore has the interface of memstore._Cache and takes its place as a
// client's `_cache`.  A process-local _Cache sits in front with the same
// expiries, so a repeated read costs what a _Cache hit costs; a local miss
// reads Redis and keeps what it finds.  The single-flight count of a slot
// lives in Redis as a sorted set of holders, each with a lease that a
// background thread renews while its call is in progress: a process that dies
// mid-fetch frees its place when the lease runs out.  Redis is a helper, never
// a point of failure: when it is down or failing, every operation falls back
// to the local tier (one warning per outage) while a thread probes it every
// `retry_interval` seconds.
#include "pcrt/pcrt.hpp"
#include "pcrt/site.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "storecodec/cachekey.hpp"
#include "storecodec/entrycodec.hpp"

namespace {
using namespace pcrt;

const Id id_redis("_redis"), id_prefix("_prefix"), id_local("_local"), id_mac("_mac"), id_lease("_lease"),
    id_lease_ms("_lease_ms"), id_retry_interval("_retry_interval"), id_outage("_outage"), id_prober("_prober"),
    id_held("_held"), id_renewer("_renewer"), id_unshared("_unshared"), id_holder("_holder"),
    id_begin_script("_begin_script"), id_end_script("_end_script"), id_renew_script("_renew_script");
const Id id_logger("logger"), id_failures("_REDIS_FAILURES"), id_SHUTDOWN("_SHUTDOWN"), id_RENEWERS("_RENEWERS"),
    id_Cache("_Cache"), id_datetime("datetime"), id_now("now");
const Id id_get("get"), id_set("set"), id_params("params"), id_ttl("ttl"), id_fetched_at("fetched_at"),
    id_expires_at("expires_at"), id_data("data"), id_keys("keys"), id_args("args");

Site site_local(id_local), site_get(id_get);

// Single-flight in Redis.  A slot's holders are a sorted set scored by lease
// end (server time, ms); expired holders are dropped on every touch, and the
// whole set expires with the last lease, so nothing outlives its holders.
// KEYS[1] the set, KEYS[2] the entry; ARGV token, lease ms, 1 when the caller
// missed this entry just before registering.  A first holder that finds the
// entry stored since its miss is told to wait: its first look finds it, and
// the service is not asked twice for what another process just fetched.
constexpr const char* kBeginScript = R"lua(
local t = redis.call('TIME')
local now = tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000)
redis.call('ZREMRANGEBYSCORE', KEYS[1], '-inf', now)
redis.call('ZADD', KEYS[1], now + tonumber(ARGV[2]), ARGV[1])
redis.call('PEXPIRE', KEYS[1], ARGV[2])
local n = redis.call('ZCARD', KEYS[1])
if n == 1 and ARGV[3] == '1' and redis.call('EXISTS', KEYS[2]) == 1 then return 0 end
if n == 1 then return 1 end
return 0
)lua";
constexpr const char* kEndScript = R"lua(
local t = redis.call('TIME')
local now = tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000)
redis.call('ZREM', KEYS[1], ARGV[1])
redis.call('ZREMRANGEBYSCORE', KEYS[1], '-inf', now)
return redis.call('ZCARD', KEYS[1])
)lua";
// ARGV lease ms, then the tokens this process still holds.
constexpr const char* kRenewScript = R"lua(
local t = redis.call('TIME')
local now = tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000)
redis.call('ZREMRANGEBYSCORE', KEYS[1], '-inf', now)
for i = 2, #ARGV do redis.call('ZADD', KEYS[1], 'XX', now + tonumber(ARGV[1]), ARGV[i]) end
if redis.call('EXISTS', KEYS[1]) == 1 then redis.call('PEXPIRE', KEYS[1], ARGV[1]) end
return 0
)lua";

// ---------------------------------------------------------------------------
// Names in Redis: "<prefix>:{<slot>}:e" holds the entry, ":f" the holders.
// The braces make both one hash slot on a cluster, as a script needs.

std::string slot_name(PyObject* self, const std::string& slot, char kind) {
  Ref prefix = getattr(self, id_prefix);
  std::string name(utf8(prefix.get()));
  name += ":{";
  name += slot;
  name += "}:";
  name.push_back(kind);
  return name;
}

Ref as_bytes(const std::string& text) {
  return check(PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

// The slot whose Redis read missed last on this thread, with the store.
// _fetch_with_cache registers right after a miss; `_begin_inflight` then
// asks Redis whether the entry arrived in between.  Any other operation of
// the thread forgets the miss, so a live call never takes a stored entry.
thread_local std::string t_missed __attribute__((tls_model("initial-exec")));

std::string miss_mark(PyObject* self, const std::string& slot) {
  std::string mark(reinterpret_cast<const char*>(&self), sizeof self);
  return mark + slot;
}
void forget_miss() {
  if (!t_missed.empty()) t_missed.clear();
}

// ---------------------------------------------------------------------------
// Talking to Redis: failures become a fallback, never the caller's error.

void log_record(const Call& c, const char* level, const char* format, Args args) {
  static const Id id_warning("warning"), id_info("info");
  Ref logger = c.global(id_logger);
  Ref message = str(format);
  std::vector<PyObject*> items{message.get()};
  items.insert(items.end(), args.begin(), args.end());
  Ref tuple_args = check(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
  for (std::size_t i = 0; i < items.size(); ++i) PyTuple_SET_ITEM(tuple_args.get(), i, Py_NewRef(items[i]));
  Ref method = getattr(logger.get(), level[0] == 'w' ? id_warning : id_info);
  check(PyObject_Call(method.get(), tuple_args.get(), nullptr));
}

void start_daemon(const Call& c, PyObject* self, const Id& slot, const char* method, const char* name);

// The first failure of an outage: one warning, and a thread that probes
// Redis every `retry_interval` seconds until it answers.  Callers meanwhile
// skip Redis altogether, so an outage costs them nothing after the first
// failure (a client that retries with backoff may take seconds to fail).
void outage_began(const Call& c, PyObject* self, PyObject* exc) {
  Ref outage = getattr(self, id_outage);
  if (outage.get() == Py_True) return;  // another thread noticed first
  setattr(self, id_outage, Py_True);
  Ref kind = str(Py_TYPE(exc)->tp_name);
  log_record(c, "warning",
             "Redis is unreachable or failing (%s: %s); this process serves its own entries and fetches the "
             "rest until Redis answers again",
             {kind.get(), exc});
  start_daemon(c, self, id_prober, "_probe_redis", "private_core.redisstore probe");
}

// The result of `command()`, or nothing when Redis is out (it failed now, or
// an outage is going on).
template <class Command>
std::optional<Ref> attempt(const Call& c, PyObject* self, Command&& command) {
  Ref outage = getattr(self, id_outage);
  if (outage.get() == Py_True) return std::nullopt;
  try {
    return command();
  } catch (const Raised&) {
    Ref exc = catch_matching([&] { return c.global(id_failures); });
    outage_began(c, self, exc.get());
    return std::nullopt;
  }
}

Ref run_script(PyObject* self, const Id& script, std::initializer_list<PyObject*> keys, Ref args) {
  Ref key_list = new_list();
  for (PyObject* key : keys) list_append(key_list.get(), key);
  Ref fn = getattr(self, script);
  return call(fn.get(), {}, {{id_keys, key_list.get()}, {id_args, args.get()}});
}

Ref now(const Call& c) {
  Ref datetime = c.global(id_datetime);
  return call_method(datetime.get(), id_now);
}

// Removes the shared entry of a slot (a stale copy must not outlive a newer
// value that stays local, or an entry that is already expired).
void drop_shared(const Call& c, PyObject* self, PyObject* name) {
  static const Id id_unlink("unlink");
  Ref redis = getattr(self, id_redis);
  attempt(c, self, [&] { return call_method(redis.get(), id_unlink, {name}); });
}

// ---------------------------------------------------------------------------
// RedisStore

enum class InitArg : std::size_t { self, redis, prefix, secret, lease, retry_interval };

Ref redis_store_init(Call& c) {
  static const Id id_get_encoder("get_encoder"), id_decode_responses("decode_responses"), id_new("new"),
      id_digestmod("digestmod"), sha256("sha256"), id_register_script("register_script"), id_urandom("urandom"),
      id_hex("hex"), id_hmac("hmac"), id_os("os");
  PyObject* self = c.self();
  PyObject* redis = c[InitArg::redis];
  PyObject* secret = c[InitArg::secret];
  const double lease = c.real(InitArg::lease);
  const double retry_interval = c.real(InitArg::retry_interval);
  if (!(lease > 0) || !std::isfinite(lease)) raise(PyExc_ValueError, "lease must be a positive number of seconds");
  if (!(retry_interval > 0) || !std::isfinite(retry_interval)) {
    raise(PyExc_ValueError, "retry_interval must be a positive number of seconds");
  }
  // Entries are bytes; a client that decodes answers to text would corrupt every one.
  if (Ref get_encoder = getattr_opt(redis, id_get_encoder)) {
    Ref encoder = call(get_encoder.get());
    Ref decodes = getattr_opt(encoder.get(), id_decode_responses);
    if (decodes && truthy(decodes.get())) {
      raise(PyExc_ValueError, "the Redis client must return bytes: create it with decode_responses=False");
    }
  }
  Ref mac = none();
  if (secret != Py_None) {
    Ref key;
    if (PyBytes_CheckExact(secret)) {
      key = Ref::borrow(secret);
    } else if (PyUnicode_CheckExact(secret)) {
      key = check(PyUnicode_AsUTF8String(secret));
    } else {
      raise_arg_type("secret", "bytes", secret);
    }
    if (PyBytes_GET_SIZE(key.get()) == 0) raise(PyExc_ValueError, "the integrity secret must not be empty");
    // Only the keyed hmac object is kept: the secret itself is in no attribute.
    Ref hmac = c.global(id_hmac);
    mac = call_method(hmac.get(), id_new, {key.get()}, {{id_digestmod, sha256.get()}});
  }
  Ref os = c.global(id_os);
  Ref random = call_method(os.get(), id_urandom, {integer(9).get()});

  setattr(self, id_redis, redis);
  setattr(self, id_prefix, c[InitArg::prefix]);
  Ref cache_cls = c.global(id_Cache);
  static const Id id_enable("enable_singleflight");
  setattr(self, id_local, call(cache_cls.get(), {}, {{id_enable, Py_True}}).get());
  setattr(self, id_mac, mac.get());
  setattr(self, id_lease, c[InitArg::lease]);
  setattr(self, id_lease_ms, integer(std::max<long long>(1, std::llround(lease * 1000))).get());
  setattr(self, id_retry_interval, c[InitArg::retry_interval]);
  setattr(self, id_outage, Py_False);
  setattr(self, id_prober, Py_None);
  setattr(self, id_held, new_dict().get());
  setattr(self, id_renewer, Py_None);
  setattr(self, id_unshared, check(PySet_New(nullptr)).get());
  setattr(self, id_holder, call_method(random.get(), id_hex).get());
  setattr(self, id_begin_script, call_method(redis, id_register_script, {str(kBeginScript).get()}).get());
  setattr(self, id_end_script, call_method(redis, id_register_script, {str(kEndScript).get()}).get());
  setattr(self, id_renew_script, call_method(redis, id_register_script, {str(kRenewScript).get()}).get());
  return none();
}

enum class GetArg : std::size_t { self, ns, key };

// A local miss: the shared entry, kept in the local tier with its expiry.
Ref shared_get(const Call& c, PyObject* self, PyObject* local, PyObject* ns, PyObject* key) {
  const std::string slot = cachekey::slot_text(ns, key);
  const std::string entry_key = slot_name(self, slot, 'e');
  Ref name = as_bytes(entry_key);
  Ref redis = getattr(self, id_redis);
  std::optional<Ref> value = attempt(c, self, [&] { return call_method(redis.get(), id_get, {name.get()}); });
  if (!value || value->get() == Py_None) {
    t_missed = miss_mark(self, slot);
    return none();
  }
  entrycodec::Entry found;
  try {
    Ref mac = getattr(self, id_mac);
    found = entrycodec::decode(c, value->get(), mac.get(), entry_key);
  } catch (const Raised&) {
    Ref exc = catch_matching([] { return Ref::borrow(PyExc_Exception); });
    Ref shown = str(entry_key);
    log_record(c, "warning", "ignoring the shared entry %s (%s); it is fetched again", {shown.get(), exc.get()});
    // No miss mark: the damaged entry exists, and the caller must fetch rather than wait for it.
    forget_miss();
    return none();
  }
  Ref ttl = none();
  if (found.expires_at.get() != Py_None) {
    Ref current = now(c);
    if (check(PyObject_RichCompareBool(current.get(), found.expires_at.get(), Py_GE))) {
      t_missed = miss_mark(self, slot);
      return none();
    }
    ttl = check(PyNumber_Subtract(found.expires_at.get(), current.get()));
  }
  forget_miss();
  Ref entry = call_method(local, id_set, {ns, key, found.data.get()},
                          {{id_params, found.params.get()}, {id_ttl, ttl.get()}});
  // The entry keeps the times it was stored with, not those of this copy.
  setattr(entry.get(), id_fetched_at, found.fetched_at.get());
  setattr(entry.get(), id_expires_at, found.expires_at.get());
  return entry;
}

Ref redis_store_get(Call& c) {
  PyObject* self = c.self();
  PyObject* ns = c[GetArg::ns];
  PyObject* key = c[GetArg::key];
  Ref local = site_local.get(self);
  Ref hit = site_get.call(local.get(), {ns, key});
  if (hit.get() != Py_None) {
    forget_miss();
    return hit;
  }
  return shared_get(c, self, local.get(), ns, key);
}

enum class SetArg : std::size_t { self, ns, key, data, params, ttl };

Ref redis_store_set(Call& c) {
  static const Id id_total_seconds("total_seconds"), id_px("px"), id_add("add");
  PyObject* self = c.self();
  PyObject* ns = c[SetArg::ns];
  PyObject* key = c[SetArg::key];
  const std::string slot = cachekey::slot_text(ns, key);
  forget_miss();
  Ref local = site_local.get(self);
  Ref entry = call_method(local.get(), id_set, {ns, key, c[SetArg::data]},
                          {{id_params, c[SetArg::params]}, {id_ttl, c[SetArg::ttl]}});
  const std::string entry_key = slot_name(self, slot, 'e');
  Ref name = as_bytes(entry_key);
  entrycodec::Entry stored{getattr(entry.get(), id_data), getattr(entry.get(), id_fetched_at),
                           getattr(entry.get(), id_expires_at), getattr(entry.get(), id_params)};
  Ref px = none();
  if (stored.expires_at.get() != Py_None) {
    Ref left = check(PyNumber_Subtract(stored.expires_at.get(), now(c).get()));
    const double seconds = PyFloat_AsDouble(call_method(left.get(), id_total_seconds).get());
    if (seconds == -1.0 && PyErr_Occurred()) raised();
    const long long ms = static_cast<long long>(std::ceil(seconds * 1000));
    if (ms <= 0) {
      drop_shared(c, self, name.get());
      return entry;
    }
    px = integer(ms);
  }
  std::string why;
  Ref value;
  try {
    Ref mac = getattr(self, id_mac);
    value = entrycodec::encode(c, stored, mac.get(), entry_key, why);
  } catch (const Raised&) {
    Ref exc = catch_matching([] { return Ref::borrow(PyExc_Exception); });
    Ref text = check(PyObject_Str(exc.get()));
    why = std::string("it cannot be encoded (") + Py_TYPE(exc.get())->tp_name + ": " +
          std::string(utf8(text.get())).substr(0, 200) + ")";
  }
  if (!value) {
    Ref unshared = getattr(self, id_unshared);
    if (!check(PySet_Contains(unshared.get(), ns))) {
      check(PySet_Add(unshared.get(), ns));
      Ref reason = str(why);
      log_record(c, "warning", "entries of namespace %r stay in this process, unshared: %s", {ns, reason.get()});
    }
    drop_shared(c, self, name.get());
    return entry;
  }
  Ref redis = getattr(self, id_redis);
  attempt(c, self, [&] {
    if (px.get() == Py_None) return call_method(redis.get(), id_set, {name.get(), value.get()});
    return call_method(redis.get(), id_set, {name.get(), value.get()}, {{id_px, px.get()}});
  });
  return entry;
}

// Unlinks every entry whose name matches `pattern`, a batch at a time (SCAN,
// never KEYS: a large database is not blocked while it is walked).
void unlink_matching(const Call& c, PyObject* self, const std::string& pattern) {
  static const Id id_scan_iter("scan_iter"), id_match("match"), id_count("count"), id_unlink("unlink");
  constexpr Py_ssize_t kBatch = 500;
  Ref redis = getattr(self, id_redis);
  Ref match = as_bytes(pattern);
  attempt(c, self, [&] {
    Ref unlink = getattr(redis.get(), id_unlink);
    Ref names = call_method(redis.get(), id_scan_iter, {}, {{id_match, match.get()}, {id_count, integer(kBatch).get()}});
    Ref iterator = check(PyObject_GetIter(names.get()));
    Ref batch = new_list();
    auto flush = [&] {
      if (PyList_GET_SIZE(batch.get()) == 0) return;
      Ref args = check(PyList_AsTuple(batch.get()));
      check(PyObject_Call(unlink.get(), args.get(), nullptr));
      batch = new_list();
    };
    while (Ref name = Ref::steal_or_null(PyIter_Next(iterator.get()))) {
      list_append(batch.get(), name.get());
      if (PyList_GET_SIZE(batch.get()) >= kBatch) {
        flush();
        if (PyErr_CheckSignals() < 0) raised();
      }
    }
    if (PyErr_Occurred()) raised();
    flush();
    return none();
  });
}

std::string entry_pattern(PyObject* self, const std::string& ns_text) {
  Ref prefix = getattr(self, id_prefix);
  return cachekey::glob_escape(std::string(utf8(prefix.get())) + ":{" + ns_text) + "*}:e";
}

enum class ClearNsArg : std::size_t { self, ns };

Ref redis_store_clear_ns(Call& c) {
  static const Id id_clear_ns("clear_ns");
  PyObject* self = c.self();
  PyObject* ns = c[ClearNsArg::ns];
  const std::string ns_text = cachekey::namespace_text(ns);
  forget_miss();
  Ref local = site_local.get(self);
  call_method(local.get(), id_clear_ns, {ns});
  unlink_matching(c, self, entry_pattern(self, ns_text));
  return none();
}

Ref redis_store_clear_all(Call& c) {
  static const Id id_clear_all("clear_all");
  PyObject* self = c.self();
  forget_miss();
  Ref local = site_local.get(self);
  call_method(local.get(), id_clear_all);
  unlink_matching(c, self, entry_pattern(self, ""));
  return none();
}

// Starts `self.<method>` in a daemon thread kept in `self.<slot>`, unless one
// runs there already.
//
// The threads are daemons, so a process never waits for one at exit; but a
// daemon thread woken while the interpreter finalizes is ended by unwinding
// its stack, which native frames do not survive.  An exit handler therefore
// stops and joins them first (`_stop_renewers`), and none starts after it ran.
void start_daemon(const Call& c, PyObject* self, const Id& slot, const char* method, const char* name) {
  static const Id id_Thread("Thread"), id_target("target"), id_daemon("daemon"), id_name("name"), id_start("start"),
      id_is_set("is_set"), id_add("add"), id_threading("threading");
  Ref current = getattr(self, slot);
  if (current.get() != Py_None) return;
  Ref shutdown = c.global(id_SHUTDOWN);
  if (truthy(call_method(shutdown.get(), id_is_set).get())) return;  // leases run out by themselves
  Ref threading = c.global(id_threading);
  Ref target = check(PyObject_GetAttrString(self, method));
  Ref thread_name = str(name);
  Ref thread = call_method(threading.get(), id_Thread, {},
                           {{id_target, target.get()}, {id_daemon, Py_True}, {id_name, thread_name.get()}});
  setattr(self, slot, thread.get());  // before start: a concurrent caller sees it
  Ref daemons = c.global(id_RENEWERS);
  call_method(daemons.get(), id_add, {thread.get()});
  call_method(thread.get(), id_start);
}

// The end of a thread started by start_daemon: its slot is freed (if it is
// still this thread) and the exit handler forgets it.
void daemon_ended(const Call& c, PyObject* self, const Id& slot, PyObject* me) {
  static const Id id_discard("discard");
  Ref current = getattr(self, slot);
  if (current.get() == me) setattr(self, slot, Py_None);
  Ref daemons = c.global(id_RENEWERS);
  call_method(daemons.get(), id_discard, {me});
}

enum class BeginArg : std::size_t { self, ns, key };

Ref redis_store_begin_inflight(Call& c) {
  static const Id id_begin("_begin_inflight");
  static unsigned long long g_sequence = 0;  // under the GIL
  PyObject* self = c.self();
  PyObject* ns = c[BeginArg::ns];
  PyObject* key = c[BeginArg::key];
  const std::string slot = cachekey::slot_text(ns, key);
  const bool missed = t_missed == miss_mark(self, slot);
  forget_miss();
  Ref lock_name = as_bytes(slot_name(self, slot, 'f'));
  Ref entry_name = as_bytes(slot_name(self, slot, 'e'));
  Ref holder = getattr(self, id_holder);
  Ref token = check(PyUnicode_FromFormat("%U:%llu", holder.get(), ++g_sequence));
  Ref lease_ms = getattr(self, id_lease_ms);
  std::optional<Ref> first = attempt(c, self, [&] {
    Ref flag = integer(missed ? 1 : 0);
    return run_script(self, id_begin_script, {lock_name.get(), entry_name.get()},
                      tuple({token.get(), lease_ms.get(), flag.get()}));
  });
  if (!first) {
    // Redis is out: single-flight among this process's callers only.
    Ref local = site_local.get(self);
    return call_method(local.get(), id_begin, {ns, key});
  }
  Ref held = getattr(self, id_held);
  Ref tokens = dict_get(held.get(), lock_name.get());
  if (!tokens) {
    tokens = new_list();
    dict_set(held.get(), lock_name.get(), tokens.get());
  }
  list_append(tokens.get(), token.get());
  start_daemon(c, self, id_renewer, "_renew_leases", "private_core.redisstore leases");
  Ref one = integer(1);
  return boolean(check(PyObject_RichCompareBool(first->get(), one.get(), Py_EQ)));
}

enum class EndArg : std::size_t { self, ns, key };

Ref redis_store_end_inflight(Call& c) {
  static const Id id_end("_end_inflight");
  PyObject* self = c.self();
  PyObject* ns = c[EndArg::ns];
  PyObject* key = c[EndArg::key];
  const std::string slot = cachekey::slot_text(ns, key);
  forget_miss();
  Ref lock_name = as_bytes(slot_name(self, slot, 'f'));
  Ref held = getattr(self, id_held);
  Ref tokens = dict_get(held.get(), lock_name.get());
  if (!tokens || !PyList_Check(tokens.get()) || PyList_GET_SIZE(tokens.get()) == 0) {
    // Registered while Redis was out: the local registry holds it.
    Ref local = site_local.get(self);
    call_method(local.get(), id_end, {ns, key});
    return none();
  }
  const Py_ssize_t last = PyList_GET_SIZE(tokens.get()) - 1;
  Ref token = Ref::borrow(PyList_GET_ITEM(tokens.get(), last));
  check(PyList_SetSlice(tokens.get(), last, last + 1, nullptr));
  if (last == 0) check(PyDict_DelItem(held.get(), lock_name.get()));
  // If Redis is out now, the lease frees the place.
  attempt(c, self, [&] { return run_script(self, id_end_script, {lock_name.get()}, tuple({token.get()})); });
  return none();
}

// The renewing thread: every third of a lease it extends the leases of the
// calls still in progress, and ends when there are none or the process exits.
Ref redis_store_renew_leases(Call& c) {
  static const Id id_wait("wait");
  PyObject* self = c.self();
  Ref me = getattr(self, id_renewer);
  return try_finally(
      [&]() -> Ref {
        for (;;) {
          Ref lease = getattr(self, id_lease);
          Ref pause = real(PyFloat_AsDouble(lease.get()) / 3);
          Ref shutdown = c.global(id_SHUTDOWN);
          if (truthy(call_method(shutdown.get(), id_wait, {pause.get()}).get())) return none();
          Ref held = getattr(self, id_held);
          if (PyDict_GET_SIZE(held.get()) == 0) return none();
          Ref items = check(PyDict_Items(held.get()));
          Ref lease_ms = getattr(self, id_lease_ms);
          for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
            PyObject* item = PyList_GET_ITEM(items.get(), i);
            PyObject* lock_name = PyTuple_GET_ITEM(item, 0);
            PyObject* tokens = PyTuple_GET_ITEM(item, 1);
            Ref args = new_list();
            list_append(args.get(), lease_ms.get());
            for (Py_ssize_t j = 0; j < PyList_GET_SIZE(tokens); ++j) {
              list_append(args.get(), PyList_GET_ITEM(tokens, j));
            }
            attempt(c, self, [&] { return run_script(self, id_renew_script, {lock_name}, args); });
          }
        }
      },
      // No Python code runs between the emptiness check above and here, so
      // a begin either saw this thread still set or starts a new one.
      [&] { daemon_ended(c, self, id_renewer, me.get()); });
}

// The probing thread of an outage: pings Redis every `retry_interval`
// seconds and ends the outage when it answers.
Ref redis_store_probe_redis(Call& c) {
  static const Id id_wait("wait"), id_ping("ping"), id_info("info");
  PyObject* self = c.self();
  Ref me = getattr(self, id_prober);
  return try_finally(
      [&]() -> Ref {
        for (;;) {
          Ref interval = getattr(self, id_retry_interval);
          Ref shutdown = c.global(id_SHUTDOWN);
          if (truthy(call_method(shutdown.get(), id_wait, {interval.get()}).get())) return none();
          Ref redis = getattr(self, id_redis);
          try {
            call_method(redis.get(), id_ping);
          } catch (const Raised&) {
            catch_matching([&] { return c.global(id_failures); });
            continue;
          }
          // Free the slot first: a failure right after this starts a new probe.
          daemon_ended(c, self, id_prober, me.get());
          setattr(self, id_outage, Py_False);
          log_record(c, "info", "Redis answers again; the cache is shared again", {});
          return none();
        }
      },
      [&] { daemon_ended(c, self, id_prober, me.get()); });
}

// At exit: stops every renewing and probing thread and waits for it (see start_daemon).
Ref redisstore_stop_renewers(Call& c) {
  static const Id id_set_event("set"), id_join("join"), id_timeout("timeout");
  Ref shutdown = c.global(id_SHUTDOWN);
  call_method(shutdown.get(), id_set_event);
  Ref renewers = c.global(id_RENEWERS);
  Ref threads = check(PySequence_List(renewers.get()));
  Ref timeout = real(5.0);
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(threads.get()); ++i) {
    call_method(PyList_GET_ITEM(threads.get(), i), id_join, {}, {{id_timeout, timeout.get()}});
  }
  return none();
}

const FnSpec kInit{"__init__",
                   redis_store_init,
                   {self_arg(), arg("redis", "Any"), arg("prefix", "str", Conv::Str, str_default("private_core")),
                    kwonly("secret", "Optional[Union[bytes, str]]", Conv::Any, none_default()),
                    kwonly("lease", "float", Conv::Float, float_default(10.0)),
                    kwonly("retry_interval", "float", Conv::Float, float_default(1.0))},
                   "None",
                   nullptr};
const FnSpec kGet{"get",
                  redis_store_get,
                  {self_arg(), arg("ns", "Namespace"), arg("key", "CacheKey")},
                  "Optional[CacheEntry]",
                  nullptr};
const FnSpec kSet{"set",
                  redis_store_set,
                  {self_arg(), arg("ns", "Namespace"), arg("key", "CacheKey"), arg("data", "Any"),
                   kwonly("params", "Optional[Dict[str, Any]]", Conv::OptDict, none_default()),
                   kwonly("ttl", "Optional[timedelta]", Conv::Any, none_default())},
                  "CacheEntry",
                  nullptr};
const FnSpec kClearNs{"clear_ns", redis_store_clear_ns, {self_arg(), arg("ns", "Namespace")}, "None", nullptr};
const FnSpec kClearAll{"clear_all", redis_store_clear_all, {self_arg()}, "None", nullptr};
const FnSpec kBegin{"_begin_inflight",
                    redis_store_begin_inflight,
                    {self_arg(), arg("ns", "Namespace"), arg("key", "CacheKey")},
                    "bool",
                    "Returns True if caller should fetch; False if another fetch in progress."};
const FnSpec kEnd{"_end_inflight",
                  redis_store_end_inflight,
                  {self_arg(), arg("ns", "Namespace"), arg("key", "CacheKey")},
                  "None",
                  nullptr};
const FnSpec kRenew{"_renew_leases", redis_store_renew_leases, {self_arg()}, "None", nullptr};
const FnSpec kProbe{"_probe_redis", redis_store_probe_redis, {self_arg()}, "None", nullptr};
const FnSpec kStopRenewers{"_stop_renewers", redisstore_stop_renewers, {}, "None", nullptr};

void build(Module& m) {
  static const Id id_getLogger("getLogger"), id_Event("Event"), id_register("register");
  m.import("atexit");
  m.import("hmac");
  m.import("json");
  m.import("logging");
  m.import("os");
  m.import("threading");
  m.import_from("datetime", {"datetime", "timedelta"});
  m.import_from("typing", {"Any", "Dict", "Optional", "Union"});
  m.import("pandas", "pd");
  m.import_from("pandas.testing", {"assert_frame_equal"});
  m.import("pyarrow", "pa");
  import("pyarrow.ipc");
  m.import_from("redis.exceptions", {"RedisError"});
  m.import_relative("memstore", {"CacheEntry", "CacheKey", "Namespace", "_Cache"});
  m.add("logger", call_method(m.get("logging").get(), id_getLogger, {m.get("__name__").get()}).get());
  // What counts as Redis being out: redis-py's errors, and the socket's own.
  m.add("_REDIS_FAILURES", tuple({m.get("RedisError").get(), PyExc_OSError}).get());

  ClassBuilder store(m, "RedisStore",
                     "Cache store shared through Redis, with a process-local _Cache in front.\n"
                     "Single-flight across processes; leases free the slots of dead processes.");
  store.method(kInit)
      .method(kGet)
      .method(kSet)
      .method(kClearNs)
      .method(kClearAll)
      .method(kBegin)
      .method(kEnd)
      .method(kRenew)
      .method(kProbe);
  m.add("RedisStore", store.build().get());
  m.add("_SHUTDOWN", call_method(m.get("threading").get(), id_Event).get());
  m.add("_RENEWERS", check(PySet_New(nullptr)).get());
  Ref stop = m.def(kStopRenewers);
  call_method(m.get("atexit").get(), id_register, {stop.get()});
  m.set_all({"RedisStore"});
}

}  // namespace

PCRT_MODULE(redisstore, build)
