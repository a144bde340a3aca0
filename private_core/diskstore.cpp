// private_core.diskstore: a cache store kept in one directory, shared by
// every process of the machine and across restarts, without a server.
//
// DiskStore has the interface of memstore._Cache and takes its place as a
// client's `_cache`.  A process-local _Cache sits in front with the same
// expiries; a local miss reads the directory's SQLite database and keeps what
// it finds.  Entries are written through the shared entry codec (Arrow IPC
// frames, JSON answers, an optional HMAC), never pickled.  The single-flight
// count of a slot is a table of holders, each with its own random token and a
// lease that a background thread renews while its call is in progress: a
// process killed mid-fetch frees its place when the lease runs out.  The
// directory is a helper, never a point of failure: when it cannot be used
// (not writable, not private, a full disk), every operation falls back to the
// local tier with one warning, and the disk is tried again a little later.
//
// Why SQLite in WAL mode: readers never wait for the writer, a commit is
// atomic (a process killed mid-write leaves the previous state), locking
// between processes is the database's own, and the engine is the one the
// interpreter already ships.
#include "pcrt/daemon.hpp"
#include "pcrt/native_type.hpp"
#include "pcrt/pcrt.hpp"
#include "pcrt/site.hpp"

#include <datetime.h>

#include <algorithm>
#include <cmath>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "storecodec/cachekey.hpp"
#include "storecodec/entrycodec.hpp"
#include "storecodec/interface.hpp"

namespace {
using namespace pcrt;

constexpr long long kDefaultMaxBytes = 256LL << 20;
constexpr const char* kFileName = "cache.sqlite3";
// A reader refreshes an entry's last use at most this often: recency to the
// second is enough for eviction, and most hits then write nothing.
constexpr long long kTouchMs = 1000;
// After a failure the directory is left alone this long, then tried again.
constexpr long long kRetryMs = 10'000;
// How long a statement waits for another process's write before giving up.
constexpr double kBusySeconds = 30.0;
constexpr long long kSchemaVersion = 1;

const Id id_logger("logger"), id_failures("_DISK_FAILURES"), id_Cache("_Cache"), id_datetime("datetime"),
    id_timedelta("timedelta"), id_time("time"), id_os("os"), id_sqlite3("sqlite3");
const Id id_get("get"), id_set("set"), id_params("params"), id_ttl("ttl"), id_fetched_at("fetched_at"),
    id_expires_at("expires_at"), id_data("data"), id_execute("execute"), id_fetchone("fetchone");

Site site_get(id_get);

// ---------------------------------------------------------------------------
// SQL.  Slots are the codec's canonical slot texts, used only as values:
// a key never becomes a path.  Times are UTC epoch milliseconds.

const Id sql_begin("BEGIN IMMEDIATE"), sql_commit("COMMIT"), sql_rollback("ROLLBACK");
const Id sql_schema(R"sql(
BEGIN IMMEDIATE;
CREATE TABLE IF NOT EXISTS entries(
  slot TEXT PRIMARY KEY NOT NULL,
  value BLOB NOT NULL,
  size INTEGER NOT NULL,
  stored_at INTEGER NOT NULL,
  expires_at INTEGER,
  used_at INTEGER NOT NULL);
CREATE INDEX IF NOT EXISTS entries_by_use ON entries(used_at);
CREATE INDEX IF NOT EXISTS entries_by_expiry ON entries(expires_at) WHERE expires_at IS NOT NULL;
CREATE TABLE IF NOT EXISTS holders(
  slot TEXT NOT NULL,
  token TEXT NOT NULL,
  lease_end INTEGER NOT NULL,
  PRIMARY KEY(slot, token)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS totals(id INTEGER PRIMARY KEY CHECK(id = 0), bytes INTEGER NOT NULL);
INSERT OR IGNORE INTO totals VALUES(0, 0);
CREATE TRIGGER IF NOT EXISTS entries_added AFTER INSERT ON entries
  BEGIN UPDATE totals SET bytes = bytes + new.size WHERE id = 0; END;
CREATE TRIGGER IF NOT EXISTS entries_removed AFTER DELETE ON entries
  BEGIN UPDATE totals SET bytes = bytes - old.size WHERE id = 0; END;
CREATE TRIGGER IF NOT EXISTS entries_resized AFTER UPDATE OF size ON entries
  BEGIN UPDATE totals SET bytes = bytes - old.size + new.size WHERE id = 0; END;
PRAGMA user_version = 1;
COMMIT;
)sql");
const Id sql_read("SELECT value, stored_at, expires_at, used_at FROM entries WHERE slot = ?");
const Id sql_touch("UPDATE entries SET used_at = ? WHERE slot = ? AND used_at < ?");
const Id sql_drop_expired_slot("DELETE FROM entries WHERE slot = ? AND expires_at <= ?");
const Id sql_drop_value("DELETE FROM entries WHERE slot = ? AND value = ?");
const Id sql_drop_slot("DELETE FROM entries WHERE slot = ?");
const Id sql_purge("DELETE FROM entries WHERE expires_at <= ?");
const Id sql_upsert(
    "INSERT INTO entries(slot, value, size, stored_at, expires_at, used_at) VALUES(?, ?, ?, ?, ?, ?) "
    "ON CONFLICT(slot) DO UPDATE SET value = excluded.value, size = excluded.size, stored_at = excluded.stored_at, "
    "expires_at = excluded.expires_at, used_at = excluded.used_at");
const Id sql_total("SELECT bytes FROM totals WHERE id = 0");
// Keeps the most recently used entries that fit; the rest go.
const Id sql_evict(
    "DELETE FROM entries WHERE rowid IN (SELECT rowid FROM (SELECT rowid, sum(size) OVER "
    "(ORDER BY used_at DESC, rowid DESC) AS running FROM entries) WHERE running > ?)");
const Id sql_clear_range("DELETE FROM entries WHERE slot >= ? AND slot < ?");
const Id sql_clear_all("DELETE FROM entries");
const Id sql_holding("SELECT 1 FROM holders WHERE slot = ? AND token = ? AND lease_end > ?");
const Id sql_newer("SELECT 1 FROM entries WHERE slot = ? AND stored_at >= ?");
const Id sql_fresh("SELECT 1 FROM entries WHERE slot = ? AND (expires_at IS NULL OR expires_at > ?)");
const Id sql_free_lapsed("DELETE FROM holders WHERE slot = ? AND lease_end <= ?");
const Id sql_register("INSERT INTO holders(slot, token, lease_end) VALUES(?, ?, ?)");
const Id sql_count("SELECT count(*) FROM holders WHERE slot = ?");
const Id sql_release("DELETE FROM holders WHERE slot = ? AND token = ?");
// A lapsed lease is never revived: its slot may have a new holder already.
const Id sql_renew("UPDATE holders SET lease_end = ? WHERE slot = ? AND token = ? AND lease_end > ?");

// ---------------------------------------------------------------------------
// The state of one store, kept in C++ members.

// One registration of this process: begun, not yet ended.
struct Holding {
  std::string slot;
  std::string token;
  long long began_ms;
  unsigned long thread;
};

// Takes a mutex, waiting for it without the GIL so that its holder can go on.
void lock_without_gil(std::mutex& mutex) {
  if (mutex.try_lock()) return;
  Py_BEGIN_ALLOW_THREADS mutex.lock();
  Py_END_ALLOW_THREADS
}

class Locked {
 public:
  explicit Locked(std::mutex& mutex) : mutex_(mutex) { lock_without_gil(mutex_); }
  ~Locked() { mutex_.unlock(); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

 private:
  std::mutex& mutex_;
};

struct DiskState;

// Every store of this process.  A fork waits until none of them is inside
// SQLite: a child forked while another thread holds one of SQLite's own locks
// hangs in its first open.  Changed under `g_stores_mutex`.
std::mutex g_stores_mutex;
std::vector<DiskState*> g_stores;

bool renew_step(PyObject* owner, void* context);

struct DiskState : ForkAware {
  Ref local;      // the memstore._Cache in front
  Ref mac;        // keyed hmac object, or None
  Ref directory;  // absolute path, str
  Ref conn;       // sqlite3.Connection; empty until opened
  Ref unshared;   // namespaces already warned about as unshareable
  // Serialises the use of `conn`: one transaction at a time per process.
  std::mutex mutex;
  long long max_bytes = 0;
  long long lease_ms = 0;
  double lease = 0;
  bool outage = false;
  long long retry_at_ms = 0;
  std::vector<Holding> held;
  Daemon renewer{"private_core.diskstore leases", renew_step, nullptr};

  DiskState() {
    Locked registry(g_stores_mutex);
    g_stores.push_back(this);
  }
  ~DiskState() override {
    close();
    Locked registry(g_stores_mutex);
    std::erase(g_stores, this);
  }

  // The connection is closed explicitly: the interpreter warns about one
  // left to the collector.
  void close() noexcept {
    if (!conn) return;
    Locked locked(mutex);
    PyObject* pending = PyErr_GetRaisedException();
    PyObject* done = PyObject_CallMethod(conn.get(), "close", nullptr);
    if (done == nullptr) PyErr_WriteUnraisable(conn.get());
    Py_XDECREF(done);
    PyErr_SetRaisedException(pending);
    conn = nullptr;
  }

  void after_fork_in_child() noexcept override {
    // The parent's connection must not be used, nor closed, here (SQLite's
    // rule for a connection carried across fork): it is left open on purpose.
    if (conn) (void)conn.release();
    // The mutex may have been held by a thread that does not exist here.
    new (&mutex) std::mutex();
    held.clear();  // the parent's registrations, renewed by the parent
  }

  // The connection is not shown to the collector: it refers to nothing of
  // ours, and a collected cycle would finalize it (warning that it was never
  // closed) before clear() could close it.
  void traverse(Visitor& visit) const {
    for (const Ref* ref : {&local, &mac, &directory, &unshared}) visit(*ref);
    visit(renewer.thread());
  }
  void clear() {
    close();
    local = mac = directory = unshared = nullptr;
  }
};

using DiskType = NativeType<DiskState>;

// ---------------------------------------------------------------------------
// Small helpers

// The module's names: the lease thread reads module-level names (the clock,
// the logger) as the methods do, at call time.
const ModuleNames* g_names = nullptr;

Ref global(const Id& name) { return g_names->get(name); }

long long now_ms() {
  static const Id id_time_fn("time");
  Ref clock = global(id_time);
  Ref seconds = call_method(clock.get(), id_time_fn);
  return std::llround(as_double(seconds.get()) * 1000);
}

// The local, naive time of an epoch instant, as the local tier's entries carry.
Ref local_moment(long long ms) {
  static const Id id_fromtimestamp("fromtimestamp");
  Ref datetime = global(id_datetime);
  return call_method(datetime.get(), id_fromtimestamp, {real(static_cast<double>(ms) / 1000).get()});
}
// The same instant in UTC, as entries are written: readers in any time zone agree.
Ref utc_moment(std::optional<long long> ms) {
  static const Id id_fromtimestamp("fromtimestamp"), id_utc("utc"), id_timezone("timezone");
  if (!ms) return none();
  Ref datetime = global(id_datetime), timezone = global(id_timezone);
  Ref utc = getattr(timezone.get(), id_utc);
  return call_method(datetime.get(), id_fromtimestamp, {real(static_cast<double>(*ms) / 1000).get(), utc.get()});
}

Ref int_or_none(std::optional<long long> value) { return value ? integer(*value) : none(); }

void log_record(const Id& level, const char* format, Args args) {
  Ref logger = global(id_logger);
  pcrt::log_record(logger.get(), level, format, args);
}
const Id id_warning("warning"), id_info("info");

Ref execute(PyObject* conn, const Id& sql, Args params = {}) {
  Ref values = tuple(params);
  return call_method(conn, id_execute, {sql.get(), values.get()});
}
// The first row of a query, or None.
Ref first_row(PyObject* conn, const Id& sql, Args params) {
  Ref cursor = execute(conn, sql, params);
  return call_method(cursor.get(), id_fetchone);
}
bool exists(PyObject* conn, const Id& sql, Args params) { return first_row(conn, sql, params).get() != Py_None; }

// BEGIN IMMEDIATE; body(); COMMIT, rolled back on any failure.  IMMEDIATE
// takes the write lock up front (waiting for it as long as the busy timeout
// allows), so a transaction never fails half-way for want of it.
template <class Body>
Ref transaction(PyObject* conn, Body&& body) {
  execute(conn, sql_begin);
  return run_with_exit(
      [&] {
        Ref result = body();
        execute(conn, sql_commit);
        return result;
      },
      [&](PyObject* failed) {
        if (failed != nullptr) {
          try {
            execute(conn, sql_rollback);
          } catch (const Raised&) {
            catch_any();  // no transaction left to roll back
          }
        }
        return false;
      });
}

// ---------------------------------------------------------------------------
// Opening the directory

// The directory exists, belongs to this user and nobody else may write in it.
void ensure_private_directory(PyObject* directory) {
  static const Id id_makedirs("makedirs"), id_exist_ok("exist_ok"), id_stat("stat"), id_st_uid("st_uid"),
      id_st_mode("st_mode"), id_geteuid("geteuid");
  Ref os = global(id_os);
  Ref mode = integer(0700);
  call_method(os.get(), id_makedirs, {directory, mode.get()}, {{id_exist_ok, Py_True}});
  Ref info = call_method(os.get(), id_stat, {directory});
  const long long owner = as_long_long(getattr(info.get(), id_st_uid).get());
  const long long bits = as_long_long(getattr(info.get(), id_st_mode).get());
  const long long me = as_long_long(call_method(os.get(), id_geteuid).get());
  if (owner != me || (bits & 0022) != 0) {
    raise(PyExc_PermissionError, "it belongs to another user or others may write in it");
  }
}

// Creates the database file private to this user (0600) before SQLite opens
// it; SQLite gives its -wal and -shm files the same mode.  A symbolic link in
// its place is refused.
void ensure_private_file(PyObject* file) {
  static const Id id_open("open"), id_close("close"), id_fstat("fstat"), id_fchmod("fchmod"), id_st_uid("st_uid"),
      id_st_mode("st_mode"), id_geteuid("geteuid"), id_O_RDWR("O_RDWR"), id_O_CREAT("O_CREAT"),
      id_O_NOFOLLOW("O_NOFOLLOW"), id_O_CLOEXEC("O_CLOEXEC");
  Ref os = global(id_os);
  long long flags = 0;
  for (const Id* name : {&id_O_RDWR, &id_O_CREAT, &id_O_NOFOLLOW, &id_O_CLOEXEC}) {
    flags |= as_long_long(getattr(os.get(), *name).get());
  }
  Ref fd = call_method(os.get(), id_open, {file, integer(flags).get(), integer(0600).get()});
  try_finally(
      [&] {
        Ref info = call_method(os.get(), id_fstat, {fd.get()});
        const long long owner = as_long_long(getattr(info.get(), id_st_uid).get());
        const long long bits = as_long_long(getattr(info.get(), id_st_mode).get());
        if (owner != as_long_long(call_method(os.get(), id_geteuid).get())) {
          raise(PyExc_PermissionError, "its database belongs to another user");
        }
        if ((bits & 0777) != 0600) call_method(os.get(), id_fchmod, {fd.get(), integer(0600).get()});
        return none();
      },
      [&] { call_method(os.get(), id_close, {fd.get()}); });
}

// Opens the database in WAL mode and creates its tables.
Ref connect(PyObject* file) {
  static const Id id_connect("connect"), id_timeout("timeout"), id_isolation_level("isolation_level"),
      id_check_same_thread("check_same_thread"), id_executescript("executescript"), id_close("close"),
      journal_mode("PRAGMA journal_mode"), wal_mode("PRAGMA journal_mode = WAL"),
      sync_mode("PRAGMA synchronous = NORMAL"), wal_limit("PRAGMA journal_size_limit = 67108864"),
      version("PRAGMA user_version"), wal("wal");
  Ref sqlite3 = global(id_sqlite3);
  Ref timeout = real(kBusySeconds);
  Ref conn = call_method(sqlite3.get(), id_connect, {file},
                         {{id_timeout, timeout.get()}, {id_isolation_level, Py_None}, {id_check_same_thread, Py_False}});
  return run_with_exit(
      [&] {
        // Switching takes a moment's exclusive lock: only the first opener does it.
        Ref mode = first_row(conn.get(), journal_mode, {});
        if (!equals(PyTuple_GET_ITEM(mode.get(), 0), wal.get())) mode = first_row(conn.get(), wal_mode, {});
        if (!equals(PyTuple_GET_ITEM(mode.get(), 0), wal.get())) {
          raise(PyExc_OSError, "the file system does not support SQLite's write-ahead log");
        }
        execute(conn.get(), sync_mode);
        execute(conn.get(), wal_limit);
        Ref found = first_row(conn.get(), version, {});
        const long long written = as_long_long(PyTuple_GET_ITEM(found.get(), 0));
        if (written != 0 && written != kSchemaVersion) {
          raise(PyExc_OSError, "its database was written by another program or version");
        }
        if (written == 0) {
          try {
            call_method(conn.get(), id_executescript, {sql_schema.get()});
          } catch (const Raised&) {
            Ref failed = catch_any();
            try {
              execute(conn.get(), sql_rollback);
            } catch (const Raised&) {
              catch_any();
            }
            reraise(failed);
          }
        }
        return conn;
      },
      [&](PyObject* failed) {
        if (failed != nullptr) call_method(conn.get(), id_close);
        return false;
      });
}

Ref database_file(PyObject* directory) {
  static const Id id_path("path"), id_join("join"), name(kFileName);
  Ref os = global(id_os);
  Ref path = getattr(os.get(), id_path);
  return call_method(path.get(), id_join, {directory, name.get()});
}

void open_database(DiskState& st) {
  ensure_private_directory(st.directory.get());
  Ref file = database_file(st.directory.get());
  ensure_private_file(file.get());
  st.conn = connect(file.get());
}

// ---------------------------------------------------------------------------
// Using the disk: a failure becomes a fallback, never the caller's error.

void disk_failed(DiskState& st, PyObject* exc) {
  st.retry_at_ms = now_ms() + kRetryMs;
  if (st.outage) return;  // the same outage: warned already
  st.outage = true;
  Ref kind = str(Py_TYPE(exc)->tp_name);
  log_record(id_warning,
             "the cache directory %s cannot be used (%s: %s); this process keeps its entries to itself and "
             "tries it again later",
             {st.directory.get(), kind.get(), exc});
}

// work(conn) on the open database, one at a time in this process; nothing
// when the directory cannot be used now (it failed just now, or lately).
// Whether the directory failed lately and is left alone for now.
bool resting(const DiskState& st) { return st.outage && now_ms() < st.retry_at_ms; }

template <class Work>
std::optional<Ref> on_disk(DiskState& st, Work&& work) {
  if (resting(st)) return std::nullopt;
  std::optional<Ref> result;
  try {
    Locked locked(st.mutex);
    if (!st.conn) open_database(st);
    result = work(st.conn.get());
  } catch (const Raised&) {
    Ref exc = catch_matching([&] { return global(id_failures); });
    disk_failed(st, exc.get());
    return std::nullopt;
  }
  if (st.outage) {
    st.outage = false;
    log_record(id_info, "the cache directory %s is usable again", {st.directory.get()});
  }
  return result;
}

// ---------------------------------------------------------------------------
// Misses.  _fetch_with_cache registers right after a miss; `_begin_inflight`
// then asks whether the entry arrived in between, so the service is not asked
// twice for what another process just stored.  Any other operation of the
// thread forgets the miss, so a live call never takes a stored entry.

using store_interface::LastMiss;

// The registration of `slot` by this thread (or, failing that, by any thread).
std::vector<Holding>::iterator holding_of(DiskState& st, const std::string& slot) {
  const unsigned long me = PyThread_get_thread_ident();
  auto mine = std::find_if(st.held.rbegin(), st.held.rend(),
                           [&](const Holding& h) { return h.slot == slot && h.thread == me; });
  if (mine != st.held.rend()) return std::prev(mine.base());
  auto any = std::find_if(st.held.rbegin(), st.held.rend(), [&](const Holding& h) { return h.slot == slot; });
  return any == st.held.rend() ? st.held.end() : std::prev(any.base());
}

// ---------------------------------------------------------------------------
// DiskStore

enum class InitArg : std::size_t { self, path, max_bytes, secret, lease };

Ref absolute_directory(PyObject* path) {
  static const Id id_fspath("fspath"), id_fsdecode("fsdecode"), id_path("path"), id_abspath("abspath");
  Ref os = global(id_os);
  Ref given = call_method(os.get(), id_fspath, {path});
  if (PyBytes_Check(given.get())) given = call_method(os.get(), id_fsdecode, {given.get()});
  if (PyUnicode_GET_LENGTH(given.get()) == 0) raise(PyExc_ValueError, "path must name a directory");
  Ref os_path = getattr(os.get(), id_path);
  return call_method(os_path.get(), id_abspath, {given.get()});
}

Ref disk_store_init(Call& c) {
  static const Id id_enable("enable_singleflight");
  PyObject* self = c.self();
  const double lease = c.real(InitArg::lease);
  const long long max_bytes = as_long_long(c[InitArg::max_bytes]);
  if (!(lease > 0) || !std::isfinite(lease)) raise(PyExc_ValueError, "lease must be a positive number of seconds");
  if (max_bytes <= 0) raise(PyExc_ValueError, "max_bytes must be a positive number of bytes");
  DiskState& st = DiskType::of(c);
  st.directory = absolute_directory(c[InitArg::path]);
  st.mac = entrycodec::keyed_mac(c.names(), c[InitArg::secret]);
  Ref cache_cls = global(id_Cache);
  st.local = call(cache_cls.get(), {}, {{id_enable, Py_True}});
  st.unshared = check(PySet_New(nullptr));
  st.max_bytes = max_bytes;
  st.lease = lease;
  st.lease_ms = std::max<long long>(1, std::llround(lease * 1000));
  // Opened now, so that a directory that cannot be used is reported at once.
  on_disk(st, [](PyObject*) { return none(); });
  return none();
}

enum class GetArg : std::size_t { self, ns, key };

struct Row {
  Ref value;
  long long stored_at = 0, used_at = 0;
  std::optional<long long> expires_at;
};

Row read_row(PyObject* row) {
  Row out;
  out.value = Ref::borrow(PyTuple_GET_ITEM(row, 0));
  out.stored_at = as_long_long(PyTuple_GET_ITEM(row, 1));
  PyObject* expires = PyTuple_GET_ITEM(row, 2);
  if (expires != Py_None) out.expires_at = as_long_long(expires);
  out.used_at = as_long_long(PyTuple_GET_ITEM(row, 3));
  return out;
}

// A damaged or foreign entry: one warning, and it is removed (unless it was
// replaced meanwhile), so that the caller's fetch stores a good one.
void drop_damaged(DiskState& st, const std::string& slot, PyObject* value) {
  Ref exc = catch_matching([] { return Ref::borrow(PyExc_Exception); });
  Ref name = str(slot);
  log_record(id_warning, "ignoring the cached entry %s in %s (%s); it is fetched again",
             {name.get(), st.directory.get(), exc.get()});
  on_disk(st, [&](PyObject* conn) { return execute(conn, sql_drop_value, {name.get(), value}); });
}

// A local miss: the disk's entry, kept in the local tier with its expiry.
Ref disk_get(const Call& c, PyObject* self, DiskState& st, PyObject* ns, PyObject* key) {
  static const Id id_milliseconds("milliseconds");
  const std::string slot = cachekey::slot_text(ns, key);
  Ref name = str(slot);
  std::optional<Ref> found = on_disk(st, [&](PyObject* conn) { return first_row(conn, sql_read, {name.get()}); });
  if (!found || found->get() == Py_None) {
    LastMiss::remember(self, slot);
    return none();
  }
  const Row row = read_row(found->get());
  const long long now = now_ms();
  if (row.expires_at && now >= *row.expires_at) {
    // Expired entries are removed, not only skipped.
    Ref at = integer(now);
    on_disk(st, [&](PyObject* conn) { return execute(conn, sql_drop_expired_slot, {name.get(), at.get()}); });
    LastMiss::remember(self, slot);
    return none();
  }
  entrycodec::Entry entry;
  try {
    entry = entrycodec::decode(c.names(), row.value.get(), st.mac.get(), slot);
  } catch (const Raised&) {
    drop_damaged(st, slot, row.value.get());
    LastMiss::forget();  // the caller must fetch rather than wait for a damaged entry
    return none();
  }
  if (now - row.used_at >= kTouchMs) {
    Ref at = integer(now), before = integer(now - kTouchMs);
    on_disk(st, [&](PyObject* conn) { return execute(conn, sql_touch, {at.get(), name.get(), before.get()}); });
  }
  Ref ttl = none();
  if (row.expires_at) {
    Ref timedelta = global(id_timedelta);
    Ref left = integer(*row.expires_at - now);
    ttl = call(timedelta.get(), {}, {{id_milliseconds, left.get()}});
  }
  LastMiss::forget();
  Ref stored = call_method(st.local.get(), id_set, {ns, key, entry.data.get()},
                           {{id_params, entry.params.get()}, {id_ttl, ttl.get()}});
  // The entry keeps the times it was stored with (in this process's local time).
  setattr(stored.get(), id_fetched_at, local_moment(row.stored_at).get());
  setattr(stored.get(), id_expires_at, row.expires_at ? local_moment(*row.expires_at).get() : Py_None);
  return stored;
}

Ref disk_store_get(Call& c) {
  PyObject* self = c.self();
  PyObject* ns = c[GetArg::ns];
  PyObject* key = c[GetArg::key];
  DiskState& st = DiskType::of(c);
  Ref hit = site_get.call(st.local.get(), {ns, key});
  if (hit.get() != Py_None) {
    LastMiss::forget();
    return hit;
  }
  return disk_get(c, self, st, ns, key);
}

enum class SetArg : std::size_t { self, ns, key, data, params, ttl };

// When the entry stops being served, in epoch ms; nothing for "never".
std::optional<long long> expiry_of(PyObject* entry, PyObject* ttl, long long now) {
  static const Id id_total_seconds("total_seconds"), id_timestamp("timestamp");
  Ref expires_at = getattr(entry, id_expires_at);
  if (expires_at.get() == Py_None) return std::nullopt;
  if (PyDelta_Check(ttl)) {
    Ref seconds = call_method(ttl, id_total_seconds);
    return now + std::llround(as_double(seconds.get()) * 1000);
  }
  // Another kind of lifetime the local tier accepted: its own expiry, read as local time.
  Ref stamp = call_method(expires_at.get(), id_timestamp);
  return std::llround(as_double(stamp.get()) * 1000);
}

// An entry that stays in this process: one warning per namespace, and the
// disk's older copy is removed so that it cannot outlive the newer value.
void keep_local(DiskState& st, PyObject* ns, PyObject* name, const std::string& why) {
  if (!check(PySet_Contains(st.unshared.get(), ns))) {
    check(PySet_Add(st.unshared.get(), ns));
    Ref reason = str(why);
    log_record(id_warning, "entries of namespace %r stay in this process, unshared: %s", {ns, reason.get()});
  }
  on_disk(st, [&](PyObject* conn) { return execute(conn, sql_drop_slot, {name}); });
}

// Writes one encoded entry.  A caller whose registration lapsed does not
// replace an entry stored after its fetch began; expired entries go, and the
// least recently used ones while the store is over `max_bytes`.
void write_entry(DiskState& st, const std::string& slot, PyObject* value, std::optional<long long> expires_at,
                 long long now) {
  Ref name = str(slot), at = integer(now), expiry = int_or_none(expires_at);
  Ref size = integer(PyBytes_GET_SIZE(value));
  Ref limit = integer(st.max_bytes);
  std::optional<Holding> holding;
  if (auto it = holding_of(st, slot); it != st.held.end()) holding = *it;
  on_disk(st, [&](PyObject* conn) {
    return transaction(conn, [&] {
      if (holding) {
        Ref token = str(holding->token), began = integer(holding->began_ms);
        if (!exists(conn, sql_holding, {name.get(), token.get(), at.get()}) &&
            exists(conn, sql_newer, {name.get(), began.get()})) {
          return none();  // fenced off: a newer entry stays
        }
      }
      execute(conn, sql_purge, {at.get()});
      execute(conn, sql_upsert, {name.get(), value, size.get(), at.get(), expiry.get(), at.get()});
      Ref total = first_row(conn, sql_total, {});
      if (check(PyObject_RichCompareBool(PyTuple_GET_ITEM(total.get(), 0), limit.get(), Py_GT))) {
        execute(conn, sql_evict, {limit.get()});
      }
      return none();
    });
  });
}

Ref encode_entry(const Call& c, DiskState& st, PyObject* entry, const std::string& slot, long long now,
                 std::optional<long long> expires_at, std::string& why) {
  entrycodec::Entry stored{getattr(entry, id_data), utc_moment(now), utc_moment(expires_at), getattr(entry, id_params)};
  return entrycodec::encode(c.names(), stored, st.mac.get(), slot, why);
}

Ref disk_store_set(Call& c) {
  PyObject* self = c.self();
  PyObject* ns = c[SetArg::ns];
  PyObject* key = c[SetArg::key];
  DiskState& st = DiskType::of(c);
  const std::string slot = cachekey::slot_text(ns, key);
  LastMiss::forget();
  Ref entry = call_method(st.local.get(), id_set, {ns, key, c[SetArg::data]},
                          {{id_params, c[SetArg::params]}, {id_ttl, c[SetArg::ttl]}});
  if (resting(st)) return entry;  // nothing to encode for a directory left alone
  const long long now = now_ms();
  const std::optional<long long> expires_at = expiry_of(entry.get(), c[SetArg::ttl], now);
  Ref name = str(slot);
  if (expires_at && *expires_at <= now) {
    on_disk(st, [&](PyObject* conn) { return execute(conn, sql_drop_slot, {name.get()}); });
    return entry;
  }
  std::string why;
  Ref value = encode_entry(c, st, entry.get(), slot, now, expires_at, why);
  if (value && PyBytes_GET_SIZE(value.get()) > st.max_bytes) {
    why = "it is larger than max_bytes (" + std::to_string(PyBytes_GET_SIZE(value.get())) + " bytes)";
    value = nullptr;
  }
  if (!value) {
    keep_local(st, ns, name.get(), why);
    return entry;
  }
  write_entry(st, slot, value.get(), expires_at, now);
  return entry;
}

enum class ClearNsArg : std::size_t { self, ns };

Ref disk_store_clear_ns(Call& c) {
  static const Id id_clear_ns("clear_ns");
  PyObject* ns = c[ClearNsArg::ns];
  DiskState& st = DiskType::of(c);
  std::string low = cachekey::namespace_text(ns);
  LastMiss::forget();
  call_method(st.local.get(), id_clear_ns, {ns});
  // Every slot of the namespace begins with its text, which ends in ':';
  // the range up to the same text ending in ';' holds exactly them.
  std::string high = low;
  high.back() = ':' + 1;
  Ref from = str(low), to = str(high);
  on_disk(st, [&](PyObject* conn) { return execute(conn, sql_clear_range, {from.get(), to.get()}); });
  return none();
}

Ref disk_store_clear_all(Call& c) {
  static const Id id_clear_all("clear_all");
  DiskState& st = DiskType::of(c);
  LastMiss::forget();
  call_method(st.local.get(), id_clear_all);
  on_disk(st, [&](PyObject* conn) { return execute(conn, sql_clear_all); });
  return none();
}

// ---------------------------------------------------------------------------
// Single-flight across processes

// The registry's answer for a new holder: 1 to fetch, 0 to wait.  A first
// holder that finds the entry stored since its miss is told to wait: its
// first look finds it.
Ref register_holder(PyObject* conn, PyObject* name, PyObject* token, long long now, long long lease_ms, bool missed) {
  Ref at = integer(now), lease_end = integer(now + lease_ms);
  return transaction(conn, [&] {
    execute(conn, sql_free_lapsed, {name, at.get()});
    execute(conn, sql_register, {name, token, lease_end.get()});
    Ref count = first_row(conn, sql_count, {name});
    const long long holders = as_long_long(PyTuple_GET_ITEM(count.get(), 0));
    if (holders != 1) return integer(0);
    if (missed && exists(conn, sql_fresh, {name, at.get()})) return integer(0);
    return integer(1);
  });
}

enum class BeginArg : std::size_t { self, ns, key };

Ref disk_store_begin_inflight(Call& c) {
  static const Id id_begin("_begin_inflight"), id_urandom("urandom"), id_hex("hex");
  PyObject* self = c.self();
  PyObject* ns = c[BeginArg::ns];
  PyObject* key = c[BeginArg::key];
  DiskState& st = DiskType::of(c);
  const std::string slot = cachekey::slot_text(ns, key);
  const bool missed = LastMiss::take(self, slot);
  Ref os = global(id_os);
  Ref random = call_method(os.get(), id_urandom, {integer(12).get()});
  Ref token = call_method(random.get(), id_hex);
  Ref name = str(slot);
  const long long now = now_ms();
  std::optional<Ref> first = on_disk(st, [&](PyObject* conn) {
    return register_holder(conn, name.get(), token.get(), now, st.lease_ms, missed);
  });
  if (!first) {
    // The directory is out: single-flight among this process's callers only.
    return call_method(st.local.get(), id_begin, {ns, key});
  }
  st.held.push_back({slot, std::string(utf8(token.get())), now, PyThread_get_thread_ident()});
  st.renewer.start(self, st.lease / 3);
  return boolean(as_long_long(first->get()) == 1);
}

enum class EndArg : std::size_t { self, ns, key };

Ref disk_store_end_inflight(Call& c) {
  static const Id id_end("_end_inflight");
  PyObject* ns = c[EndArg::ns];
  PyObject* key = c[EndArg::key];
  DiskState& st = DiskType::of(c);
  const std::string slot = cachekey::slot_text(ns, key);
  LastMiss::forget();
  auto it = holding_of(st, slot);
  if (it == st.held.end()) {
    // Registered while the directory was out: the local registry holds it.
    call_method(st.local.get(), id_end, {ns, key});
    return none();
  }
  // Taken out before any object is made: a collection then may run code that touches `held`.
  const std::string held_token = std::move(it->token);
  st.held.erase(it);
  Ref name = str(slot), token = str(held_token);
  // If the directory is out now, the lease frees the place.
  on_disk(st, [&](PyObject* conn) { return execute(conn, sql_release, {name.get(), token.get()}); });
  return none();
}

// Extends the leases of every registration still in progress.
void renew_held(DiskState& st) {
  static const Id id_executemany("executemany");
  const long long now = now_ms();
  Ref rows = new_list();
  Ref lease_end = integer(now + st.lease_ms), at = integer(now);
  const std::vector<Holding> held = st.held;  // a collection may run code that changes it
  for (const Holding& h : held) {
    Ref name = str(h.slot), token = str(h.token);
    list_append(rows.get(), tuple({lease_end.get(), name.get(), token.get(), at.get()}).get());
  }
  on_disk(st, [&](PyObject* conn) {
    return transaction(conn, [&] { return call_method(conn, id_executemany, {sql_renew.get(), rows.get()}); });
  });
}

// The renewing thread's round: extends the leases of the calls in progress;
// the thread ends when there are none.
bool renew_step(PyObject* owner, void*) {
  DiskState& st = DiskType::of(owner);
  if (st.held.empty()) return false;
  renew_held(st);
  return true;
}

Ref disk_store_local(PyObject* self) { return DiskType::of(self).local; }
Ref disk_store_path(PyObject* self) { return DiskType::of(self).directory; }

const FnSpec kInit{"__init__",
                   disk_store_init,
                   {self_arg(), arg("path", "Union[str, os.PathLike[str]]"),
                    kwonly("max_bytes", "int", Conv::Int, int_default(kDefaultMaxBytes)), store_interface::kSecret,
                    kwonly("lease", "float", Conv::Float, float_default(10.0))},
                   "None",
                   nullptr};
const FnSpec kGet{"get", disk_store_get, store_interface::slot_params(), "Optional[CacheEntry]", nullptr};
const FnSpec kSet{"set", disk_store_set, store_interface::set_params(), "CacheEntry", nullptr};
const FnSpec kClearNs{"clear_ns", disk_store_clear_ns, store_interface::clear_ns_params(), "None", nullptr};
const FnSpec kClearAll{"clear_all", disk_store_clear_all, store_interface::clear_all_params(), "None", nullptr};
const FnSpec kBegin{"_begin_inflight", disk_store_begin_inflight, store_interface::slot_params(), "bool",
                    store_interface::kBeginDoc};
const FnSpec kEnd{"_end_inflight", disk_store_end_inflight, store_interface::slot_params(), "None", nullptr};

// os.register_at_fork hooks: before a fork every store's mutex is taken, so
// no thread of ours is inside SQLite; after it they are given back (the
// child's are reset by the stores themselves).
PyObject* stores_before_fork(PyObject*, PyObject*) {
  lock_without_gil(g_stores_mutex);
  for (DiskState* st : g_stores) lock_without_gil(st->mutex);
  Py_RETURN_NONE;
}
PyObject* stores_after_fork_in_parent(PyObject*, PyObject*) {
  for (DiskState* st : g_stores) st->mutex.unlock();
  g_stores_mutex.unlock();
  Py_RETURN_NONE;
}
PyObject* stores_after_fork_in_child(PyObject*, PyObject*) {
  new (&g_stores_mutex) std::mutex();
  Py_RETURN_NONE;
}
PyMethodDef g_before_fork{"_before_fork", stores_before_fork, METH_NOARGS, nullptr};
PyMethodDef g_after_fork_in_parent{"_after_fork_in_parent", stores_after_fork_in_parent, METH_NOARGS, nullptr};
PyMethodDef g_after_fork_in_child{"_after_fork_in_child", stores_after_fork_in_child, METH_NOARGS, nullptr};

void register_fork_hooks() {
  static const Id id_register_at_fork("register_at_fork"), id_before("before"),
      id_after_in_parent("after_in_parent"), id_after_in_child("after_in_child");
  Ref os = global(id_os);
  Ref before = check(PyCFunction_New(&g_before_fork, nullptr));
  Ref parent = check(PyCFunction_New(&g_after_fork_in_parent, nullptr));
  Ref child = check(PyCFunction_New(&g_after_fork_in_child, nullptr));
  call_method(os.get(), id_register_at_fork, {},
              {{id_before, before.get()}, {id_after_in_parent, parent.get()}, {id_after_in_child, child.get()}});
}

void build(Module& m) {
  static const Id id_getLogger("getLogger"), id_Error("Error");
  m.import("hmac");
  m.import("json");
  m.import("logging");
  m.import("os");
  m.import("sqlite3");
  m.import("time");
  m.import_from("datetime", {"datetime", "timedelta", "timezone"});
  m.import_from("typing", {"Any", "Dict", "Optional", "Union"});
  m.import("pandas", "pd");
  m.import_from("pandas.testing", {"assert_frame_equal"});
  m.import("pyarrow", "pa");
  import("pyarrow.ipc");
  m.import_relative("memstore", {"CacheEntry", "CacheKey", "Namespace", "_Cache"});
  PyDateTime_IMPORT;
  if (PyDateTimeAPI == nullptr) raised();
  m.add("logger", call_method(m.get("logging").get(), id_getLogger, {m.get("__name__").get()}).get());
  // What counts as the directory failing: SQLite's errors ("disk is full",
  // "not a database", "unable to open") and the file system's.
  Ref sqlite_error = getattr(m.get("sqlite3").get(), id_Error);
  m.add("_DISK_FAILURES", tuple({sqlite_error.get(), PyExc_OSError}).get());
  g_names = new ModuleNames(m.dict());  // kept for the process's life, as the module is
  register_fork_hooks();

  NativeTypeSpec spec{"DiskStore",
                      "Cache store kept in one directory, shared by the processes of this machine, with a\n"
                      "process-local _Cache in front.  Single-flight across processes under renewed leases.",
                      {&kInit, &kGet, &kSet, &kClearNs, &kClearAll, &kBegin, &kEnd},
                      {{"_local", disk_store_local, "The process-local tier in front."},
                       {"path", disk_store_path, "The directory of the store (absolute)."}}};
  m.add("DiskStore", DiskType::build(m, spec).get());
  m.set_all({"DiskStore"});
}

}  // namespace

PCRT_MODULE(diskstore, build)
