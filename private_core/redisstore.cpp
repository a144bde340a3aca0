// private_core.redisstore: a cache store shared by every process that talks to
// one Redis, with single-flight across them.
//
// RedisStore has the interface of memstore._Cache and takes its place as a
// client's `_cache`.  A process-local _Cache sits in front with the same
// expiries, so a repeated read costs what a _Cache hit costs; a local miss
// reads Redis and keeps what it finds.  The single-flight count of a slot
// lives in Redis as a sorted set of holders, one random token per
// registration, each with a lease that a daemon thread renews while its call
// is in progress: a process that dies mid-fetch frees its place when the
// lease runs out, and a holder whose lease lapsed cannot replace an entry
// stored after its fetch began.  Redis is a helper, never a point of failure
// (see redislink): when it is out, every operation falls back to the local
// tier; an error answer fails only the command it answers.
//
// Times: the shared tier decides by absolute clocks (Redis's expiry, UTC in
// the entries), so processes in other time zones or across a daylight-saving
// change agree; the CacheEntry a caller gets keeps _Cache's naive local times.
#include "pcrt/daemon.hpp"
#include "pcrt/native_type.hpp"
#include "pcrt/pcrt.hpp"
#include "pcrt/site.hpp"

#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "redislink/redislink.hpp"
#include "storecodec/cachekey.hpp"
#include "storecodec/entrycodec.hpp"
#include "storecodec/interface.hpp"

namespace {
using namespace pcrt;

// Renewal runs every third of a lease: a shorter lease floods Redis with
// renewals (1 ms sent thousands of commands per second) for no gain.
constexpr double kMinLease = 0.1;

const Id id_logger("logger"), id_Cache("_Cache"), id_datetime("datetime"), id_timezone("timezone");
const Id id_get("get"), id_set("set"), id_params("params"), id_ttl("ttl"), id_fetched_at("fetched_at"),
    id_expires_at("expires_at"), id_data("data"), id_keys("keys"), id_args("args");

Site site_get(id_get);

// Single-flight in Redis.  A slot's holders are a sorted set scored by lease
// end (server time, ms); expired holders are dropped on every touch, and the
// whole set expires with the last lease, so nothing outlives its holders.
// KEYS[1] the set, KEYS[2] the entry; ARGV token, lease ms, 1 when the caller
// missed this entry just before registering.  A first holder that finds the
// entry stored since its miss is told to wait: its first look finds it, and
// the service is not asked twice for what another process just fetched.
// Returns {1 to fetch or 0 to wait, the server time}: the write fences on it.
constexpr const char* kBeginScript = R"lua(
local t = redis.call('TIME')
local now = tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000)
redis.call('ZREMRANGEBYSCORE', KEYS[1], '-inf', now)
redis.call('ZADD', KEYS[1], now + tonumber(ARGV[2]), ARGV[1])
redis.call('PEXPIRE', KEYS[1], ARGV[2])
local n = redis.call('ZCARD', KEYS[1])
if n == 1 and ARGV[3] == '1' and redis.call('EXISTS', KEYS[2]) == 1 then n = 0 end
return {n == 1 and 1 or 0, now}
)lua";
constexpr const char* kEndScript = R"lua(
local t = redis.call('TIME')
local now = tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000)
redis.call('ZREM', KEYS[1], ARGV[1])
redis.call('ZREMRANGEBYSCORE', KEYS[1], '-inf', now)
return redis.call('ZCARD', KEYS[1])
)lua";
// ARGV lease ms, then the tokens of this process's calls in progress.
// Returns the tokens whose lease had lapsed (they are not revived).
constexpr const char* kRenewScript = R"lua(
local t = redis.call('TIME')
local now = tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000)
redis.call('ZREMRANGEBYSCORE', KEYS[1], '-inf', now)
local lost = {}
for i = 2, #ARGV do
  if redis.call('ZADD', KEYS[1], 'XX', 'CH', now + tonumber(ARGV[1]), ARGV[i]) == 0
     and not redis.call('ZSCORE', KEYS[1], ARGV[i]) then lost[#lost + 1] = ARGV[i] end
end
if redis.call('EXISTS', KEYS[1]) == 1 then redis.call('PEXPIRE', KEYS[1], ARGV[1]) end
return lost
)lua";
// Stores an entry and the server time of the write (KEYS[3]).  KEYS entry,
// holders, write time; ARGV value, lifetime ms (0: none), the writer's token
// ('' for a writer that holds no lease) and the server time its fetch began.
// A writer whose lease lapsed does not replace an entry written since its
// fetch began (nor one of unknown age): a newer holder stored it.
constexpr const char* kWriteScript = R"lua(
local t = redis.call('TIME')
local now = tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000)
if ARGV[3] ~= '' then
  local lease = redis.call('ZSCORE', KEYS[2], ARGV[3])
  if (not lease or tonumber(lease) <= now) and redis.call('EXISTS', KEYS[1]) == 1 then
    local written = redis.call('GET', KEYS[3])
    if not written or tonumber(written) >= tonumber(ARGV[4]) then return 0 end
  end
end
if ARGV[2] == '0' then
  redis.call('SET', KEYS[1], ARGV[1])
  redis.call('SET', KEYS[3], now)
else
  redis.call('SET', KEYS[1], ARGV[1], 'PX', ARGV[2])
  redis.call('SET', KEYS[3], now, 'PX', ARGV[2])
end
return 1
)lua";

const redislink::Texts kTexts{
    "Redis is unreachable (%s: %s); this process serves its own entries and fetches the rest until Redis "
    "answers again",
    "Redis answers again; the cache is shared again",
    "Redis refused a command (%s: %s); what it refused stays in this process, the rest is shared as before"};

// One call's place in a slot's single-flight, as `_begin_inflight` made it.
struct Registration {
  std::string slot;
  Ref lock_name;  // bytes; empty for a local registration
  Ref token;      // empty when local, or inherited from the process this one was forked from
  long long began_ms = 0;  // Redis's time at registration: the write's fence
  bool local = false;      // registered in the local _Cache (Redis was out or refused)
};

bool renew_step(PyObject* owner, void* context);

struct Store final : ForkAware {
  redislink::Link link;
  Ref prefix, local, mac, lease_ms, unshared, logger;
  Ref begin_script, end_script, renew_script, write_script;
  std::string prefix_text;
  double lease = 10.0;
  // Each call ends what it began: registrations are kept per thread (as a
  // lock keeps its owner), newest last.
  std::unordered_map<unsigned long, std::vector<Registration>> registrations;
  Daemon renewer{"private_core.redisstore leases", renew_step, this};

  void traverse(Visitor& visit) const {
    link.traverse(visit);
    for (const Ref* ref : {&prefix, &local, &mac, &lease_ms, &unshared, &logger, &begin_script, &end_script,
                           &renew_script, &write_script}) {
      visit(*ref);
    }
    visit(renewer.thread());
  }
  void clear() {
    link.clear();
    renewer.stop();
    for (Ref* ref : {&local, &mac, &unshared, &logger, &begin_script, &end_script, &renew_script, &write_script}) {
      *ref = nullptr;
    }
  }
  // A forked child holds none of its parent's leases: their tokens name the
  // parent's calls.  The forking thread's own calls still end their local
  // registrations (the child's copy of the local tier counts them).
  void after_fork_in_child() noexcept override {
    const unsigned long me = PyThread_get_thread_ident();
    std::erase_if(registrations, [&](const auto& item) { return item.first != me; });
    for (auto& [thread, mine] : registrations) {
      for (Registration& held : mine) held.token = nullptr;
    }
  }
  // This thread's latest registration of `slot`, or nullptr.
  Registration* registered(const std::string& slot) {
    auto found = registrations.find(PyThread_get_thread_ident());
    if (found == registrations.end()) return nullptr;
    for (auto it = found->second.rbegin(); it != found->second.rend(); ++it) {
      if (it->slot == slot) return &*it;
    }
    return nullptr;
  }
};

// The state of a method's store; a store that __init__ has not set up (made
// by __new__ alone, or emptied by the garbage collector) has none to use.
Store& store_of(const Call& c) {
  Store& s = NativeType<Store>::of(c);
  if (!s.local || !s.link.client())
    raise(PyExc_RuntimeError, "the RedisStore is not initialised: call __init__ first");
  return s;
}

// ---------------------------------------------------------------------------
// Names in Redis: "<prefix>:{<slot>}:e" holds the entry, ":w" the server time
// it was written, ":f" the holders.  The braces make the three one hash slot
// on a cluster, as a script needs.

Ref slot_name(const Store& s, const std::string& slot, char kind) {
  std::string name = s.prefix_text;
  name += ":{";
  name += slot;
  name += "}:";
  name.push_back(kind);
  return check(PyBytes_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
}

std::string_view bytes_view(PyObject* bytes) {
  return {PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes))};
}

// _fetch_with_cache registers right after a miss; `_begin_inflight` then
// asks Redis whether the entry arrived in between.  Any other operation of
// the thread forgets the miss, so a live call never takes a stored entry.
using store_interface::LastMiss;

void log_record(const Store& s, const Id& level, const char* format, Args args) {
  pcrt::log_record(s.logger.get(), level, format, args);
}

Ref run_script(PyObject* script, std::initializer_list<PyObject*> keys, Ref args) {
  Ref key_list = new_list();
  for (PyObject* key : keys) list_append(key_list.get(), key);
  return call(script, {}, {{id_keys, key_list.get()}, {id_args, args.get()}});
}

// A token no other registration has, in this process, a forked one or any other.
Ref new_token() {
  unsigned char random[16];
  if (getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
    errno = errno ? errno : EIO;
    check(PyErr_SetFromErrno(PyExc_OSError));
  }
  static const char digits[] = "0123456789abcdef";
  char text[2 * sizeof random];
  for (std::size_t i = 0; i < sizeof random; ++i) {
    text[2 * i] = digits[random[i] >> 4];
    text[2 * i + 1] = digits[random[i] & 15];
  }
  return str(std::string_view(text, sizeof text));
}

Ref utc_now(const Call& c) {
  static const Id id_now("now"), id_utc("utc");
  Ref datetime = c.global(id_datetime);
  Ref timezone = c.global(id_timezone);
  return call_method(datetime.get(), id_now, {getattr(timezone.get(), id_utc).get()});
}

// Removes the shared entry of a slot (a stale copy must not outlive a newer
// value that stays local, or an entry that is already expired).
void drop_shared(Store& s, const std::string& slot) {
  static const Id id_unlink("unlink");
  Ref entry = slot_name(s, slot, 'e'), written = slot_name(s, slot, 'w');
  s.link.attempt([&] { return call_method(s.link.client(), id_unlink, {entry.get(), written.get()}); });
}

// ---------------------------------------------------------------------------
// RedisStore

enum class InitArg : std::size_t { self, redis, prefix, secret, lease, retry_interval };

void check_client(PyObject* redis) {
  static const Id id_get_encoder("get_encoder"), id_decode_responses("decode_responses");
  // Entries are bytes; a client that decodes answers to text would corrupt every one.
  if (Ref get_encoder = getattr_opt(redis, id_get_encoder)) {
    Ref encoder = call(get_encoder.get());
    Ref decodes = getattr_opt(encoder.get(), id_decode_responses);
    if (decodes && truthy(decodes.get())) {
      raise(PyExc_ValueError, "the Redis client must return bytes: create it with decode_responses=False");
    }
  }
}

Ref redis_store_init(Call& c) {
  static const Id id_register_script("register_script"), id_enable("enable_singleflight");
  Store& s = NativeType<Store>::of(c);
  PyObject* redis = c[InitArg::redis];
  const double lease = c.real(InitArg::lease);
  const double retry_interval = c.real(InitArg::retry_interval);
  if (!(lease >= kMinLease) || !std::isfinite(lease)) {
    raise(PyExc_ValueError, "lease must be a number of seconds, at least 0.1");
  }
  if (!(retry_interval > 0) || !std::isfinite(retry_interval)) {
    raise(PyExc_ValueError, "retry_interval must be a positive number of seconds");
  }
  check_client(redis);
  Ref mac = entrycodec::keyed_mac(c.names(), c[InitArg::secret]);
  s.logger = c.global(id_logger);
  s.link.open(c.self(), redis, retry_interval, s.logger.get(), kTexts);
  s.prefix = Ref::borrow(c[InitArg::prefix]);
  s.prefix_text = std::string(utf8(s.prefix.get()));
  Ref cache_cls = c.global(id_Cache);
  s.local = call(cache_cls.get(), {}, {{id_enable, Py_True}});
  s.mac = mac;
  s.lease = lease;
  s.lease_ms = integer(std::llround(lease * 1000));
  s.unshared = check(PySet_New(nullptr));
  s.registrations.clear();
  PyObject* client = s.link.client();
  s.begin_script = call_method(client, id_register_script, {str(kBeginScript).get()});
  s.end_script = call_method(client, id_register_script, {str(kEndScript).get()});
  s.renew_script = call_method(client, id_register_script, {str(kRenewScript).get()});
  s.write_script = call_method(client, id_register_script, {str(kWriteScript).get()});
  return none();
}

enum class GetArg : std::size_t { self, ns, key };

// An aware time as the naive local time _Cache's entries carry.
Ref local_time(PyObject* moment) {
  static const Id id_astimezone("astimezone"), id_replace("replace"), id_tzinfo("tzinfo");
  if (moment == Py_None) return none();
  Ref here = call_method(moment, id_astimezone);
  return call_method(here.get(), id_replace, {}, {{id_tzinfo, Py_None}});
}

// A local miss: the shared entry, kept in the local tier for what is left of its lifetime.
Ref shared_get(const Call& c, Store& s, PyObject* ns, PyObject* key) {
  const std::string slot = cachekey::slot_text(ns, key);
  Ref name = slot_name(s, slot, 'e');
  std::optional<Ref> value = s.link.attempt([&] { return call_method(s.link.client(), id_get, {name.get()}); });
  if (!value || value->get() == Py_None) {
    LastMiss::remember(&s, slot);
    return none();
  }
  entrycodec::Entry found;
  try {
    found = entrycodec::decode(c.names(), value->get(), s.mac.get(), bytes_view(name.get()));
  } catch (const Raised&) {
    Ref exc = catch_matching([] { return Ref::borrow(PyExc_Exception); });
    Ref shown = check(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(name.get()), PyBytes_GET_SIZE(name.get()), "replace"));
    static const Id id_warning("warning");
    log_record(s, id_warning, "ignoring the shared entry %s (%s); it is fetched again", {shown.get(), exc.get()});
    // No miss mark: the damaged entry exists, and the caller must fetch rather than wait for it.
    LastMiss::forget();
    return none();
  }
  Ref ttl = none();
  if (found.expires_at.get() != Py_None) {
    Ref current = utc_now(c);
    if (check(PyObject_RichCompareBool(current.get(), found.expires_at.get(), Py_GE))) {
      LastMiss::remember(&s, slot);
      return none();
    }
    ttl = check(PyNumber_Subtract(found.expires_at.get(), current.get()));
  }
  LastMiss::forget();
  Ref entry = call_method(s.local.get(), id_set, {ns, key, found.data.get()},
                          {{id_params, found.params.get()}, {id_ttl, ttl.get()}});
  // The entry keeps the times it was stored with, not those of this copy.
  setattr(entry.get(), id_fetched_at, local_time(found.fetched_at.get()).get());
  setattr(entry.get(), id_expires_at, local_time(found.expires_at.get()).get());
  return entry;
}

Ref redis_store_get(Call& c) {
  Store& s = store_of(c);
  PyObject* ns = c[GetArg::ns];
  PyObject* key = c[GetArg::key];
  Ref hit = site_get.call(s.local.get(), {ns, key});
  if (hit.get() != Py_None) {
    LastMiss::forget();
    return hit;
  }
  return shared_get(c, s, ns, key);
}

enum class SetArg : std::size_t { self, ns, key, data, params, ttl };

// Writes `value` for `slot`, fenced by this thread's lease when it holds one.
void write_shared(Store& s, const std::string& slot, PyObject* value, long long px) {
  static const Id id_px("px"), id_debug("debug");
  Registration* held = s.registered(slot);
  const bool fenced = held != nullptr && held->token;
  Ref entry = slot_name(s, slot, 'e'), holders = slot_name(s, slot, 'f'), written = slot_name(s, slot, 'w');
  Ref token = fenced ? held->token : str("");
  Ref args = tuple({value, integer(px).get(), token.get(), integer(fenced ? held->began_ms : 0).get()});
  redislink::Failure failure = redislink::Failure::outage;
  std::optional<Ref> stored = s.link.attempt(
      [&] { return run_script(s.write_script.get(), {entry.get(), holders.get(), written.get()}, args); }, &failure);
  if (stored && !truthy(stored->get())) {
    Ref shown = str(slot);
    log_record(s, id_debug,
               "the lease of this fetch of %s lapsed and a newer entry was stored since it began; this result "
               "stays in this process",
               {shown.get()});
  } else if (!stored && failure == redislink::Failure::refused && !fenced) {
    // Redis refused the script (an ACL without scripting): the plain commands still share the entry.
    s.link.attempt([&] {
      if (px == 0) return call_method(s.link.client(), id_set, {entry.get(), value});
      return call_method(s.link.client(), id_set, {entry.get(), value}, {{id_px, integer(px).get()}});
    });
    // Its write time is unknown now: a holder whose lease lapsed leaves it alone.
    static const Id id_unlink("unlink");
    s.link.attempt([&] { return call_method(s.link.client(), id_unlink, {written.get()}); });
  }
}

// The bytes to share for `entry`, or an empty Ref (with one warning per
// namespace) when its value cannot be shared.
Ref shareable(const Call& c, Store& s, PyObject* ns, const entrycodec::Entry& stored, PyObject* name) {
  static const Id id_warning("warning");
  std::string why;
  Ref value = entrycodec::encode(c.names(), stored, s.mac.get(), bytes_view(name), why);
  if (!value && !check(PySet_Contains(s.unshared.get(), ns))) {
    check(PySet_Add(s.unshared.get(), ns));
    Ref reason = str(why);
    log_record(s, id_warning, "entries of namespace %r stay in this process, unshared: %s", {ns, reason.get()});
  }
  return value;
}

Ref redis_store_set(Call& c) {
  static const Id id_total_seconds("total_seconds"), id_astimezone("astimezone"), id_utc("utc");
  Store& s = store_of(c);
  PyObject* ns = c[SetArg::ns];
  PyObject* key = c[SetArg::key];
  const std::string slot = cachekey::slot_text(ns, key);
  LastMiss::forget();
  Ref entry = call_method(s.local.get(), id_set, {ns, key, c[SetArg::data]},
                          {{id_params, c[SetArg::params]}, {id_ttl, c[SetArg::ttl]}});
  // Shared in UTC, the expiry counted from the lifetime (a naive local
  // expiry names another instant after a daylight-saving change).
  Ref timezone = c.global(id_timezone);
  Ref fetched = getattr(entry.get(), id_fetched_at);
  Ref fetched_utc = call_method(fetched.get(), id_astimezone, {getattr(timezone.get(), id_utc).get()});
  Ref expires_utc = none();
  long long px = 0;
  Ref expires = getattr(entry.get(), id_expires_at);
  if (expires.get() != Py_None) {
    // The naive difference is the lifetime whatever the clocks did meanwhile.
    Ref lifetime = check(PyNumber_Subtract(expires.get(), fetched.get()));
    expires_utc = check(PyNumber_Add(fetched_utc.get(), lifetime.get()));
    Ref left = check(PyNumber_Subtract(expires_utc.get(), utc_now(c).get()));
    px = static_cast<long long>(std::ceil(as_double(call_method(left.get(), id_total_seconds).get()) * 1000));
    if (px <= 0) {
      drop_shared(s, slot);
      return entry;
    }
  }
  Ref name = slot_name(s, slot, 'e');
  entrycodec::Entry stored{getattr(entry.get(), id_data), fetched_utc, expires_utc, getattr(entry.get(), id_params)};
  Ref value = shareable(c, s, ns, stored, name.get());
  if (!value) {
    drop_shared(s, slot);
    return entry;
  }
  write_shared(s, slot, value.get(), px);
  return entry;
}

// Unlinks this store's names that match `pattern`, a batch at a time (SCAN,
// never KEYS: a large database is not blocked while it is walked).  A name
// is this store's when what lies between "<prefix>:{" and "}:<kind>" is a
// slot's text beginning with `ns_text`: another prefix that begins like this
// one ("a" and "a:{x", "app" and "app:{v2}") names no slot of it.
void unlink_matching(Store& s, const std::string& ns_text) {
  static const Id id_scan_iter("scan_iter"), id_match("match"), id_count("count"), id_unlink("unlink");
  constexpr Py_ssize_t kBatch = 500;
  const std::string head = s.prefix_text + ":{";
  const std::string pattern = cachekey::glob_escape(head + ns_text) + "*}:[ew]";
  Ref match = check(PyBytes_FromStringAndSize(pattern.data(), static_cast<Py_ssize_t>(pattern.size())));
  auto owned = [&](PyObject* name) {
    if (!PyBytes_Check(name)) return false;
    std::string_view text = bytes_view(name);
    if (text.size() < head.size() + 3 || text.substr(0, head.size()) != head) return false;
    std::string_view slot = text.substr(head.size(), text.size() - head.size() - 3);
    return slot.substr(0, ns_text.size()) == ns_text && cachekey::is_slot_text(slot);
  };
  s.link.attempt([&] {
    PyObject* client = s.link.client();
    Ref unlink = getattr(client, id_unlink);
    Ref names = call_method(client, id_scan_iter, {}, {{id_match, match.get()}, {id_count, integer(kBatch).get()}});
    Ref iterator = check(PyObject_GetIter(names.get()));
    Ref batch = new_list();
    auto flush = [&] {
      if (PyList_GET_SIZE(batch.get()) == 0) return;
      Ref args = check(PyList_AsTuple(batch.get()));
      check(PyObject_Call(unlink.get(), args.get(), nullptr));
      batch = new_list();
    };
    while (Ref name = Ref::steal_or_null(PyIter_Next(iterator.get()))) {
      if (owned(name.get())) list_append(batch.get(), name.get());
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

enum class ClearNsArg : std::size_t { self, ns };

Ref redis_store_clear_ns(Call& c) {
  static const Id id_clear_ns("clear_ns");
  Store& s = store_of(c);
  PyObject* ns = c[ClearNsArg::ns];
  const std::string ns_text = cachekey::namespace_text(ns);
  LastMiss::forget();
  call_method(s.local.get(), id_clear_ns, {ns});
  unlink_matching(s, ns_text);
  return none();
}

Ref redis_store_clear_all(Call& c) {
  static const Id id_clear_all("clear_all");
  Store& s = store_of(c);
  LastMiss::forget();
  call_method(s.local.get(), id_clear_all);
  unlink_matching(s, "");
  return none();
}

enum class BeginArg : std::size_t { self, ns, key };

Ref redis_store_begin_inflight(Call& c) {
  static const Id id_begin("_begin_inflight");
  Store& s = store_of(c);
  PyObject* ns = c[BeginArg::ns];
  PyObject* key = c[BeginArg::key];
  const std::string slot = cachekey::slot_text(ns, key);
  const bool missed = LastMiss::take(&s, slot);
  Ref lock_name = slot_name(s, slot, 'f');
  Ref entry_name = slot_name(s, slot, 'e');
  Ref token = new_token();
  std::optional<Ref> answer = s.link.attempt([&] {
    Ref flag = integer(missed ? 1 : 0);
    return run_script(s.begin_script.get(), {lock_name.get(), entry_name.get()},
                      tuple({token.get(), s.lease_ms.get(), flag.get()}));
  });
  std::vector<Registration>& mine = s.registrations[PyThread_get_thread_ident()];
  if (!answer) {
    // Redis is out or refused: single-flight among this process's callers only.
    Ref first = call_method(s.local.get(), id_begin, {ns, key});
    mine.push_back({slot, nullptr, nullptr, 0, true});
    return first;
  }
  if (!PyList_Check(answer->get()) || PyList_GET_SIZE(answer->get()) != 2) {
    raise(PyExc_RuntimeError, "the registration script answered in an unexpected shape");
  }
  const bool first = as_long_long(PyList_GET_ITEM(answer->get(), 0)) == 1;
  const long long began = as_long_long(PyList_GET_ITEM(answer->get(), 1));
  mine.push_back({slot, lock_name, token, began, false});
  s.renewer.start(c.self(), s.lease / 3);
  return boolean(first);
}

enum class EndArg : std::size_t { self, ns, key };

// Ends this thread's latest registration of the slot, in the tier it was made in.
Ref redis_store_end_inflight(Call& c) {
  static const Id id_end("_end_inflight");
  Store& s = store_of(c);
  PyObject* ns = c[EndArg::ns];
  PyObject* key = c[EndArg::key];
  const std::string slot = cachekey::slot_text(ns, key);
  LastMiss::forget();
  auto found = s.registrations.find(PyThread_get_thread_ident());
  if (found == s.registrations.end()) return none();  // nothing begun here
  std::vector<Registration>& mine = found->second;
  auto it = std::find_if(mine.rbegin(), mine.rend(), [&](const Registration& r) { return r.slot == slot; });
  if (it == mine.rend()) return none();
  Registration ended = std::move(*it);
  mine.erase(std::next(it).base());
  if (mine.empty()) s.registrations.erase(found);
  if (ended.local) {
    call_method(s.local.get(), id_end, {ns, key});
  } else if (ended.token) {
    // If Redis is out now, the lease frees the place.
    s.link.attempt([&] { return run_script(s.end_script.get(), {ended.lock_name.get()}, tuple({ended.token.get()})); });
  }
  return none();
}

// One round of the renewing thread: extends the leases of the calls in
// progress, and ends the thread when there are none.
bool renew_step(PyObject* /*owner*/, void* context) {
  static const Id id_debug("debug");
  Store& s = *static_cast<Store*>(context);
  Ref held = new_dict();  // lock name -> [lease ms, tokens...]
  for (const auto& [thread, mine] : s.registrations) {
    for (const Registration& r : mine) {
      if (!r.token) continue;
      Ref args = dict_get(held.get(), r.lock_name.get());
      if (!args) {
        args = new_list();
        list_append(args.get(), s.lease_ms.get());
        dict_set(held.get(), r.lock_name.get(), args.get());
      }
      list_append(args.get(), r.token.get());
    }
  }
  // No Python code has run since the registrations were read: a begin either
  // added its own before this look or finds this thread gone and starts one.
  if (PyDict_GET_SIZE(held.get()) == 0 || !s.renew_script) return false;
  Ref items = check(PyDict_Items(held.get()));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
    PyObject* lock_name = PyTuple_GET_ITEM(PyList_GET_ITEM(items.get(), i), 0);
    Ref args = check(PyList_AsTuple(PyTuple_GET_ITEM(PyList_GET_ITEM(items.get(), i), 1)));
    std::optional<Ref> lost = s.link.attempt([&] { return run_script(s.renew_script.get(), {lock_name}, args); });
    if (lost && PyList_Check(lost->get()) && PyList_GET_SIZE(lost->get()) > 0) {
      log_record(s, id_debug, "leases lapsed before they were renewed (a stopped or slow process): %r in %r",
                 {lost->get(), lock_name});
    }
  }
  return true;
}

Ref store_local(PyObject* self) {
  const Ref& local = NativeType<Store>::of(self).local;
  return local ? local : none();
}
Ref store_outage(PyObject* self) { return boolean(NativeType<Store>::of(self).link.out()); }

const FnSpec kInit{"__init__",
                   redis_store_init,
                   {self_arg(), arg("redis", "Any"), arg("prefix", "str", Conv::Str, str_default("private_core")),
                    store_interface::kSecret, kwonly("lease", "float", Conv::Float, float_default(10.0)),
                    kwonly("retry_interval", "float", Conv::Float, float_default(1.0))},
                   "None",
                   nullptr};
const FnSpec kGet{"get", redis_store_get, store_interface::slot_params(), "Optional[CacheEntry]", nullptr};
const FnSpec kSet{"set", redis_store_set, store_interface::set_params(), "CacheEntry", nullptr};
const FnSpec kClearNs{"clear_ns", redis_store_clear_ns, store_interface::clear_ns_params(), "None", nullptr};
const FnSpec kClearAll{"clear_all", redis_store_clear_all, store_interface::clear_all_params(), "None", nullptr};
const FnSpec kBegin{"_begin_inflight", redis_store_begin_inflight, store_interface::slot_params(), "bool",
                    store_interface::kBeginDoc};
const FnSpec kEnd{"_end_inflight", redis_store_end_inflight, store_interface::slot_params(), "None", nullptr};

void build(Module& m) {
  static const Id id_getLogger("getLogger");
  m.import("hmac");
  m.import("json");
  m.import("logging");
  m.import_from("datetime", {"datetime", "timedelta", "timezone"});
  m.import_from("typing", {"Any", "Dict", "Optional", "Union"});
  m.import("pandas", "pd");
  m.import_from("pandas.testing", {"assert_frame_equal"});
  m.import("pyarrow", "pa");
  import("pyarrow.ipc");
  import("redis");
  m.import_relative("memstore", {"CacheEntry", "CacheKey", "Namespace", "_Cache"});
  m.add("logger", call_method(m.get("logging").get(), id_getLogger, {m.get("__name__").get()}).get());
  Ref store = NativeType<Store>::build(m, {"RedisStore",
                                           "Cache store shared through Redis, with a process-local _Cache in front.\n"
                                           "Single-flight across processes; leases free the slots of dead processes.",
                                           {&kInit, &kGet, &kSet, &kClearNs, &kClearAll, &kBegin, &kEnd},
                                           {{"_local", store_local, "The process-local tier (a _Cache)."},
                                            {"_outage", store_outage, "Whether Redis is out and calls skip it."}}});
  m.add("RedisStore", store.get());
  m.set_all({"RedisStore"});
}

}  // namespace

PCRT_MODULE(redisstore, build)
