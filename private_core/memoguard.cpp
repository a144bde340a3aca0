// private_core.memoguard: the mixin that routes a client's fetches through its
// own cache.
//
// History requests are answered from the cache when possible; otherwise the
// first caller of a slot fetches while later callers poll the cache for its
// result, up to a deadline after which they fetch on their own.  The cache's
// lock is only ever held inside single store operations, never across the
// fetch or the sleeps, so a slow service call blocks nobody but its waiters.
#include "pcrt/pcrt.hpp"
#include "pcrt/site.hpp"

namespace {
using namespace pcrt;

const Id id_cache("_cache"), id_Cache("_Cache"), id_time("time"), id_monotonic("monotonic"), id_sleep("sleep");
const Id id_get("get"), id_set("set"), id_data("data"), id_begin("_begin_inflight"), id_end("_end_inflight");

Site site_cache(id_cache), site_get(id_get), site_data(id_data);

// ---------------------------------------------------------------------------

enum class InitArg : std::size_t { self, args, kwargs };

Ref base_memoguard_init(Call& c) {
  static const Id id_init("__init__"), id_enable("enable_singleflight");
  // Cooperative: the client's other bases are initialised first, with every
  // argument, before this mixin adds its cache.
  Ref next_init = super_attr(c, id_init);
  check(PyObject_Call(next_init.get(), c[InitArg::args], c[InitArg::kwargs]));
  Ref cache_cls = c.global(id_Cache);
  Ref cache = call(cache_cls.get(), {}, {{id_enable, Py_True}});
  setattr(c.self(), id_cache, cache.get());
  return none();
}

enum class ClearCacheArg : std::size_t { self, ns };

Ref base_memoguard_clear_cache(Call& c) {
  static const Id id_clear_ns("clear_ns"), id_clear_all("clear_all");
  PyObject* ns = c[ClearCacheArg::ns];
  Ref cache = getattr(c.self(), id_cache);
  // The empty name counts as "no namespace" and clears everything.
  if (ns != Py_None && PyUnicode_GET_LENGTH(ns) != 0) {
    call_method(cache.get(), id_clear_ns, {ns});
  } else {
    call_method(cache.get(), id_clear_all);
  }
  return none();
}

// self._cache.get(ns, key).data, or an empty Ref when there is no entry.
Ref cached_data(PyObject* self, PyObject* ns, PyObject* key) {
  Ref cache = site_cache.get(self);
  Ref hit = site_get.call(cache.get(), {ns, key});
  if (hit.get() == Py_None) return nullptr;
  return site_data.get(hit.get());
}

Ref monotonic(const Call& c) {
  Ref time = c.global(id_time);
  return call(module_attr(time.get(), id_monotonic).get());
}

enum class FetchWithCacheArg : std::size_t {
  self,
  namespace_,
  key,
  live,
  fetcher,
  ttl_live,
  ttl_history,
  params,
  wait_timeout,
  wait_interval
};

Ref base_memoguard_fetch_with_cache(Call& c) {
  using A = FetchWithCacheArg;
  static const Id id_params("params"), id_ttl("ttl");
  PyObject* self = c.self();
  PyObject* ns = c[A::namespace_];
  PyObject* key = c[A::key];
  const bool live = c.flag(A::live);

  // Live data is never served from the cache directly: only a caller that
  // waits on someone else's fetch of it may take that fresh result.
  if (!live) {
    if (Ref data = cached_data(self, ns, key)) return data;
  }

  Ref should_fetch;
  {
    Ref cache = getattr(self, id_cache);
    should_fetch = call_method(cache.get(), id_begin, {ns, key});
  }
  // Every registration is ended exactly once, whatever happens below, or the
  // slot would make all later callers wait out their full timeout.
  return try_finally(
      [&]() -> Ref {
        if (!truthy(should_fetch.get())) {
          Ref deadline = check(PyNumber_Add(monotonic(c).get(), c[A::wait_timeout]));
          for (;;) {
            // The wait may last seconds: a pending signal (Ctrl-C) is
            // handled now, as the interpreter would between two passes.
            if (PyErr_CheckSignals() < 0) raised();
            Ref current = monotonic(c);
            if (!check(PyObject_RichCompareBool(current.get(), deadline.get(), Py_LT))) break;
            if (Ref data = cached_data(self, ns, key)) return data;
            Ref time = c.global(id_time);
            call(module_attr(time.get(), id_sleep).get(), {c[A::wait_interval]});
          }
        }
        Ref data = call(c[A::fetcher]);
        Ref cache = getattr(self, id_cache);
        PyObject* ttl = live ? c[A::ttl_live] : c[A::ttl_history];
        call_method(cache.get(), id_set, {ns, key, data.get()}, {{id_params, c[A::params]}, {id_ttl, ttl}});
        return data;
      },
      [&] {
        Ref cache = getattr(self, id_cache);
        call_method(cache.get(), id_end, {ns, key});
      });
}

const FnSpec kInit{"__init__", base_memoguard_init, {self_arg(), var_args("args"), var_kwargs("kwargs")}, nullptr, nullptr};
const FnSpec kClearCache{"clear_cache",
                         base_memoguard_clear_cache,
                         {self_arg(), arg("ns", "Optional[str]", Conv::OptStr, none_default())},
                         "None",
                         nullptr};
const FnSpec kFetchWithCache{"_fetch_with_cache",
                             base_memoguard_fetch_with_cache,
                             {self_arg(), arg("namespace", "Namespace"), arg("key", "CacheKey"),
                              kwonly("live", "bool", Conv::Bool), kwonly("fetcher", "Callable[[], pd.DataFrame]"),
                              kwonly("ttl_live", "Optional[timedelta]"), kwonly("ttl_history", "Optional[timedelta]"),
                              kwonly("params", "Optional[Dict[str, Any]]", Conv::OptDict, none_default()),
                              kwonly("wait_timeout", "float", Conv::Float, float_default(1.0)),
                              kwonly("wait_interval", "float", Conv::Float, float_default(0.05))},
                             "pd.DataFrame",
                             "Shared helper encapsulating get/set + singleflight orchestration."};

void build(Module& m) {
  m.import("time");
  m.import_from("datetime", {"timedelta"});
  m.import_from("typing", {"Any", "Callable", "Dict", "Optional"});
  m.import("pandas", "pd");
  m.import_relative("memstore", {"CacheKey", "Namespace", "_Cache"});

  ClassBuilder guard(m, "BaseMemoguard", "Mixin providing a shared _Cache instance and helper utilities.");
  guard.method(kInit).method(kClearCache).method(kFetchWithCache);
  m.add("BaseMemoguard", guard.build().get());
  m.set_all({"BaseMemoguard"});
}

}  // namespace

PCRT_MODULE(memoguard, build)
