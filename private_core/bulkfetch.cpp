// private_core.bulkfetch: end-of-day and intraday bars of many symbols with a
// bounded number of worker threads, returning the frame the sequential
// fetchers return for the same arguments.
//
// Every symbol goes through the batch's own per-symbol step (query, request,
// checked rows) and the rows through the batch's frame builder, in symbol
// order whatever order the answers come in.  All state lives in one Job per
// call, so concurrent calls never share anything but the session.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "shared/prices.hpp"

namespace {
using namespace pcrt;

// Module-level names read at call time.
const Id id_EOD_ENDPOINT("EOD_ENDPOINT"), id_INTRADAY_ENDPOINT("INTRADAY_ENDPOINT"),
    id_normalize_symbols("_normalize_symbols"), id_start_progress("start_progress"),
    id_update_progress("update_progress"), id_finish_progress("finish_progress"), id_threading("threading"),
    id_CANCEL("_CANCEL"), id_Cancelled("Cancelled"), id_HttpError("HttpError"),
    id_DataDecodingError("DataDecodingError"), id_work("_work");
// Attributes, methods, keywords and query keys.
const Id id_Thread("Thread"), id_Event("Event"), id_target("target"), id_args("args"), id_name("name"),
    id_daemon("daemon"), id_start("start"), id_join("join"), id_set("set"), id_get("get"), id_params("params");
const Id lit_raise("raise"), lit_collect("collect");

const prices::BatchKind kEod{id_EOD_ENDPOINT, "Batch EOD", prices::kOhlcvMessages, true};
const prices::BatchKind kIntraday{id_INTRADAY_ENDPOINT, "Batch intraday", prices::kOhlcvMessages, true};

constexpr const char* kJobName = "private_core.bulkfetch.Job";
// How often the calling thread looks for Ctrl-C while it waits for answers.
constexpr std::chrono::milliseconds kSignalSlice{50};

// One call's work, shared by its workers through a capsule.  Python objects
// and the per-symbol slots are touched only with the GIL held; `finished`
// and `running` are what the calling thread waits on without it.
struct Job {
  ModuleNames names;  // the calling fetcher's module names
  const prices::BatchKind* kind;
  std::vector<prices::Query> query;
  Ref session, symbols, cancel;
  Ref plan;  // {symbol: query params} of a planned fetch, else empty
  bool collect = false;

  Py_ssize_t next = 0;     // the next symbol to request
  bool stop = false;       // no new request once set
  std::vector<Ref> rows;   // per symbol: its rows, once answered
  std::vector<Ref> errors; // per symbol: its failure
  Ref fatal;               // a failure outside any symbol

  std::mutex mutex;
  std::condition_variable changed;
  Py_ssize_t finished = 0;
  int running = 0;
};

Job& job_of(PyObject* capsule) {
  void* pointer = PyCapsule_GetPointer(capsule, kJobName);
  if (pointer == nullptr) raised();
  return *static_cast<Job*>(pointer);
}

bool collectable(const Job& job, PyObject* error) {
  Ref http = job.names.get(id_HttpError);
  Ref decoding = job.names.get(id_DataDecodingError);
  return PyErr_GivenExceptionMatches(error, http.get()) || PyErr_GivenExceptionMatches(error, decoding.get());
}

// Stops every worker at its next step and ends their waits in the gate.
void cancel(Job& job) {
  job.stop = true;
  call_method(job.cancel.get(), id_set);
}

// One symbol, as the sequential batch does it, into the symbol's own slot.
void fetch_one(Job& job, Py_ssize_t index) {
  PyObject* symbol = PyList_GET_ITEM(job.symbols.get(), index);
  Ref params = job.plan ? dict_get(job.plan.get(), symbol) : prices::query_for(symbol, job.query);
  Ref endpoint = job.names.get(job.kind->endpoint);
  Ref response = call_method(job.session.get(), id_get, {endpoint.get()}, {{id_params, params.get()}});
  Ref rows = new_list();
  prices::append_answer(job.names, rows.get(), symbol, response.get(), job.kind->messages, job.session.get());
  job.rows[index] = std::move(rows);
}

void run_worker(Job& job) {
  // This thread's waits in the gate and the retry policy end once the job is cancelled.
  Ref cancel_var = job.names.get(id_CANCEL);
  call_method(cancel_var.get(), id_set, {job.cancel.get()});
  const Py_ssize_t total = PyList_GET_SIZE(job.symbols.get());
  while (!job.stop && job.next < total) {
    const Py_ssize_t index = job.next++;
    try {
      fetch_one(job, index);
    } catch (const Raised&) {
      Ref error = catch_any();
      if (job.stop && PyErr_GivenExceptionMatches(error.get(), job.names.get(id_Cancelled).get())) break;
      job.errors[index] = error;
      if (!job.collect || !collectable(job, error.get())) cancel(job);
    }
    {
      std::lock_guard lock(job.mutex);
      ++job.finished;
    }
    job.changed.notify_all();
  }
}

enum class WorkArg : std::size_t { job };

Ref bulkfetch_work(Call& w) {
  Job& job = job_of(w[WorkArg::job]);
  // Whatever happens, the calling thread learns that this worker is done with the job.
  struct Leave {
    Job& job;
    ~Leave() {
      {
        std::lock_guard lock(job.mutex);
        --job.running;
      }
      job.changed.notify_all();
    }
  } leave{job};
  try {
    run_worker(job);
  } catch (const Raised&) {
    Ref error = catch_any();
    if (!job.fatal) job.fatal = std::move(error);
    job.stop = true;
    try {
      call_method(job.cancel.get(), id_set);
    } catch (const Raised&) {
      PyErr_Clear();  // the calling thread stops the others as it leaves
    }
  }
  return none();
}

const FnSpec kWork{"_work", bulkfetch_work, {arg("job")}, "None", "Run one worker of a bulk fetch."};

struct Snapshot {
  Py_ssize_t finished;
  int running;
};

// Waits, without the GIL, until a symbol finishes, every worker has left, or
// `slice` passes.
Snapshot wait_for_change(Job& job, Py_ssize_t seen, std::chrono::milliseconds slice) {
  return without_gil([&] {
    std::unique_lock lock(job.mutex);
    job.changed.wait_for(lock, slice, [&] { return job.finished != seen || job.running == 0; });
    return Snapshot{job.finished, job.running};
  });
}

// Cancels what is left and waits for every worker.  No signal is looked at
// here: the fetcher's frame (the query's values) must outlive the workers,
// and once cancelled they only finish the request they have in flight.
void stop_workers(Job& job, PyObject* threads) {
  cancel(job);
  without_gil([&] {
    std::unique_lock lock(job.mutex);
    job.changed.wait(lock, [&] { return job.running == 0; });
  });
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(threads); ++i) call_method(PyList_GET_ITEM(threads, i), id_join);
}

struct Options {
  PyObject* session;
  PyObject* symbol;
  PyObject* interval;
  PyObject* workers;
  PyObject* errors;
  bool show_progress;
  PyObject* plan = nullptr;  // a planned fetch: each symbol's own query, raw rows back
};

// errors="collect" (true) or "raise" (false); ValueError for anything else.
bool collects(PyObject* errors) {
  const bool collect = PyUnicode_Compare(errors, lit_collect.get()) == 0;
  if (!collect && PyUnicode_Compare(errors, lit_raise.get()) != 0) {
    raise(PyExc_ValueError, "errors must be 'raise' or 'collect'");
  }
  return collect;
}

// A new Job for a fetcher of `names`' module, owned by the capsule the
// workers receive; `job` is set to it.
Ref new_job(ModuleNames names, Job*& job) {
  auto* fresh = new Job{std::move(names)};
  Ref capsule = Ref::steal_or_null(PyCapsule_New(fresh, kJobName, [](PyObject* object) {
    delete static_cast<Job*>(PyCapsule_GetPointer(object, kJobName));
  }));
  if (!capsule) {
    delete fresh;
    raised();
  }
  job = fresh;
  return capsule;
}

// Starts up to `workers` daemon threads on the job, appending them to `threads`.
void start_workers(Job& job, PyObject* capsule, PyObject* threading, long long workers, PyObject* threads) {
  Ref args = tuple({capsule});
  Ref target = job.names.get(id_work);
  const long long count = std::min<long long>(workers, PyList_GET_SIZE(job.symbols.get()));
  for (long long k = 0; k < count; ++k) {
    Ref name = check(PyUnicode_FromFormat("bulkfetch-%lld", k + 1));
    Ref thread = call(module_attr(threading, id_Thread).get(), {},
                      {{id_target, target.get()}, {id_args, args.get()}, {id_name, name.get()}, {id_daemon, Py_True}});
    {
      std::lock_guard lock(job.mutex);
      ++job.running;
    }
    try {
      call_method(thread.get(), id_start);
    } catch (const Raised&) {
      std::lock_guard lock(job.mutex);
      --job.running;
      throw;
    }
    list_append(threads, thread.get());
  }
}

// Waits for every worker to leave, drawing the meter (in the calling thread
// only) and looking for Ctrl-C between waits.
void await_workers(Job& job, bool show_progress) {
  Snapshot now{0, 1};
  while (now.running != 0) {
    const Py_ssize_t seen = now.finished;
    now = wait_for_change(job, seen, kSignalSlice);
    if (show_progress && now.finished != seen) {
      call(job.names.get(id_update_progress).get(), {integer(now.finished).get()});
    }
    check(PyErr_CheckSignals());
  }
}

// What the sequential batch returns for the answers: its first failure in
// symbol order, else the frame (and, collecting, the failures by symbol).  A
// planned fetch gets each symbol's rows as sent instead of the frame.
Ref job_result(Job& job, PyObject* interval) {
  if (job.fatal) reraise(std::move(job.fatal));
  for (Ref& error : job.errors) {
    if (error && !(job.collect && collectable(job, error.get()))) reraise(std::move(error));
  }
  call(job.names.get(id_finish_progress).get());

  Ref rows = new_list();
  Ref failures = new_dict();
  Ref by_symbol = new_dict();
  for (std::size_t i = 0; i < job.rows.size(); ++i) {
    PyObject* symbol = PyList_GET_ITEM(job.symbols.get(), static_cast<Py_ssize_t>(i));
    if (Ref& part = job.rows[i]; part && job.plan) {
      dict_set(by_symbol.get(), symbol, part.get());
    } else if (part) {
      check(PyList_SetSlice(rows.get(), PY_SSIZE_T_MAX, PY_SSIZE_T_MAX, part.get()));
    } else if (Ref& error = job.errors[i]) {
      dict_set(failures.get(), symbol, error.get());
    }
  }
  if (job.plan) return tuple({by_symbol.get(), failures.get()});
  Ref frame = prices::build_frame(job.names, *job.kind, rows.get(), interval);
  if (!job.collect) return frame;
  return tuple({frame.get(), failures.get()});
}

Ref bulk_fetch(const Call& c, const prices::BatchKind& kind, const Options& options, std::vector<prices::Query> query) {
  const long long workers = as_long_long(options.workers);
  if (workers < 1) raise(PyExc_ValueError, "workers must be at least 1");
  const bool collect = collects(options.errors);

  Ref symbols = check(PySequence_List(call(c.global(id_normalize_symbols).get(), {options.symbol}).get()));
  const Py_ssize_t total = PyList_GET_SIZE(symbols.get());
  call(c.global(id_start_progress).get(), {integer(total).get(), str(kind.label).get()});

  Ref threading = c.global(id_threading);
  Job* fresh = nullptr;
  Ref capsule = new_job(c.names(), fresh);
  Job& job = *fresh;
  job.kind = &kind;
  job.query = std::move(query);
  job.session = Ref::borrow(options.session);
  job.symbols = symbols;
  job.cancel = call(module_attr(threading.get(), id_Event).get());
  job.collect = collect;
  job.plan = Ref::borrow(options.plan);
  job.rows.resize(static_cast<std::size_t>(total));
  job.errors.resize(static_cast<std::size_t>(total));

  Ref threads = new_list();
  try_finally(
      [&] {
        start_workers(job, capsule.get(), threading.get(), workers, threads.get());
        await_workers(job, options.show_progress);
        return 0;
      },
      [&] { stop_workers(job, threads.get()); });
  return job_result(job, options.interval);
}

#define BULK_DOC_COMMON                                                                                           \
  "workers:\n"                                                                                                    \
  "    Most requests in flight at once.\n"                                                                        \
  "errors:\n"                                                                                                     \
  "    \"raise\": the first failure (in symbol order) cancels the requests not yet sent and\n"                    \
  "    propagates, as the sequential fetch's does.  \"collect\": HttpError and\n"                                 \
  "    DataDecodingError are kept per symbol and (frame, {symbol: error}) comes back.\n" PRICES_DOC_SHOW_PROGRESS \
  "\n"                                                                                                            \
  "Requests go through the session, so a gate attached with pacegate.attach paces them.\n"                        \
  "Ctrl-C cancels the fetch; it returns once the requests in flight have ended, leaving\n"                        \
  "no worker behind.\n"

// The concurrent fetchers' own keyword-only parameters.
constexpr Param kWorkers = kwonly("workers", "int", Conv::Int, int_default(8));
constexpr Param kErrors = kwonly("errors", "str", Conv::Str, str_default("raise"));

enum class EodArg : std::size_t { session, symbol, start, end, interval, workers, errors, show_progress };

Ref bulkfetch_fetch_eod(Call& c) {
  using A = EodArg;
  const auto query = prices::eod_query(c[A::interval], c[A::start], c[A::end]);
  return bulk_fetch(c, kEod,
                    {c[A::session], c[A::symbol], c[A::interval], c[A::workers], c[A::errors], c.flag(A::show_progress)},
                    {query.begin(), query.end()});
}

const FnSpec kFetchEod{"fetch_eod", bulkfetch_fetch_eod, prices::eod_params({kWorkers, kErrors}),
                       "Union[pd.DataFrame, Tuple[pd.DataFrame, Dict[str, Exception]]]",
                       "End-of-day bars of many symbols, requested concurrently; the frame is the one\n"
                       "daybars.fetch_ohlcv returns for the same arguments.\n"
                       "\n"
                       "Parameters\n"
                       "----------\n" PRICES_DOC_SESSION_SYMBOL
                       "start, end, interval:\n"
                       "    As for daybars.fetch_ohlcv.\n" BULK_DOC_COMMON};

enum class IntradayArg : std::size_t {
  session,
  symbol,
  start,
  end,
  interval,
  adjusted,
  workers,
  errors,
  show_progress
};

Ref bulkfetch_fetch_intraday(Call& c) {
  using A = IntradayArg;
  const auto query = prices::intraday_query(c[A::start], c[A::end], c[A::adjusted]);
  return bulk_fetch(c, kIntraday,
                    {c[A::session], c[A::symbol], c[A::interval], c[A::workers], c[A::errors], c.flag(A::show_progress)},
                    {query.begin(), query.end()});
}

const FnSpec kFetchIntraday{"fetch_intraday", bulkfetch_fetch_intraday, prices::intraday_params({kWorkers, kErrors}),
                            "Union[pd.DataFrame, Tuple[pd.DataFrame, Dict[str, Exception]]]",
                            "Intraday bars of many symbols, requested concurrently; the frame is the one\n"
                            "ticklane.fetch_ohlcv returns for the same arguments.\n"
                            "\n"
                            "Parameters\n"
                            "----------\n" PRICES_DOC_SESSION_SYMBOL
                            "start, end, interval, adjusted:\n"
                            "    As for ticklane.fetch_ohlcv.\n" BULK_DOC_COMMON};

enum class PlannedArg : std::size_t { session, plan, workers, show_progress };

// End-of-day requests whose queries differ per symbol (the incremental
// history's gaps), through the same workers; failures are collected.
Ref bulkfetch_fetch_planned(Call& c) {
  using A = PlannedArg;
  Ref symbols = check(PyDict_Keys(c[A::plan]));
  return bulk_fetch(c, kEod,
                    {c[A::session], symbols.get(), Py_None, c[A::workers], lit_collect.get(),
                     c.flag(A::show_progress), c[A::plan]},
                    {});
}

const FnSpec kFetchPlanned{"_fetch_planned",
                           bulkfetch_fetch_planned,
                           {arg("session", "HttpSession"), arg("plan", "Dict[str, Dict[str, str]]", Conv::Dict),
                            kWorkers, prices::kShowProgress},
                           "Tuple[Dict[str, List[Dict[str, Any]]], Dict[str, Exception]]",
                           "End-of-day requests with a query of their own per symbol ({symbol: params});\n"
                           "returns ({symbol: rows as the service sent them, tagged}, {symbol: error})."};

void build(Module& m) {
  prices::import_names(m, "Interval");
  m.import_from("typing", {"Tuple"});
  m.import_from("tessaro.exceptions", {"HttpError"});
  m.import_relative("helpers", {"IntervalIntraday"});
  m.import_relative("daybars", {"_normalize_symbols"});
  m.import_relative("pacegate", {"Cancelled", "_CANCEL"});
  m.import("threading");
  m.add("EOD_ENDPOINT", str("/market-data/eod/ohlcv").get());
  m.add("INTRADAY_ENDPOINT", str("/market-data/intraday/ohlcv").get());
  m.def(kWork);
  m.def(kFetchEod);
  m.def(kFetchIntraday);
  m.def(kFetchPlanned);
}

}  // namespace

PCRT_MODULE(bulkfetch, build)
