// private_core.ttlrules: how long cached frames stay fresh, per kind of data.
//
// A request is live when it reaches today's local date; live data gets a
// one-minute lifetime and history data is cached without expiry (None).  No
// trading calendar is consulted: "latest trading day" means today.
#include "pcrt/pcrt.hpp"

#include <datetime.h>

namespace {
using namespace pcrt;

const Id id_timedelta("timedelta"), id_is_today("is_today"), id_minutes("minutes");

enum class TouchesArg : std::size_t { end };

Ref ttlrules_touches_latest_trading_day(Call& c) {
  Ref is_today = c.global(id_is_today);
  return call(is_today.get(), {c[TouchesArg::end]});
}

// A new timedelta per call: callers may keep or compare it, never share it.
// One body serves the three one-minute lifetimes, another the two without
// expiry: the functions differ only in name.
// A new timedelta per call: callers may keep or compare it, never share it.
// While `timedelta` is the standard class it is made directly, as
// timedelta(minutes=1) would make it.
Ref ttlrules_one_minute(Call& c) {
  Ref timedelta = c.global(id_timedelta);
  if (timedelta.get() == reinterpret_cast<PyObject*>(PyDateTimeAPI->DeltaType)) return check(PyDelta_FromDSU(0, 60, 0));
  Ref one = integer(1);
  return call(timedelta.get(), {}, {{id_minutes, one.get()}});
}

Ref ttlrules_no_expiry(Call&) { return none(); }

const FnSpec kTouches{"touches_latest_trading_day", ttlrules_touches_latest_trading_day, {arg("end", "object")}, "bool",
                      nullptr};
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
