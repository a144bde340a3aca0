// private_core.pacegate: requests at the service's pace.  A gate spaces the
// requests of each API key to a rate (in this process, or across processes
// and machines through Redis, and in this process alone while Redis is out),
// a retry policy waits out 429 and 503 answers, and `attach` installs both
// on an HttpSession as a requests transport adapter.  A session that is
// never attached behaves as before.
#include <cmath>
#include <limits>
#include <optional>

#include <string>
#include <unordered_map>

#include "pcrt/native_type.hpp"
#include "pcrt/pcrt.hpp"
#include "redislink/redislink.hpp"

namespace {
using namespace pcrt;

// Module-level names read at call time.
const Id id_time("time"), id_hmac("hmac"), id_os("os"), id_logger("logger"), id_random("random"),
    id_parsedate_to_datetime("parsedate_to_datetime"), id_timezone("timezone"), id_requests("requests"),
    id_CANCEL("_CANCEL"), id_Cancelled("Cancelled"), id_RetryPolicy("RetryPolicy"), id_PaceAdapter("PaceAdapter");
// Attributes, methods and keywords.
const Id id_clock("_clock"), id_sleep_("_sleep"), id_monotonic("monotonic"), id_sleep("sleep"), id_time_fn("time"),
    id_sha256("sha256"), id_hexdigest("hexdigest"), id_new("new"), id_digestmod("digestmod"), id_copy("copy"),
    id_update("update"), id_urandom("urandom"), id_hex("hex"), id_decode("decode"),
    id_register_script("register_script"), id_keys("keys"), id_args("args"), id_get("get"), id_wait("wait"),
    id_reserve("reserve"), id_acquire("acquire"), id_attempts("attempts"), id_total_wait("total_wait"),
    id_backoff("backoff"), id_backoff_max("backoff_max"), id_statuses("statuses"), id_methods("methods"),
    id_transport_errors("transport_errors"), id_random_("_random"), id_gate("gate"), id_retry("retry"),
    id_retries("retries"), id_delay("delay"), id_headers("headers"), id_method("method"),
    id_status_code("status_code"), id_content("content"), id_RequestException("RequestException"),
    id_init("__init__"), id_send("send"), id_stream("stream"), id_timeout("timeout"), id_verify("verify"),
    id_cert("cert"), id_proxies("proxies"), id_pool_maxsize("pool_maxsize"), id_session("_session"),
    id_adapters("adapters"), id_mount("mount"), id_close("close"), id_tzinfo("tzinfo"), id_replace("replace"),
    id_utc("utc"), id_timestamp("timestamp"), id_upper("upper"), id_strip("strip");
const Id lit_authorization("Authorization"), lit_retry_after("Retry-After"), lit_empty(""), lit_http("http://"),
    lit_https("https://");

// Connections kept per host: more than the bulk fetcher's default workers, so
// concurrent requests through one session reuse their connections.
constexpr long long kPoolSize = 32;

// The most a burst or a retry policy's attempts may count.
constexpr long long kMaxCount = 1000000;

// GCRA (the token bucket as one "theoretical arrival time" per key), run
// inside Redis so that every process shares it and Redis's clock is the only
// clock that matters.  Times in integer microseconds: exact in Lua's doubles.
// KEYS[1]: the bucket; ARGV: interval, tolerance (burst - 1 intervals), hold
// (the least wait, after a 429).  Returns the microseconds to wait.
// Without a secret, KEYS[2] holds the salt that keys the buckets' names and
// ARGV[4] is the caller's: the first salt proposed stays, and a caller with
// another one is answered with it instead of a wait.
constexpr const char* kReserveScript = R"lua(
if KEYS[2] then
  local salt = redis.call('GET', KEYS[2])
  if not salt then
    redis.call('SET', KEYS[2], ARGV[4])
  elseif salt ~= ARGV[4] then
    return salt
  end
end
local clock = redis.call('TIME')
local now = tonumber(clock[1]) * 1000000 + tonumber(clock[2])
local interval, tolerance, hold = tonumber(ARGV[1]), tonumber(ARGV[2]), tonumber(ARGV[3])
local tat = tonumber(redis.call('GET', KEYS[1]) or now)
local earliest = math.max(now + hold, tat - tolerance)
local next_tat = math.max(tat, earliest) + interval
redis.call('SET', KEYS[1], string.format('%.0f', next_tat), 'PX', math.ceil((next_tat - now) / 1000) + 1000)
return earliest - now
)lua";

// The current value of `self.<clock>()`, or of the module's `time.<fallback>`
// when no clock was given.
double read_clock(const Call& c, PyObject* clock, const Id& fallback) {
  if (clock != Py_None) return as_double(call(clock).get());
  Ref time = c.global(id_time);
  return as_double(call(module_attr(time.get(), fallback).get()).get());
}

// Waits `seconds`.  Inside a bulk fetch the wait ends early, raising
// Cancelled, once the fetch is cancelled (a failure or Ctrl-C), so no worker
// outlives it by more than the request it has in flight.  An injected
// `sleep` (tests) replaces the wait.
void wait_for(const Call& c, double seconds, PyObject* sleep) {
  const bool injected = sleep != Py_None;
  Ref cancel_var = c.global(id_CANCEL);
  Ref event = call_method(cancel_var.get(), id_get);
  if (event.get() != Py_None) {
    // With an injected sleep the event is only checked: that sleep does the waiting.
    Ref timeout = real(injected ? 0.0 : std::max(0.0, seconds));
    if (truthy(call_method(event.get(), id_wait, {timeout.get()}).get())) {
      raise_exc(call(c.global(id_Cancelled).get(), {str("the bulk fetch was cancelled").get()}));
    }
    if (!injected) return;
  }
  if (seconds <= 0) return;
  Ref amount = real(seconds);
  if (injected) {
    call(sleep, {amount.get()});
    return;
  }
  Ref time = c.global(id_time);
  call(module_attr(time.get(), id_sleep).get(), {amount.get()});
}

// ---------------------------------------------------------------------------
// PaceGate

// What a gate keeps exactly, in this process and in the Redis script (whole
// microseconds in Lua's doubles): at most one request per microsecond, and a
// full burst that refills within 1e9 seconds (about 31 years).
constexpr double kMinRate = 1e-6, kMaxRate = 1e6, kMaxRefill = 1e9;

// A count of requests or attempts as a C number; out of range is a
// ValueError now rather than an OverflowError at the first use.
long long checked_count(PyObject* value, const char* name) {
  int overflow = 0;
  const long long count = PyLong_AsLongLongAndOverflow(value, &overflow);
  if (count == -1 && PyErr_Occurred()) raised();
  if (overflow != 0 || count < 1 || count > kMaxCount) {
    raise_format(PyExc_ValueError, "%s must be a whole number from 1 to %lld, got %R", name, kMaxCount, value);
  }
  return count;
}

void check_rate(PyObject* rate_arg, double rate, long long burst) {
  if (!(rate >= kMinRate && rate <= kMaxRate)) {
    raise_format(PyExc_ValueError, "rate must be a number of requests per second from 1e-06 to 1e+06, got %R", rate_arg);
  }
  if (static_cast<double>(burst - 1) / rate > kMaxRefill) {
    raise_format(PyExc_ValueError,
                 "a burst of %lld takes more than 1e+09 seconds to refill at %R requests per second", burst, rate_arg);
  }
}


const redislink::Texts kLinkTexts{
    "Redis is unreachable (%s: %s); the pace gate paces this process's requests on its own, at the same rate, "
    "until Redis answers again",
    "Redis answers again; the pace gate is shared again",
    "Redis refused a reservation of the pace gate (%s: %s); such requests are paced in this process"};

struct GateState {
  Ref rate, burst, prefix;  // as given: the read-only attributes
  double rate_value = 1.0;
  long long burst_value = 1;
  Ref mac;   // an hmac object keyed by the secret or the salt; copied for each name
  Ref salt;  // the salt's text; None with a secret
  std::unordered_map<std::string, Ref> names;  // credentials -> bucket name under `mac`
  Ref script;  // the reservation script on the link's client; empty for a gate of this process only
  Ref clock, sleep;
  // This process's buckets (all of them without Redis, and the fallback
  // during an outage): bucket name -> theoretical arrival time.
  std::unordered_map<std::string, double> tat;
  redislink::Link link;

  void traverse(Visitor& visit) const {
    for (const Ref* ref : {&rate, &burst, &prefix, &mac, &salt, &script, &clock, &sleep}) visit(*ref);
    link.traverse(visit);
  }
  void clear() {
    link.clear();
    for (Ref* ref : {&rate, &burst, &prefix, &mac, &salt, &script, &clock, &sleep}) *ref = nullptr;
    names.clear();
  }
};
using Gate = NativeType<GateState>;

// The state of a gate whose __init__ has run (a subclass may skip it).
GateState& initialised(const Call& c) {
  GateState& gate = Gate::of(c);
  if (!gate.mac) raise(PyExc_RuntimeError, "PaceGate.__init__ has not run on this gate");
  return gate;
}

// An hmac object that names buckets by HMAC-SHA256 of the credentials under
// `key`.  Only this object is kept: a secret is in no attribute.
Ref keyed_mac(const Call& c, PyObject* key) {
  Ref hmac = c.global(id_hmac);
  return call_method(hmac.get(), id_new, {key}, {{id_digestmod, id_sha256.get()}});
}

// Adopts `salt` (hex text, so that a client decoding answers reads it back
// unchanged) as the key of the bucket names.  Salt and hmac object change
// together, with no Python code in between, so a concurrent reservation sees
// either both old or both new.
void use_salt(const Call& c, GateState& gate, Ref salt) {
  if (PyBytes_Check(salt.get())) salt = call_method(salt.get(), id_decode);
  Ref mac = keyed_mac(c, check(PyUnicode_AsUTF8String(salt.get())).get());
  gate.mac = std::move(mac);
  gate.salt = std::move(salt);
  gate.names.clear();
}

enum class GateInitArg : std::size_t { self, rate, burst, redis, prefix, secret, retry_interval, clock, sleep };

Ref pace_gate_init(Call& c) {
  using A = GateInitArg;
  GateState& gate = Gate::of(c);
  const long long burst = checked_count(c[A::burst], "burst");
  check_rate(c[A::rate], c.real(A::rate), burst);
  const double retry_interval = c.real(A::retry_interval);
  if (!(retry_interval > 0) || !std::isfinite(retry_interval)) {
    raise(PyExc_ValueError, "retry_interval must be a positive number of seconds");
  }
  gate.rate = Ref::borrow(c[A::rate]);
  gate.burst = Ref::borrow(c[A::burst]);
  gate.rate_value = c.real(A::rate);
  gate.burst_value = burst;
  gate.prefix = Ref::borrow(c[A::prefix]);
  // Bucket names are keyed, so that reading Redis does not confirm a guessed
  // API key offline: by the secret when given, else by a salt (this gate's
  // own, until Redis answers with the one it already holds for the prefix).
  gate.salt = none();
  if (c.is_none(A::secret)) {
    Ref os = c.global(id_os);
    use_salt(c, gate, call_method(call_method(os.get(), id_urandom, {integer(16).get()}).get(), id_hex));
  } else {
    gate.mac = keyed_mac(c, secret_bytes(c[A::secret]).get());
    gate.names.clear();
  }
  gate.clock = Ref::borrow(c[A::clock]);
  gate.sleep = Ref::borrow(c[A::sleep]);
  gate.tat.clear();
  gate.script = nullptr;
  if (!c.is_none(A::redis)) {
    gate.link.open(c.self(), c[A::redis], retry_interval, c.global(id_logger).get(), kLinkTexts);
    // Registered once: redis-py then runs it by its digest and loads it again
    // only where a server has lost it.
    gate.script = call_method(gate.link.client(), id_register_script, {str(kReserveScript).get()});
  }
  return none();
}

// The bucket's name: a keyed digest, so the key itself is never stored nor
// sent to Redis.  Lone surrogates pass through: a header holding them cannot
// be sent anyway, and the encoding error would carry the key.  Names are
// kept per credentials, so a reservation seldom hashes; `salt` (if given)
// receives the salt the name was keyed by.
Ref bucket_name(GateState& gate, PyObject* key, Ref* salt = nullptr) {
  constexpr std::size_t kNamesKept = 256;
  Ref encoded = check(PyUnicode_AsEncodedString(key, "utf-8", "surrogatepass"));
  std::string credentials(PyBytes_AS_STRING(encoded.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
  // Read together, with no Python code in between: names, hmac and salt change together.
  if (salt != nullptr) *salt = gate.salt;
  if (auto found = gate.names.find(credentials); found != gate.names.end()) return found->second;
  Ref keyed = gate.mac, prefix = gate.prefix;
  Ref mac = call_method(keyed.get(), id_copy);
  call_method(mac.get(), id_update, {encoded.get()});
  Ref name = str_concat(prefix.get(), call_method(mac.get(), id_hexdigest).get());
  // Not kept when another thread keyed the names anew meanwhile.
  if (gate.mac.get() == keyed.get()) {
    if (gate.names.size() >= kNamesKept) gate.names.clear();
    gate.names.emplace(std::move(credentials), name);
  }
  return name;
}

// One reservation in Redis: the seconds to wait.  Without a secret the script
// first compares this gate's salt with the one Redis holds for the prefix and
// answers with the latter when they differ (another gate proposed it first,
// or the old one was evicted): the gate adopts it and asks again.
Ref reserve_shared(const Call& c, GateState& gate, PyObject* key, double hold) {
  static const Id lit_salt("salt");
  // Clamped to what Lua's doubles hold exactly (2^53 us is 285 years).
  constexpr double kMaxMicros = 9e15;
  const double interval_us = std::ceil(1e6 / gate.rate_value);
  const double tolerance_us = interval_us * static_cast<double>(gate.burst_value - 1);
  const double hold_us = std::min(kMaxMicros, std::ceil(hold * 1e6));
  constexpr int kAttempts = 3;
  for (int attempt = 1;; ++attempt) {
    Ref salt;
    Ref keys = new_list();
    list_append(keys.get(), bucket_name(gate, key, &salt).get());
    Ref args = new_list();
    for (double micros : {interval_us, tolerance_us, hold_us}) {
      list_append(args.get(), integer(static_cast<long long>(micros)).get());
    }
    if (salt.get() != Py_None) {
      list_append(keys.get(), str_concat(gate.prefix.get(), lit_salt.get()).get());
      list_append(args.get(), salt.get());
    }
    Ref script = gate.script;
    Ref answer = call(script.get(), {}, {{id_keys, keys.get()}, {id_args, args.get()}});
    if (PyLong_Check(answer.get())) return real(as_double(answer.get()) / 1e6);
    if (attempt == kAttempts) raise(PyExc_RuntimeError, "the pace gate's salt in Redis keeps changing");
    use_salt(c, gate, std::move(answer));
  }
}

// One reservation in this process's buckets.  The clock is read first: no
// Python code runs between the bucket's read and its update, so the GIL
// keeps concurrent reservations apart.
Ref reserve_local(const Call& c, GateState& gate, PyObject* key, double hold) {
  const double interval = 1.0 / gate.rate_value;
  const double tolerance = interval * static_cast<double>(gate.burst_value - 1);
  Ref name = bucket_name(gate, key);
  Ref clock = gate.clock;
  const double now = read_clock(c, clock.get(), id_monotonic);
  auto slot = gate.tat.try_emplace(std::string(utf8(name.get())), now).first;
  const double earliest = std::max(now + hold, slot->second - tolerance);
  slot->second = std::max(slot->second, earliest) + interval;
  return real(earliest - now);
}

enum class ReserveArg : std::size_t { self, key, hold };

Ref pace_gate_reserve(Call& c) {
  GateState& gate = initialised(c);
  const double hold = std::max(0.0, c.real(ReserveArg::hold));
  if (!std::isfinite(hold)) raise(PyExc_ValueError, "hold must be a finite number of seconds");
  PyObject* key = c[ReserveArg::key];
  if (gate.script) {
    // Redis out (now or already), or refusing: this process paces on its own.
    if (std::optional<Ref> wait = gate.link.attempt([&] { return reserve_shared(c, gate, key, hold); }))
      return *wait;
  }
  return reserve_local(c, gate, key, hold);
}

Ref pace_gate_acquire(Call& c) {
  Ref wait = call_method(c.self(), id_reserve, {c[ReserveArg::key], c[ReserveArg::hold]});
  Ref sleep = initialised(c).sleep;
  wait_for(c, as_double(wait.get()), sleep.get());
  return wait;
}

// A read-only attribute: what __init__ was given.
Ref given(const Ref& value) {
  if (!value) raise(PyExc_AttributeError, "PaceGate.__init__ has not run on this gate");
  return value;
}
Ref pace_gate_rate(PyObject* self) { return given(Gate::of(self).rate); }
Ref pace_gate_burst(PyObject* self) { return given(Gate::of(self).burst); }
Ref pace_gate_prefix(PyObject* self) { return given(Gate::of(self).prefix); }

const FnSpec kGateInit{"__init__",
                       pace_gate_init,
                       {self_arg(), arg("rate", "float", Conv::Float), arg("burst", "int", Conv::Int, int_default(1)),
                        kwonly("redis", "Any", Conv::Any, none_default()),
                        kwonly("prefix", "str", Conv::Str, str_default("pacegate:")),
                        kwonly("secret", "Optional[Union[bytes, str]]", Conv::Any, none_default()),
                        kwonly("retry_interval", "float", Conv::Float, float_default(1.0)),
                        kwonly("clock", "Optional[Callable[[], float]]", Conv::Any, none_default()),
                        kwonly("sleep", "Optional[Callable[[float], object]]", Conv::Any, none_default())},
                       "None",
                       "Space the requests of each key to `rate` per second, `burst` of them back to back.\n"
                       "\n"
                       "Without `redis` the buckets live in this object (thread-safe); with a redis-py\n"
                       "client they live in Redis under `prefix`, shared by every process that names\n"
                       "the same server, and timed by Redis's clock.  While Redis is out the gate paces\n"
                       "this process alone (one warning) and pings Redis every `retry_interval` seconds.\n"
                       "Buckets are named by an HMAC of the key, under `secret` when given (the same in\n"
                       "every process), else under a salt kept in Redis.  `clock` (monotonic seconds)\n"
                       "and `sleep` replace the local clock and waits, for tests."};
const FnSpec kReserve{"reserve",
                      pace_gate_reserve,
                      {self_arg(), arg("key", "str", Conv::Str), arg("hold", "float", Conv::Float, float_default(0.0))},
                      "float",
                      "Reserve the next request slot of `key`, no sooner than `hold` seconds from now;\n"
                      "return the seconds to wait before sending it."};
const FnSpec kAcquire{"acquire",
                      pace_gate_acquire,
                      {self_arg(), arg("key", "str", Conv::Str), arg("hold", "float", Conv::Float, float_default(0.0))},
                      "float",
                      "Reserve the next request slot of `key` and wait for it; return the seconds waited."};

// ---------------------------------------------------------------------------
// RetryPolicy

enum class PolicyInitArg : std::size_t {
  self,
  attempts,
  total_wait,
  backoff,
  backoff_max,
  statuses,
  methods,
  transport_errors,
  clock,
  sleep,
  random
};

Ref retry_policy_init(Call& c) {
  using A = PolicyInitArg;
  PyObject* self = c.self();
  checked_count(c[A::attempts], "attempts");
  for (A seconds : {A::total_wait, A::backoff, A::backoff_max}) {
    const double value = c.real(seconds);
    if (!(value >= 0) || !std::isfinite(value)) raise(PyExc_ValueError, "waits must be finite and not negative");
  }
  setattr(self, id_attempts, c[A::attempts]);
  setattr(self, id_total_wait, c[A::total_wait]);
  setattr(self, id_backoff, c[A::backoff]);
  setattr(self, id_backoff_max, c[A::backoff_max]);
  Ref statuses = check(PyFrozenSet_New(c[A::statuses]));
  setattr(self, id_statuses, statuses.get());
  // Methods are compared upper-cased, as requests sends them.
  Ref methods = check(PySet_New(nullptr));
  Ref iterator = check(PyObject_GetIter(c[A::methods]));
  while (Ref method = Ref::steal_or_null(PyIter_Next(iterator.get()))) {
    check(PySet_Add(methods.get(), call_method(method.get(), id_upper).get()));
  }
  if (PyErr_Occurred()) raised();
  setattr(self, id_methods, check(PyFrozenSet_New(methods.get())).get());
  setattr(self, id_transport_errors, boolean(c.flag(A::transport_errors)).get());
  setattr(self, id_clock, c[A::clock]);
  setattr(self, id_sleep_, c[A::sleep]);
  setattr(self, id_random_, c[A::random]);
  return none();
}

enum class RetriesArg : std::size_t { self, method, status };

Ref retry_policy_retries(Call& c) {
  PyObject* self = c.self();
  Ref methods = getattr(self, id_methods);
  Ref method = call_method(c[RetriesArg::method], id_upper);
  if (!check(PySet_Contains(methods.get(), method.get()))) return boolean(false);
  PyObject* status = c[RetriesArg::status];
  if (status == Py_None) return boolean(truthy(getattr(self, id_transport_errors).get()));
  Ref statuses = getattr(self, id_statuses);
  return boolean(check(PySet_Contains(statuses.get(), status)) != 0);
}

bool ascii_digits(std::string_view text) {
  if (text.empty()) return false;
  for (char ch : text) {
    if (ch < '0' || ch > '9') return false;
  }
  return true;
}

// Retry-After as delta-seconds or as an HTTP date (seconds from `now`, the
// wall clock; a date in the past means at once).  An empty Ref when the value
// is neither, so the caller backs off instead.
Ref parse_retry_after(const Call& c, PyObject* value, double now) {
  Ref text = call_method(value, id_strip);
  std::string_view view = utf8(text.get());
  if (ascii_digits(view)) {
    // Beyond any budget anyway; kept out of the float conversion, which would overflow.
    if (view.size() > 12) return real(std::numeric_limits<double>::infinity());
    return real(as_double(check(PyLong_FromUnicodeObject(text.get(), 10)).get()));
  }
  Ref moment;
  try {
    moment = call(c.global(id_parsedate_to_datetime).get(), {text.get()});
  } catch (const Raised&) {
    catch_matching([] { return tuple({PyExc_ValueError, PyExc_TypeError, PyExc_OverflowError, PyExc_IndexError}); });
    return nullptr;
  }
  // A date without a zone (the obsolete "-0000" form) is read as UTC, as HTTP dates are.
  if (getattr(moment.get(), id_tzinfo).get() == Py_None) {
    Ref utc = getattr(c.global(id_timezone).get(), id_utc);
    moment = call_method(moment.get(), id_replace, {}, {{id_tzinfo, utc.get()}});
  }
  const double at = as_double(call_method(moment.get(), id_timestamp).get());
  return real(std::max(0.0, at - now));
}

enum class DelayArg : std::size_t { self, failures, retry_after };

Ref retry_policy_delay(Call& c) {
  PyObject* self = c.self();
  PyObject* retry_after = c[DelayArg::retry_after];
  if (retry_after != Py_None) {
    Ref clock = getattr(self, id_clock);
    if (Ref seconds = parse_retry_after(c, retry_after, read_clock(c, clock.get(), id_time_fn))) return seconds;
  }
  const long long failures = std::max(1LL, as_long_long(c[DelayArg::failures]));
  const double backoff = as_double(getattr(self, id_backoff).get());
  const double ceiling = as_double(getattr(self, id_backoff_max).get());
  const double base = std::min(ceiling, std::ldexp(backoff, static_cast<int>(std::min(failures - 1, 1000LL))));
  // "Equal jitter": half the step is fixed, so a crowd of clients that failed
  // together spreads out without any of them retrying at once.
  Ref random = getattr(self, id_random_);
  double draw;
  if (random.get() != Py_None) {
    draw = as_double(call(random.get()).get());
  } else {
    Ref module = c.global(id_random);
    draw = as_double(call(module_attr(module.get(), id_random).get()).get());
  }
  return real(base * (0.5 + 0.5 * draw));
}

const FnSpec kPolicyInit{"__init__",
                         retry_policy_init,
                         {self_arg(), arg("attempts", "int", Conv::Int, int_default(5)),
                          kwonly("total_wait", "float", Conv::Float, float_default(60.0)),
                          kwonly("backoff", "float", Conv::Float, float_default(0.5)),
                          kwonly("backoff_max", "float", Conv::Float, float_default(16.0)),
                          kwonly("statuses", "Iterable[int]", Conv::Any, global_default("RETRY_STATUSES")),
                          kwonly("methods", "Iterable[str]", Conv::Any, global_default("RETRY_METHODS")),
                          kwonly("transport_errors", "bool", Conv::Bool, bool_default(false)),
                          kwonly("clock", "Optional[Callable[[], float]]", Conv::Any, none_default()),
                          kwonly("sleep", "Optional[Callable[[float], object]]", Conv::Any, none_default()),
                          kwonly("random", "Optional[Callable[[], float]]", Conv::Any, none_default())},
                         "None",
                         "Retry answers with a status in `statuses` to a method in `methods`.\n"
                         "\n"
                         "At most `attempts` tries in all, and at most `total_wait` seconds of waiting\n"
                         "between them; the wait is the answer's Retry-After (seconds or an HTTP date),\n"
                         "else `backoff` doubled per failure up to `backoff_max`, with jitter.  Transport\n"
                         "errors are retried only with `transport_errors`.  `clock` (wall-clock seconds,\n"
                         "for HTTP dates), `sleep` and `random` are replaceable for tests."};
const FnSpec kRetries{"retries",
                      retry_policy_retries,
                      {self_arg(), arg("method", "str", Conv::Str), arg("status", "Optional[int]", Conv::OptInt)},
                      "bool",
                      "Whether a failure of `method` is retried: an answer with `status`, or a\n"
                      "transport error when `status` is None."};
const FnSpec kDelay{"delay",
                    retry_policy_delay,
                    {self_arg(), arg("failures", "int", Conv::Int),
                     arg("retry_after", "Optional[str]", Conv::OptStr, none_default())},
                    "float",
                    "Seconds to wait after the `failures`-th failure, given the answer's Retry-After."};

// ---------------------------------------------------------------------------
// PaceAdapter

enum class AdapterInitArg : std::size_t { self, gate, retry };

Ref pace_adapter_init(Call& c) {
  using A = AdapterInitArg;
  Ref base_init = super_attr(c, id_init);
  Ref pool = integer(kPoolSize);
  call(base_init.get(), {}, {{id_pool_maxsize, pool.get()}});
  setattr(c.self(), id_gate, c[A::gate]);
  Ref retry = c.is_none(A::retry) ? call(c.global(id_RetryPolicy).get()) : Ref::borrow(c[A::retry]);
  setattr(c.self(), id_retry, retry.get());
  return none();
}

// What one request may still spend of its retry policy's budget.
struct RetryBudget {
  long long attempts;
  double total_wait;
  long long failures = 0;
  double waited = 0.0;
};

RetryBudget budget_of(PyObject* retry) {
  return {as_long_long(getattr(retry, id_attempts).get()), as_double(getattr(retry, id_total_wait).get())};
}

// Counts a failure: an answer with `status`, or a transport error when
// `status` is None.  False when the policy does not retry it or the attempts
// are spent.
bool counts_as_retry(PyObject* retry, PyObject* method, PyObject* status, RetryBudget& budget) {
  if (!truthy(call_method(retry, id_retries, {method, status}).get())) return false;
  return ++budget.failures < budget.attempts;
}

// The wait before the next attempt, or nothing when it goes beyond what is
// left of the budget (it would only delay the same failure).  Each wait is
// logged with what caused it, never with the request's credentials.
std::optional<double> wait_within_budget(const Call& c, PyObject* retry, PyObject* retry_after, PyObject* cause,
                                         RetryBudget& budget) {
  static const Id id_info("info"),
      lit_wait("%s: waiting %.2f s before attempt %d of %d (%.2f s of the retry budget left)");
  Ref failures = integer(budget.failures);
  const double delay = as_double(call_method(retry, id_delay, {failures.get(), retry_after}).get());
  if (budget.waited + delay > budget.total_wait) return std::nullopt;
  budget.waited += delay;
  Ref logger = c.global(id_logger);
  call_method(logger.get(), id_info,
              {lit_wait.get(), cause, real(delay).get(), integer(budget.failures + 1).get(),
               integer(budget.attempts).get(), real(budget.total_wait - budget.waited).get()});
  return delay;
}

// The answer's Retry-After when it is text, else None.
Ref retry_after_of(PyObject* response) {
  Ref headers = getattr(response, id_headers);
  Ref value = call_method(headers.get(), id_get, {lit_retry_after.get()});
  return PyUnicode_Check(value.get()) ? value : none();
}

// Waits for a slot of `key` in the gate (or, without one, the retry's hold).
void take_slot(const Call& c, PyObject* gate, PyObject* retry, PyObject* key, double hold) {
  if (gate != Py_None) {
    call_method(gate, id_acquire, {key, real(hold).get()});
  } else if (hold > 0) {
    wait_for(c, hold, getattr(retry, id_sleep_).get());
  }
}

enum class SendArg : std::size_t { self, request, stream, timeout, verify, cert, proxies };

// One try through HTTPAdapter.send: the answer, or an empty Ref with the
// transport error (a requests.RequestException) in `error`.
Ref send_once(Call& c, PyObject* send, Ref& error) {
  using A = SendArg;
  try {
    return call(send, {c[A::request]},
                {{id_stream, c[A::stream]},
                 {id_timeout, c[A::timeout]},
                 {id_verify, c[A::verify]},
                 {id_cert, c[A::cert]},
                 {id_proxies, c[A::proxies]}});
  } catch (const Raised&) {
    error = catch_matching([&] { return module_attr(c.global(id_requests).get(), id_RequestException); });
    return nullptr;
  }
}

// The credentials actually sent: a call that overrides its Authorization
// header is paced under that key.
Ref credentials_of(PyObject* request) {
  Ref headers = getattr(request, id_headers);
  Ref key = call_method(headers.get(), id_get, {lit_authorization.get(), lit_empty.get()});
  return PyUnicode_Check(key.get()) ? key : check(PyObject_Str(key.get()));
}

Ref pace_adapter_send(Call& c) {
  PyObject* self = c.self();
  Ref gate = getattr(self, id_gate);
  Ref retry = getattr(self, id_retry);
  Ref method = getattr(c[SendArg::request], id_method);
  Ref key = credentials_of(c[SendArg::request]);
  RetryBudget budget = budget_of(retry.get());
  Ref send = super_attr(c, id_send);
  double hold = 0.0;
  for (;;) {
    take_slot(c, gate.get(), retry.get(), key.get(), hold);
    Ref error;
    Ref response = send_once(c, send.get(), error);
    std::optional<double> wait;
    if (!response) {
      if (counts_as_retry(retry.get(), method.get(), Py_None, budget)) {
        Ref cause = str(Py_TYPE(error.get())->tp_name);
        wait = wait_within_budget(c, retry.get(), Py_None, cause.get(), budget);
      }
      if (!wait) reraise(std::move(error));
    } else {
      Ref status = getattr(response.get(), id_status_code);
      if (counts_as_retry(retry.get(), method.get(), status.get(), budget)) {
        Ref cause = check(PyUnicode_FromFormat("HTTP %S", status.get()));
        wait = wait_within_budget(c, retry.get(), retry_after_of(response.get()).get(), cause.get(), budget);
      }
      if (!wait) return response;
      getattr(response.get(), id_content);  // read to the end, so its connection goes back to the pool
      call_method(response.get(), id_close);
    }
    hold = *wait;
  }
}

const FnSpec kAdapterInit{"__init__",
                          pace_adapter_init,
                          {self_arg(), arg("gate", "Optional[PaceGate]", Conv::Any, none_default()),
                           arg("retry", "Optional[RetryPolicy]", Conv::Any, none_default())},
                          "None",
                          "A transport adapter that sends every request through `gate` (when given)\n"
                          "and retries failures as `retry` says (the default RetryPolicy when None)."};
const FnSpec kAdapterSend{"send",
                          pace_adapter_send,
                          {self_arg(), arg("request", "requests.PreparedRequest"),
                           arg("stream", "bool", Conv::Any, bool_default(false)),
                           arg("timeout", "Any", Conv::Any, none_default()),
                           arg("verify", "Any", Conv::Any, bool_default(true)),
                           arg("cert", "Any", Conv::Any, none_default()),
                           arg("proxies", "Optional[Mapping[str, str]]", Conv::Any, none_default())},
                          "requests.Response",
                          "Send `request` once a slot of its key is free; retry as the policy says and\n"
                          "return the last answer (or raise the last transport error)."};

// ---------------------------------------------------------------------------

enum class AttachArg : std::size_t { session, gate, retry };

Ref pacegate_attach(Call& c) {
  using A = AttachArg;
  Ref adapter = call(c.global(id_PaceAdapter).get(), {c[A::gate], c[A::retry]});
  Ref inner = getattr(c[A::session], id_session);
  for (const Id* prefix : {&lit_https, &lit_http}) {
    Ref adapters = getattr(inner.get(), id_adapters);
    Ref previous = call_method(adapters.get(), id_get, {prefix->get()});
    call_method(inner.get(), id_mount, {prefix->get(), adapter.get()});
    // The replaced adapter is no longer reachable through the session: its
    // pooled connections are closed now rather than whenever it is collected.
    if (previous.get() != Py_None && previous.get() != adapter.get()) call_method(previous.get(), id_close);
  }
  return adapter;
}

const FnSpec kAttach{"attach",
                     pacegate_attach,
                     {arg("session", "HttpSession"), arg("gate", "Optional[PaceGate]", Conv::Any, none_default()),
                      arg("retry", "Optional[RetryPolicy]", Conv::Any, none_default())},
                     "PaceAdapter",
                     "Send every request of `session` through `gate` and retry as `retry` says.\n"
                     "\n"
                     "Mounts one PaceAdapter for http:// and https:// on the session's\n"
                     "requests.Session (closing the adapters it replaces) and returns it.  Only\n"
                     "requests reach the gate: answers served from a cache never take a slot."};

void build(Module& m) {
  m.import("time");
  m.import("random");
  m.import("hmac");
  m.import("logging");
  m.import("os");
  m.import("threading");
  m.import("requests");
  m.import_from("contextvars", {"ContextVar"});
  m.import_from("datetime", {"timezone"});
  m.import_from("email.utils", {"parsedate_to_datetime"});
  m.import_from("typing", {"Any", "Callable", "Iterable", "Mapping", "Optional", "Union"});
  m.import_from("requests.adapters", {"HTTPAdapter"});
  m.import_relative("wirelink", {"HttpSession"});
  static const Id id_getLogger("getLogger");
  m.add("logger", call_method(m.get("logging").get(), id_getLogger, {m.get("__name__").get()}).get());

  m.add("RETRY_STATUSES", tuple({integer(429).get(), integer(503).get()}).get());
  m.add("RETRY_METHODS", tuple({str("GET").get()}).get());
  // The cancellation event of the bulk fetch running in this thread, if any:
  // per thread (each worker sets it), so concurrent fetches never see each
  // other's.
  static const Id id_default("default");
  m.add("_CANCEL",
        call(m.get("ContextVar").get(), {str("private_core.pacegate.cancel").get()}, {{id_default, Py_None}}).get());
  ClassBuilder cancelled(m, "Cancelled", "A wait of the gate or the retry policy ended by a cancelled bulk fetch.");
  cancelled.base(PyExc_Exception);
  m.add("Cancelled", cancelled.build().get());

  static const NativeTypeSpec kGate{"PaceGate",
                                    "Token buckets per API key, in this process or shared through Redis.",
                                    {&kGateInit, &kReserve, &kAcquire},
                                    {{"rate", pace_gate_rate, "Requests per second per key."},
                                     {"burst", pace_gate_burst, "Requests a key may send back to back."},
                                     {"prefix", pace_gate_prefix, "What the names in Redis begin with."}}};
  m.add("PaceGate", Gate::build(m, kGate).get());

  ClassBuilder policy(m, "RetryPolicy", "When and how long to wait before sending a failed request again.");
  policy.method(kPolicyInit).method(kRetries).method(kDelay);
  m.add("RetryPolicy", policy.build().get());

  ClassBuilder adapter(m, "PaceAdapter", "requests transport adapter that paces and retries.");
  adapter.base(m.get("HTTPAdapter").get()).method(kAdapterInit).method(kAdapterSend);
  m.add("PaceAdapter", adapter.build().get());

  m.def(kAttach);
  m.set_all({"Cancelled", "PaceAdapter", "PaceGate", "RetryPolicy", "attach"});
}

}  // namespace

PCRT_MODULE(pacegate, build)
