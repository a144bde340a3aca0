// private_core.memstore: the in-memory frame store behind the client cache.
//
// Two-level map (namespace -> cache key -> CacheEntry) with lazy expiry on
// read, plus the single-flight registry that lets concurrent callers of one
// slot share a single fetch.  One re-entrant lock per store guards both maps.
#include "pcrt/pcrt.hpp"

#include <datetime.h>
#include "pcrt/site.hpp"

namespace {
using namespace pcrt;

const Id id_store("_store"), id_lock("_lock"), id_inflight("_inflight"), id_singleflight("_singleflight");
const Id id_datetime("datetime"), id_date("date"), id_now("now"), id_CacheEntry("CacheEntry"), id_RLock("RLock");
const Id id_expires_at("expires_at"), id_is_expired("is_expired"), id_to_date("to_date");
const Id id_get("get"), id_pop("pop"), id_clear("clear"), id_acquire("acquire"), id_release("release");

Site site_lock(id_lock), site_store(id_store), site_expires_at(id_expires_at), site_is_expired(id_is_expired);

// Whether `assert` statements run: fixed for the life of the process by -O,
// so it is read once when the module loads.
bool g_assertions = true;

// ---------------------------------------------------------------------------
// Mapping operations.  The store's maps are plain dicts made by the
// constructor, so the dict API is the fast path; any other mapping put in
// their place is driven through its own Python methods (get, pop, clear).

// m.get(key): the value, or an empty Ref for a missing key (or a None value,
// which every caller here treats the same way).
Ref map_get(PyObject* map, PyObject* key) {
  if (PyDict_CheckExact(map)) return dict_get(map, key);
  Ref value = call_method(map, id_get, {key});
  return value.get() == Py_None ? Ref() : value;
}

// m.get(key, fallback)
Ref map_get_or(PyObject* map, PyObject* key, PyObject* fallback) {
  if (PyDict_CheckExact(map)) {
    Ref value = dict_get(map, key);
    return value ? value : Ref::borrow(fallback);
  }
  return call_method(map, id_get, {key, fallback});
}

// m.pop(key, None), result dropped.
void map_discard(PyObject* map, PyObject* key) {
  if (PyDict_CheckExact(map)) {
    check(PyDict_Pop(map, key, nullptr));
    return;
  }
  call_method(map, id_pop, {key, Py_None});
}

// The lock of a store is a threading.RLock, an immutable native type whose
// __enter__/__exit__ are exactly its acquire/release.  For that exact type the
// two C entry points are called directly, which skips the method look-ups and
// the three-None exit call on the hot read path; any other lock object put in
// its place is used as a context manager, as `with self._lock:` does.
struct LockFastPath {
  PyTypeObject* type = nullptr;  // kept alive for the life of the process
  PyCFunctionWithKeywords acquire = nullptr;
  PyCFunction release = nullptr;
  PyObject* no_args = nullptr;  // the empty tuple
};
LockFastPath g_lock;

void init_lock_fast_path([[maybe_unused]] PyObject* rlock_factory) {
#if PCRT_FAST_PATHS
  if (g_lock.type != nullptr) return;
  Ref sample = call(rlock_factory);
  PyTypeObject* type = Py_TYPE(sample.get());
  if (!PyType_HasFeature(type, Py_TPFLAGS_IMMUTABLETYPE)) return;
  PyObject* acquire = _PyType_Lookup(type, id_acquire.get());
  PyObject* release = _PyType_Lookup(type, id_release.get());
  if (acquire == nullptr || release == nullptr || !Py_IS_TYPE(acquire, &PyMethodDescr_Type) ||
      !Py_IS_TYPE(release, &PyMethodDescr_Type)) {
    return;
  }
  PyMethodDef* acquire_def = reinterpret_cast<PyMethodDescrObject*>(acquire)->d_method;
  PyMethodDef* release_def = reinterpret_cast<PyMethodDescrObject*>(release)->d_method;
  if (acquire_def->ml_flags != (METH_VARARGS | METH_KEYWORDS) || release_def->ml_flags != METH_NOARGS) return;
  g_lock.no_args = check(PyTuple_New(0)).release();
  g_lock.acquire = reinterpret_cast<PyCFunctionWithKeywords>(reinterpret_cast<void (*)()>(acquire_def->ml_meth));
  g_lock.release = release_def->ml_meth;
  g_lock.type = reinterpret_cast<PyTypeObject*>(Ref::borrow(reinterpret_cast<PyObject*>(type)).release());
#endif
}

// threading.RLock as imported at load, and its module.  While `RLock` is
// still that function, a store's lock is made as the function makes it
// (threading._CRLock(), read at the time), without entering its Python frame.
PyObject* g_threading_rlock = nullptr;
PyObject* g_threading = nullptr;

Ref new_rlock() {
  static const Id id_CRLock("_CRLock");
  Ref native_rlock = module_attr(g_threading, id_CRLock);
  if (native_rlock.get() == Py_None) return call(g_threading_rlock);
  return call(native_rlock.get());
}

// `with self._lock:` around `body`: the lock is released on every way out, a
// failing release chaining to the body's error as a with statement does.
template <class Body>
Ref locked(PyObject* self, Body&& body) {
  Ref lock = site_lock.get(self);
  if (g_lock.type == nullptr || !Py_IS_TYPE(lock.get(), g_lock.type)) return with(lock.get(), body);
  check(g_lock.acquire(lock.get(), g_lock.no_args, nullptr));
  return try_finally(body, [&] { check(g_lock.release(lock.get(), nullptr)); });
}

Ref now(const Call& c) {
  Ref datetime = c.global(id_datetime);
  return call_method(datetime.get(), id_now);
}

// ---------------------------------------------------------------------------
// CacheEntry

// CacheEntry.is_expired as created at load; `get` skips calling it for an
// entry without expiry while it is still the method in force.
PyObject* g_is_expired = nullptr;

Ref cache_entry_is_expired(Call& c) {
  Ref expires_at = site_expires_at.get(c.self());
  if (expires_at.get() == Py_None) return boolean(false);
  Ref current = now(c);
  expires_at = site_expires_at.get(c.self());
  return check(PyObject_RichCompare(current.get(), expires_at.get(), Py_GE));
}

const FnSpec kIsExpired{"is_expired", cache_entry_is_expired, {self_arg()}, "bool", nullptr};

// ---------------------------------------------------------------------------
// _Cache

enum class CacheInitArg : std::size_t { self, enable_singleflight };

Ref cache_init(Call& c) {
  PyObject* self = c.self();
  setattr(self, id_store, new_dict().get());
  Ref rlock = c.global(id_RLock);
  setattr(self, id_lock, (rlock.get() == g_threading_rlock ? new_rlock() : call(rlock.get())).get());
  setattr(self, id_inflight, c.flag(CacheInitArg::enable_singleflight) ? new_dict().get() : Py_None);
  setattr(self, id_singleflight, c[CacheInitArg::enable_singleflight]);
  return none();
}

enum class CacheGetArg : std::size_t { self, ns, key };

Ref cache_get(Call& c) {
  PyObject* self = c.self();
  PyObject* ns = c[CacheGetArg::ns];
  PyObject* key = c[CacheGetArg::key];
  return locked(self, [&]() -> Ref {
    Ref store = site_store.get(self);
    Ref bucket = map_get(store.get(), ns);
    if (!bucket || (PyDict_CheckExact(bucket.get()) ? PyDict_GET_SIZE(bucket.get()) == 0 : !truthy(bucket.get()))) {
      return none();
    }
    Ref entry = map_get(bucket.get(), key);
    if (!entry) return none();
    if (site_is_expired.resolves_to(entry.get(), g_is_expired) && site_expires_at.get(entry.get()).get() == Py_None) {
      return entry;
    }
    Ref expired = site_is_expired.call(entry.get());
    if (expired.get() != Py_False && (expired.get() == Py_True || truthy(expired.get()))) {
      map_discard(bucket.get(), key);
      return none();
    }
    return entry;
  });
}

enum class CacheSetArg : std::size_t { self, ns, key, data, params, ttl };

Ref cache_set(Call& c) {
  static const Id id_data("data"), id_fetched_at("fetched_at"), id_params("params");
  PyObject* self = c.self();
  PyObject* ns = c[CacheSetArg::ns];
  PyObject* key = c[CacheSetArg::key];
  PyObject* params = c[CacheSetArg::params];
  PyObject* ttl = c[CacheSetArg::ttl];
  return locked(self, [&]() -> Ref {
    Ref store = getattr(self, id_store);
    if (!check(PySequence_Contains(store.get(), ns))) {
      check(PyObject_SetItem(store.get(), ns, new_dict().get()));
    }
    Ref expires_at = none();
    if (truthy(ttl)) {
      Ref current = now(c);
      expires_at = check(PyNumber_Add(current.get(), ttl));
    }
    Ref entry_cls = c.global(id_CacheEntry);
    Ref fetched_at = now(c);
    // An empty or missing params dict becomes a fresh one per entry; a
    // non-empty one is kept by reference (params is None or an exact dict).
    Ref kept = (params != Py_None && PyDict_GET_SIZE(params) != 0) ? Ref::borrow(params) : new_dict();
    Ref entry = call(entry_cls.get(), {},
                     {{id_data, c[CacheSetArg::data]},
                      {id_fetched_at, fetched_at.get()},
                      {id_params, kept.get()},
                      {id_expires_at, expires_at.get()}});
    store = getattr(self, id_store);
    Ref bucket = check(PyObject_GetItem(store.get(), ns));
    check(PyObject_SetItem(bucket.get(), key, entry.get()));
    return entry;
  });
}

enum class CacheClearNsArg : std::size_t { self, ns };

Ref cache_clear_ns(Call& c) {
  PyObject* self = c.self();
  PyObject* ns = c[CacheClearNsArg::ns];
  return locked(self, [&]() -> Ref {
    Ref store = getattr(self, id_store);
    map_discard(store.get(), ns);
    return none();
  });
}

Ref cache_clear_all(Call& c) {
  PyObject* self = c.self();
  return locked(self, [&]() -> Ref {
    Ref store = getattr(self, id_store);
    if (PyDict_CheckExact(store.get())) {
      PyDict_Clear(store.get());
    } else {
      call_method(store.get(), id_clear);
    }
    return none();
  });
}

// Shared entry checks of the registry methods: false when single-flight is
// off (nothing is recorded then).
bool registry_enabled(PyObject* self) {
  Ref enabled = getattr(self, id_singleflight);
  if (!truthy(enabled.get())) return false;
  if (g_assertions) {
    Ref inflight = getattr(self, id_inflight);
    if (inflight.get() == Py_None) {
      PyErr_SetNone(PyExc_AssertionError);
      raised();
    }
  }
  return true;
}

enum class CacheBeginArg : std::size_t { self, ns, key };

Ref cache_begin_inflight(Call& c) {
  PyObject* self = c.self();
  if (!registry_enabled(self)) return boolean(true);
  Ref pair = tuple({c[CacheBeginArg::ns], c[CacheBeginArg::key]});
  return locked(self, [&]() -> Ref {
    Ref inflight = getattr(self, id_inflight);
    Ref zero = integer(0);
    Ref count = map_get_or(inflight.get(), pair.get(), zero.get());
    Ref one = integer(1);
    Ref next = check(PyNumber_Add(count.get(), one.get()));
    check(PyObject_SetItem(inflight.get(), pair.get(), next.get()));
    return check(PyObject_RichCompare(count.get(), zero.get(), Py_EQ));
  });
}

enum class CacheEndArg : std::size_t { self, ns, key };

Ref cache_end_inflight(Call& c) {
  PyObject* self = c.self();
  if (!registry_enabled(self)) return none();
  Ref pair = tuple({c[CacheEndArg::ns], c[CacheEndArg::key]});
  return locked(self, [&]() -> Ref {
    Ref inflight = getattr(self, id_inflight);
    Ref one = integer(1);
    Ref count = map_get_or(inflight.get(), pair.get(), one.get());
    if (check(PyObject_RichCompareBool(count.get(), one.get(), Py_LE))) {
      map_discard(inflight.get(), pair.get());
    } else {
      Ref next = check(PyNumber_Subtract(count.get(), one.get()));
      check(PyObject_SetItem(inflight.get(), pair.get(), next.get()));
    }
    return none();
  });
}

const FnSpec kCacheInit{"__init__",
                        cache_init,
                        {self_arg(), arg("enable_singleflight", "bool", Conv::Bool, bool_default(true))},
                        "None",
                        nullptr};
const FnSpec kCacheGet{
    "get", cache_get, {self_arg(), arg("ns", "Namespace"), arg("key", "CacheKey")}, "Optional[CacheEntry]", nullptr};
const FnSpec kCacheSet{"set",
                       cache_set,
                       {self_arg(), arg("ns", "Namespace"), arg("key", "CacheKey"), arg("data", "pd.DataFrame"),
                        kwonly("params", "Optional[Dict[str, Any]]", Conv::OptDict, none_default()),
                        kwonly("ttl", "Optional[timedelta]", Conv::Any, none_default())},
                       "CacheEntry",
                       nullptr};
const FnSpec kCacheClearNs{"clear_ns", cache_clear_ns, {self_arg(), arg("ns", "Namespace")}, "None", nullptr};
const FnSpec kCacheClearAll{"clear_all", cache_clear_all, {self_arg()}, "None", nullptr};
const FnSpec kCacheBegin{"_begin_inflight",
                         cache_begin_inflight,
                         {self_arg(), arg("ns", "Namespace"), arg("key", "CacheKey")},
                         "bool",
                         "Returns True if caller should fetch; False if another fetch in progress."};
const FnSpec kCacheEnd{
    "_end_inflight", cache_end_inflight, {self_arg(), arg("ns", "Namespace"), arg("key", "CacheKey")}, "None", nullptr};

// ---------------------------------------------------------------------------
// Dates

// d.date() for a datetime; an exact standard datetime is converted directly.
Ref date_of(PyObject* d) {
  static const Id id_date_method("date");
  if (PyDateTime_CheckExact(d)) {
    return check(PyDate_FromDate(PyDateTime_GET_YEAR(d), PyDateTime_GET_MONTH(d), PyDateTime_GET_DAY(d)));
  }
  return call_method(d, id_date_method);
}

enum class ToDateArg : std::size_t { d };

// to_date(d), with the module's names as `c` reads them.
Ref date_from(const Call& c, PyObject* d) {
  static const Id id_date_method("date"), id_strptime("strptime"), format("%Y-%m-%d");
  if (d == Py_None) {
    Ref current = now(c);
    return date_of(current.get());
  }
  Ref date_cls = c.global(id_date);
  if (isinstance(d, date_cls.get())) {
    Ref datetime_cls = c.global(id_datetime);
    if (!isinstance(d, datetime_cls.get())) return Ref::borrow(d);
  }
  Ref datetime_cls = c.global(id_datetime);
  if (isinstance(d, datetime_cls.get())) return date_of(d);
  if (PyUnicode_Check(d)) {
    Ref parsed = call_method(datetime_cls.get(), id_strptime, {d, format.get()});
    return call_method(parsed.get(), id_date_method);
  }
  raise_format(PyExc_ValueError, "Unsupported date type: %S", reinterpret_cast<PyObject*>(Py_TYPE(d)));
}

Ref memstore_to_date(Call& c) { return date_from(c, c[ToDateArg::d]); }

// memstore.to_date as created at load; is_today runs it without a call while
// the module's `to_date` is still that function.
PyObject* g_to_date = nullptr;

enum class IsTodayArg : std::size_t { d };

Ref memstore_is_today(Call& c) {
  PyObject* d = c[IsTodayArg::d];
  Ref to_date = c.global(id_to_date);
  Ref day = to_date.get() == g_to_date ? date_from(c, d) : call(to_date.get(), {d});
  Ref current = now(c);
  Ref today = date_of(current.get());
  return check(PyObject_RichCompare(day.get(), today.get(), Py_EQ));
}

const FnSpec kToDate{"to_date", memstore_to_date, {arg("d", "Any")}, "date", nullptr};
const FnSpec kIsToday{"is_today", memstore_is_today, {arg("d", "Any")}, "bool", nullptr};

// ---------------------------------------------------------------------------

void build(Module& m) {
  PyDateTime_IMPORT;
  if (PyDateTimeAPI == nullptr) raised();
  static const Id id_flags("flags"), id_optimize("optimize"), id_field("field"), id_default_factory("default_factory");
  Ref sys = import("sys");
  Ref flags = getattr(sys.get(), id_flags);
  g_assertions = !truthy(getattr(flags.get(), id_optimize).get());

  m.import_from("dataclasses", {"dataclass", "field"});
  m.import_from("datetime", {"date", "datetime", "timedelta"});
  m.import_from("threading", {"RLock"});
  if (g_threading == nullptr) {  // both kept for the life of the process
    g_threading = import("threading").release();
    g_threading_rlock = m.get("RLock").release();
  }
  init_lock_fast_path(m.get("RLock").get());
  m.import_from("typing", {"Any", "Dict", "Hashable", "Optional", "Tuple"});
  m.import("pandas", "pd");

  // CacheKey = Tuple[Hashable, ...]
  Ref key_args = tuple({m.get("Hashable").get(), Py_Ellipsis});
  m.add("CacheKey", check(PyObject_GetItem(m.get("Tuple").get(), key_args.get())).get());
  m.add("Namespace", reinterpret_cast<PyObject*>(&PyUnicode_Type));

  ClassBuilder entry(m, "CacheEntry");
  Ref params_default = call(m.get("field").get(), {}, {{id_default_factory, reinterpret_cast<PyObject*>(&PyDict_Type)}});
  entry.annotate("data", "pd.DataFrame")
      .annotate("fetched_at", "datetime")
      .annotate("params", "Dict[str, Any]", params_default.get())
      .annotate("expires_at", "Optional[datetime]", Py_None)
      .method(kIsExpired);
  Ref entry_cls = entry.build_dataclass();
  m.add("CacheEntry", entry_cls.get());
  // Kept for the life of the process, so its address is never reused.
#if PCRT_FAST_PATHS
  g_is_expired =
      Ref::borrow(_PyType_Lookup(reinterpret_cast<PyTypeObject*>(entry_cls.get()), id_is_expired.get())).release();
#endif

  ClassBuilder cache(m, "_Cache",
                     "Namespace-keyed cache with optional TTL and (optional) singleflight.\n"
                     "Thread-safe via RLock.");
  cache.method(kCacheInit)
      .method(kCacheGet)
      .method(kCacheSet)
      .method(kCacheClearNs)
      .method(kCacheClearAll)
      .method(kCacheBegin)
      .method(kCacheEnd);
  m.add("_Cache", cache.build().get());

  Ref to_date = m.def(kToDate);
  if (g_to_date == nullptr) g_to_date = to_date.release();  // kept for the life of the process
  m.def(kIsToday);
  m.set_all({"_Cache", "CacheEntry", "CacheKey", "Namespace", "to_date", "is_today"});
}

}  // namespace

PCRT_MODULE(memstore, build)
