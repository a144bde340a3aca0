// private_core.history: end-of-day bars of many symbols, kept per symbol in a
// store and refreshed incrementally.  The frame is the one daybars.fetch_ohlcv
// returns for the same arguments: the stored rows are the service's own rows,
// and they go through the same frame builder and resampler.
//
// Per symbol the store holds one JSON-able record: the calendar days asked and
// answered (`first`..`last`, one contiguous span), the last day whose bar was
// fetched after that day's close (`final`), when it was fetched (`at`, epoch
// seconds) and the rows.  Bars and coverage are written together, so a failed
// request never marks a day covered.
#include <time.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "pcrt/decoding.hpp"
#include "shared/prices.hpp"

namespace {
using namespace pcrt;

const Id id_ENDPOINT("ENDPOINT"), id_NAMESPACE("NAMESPACE"), id_fetch_planned("_fetch_planned"),
    id_fetch_eod("fetch_eod"), id_datetime("datetime"), id_time("time"), id_default_store("_default_store"),
    id_make_default_store("_make_default_store");
const Id id_fromisoformat("fromisoformat"), id_year("year"), id_month("month"), id_day("day"), id_get("get"),
    id_set("set"), id_data("data"), id_begin("_begin_inflight"), id_end_inflight("_end_inflight"),
    id_monotonic("monotonic"), id_sleep("sleep"), id_workers("workers"), id_show_progress("show_progress"),
    id_symbol("symbol"), id_interval("interval"), id_start("start"), id_end("end"), id_first("first"),
    id_last("last"), id_final("final"), id_at("at"), id_rows("rows"), id_normalize_symbols("_normalize_symbols");
const Id lit_1D("1D");

const prices::BatchKind kEod{id_ENDPOINT, "Batch EOD", prices::kOhlcvMessages, true};

// The exchange closes at 15:00 in Vietnam (UTC+7, no daylight saving): a bar
// fetched at or after that instant of its day is final.
constexpr long long kCloseOffset = 8 * 3600;
// The service refuses longer ranges; such requests, like any the service would
// parse differently from us, go to the bulk fetch unstored.
constexpr long long kMaxSpan = 366 * 30;
constexpr long long kFirstYear = 1900;
// Rounds of requests one call may make: extend forward, extend backward, then
// once more after a revision dropped a symbol's history.
constexpr int kMaxRounds = 4;

// ---------------------------------------------------------------------------
// Calendar days as day numbers (days since 1970-01-01).

long long days_from_civil(long long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

Ref iso_text(long long z) {
  z += 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  const long long y = static_cast<long long>(yoe) + era * 400 + (m <= 2);
  return check(PyUnicode_FromFormat("%04lld-%02u-%02u", y, m, d));
}

// "YYYY-MM-DD" (the first ten characters of an ISO date or date-time).
std::optional<long long> parse_iso_day(PyObject* text) {
  if (!PyUnicode_Check(text) || !PyUnicode_IS_ASCII(text) || PyUnicode_GET_LENGTH(text) < 10) return std::nullopt;
  const char* s = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(text));
  auto digits = [&](int from, int count) -> long long {
    long long v = 0;
    for (int i = from; i < from + count; ++i) {
      if (s[i] < '0' || s[i] > '9') return -1;
      v = v * 10 + (s[i] - '0');
    }
    return v;
  };
  const long long y = digits(0, 4), m = digits(5, 2), d = digits(8, 2);
  if (s[4] != '-' || s[7] != '-' || y < 0 || m < 1 || m > 12 || d < 1 || d > 31) return std::nullopt;
  return days_from_civil(y, static_cast<unsigned>(m), static_cast<unsigned>(d));
}

// The local calendar day of an instant, as memstore.to_date(None) reads it.
long long local_day(double epoch) {
  const time_t t = static_cast<time_t>(std::floor(epoch));
  struct tm parts{};
  localtime_r(&t, &parts);
  return days_from_civil(parts.tm_year + 1900LL, static_cast<unsigned>(parts.tm_mon + 1),
                         static_cast<unsigned>(parts.tm_mday));
}

// The last day whose session had closed at `epoch`.
long long closed_through(double epoch) {
  return static_cast<long long>(std::floor((epoch - static_cast<double>(kCloseOffset)) / 86400.0));
}

// A row's day from its time member, as the service writes it (ISO text).
std::optional<long long> day_of(PyObject* row) {
  Ref value = PyDict_Check(row) ? dict_get(row, id_time) : Ref();
  return value ? parse_iso_day(value.get()) : std::nullopt;
}

// The day of a row the service sent: one without is an answer we cannot keep.
long long row_day(const Call& c, PyObject* row) {
  std::optional<long long> day = day_of(row);
  if (!day) raise_decoding(c.names(), "Each OHLCV row must carry its day in its \"time\" member (YYYY-MM-DD).");
  return *day;
}

// ---------------------------------------------------------------------------
// One symbol's stored series.

struct Series {
  bool present = false;
  long long first = 0, last = -1, final_ = -1;
  double at = 0.0;
  Ref rows;                     // the service's rows, tagged with the symbol, by day
  std::vector<long long> days;  // each row's day
};

std::optional<long long> day_member(PyObject* record, const Id& key) {
  Ref value = dict_get(record, key);
  return value ? parse_iso_day(value.get()) : std::nullopt;
}

// A record read back from the store; anything not of our shape counts as absent.
Series load_series(PyObject* entry) {
  Series s;
  if (entry == Py_None) return s;
  Ref record = getattr(entry, id_data);
  if (!PyDict_Check(record.get())) return s;
  auto first = day_member(record.get(), id_first), last = day_member(record.get(), id_last),
       final_ = day_member(record.get(), id_final);
  Ref at = dict_get(record.get(), id_at);
  Ref rows = dict_get(record.get(), id_rows);
  if (!first || !last || !final_ || !at || !PyFloat_Check(at.get()) || !rows || !PyList_Check(rows.get())) return s;
  if (*last < *first - 1 || *final_ < *first - 1 || *final_ > *last) return s;
  s.rows = check(PyList_GetSlice(rows.get(), 0, PY_SSIZE_T_MAX));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(s.rows.get()); ++i) {
    std::optional<long long> day = day_of(PyList_GET_ITEM(s.rows.get(), i));
    if (!day) return Series{};
    s.days.push_back(*day);
  }
  s.present = true;
  s.first = *first, s.last = *last, s.final_ = *final_, s.at = PyFloat_AS_DOUBLE(at.get());
  return s;
}

Ref record_of(const Series& s) {
  Ref record = new_dict();
  dict_set(record.get(), id_first, iso_text(s.first).get());
  dict_set(record.get(), id_last, iso_text(s.last).get());
  dict_set(record.get(), id_final, iso_text(s.final_).get());
  dict_set(record.get(), id_at, real(s.at).get());
  dict_set(record.get(), id_rows, s.rows.get());
  return record;
}

// The rows of `s` whose day lies in [lo, hi], appended to `out`.
void append_span(PyObject* out, const Series& s, long long lo, long long hi) {
  for (std::size_t i = 0; i < s.days.size(); ++i) {
    if (s.days[i] >= lo && s.days[i] <= hi)
      list_append(out, PyList_GET_ITEM(s.rows.get(), static_cast<Py_ssize_t>(i)));
  }
}

// ---------------------------------------------------------------------------
// Planning: what one symbol lacks for [want_lo, want_hi].

struct Task {
  long long from = 0, to = -1;           // the days asked for
  long long check_lo = 0, check_hi = -1;  // stored days asked again, to see revisions
  bool forward = false;
};

struct Clock {
  double fresh_since;  // records fetched at or after this instant are fresh
  long long today;
};

// The last stored row's day within [lo, hi], if any.
std::optional<long long> last_row_in(const Series& s, long long lo, long long hi) {
  std::optional<long long> found;
  for (long long d : s.days) {
    if (d >= lo && d <= hi) found = d;
  }
  return found;
}

// Forward first (the latest days and the revision check), then backward; a
// record written since the caller first looked is fresh, so only its coverage counts.
std::optional<Task> plan(const Series& s, long long want_lo, long long want_hi, const Clock& clock) {
  const long long reach = std::min(want_hi, clock.today);
  if (!s.present) return Task{want_lo, std::max(reach, want_lo), 0, -1, true};
  const long long settled = s.at >= clock.fresh_since ? s.last : s.final_;
  if (reach > settled) {
    // Asked again from the last final bar: the service's answer for it shows a revision.
    const long long from = last_row_in(s, s.first, s.final_).value_or(s.final_ + 1);
    return Task{std::min(from, s.last + 1), reach, from, s.final_, true};
  }
  if (want_lo < s.first) {
    const long long overlap = s.days.empty() || s.days.front() > s.last ? s.first - 1 : s.days.front();
    return Task{want_lo, std::max(overlap, s.first - 1), s.first, overlap, false};
  }
  return std::nullopt;
}


// ---------------------------------------------------------------------------
// Folding answers into series.

// The answer's rows within [lo, hi], with their days.
Series answered(const Call& c, PyObject* rows, long long lo, long long hi) {
  Series a;
  a.rows = new_list();
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rows); ++i) {
    PyObject* row = PyList_GET_ITEM(rows, i);
    const long long day = row_day(c, row);
    if (day < lo || day > hi) continue;
    list_append(a.rows.get(), row);
    a.days.push_back(day);
  }
  return a;
}

bool same_span(const Series& stored, const Series& answer, long long lo, long long hi) {
  if (lo > hi) return true;
  Ref before = new_list(), now = new_list();
  append_span(before.get(), stored, lo, hi);
  append_span(now.get(), answer, lo, hi);
  return equals(before.get(), now.get());
}

// Folds the answer to `t`, fetched at `at`, into `s`.  False when the answer
// differs from stored days it asked again (the prices were revised): `s` is
// left as it was.
bool merge(const Call& c, Series& s, const Task& t, PyObject* rows, double at, long long today) {
  const long long reach = std::min(t.to, today);
  Series a = answered(c, rows, t.from, reach);
  if (s.present && !same_span(s, a, t.check_lo, t.check_hi)) return false;
  const long long closed = std::min(closed_through(at), reach);
  if (!s.present) {
    if (reach < t.from) return true;  // nothing asked has happened yet
    a.present = true;
    a.first = t.from, a.last = reach, a.at = at;
    a.final_ = std::max(closed, t.from - 1);
    s = std::move(a);
    return true;
  }
  Ref merged = new_list();
  if (t.forward) {
    append_span(merged.get(), s, s.first, t.from - 1);
    append_span(merged.get(), a, t.from, reach);
    s.last = std::max(s.last, reach);
    s.final_ = std::min(std::max(s.final_, closed), s.last);
    s.at = at;
  } else {
    append_span(merged.get(), a, t.from, s.first - 1);
    append_span(merged.get(), s, s.first, s.last);
    if (s.final_ < s.first) s.final_ = std::max(std::min(s.first - 1, closed), t.from - 1);
    s.first = t.from;
  }
  s.rows = merged;
  s.days.clear();
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(merged.get()); ++i) {
    s.days.push_back(row_day(c, PyList_GET_ITEM(merged.get(), i)));
  }
  return true;
}

// ---------------------------------------------------------------------------
// One call.

struct Slot {
  Ref symbol, key;
  long long want_lo = 0, want_hi = -1;  // widened when a revision drops the history
  double fresh_since = 0.0;             // records fetched at or after this are fresh
  Series series;
  Ref error;
  bool nothing_yet = false;  // asked, and nothing of the range has happened yet
};

struct Context {
  const Call* c;
  PyObject* session;
  PyObject* store;
  PyObject* now;
  PyObject* workers;
  bool show_progress;
  Ref ns;
  long long today;
};

double read_clock(const Context& x) { return as_double(call(x.now).get()); }

const Id id_local("_local"), id_clear_ns("clear_ns");

// The shared stores keep what a process read in a local tier without expiry,
// where another process's later write would stay unseen: the namespace's local
// copies are dropped before reading, so records come from the shared tier.
void forget_local_copies(const Context& x) {
  if (Ref local = getattr_opt(x.store, id_local)) call_method(local.get(), id_clear_ns, {x.ns.get()});
}

void reload(const Context& x, Slot& slot) {
  Ref entry = call_method(x.store, id_get, {x.ns.get(), slot.key.get()});
  slot.series = load_series(entry.get());
}

std::optional<Task> next_task(const Context& x, const Slot& slot) {
  return plan(slot.series, slot.want_lo, slot.want_hi, Clock{slot.fresh_since, x.today});
}

Ref query(const Slot& slot, const Task& t) {
  Ref params = new_dict();
  dict_set(params.get(), id_symbol, slot.symbol.get());
  dict_set(params.get(), id_interval, lit_1D.get());
  dict_set(params.get(), id_start, iso_text(t.from).get());
  dict_set(params.get(), id_end, iso_text(t.to).get());
  return params;
}

// Folds one symbol's answer (or failure) and writes the record back.
void settle(const Context& x, Slot& slot, const Task& t, PyObject* by_symbol, PyObject* failures, double at) {
  if (Ref error = dict_get(failures, slot.symbol.get())) {
    slot.error = error;
    return;
  }
  Ref rows = dict_get(by_symbol, slot.symbol.get());
  if (!rows) raise(PyExc_SystemError, "the bulk fetch returned neither rows nor a failure for a symbol");
  if (!merge(*x.c, slot.series, t, rows.get(), at, x.today)) {
    // A corporate action revised the adjusted prices: fetch the whole history again.
    slot.want_lo = std::min(slot.want_lo, slot.series.first);
    slot.want_hi = std::max(slot.want_hi, slot.series.last);
    slot.series = Series{};
    return;
  }
  slot.nothing_yet = !slot.series.present;
  if (slot.series.present) {
    call_method(x.store, id_set, {x.ns.get(), slot.key.get(), record_of(slot.series).get()});
  }
}

// Requests what `slots` lack, one request per symbol per round, through the
// bulk fetch's workers (and so through the session's pace gate).
void fetch_rounds(const Context& x, const std::vector<Slot*>& slots) {
  for (int round = 0; round < kMaxRounds; ++round) {
    Ref planned = new_dict();
    std::vector<std::pair<Slot*, Task>> tasks;
    for (Slot* slot : slots) {
      if (slot->error || slot->nothing_yet) continue;
      if (auto t = next_task(x, *slot)) {
        dict_set(planned.get(), slot->symbol.get(), query(*slot, *t).get());
        tasks.emplace_back(slot, *t);
      }
    }
    if (tasks.empty()) return;
    // Read before the requests leave: a bar is final only if asked for after its close.
    const double at = read_clock(x);
    Ref answer = call(x.c->global(id_fetch_planned).get(), {x.session, planned.get()},
                      {{id_workers, x.workers}, {id_show_progress, boolean(x.show_progress).get()}});
    PyObject* by_symbol = PyTuple_GET_ITEM(answer.get(), 0);
    PyObject* failures = PyTuple_GET_ITEM(answer.get(), 1);
    for (auto& [slot, t] : tasks) settle(x, *slot, t, by_symbol, failures, at);
  }
}

// Waits for other callers' fetches of `waiting`: polls the store until each
// record holds what was asked or `timeout` seconds pass.  Returns the symbols
// still lacking something, which this caller then fetches itself.
std::vector<Slot*> wait_for_others(const Context& x, std::vector<Slot*> waiting, double timeout) {
  Ref time_module = x.c->global(id_time);
  Ref monotonic = module_attr(time_module.get(), id_monotonic);
  const double deadline = as_double(call(monotonic.get()).get()) + timeout;
  Ref interval = real(0.05);
  while (!waiting.empty() && as_double(call(monotonic.get()).get()) < deadline) {
    check(PyErr_CheckSignals());
    forget_local_copies(x);
    std::erase_if(waiting, [&](Slot* slot) {
      reload(x, *slot);
      return !next_task(x, *slot);
    });
    if (!waiting.empty()) call(module_attr(time_module.get(), id_sleep).get(), {interval.get()});
  }
  return waiting;
}

// Where a caller starts from for one symbol: only records written after its
// first look (by anyone) count as fresh; an older record is fresh through its
// final day only.
void first_look(const Context& x, Slot& slot) {
  reload(x, slot);
  slot.fresh_since = slot.series.present ? std::nextafter(slot.series.at, HUGE_VAL) : -HUGE_VAL;
}

// Fills the slots from the store and the service, one fetcher per symbol
// across every process sharing the store.
void refresh(const Context& x, std::vector<Slot>& slots, double wait_timeout) {
  std::vector<Slot*> mine, others;
  Ref registered = new_list();
  forget_local_copies(x);
  try_finally(
      [&] {
        for (Slot& slot : slots) {
          first_look(x, slot);
          if (!next_task(x, slot)) continue;
          Ref first = call_method(x.store, id_begin, {x.ns.get(), slot.key.get()});
          list_append(registered.get(), slot.key.get());
          if (!truthy(first.get())) {
            others.push_back(&slot);
            continue;
          }
          reload(x, slot);  // another caller may have just finished
          mine.push_back(&slot);
        }
        fetch_rounds(x, mine);
        fetch_rounds(x, wait_for_others(x, others, wait_timeout));
        return 0;
      },
      [&] {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(registered.get()); ++i) {
          call_method(x.store, id_end_inflight, {x.ns.get(), PyList_GET_ITEM(registered.get(), i)});
        }
      });
}

// ---------------------------------------------------------------------------
// Arguments.

struct Range {
  long long lo, hi;
};

// A date argument as the service parses it (datetime.fromisoformat(...).date()).
std::optional<long long> service_day(const Call& c, PyObject* text) {
  Ref datetime_class = c.global(id_datetime);
  Ref moment;
  try {
    moment = call_method(datetime_class.get(), id_fromisoformat, {text});
  } catch (const Raised&) {
    catch_if(PyExc_ValueError);
    return std::nullopt;
  }
  const long long year = as_long_long(getattr(moment.get(), id_year).get());
  if (year < kFirstYear) return std::nullopt;
  return days_from_civil(year, static_cast<unsigned>(as_long_long(getattr(moment.get(), id_month).get())),
                         static_cast<unsigned>(as_long_long(getattr(moment.get(), id_day).get())));
}

// start and end as the service resolves them: no end is today, no start 30
// days before the end.  Empty when the service would refuse them or read them
// otherwise than we can.
std::optional<Range> resolve(const Call& c, PyObject* start, PyObject* end, long long today) {
  std::optional<long long> hi = today, lo;
  if (PyObject* text = prices::nonempty(end)) hi = service_day(c, text);
  if (!hi) return std::nullopt;
  lo = *hi - 30;
  if (PyObject* text = prices::nonempty(start)) lo = service_day(c, text);
  if (!lo || *hi - *lo > kMaxSpan) return std::nullopt;
  return Range{*lo, *hi};
}

bool stored_interval(PyObject* interval) {
  if (!PyUnicode_CheckExact(interval)) return false;
  for (const char* known : {"1D", "1W", "1M"}) {
    if (PyUnicode_CompareWithASCIIString(interval, known) == 0) return true;
  }
  return false;
}

Ref default_store(const Call& c) {
  Ref store = c.global(id_default_store);
  if (store.get() != Py_None) return store;
  store = call(c.global(id_make_default_store).get());
  c.set_global(id_default_store, store.get());
  return store;
}

const Id id_os("os"), id_environ("environ"), id_path("path"), id_join("join"), id_expanduser("expanduser"),
    id_name("name");

// The user's cache directory, as the platform names it: $XDG_CACHE_HOME or
// ~/.cache on POSIX systems, %LOCALAPPDATA% on Windows.
Ref user_cache_dir(const Call& c) {
  Ref os = c.global(id_os);
  Ref environ = getattr(os.get(), id_environ);
  Ref os_path = getattr(os.get(), id_path);
  const bool windows = PyUnicode_CompareWithASCIIString(getattr(os.get(), id_name).get(), "nt") == 0;
  Ref given = call_method(environ.get(), id_get, {str(windows ? "LOCALAPPDATA" : "XDG_CACHE_HOME").get()});
  if (PyUnicode_Check(given.get()) && PyUnicode_GET_LENGTH(given.get()) > 0) return given;
  return call_method(os_path.get(), id_expanduser, {str(windows ? "~/AppData/Local" : "~/.cache").get()});
}

Ref history_default_store_path(Call& c) {
  Ref os_path = getattr(c.global(id_os).get(), id_path);
  return call_method(os_path.get(), id_join, {user_cache_dir(c).get(), str("private_core").get(), str("history").get()});
}

const FnSpec kDefaultStorePath{"default_store_path",
                               history_default_store_path,
                               {},
                               "str",
                               "Where the default store keeps its files: private_core/history in the\n"
                               "user's cache directory ($XDG_CACHE_HOME or ~/.cache; %LOCALAPPDATA% on Windows).\n"
                               "Delete the directory, or call clear_ns(NAMESPACE) on the store, to clear it."};

// The store used when none is given: one per process, made on first use.
// The on-disk store is imported here, not at load: it needs pyarrow (the
// `disk` extra), which a caller that passes its own store may not have.
Ref history_make_default_store(Call& c) {
  Ref disk_store = import_from("private_core.diskstore", "DiskStore");
  return call(disk_store.get(), {history_default_store_path(c).get()});
}

const FnSpec kMakeDefaultStore{"_make_default_store",
                               history_make_default_store,
                               {},
                               "Any",
                               "Open the store used when fetch_ohlcv is given none (a DiskStore)."};

enum class FetchArg : std::size_t {
  session,
  symbol,
  start,
  end,
  interval,
  store,
  workers,
  now,
  wait_timeout,
  show_progress
};

// The stored rows of every symbol within the range, in symbol order; the
// first failure in symbol order is raised, as the sequential fetch raises it.
Ref assemble(const Call& c, std::vector<Slot>& slots, const Range& range, PyObject* interval) {
  Ref rows = new_list();
  for (Slot& slot : slots) {
    if (slot.error) reraise(std::move(slot.error));
    append_span(rows.get(), slot.series, range.lo, range.hi);
  }
  return prices::build_frame(c.names(), kEod, rows.get(), interval);
}

Ref history_fetch_ohlcv(Call& c) {
  using A = FetchArg;
  if (as_long_long(c[A::workers]) < 1) raise(PyExc_ValueError, "workers must be at least 1");
  const double wait_timeout = c.real(A::wait_timeout);
  if (!(wait_timeout >= 0)) raise(PyExc_ValueError, "wait_timeout must not be negative");
  if (!c.is_none(A::now) && !PyCallable_Check(c[A::now])) raise(PyExc_TypeError, "now must be a callable or None");
  Ref now = c.is_none(A::now) ? module_attr(c.global(id_time).get(), id_time) : Ref::borrow(c[A::now]);
  Ref store = c.is_none(A::store) ? default_store(c) : Ref::borrow(c[A::store]);
  for (const Id* method : {&id_get, &id_set, &id_begin, &id_end_inflight}) {
    if (!getattr_opt(store.get(), *method)) {
      raise(PyExc_TypeError, "store must be a cache store (get, set, _begin_inflight, _end_inflight)");
    }
  }
  Ref symbols = call(c.global(id_normalize_symbols).get(), {c[A::symbol]});
  const double began = as_double(call(now.get()).get());
  const long long today = local_day(began);
  const auto range = stored_interval(c[A::interval]) ? resolve(c, c[A::start], c[A::end], today) : std::nullopt;
  if (!range) {
    // Nothing to keep: the service would refuse the request or read it otherwise.
    return call(c.global(id_fetch_eod).get(), {c[A::session], c[A::symbol], c[A::start], c[A::end], c[A::interval]},
                {{id_workers, c[A::workers]}, {id_show_progress, boolean(c.flag(A::show_progress)).get()}});
  }
  Context x{
      &c,   c[A::session], store.get(), now.get(), c[A::workers], c.flag(A::show_progress), c.global(id_NAMESPACE),
      today};
  std::vector<Slot> slots(static_cast<std::size_t>(PyList_GET_SIZE(symbols.get())));
  for (std::size_t i = 0; i < slots.size(); ++i) {
    slots[i].symbol = Ref::borrow(PyList_GET_ITEM(symbols.get(), static_cast<Py_ssize_t>(i)));
    slots[i].key = tuple({slots[i].symbol.get()});
    slots[i].want_lo = range->lo, slots[i].want_hi = range->hi;
  }
  refresh(x, slots, wait_timeout);
  return assemble(c, slots, *range, c[A::interval]);
}

const FnSpec kFetchOhlcv{
    "fetch_ohlcv",
    history_fetch_ohlcv,
    {arg("session", "HttpSession"), arg("symbol", "Union[str, Sequence[str]]"),
     arg("start", "Optional[str]", Conv::OptStr, none_default()),
     arg("end", "Optional[str]", Conv::OptStr, none_default()),
     arg("interval", "Interval", Conv::Any, str_default("1D")), kwonly("store", "Any", Conv::Any, none_default()),
     kwonly("workers", "int", Conv::Int, int_default(8)),
     kwonly("now", "Optional[Callable[[], float]]", Conv::Any, none_default()),
     kwonly("wait_timeout", "float", Conv::Float, float_default(30.0)),
     kwonly("show_progress", "bool", Conv::Bool, bool_default(true))},
    "pd.DataFrame",
    "End-of-day bars of one symbol or many, kept per symbol in a store and refreshed\n"
    "incrementally; the frame is the one daybars.fetch_ohlcv returns for the same arguments.\n"
    "\n"
    "Only the days a symbol lacks are asked for, one request per symbol through the bulk\n"
    "fetch's workers (and the session's pace gate).  The latest day is asked again until a\n"
    "fetch made after the session's close (15:00 in Vietnam) holds it; each refresh asks\n"
    "again for the last final day stored, and when the service's answer differs (a corporate\n"
    "action revised the adjusted prices) the symbol's history is dropped and fetched whole.\n"
    "Failed requests store nothing.\n"
    "\n"
    "Parameters\n"
    "----------\n" PRICES_DOC_SESSION_SYMBOL
    "start, end, interval:\n"
    "    As for daybars.fetch_ohlcv.\n"
    "store:\n"
    "    Where the series live: a _Cache, a RedisStore or a DiskStore (None: a DiskStore\n"
    "    in default_store_path(), opened once per process).\n"
    "workers:\n"
    "    Most requests in flight at once.\n"
    "now:\n"
    "    The clock, in epoch seconds (default time.time).\n"
    "wait_timeout:\n"
    "    Seconds to wait for another caller's fetch of a symbol before fetching it too.\n" PRICES_DOC_SHOW_PROGRESS
    "\n"
    "Returns\n"
    "-------\n"
    "pd.DataFrame\n"
    "    Every symbol's bars in one frame; an empty frame when there are none.\n"
    "\n" PRICES_DOC_RAISES};

void build(Module& m) {
  prices::import_names(m, "Interval");
  m.import_from("typing", {"Callable"});
  m.import("time");
  m.import_from("datetime", {"datetime"});
  m.import_relative("daybars", {"_normalize_symbols"});
  m.import_relative("bulkfetch", {"_fetch_planned", "fetch_eod"});
  m.import("os");
  m.add("ENDPOINT", str("/market-data/eod/ohlcv").get());
  m.add("NAMESPACE", str("history.eod").get());
  m.add("_default_store", Py_None);
  m.def(kDefaultStorePath);
  m.def(kMakeDefaultStore);
  m.def(kFetchOhlcv);
}

}  // namespace

PCRT_MODULE(history, build)
