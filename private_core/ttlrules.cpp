// private_core.ttlrules: how long cached frames stay fresh, per kind of data.
//
// A request is live when it reaches today's local date (it ends today or
// later); live data gets a one-minute lifetime and history data is cached
// without expiry (None).  No trading calendar is consulted: "latest trading
// day" means today.
#include "pcrt/pcrt.hpp"

#include <datetime.h>

namespace {
using namespace pcrt;

const Id id_timedelta("timedelta"), id_is_today("is_today"), id_minutes("minutes");
const Id id_memstore("private_core.memstore"), id_to_date("to_date");

// The memstore module as loaded (this module imported from it at load),
// read from the interpreter's module table: PyImport_GetModule would also
// ask the module whether it is still initialising (`_initializing`, looked
// up and missed), which costs more than the rest of the call.
Ref memstore_module() {
  if (Ref module = dict_get(PyImport_GetModuleDict(), id_memstore)) return module;
  return import(id_memstore.text());
}

enum class TouchesArg : std::size_t { end };

// A range that ends today is live, and so is one that ends after today: it
// covers today's bars too, and caching it as history would keep serving the
// first answer after new bars exist.  The end and today are both taken with
// memstore's to_date, the clock is_today reads, so fixing memstore's clock
// fixes both answers.
Ref ttlrules_touches_latest_trading_day(Call& c) {
  PyObject* end = c[TouchesArg::end];
  Ref today_answer = call(c.global(id_is_today).get(), {end});
  if (truthy(today_answer.get())) return today_answer;
  Ref to_date = module_attr(memstore_module().get(), id_to_date);
  Ref day;
  try {
    day = call(to_date.get(), {end});
  } catch (const Raised&) {
    // Only a replaced is_today can accept what to_date refuses: its answer stands.
    catch_if(PyExc_ValueError);
    return today_answer;
  }
  Ref today = call(to_date.get(), {Py_None});
  return check(PyObject_RichCompare(day.get(), today.get(), Py_GT));
}

// One body serves the three one-minute lifetimes, another the two without
// expiry: the functions differ only in name.
// A new timedelta per call: callers may keep or compare it, never share it.
// While `timedelta` is the standard class it is made directly, as
// timedelta(minutes=1) would make it.
Ref ttlrules_one_minute(Call& c) {
  Ref timedelta = c.global(id_timedelta);
  if (timedelta.get() == reinterpret_cast<PyObject*>(PyDateTimeAPI->DeltaType))
    return check(PyDelta_FromDSU(0, 60, 0));
  Ref one = integer(1);
  return call(timedelta.get(), {}, {{id_minutes, one.get()}});
}

Ref ttlrules_no_expiry(Call&) { return none(); }

const FnSpec kTouches{
    "touches_latest_trading_day", ttlrules_touches_latest_trading_day, {arg("end", "object")}, "bool", nullptr};
const FnSpec kIntradayLive{"ttl_intraday_live", ttlrules_one_minute, {}, "timedelta", nullptr};
const FnSpec kIntradayHistory{"ttl_intraday_history", ttlrules_no_expiry, {}, "Optional[timedelta]", nullptr};
const FnSpec kOrderbookLive{"ttl_orderbook_live", ttlrules_one_minute, {}, "timedelta", nullptr};
const FnSpec kEodLatest{"ttl_eod_latest", ttlrules_one_minute, {}, "timedelta", nullptr};
const FnSpec kEodHistory{"ttl_eod_history", ttlrules_no_expiry, {}, "Optional[timedelta]", nullptr};

void build(Module& m) {
  PyDateTime_IMPORT;
  if (PyDateTimeAPI == nullptr) raised();
  m.import_from("datetime", {"timedelta"});
  m.import_from("typing", {"Optional"});
  m.import_relative("memstore", {"is_today"});
  m.def(kTouches);
  m.def(kIntradayLive);
  m.def(kIntradayHistory);
  m.def(kOrderbookLive);
  m.def(kEodLatest);
  m.def(kEodHistory);
  m.set_all({"touches_latest_trading_day", "ttl_intraday_live", "ttl_intraday_history", "ttl_orderbook_live",
             "ttl_eod_latest", "ttl_eod_history"});
}

}  // namespace

PCRT_MODULE(ttlrules, build)
