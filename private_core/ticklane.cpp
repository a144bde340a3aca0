// private_core.ticklane: intraday price bars (always fetched as one-minute
// bars and resampled to the caller's interval) and the order book of one
// trading day, for one symbol or a batch, one request per symbol.
#include "shared/prices.hpp"

namespace {
using namespace pcrt;

const Id id_ENDPOINT("ENDPOINT"), id_ORDERBOOK_ENDPOINT("ORDERBOOK_ENDPOINT");
const Id id_target_date("target_date");

const prices::BatchKind kIntraday{id_ENDPOINT, "Batch intraday", prices::kOhlcvMessages, true};
const prices::BatchKind kOrderbook{id_ORDERBOOK_ENDPOINT, "Orderbook intraday", prices::kOrderbookMessages, false};

enum class OhlcvArg : std::size_t { session, symbol, start, end, interval, adjusted, show_progress };

Ref ticklane_fetch_ohlcv(Call& c) {
  const auto query = prices::intraday_query(c[OhlcvArg::start], c[OhlcvArg::end], c[OhlcvArg::adjusted]);
  return prices::fetch_batch(c.names(), kIntraday, c[OhlcvArg::session], c[OhlcvArg::symbol], query,
                             c[OhlcvArg::interval], c.flag(OhlcvArg::show_progress));
}

const FnSpec kFetchOhlcv{"fetch_ohlcv", ticklane_fetch_ohlcv, prices::intraday_params(), "pd.DataFrame",
                         "Fetch intraday OHLCV bars for one symbol or a batch of symbols.\n"
                         "\n"
                         "Parameters\n"
                         "----------\n"

                         PRICES_DOC_SESSION_SYMBOL
                         "start, end:\n"
                         "    Optional time bounds handed to the service as given.\n"
                         "interval:\n"
                         "    Bar interval the one-minute bars are resampled to.\n"
                         "adjusted:\n"
                         "    Ask for adjusted prices (True), unadjusted (False) or the service default (None).\n"

                         PRICES_DOC_SHOW_PROGRESS
                         "\n"
                         "Returns\n"
                         "-------\n"
                         "pd.DataFrame\n"
                         "    Every symbol's bars in one frame; an empty frame when the service has none.\n"
                         "\n"

                         PRICES_DOC_RAISES};

enum class OrderbookArg : std::size_t { session, symbol, target_date, show_progress };

Ref ticklane_fetch_orderbook(Call& c) {
  const prices::Query query[] = {{id_target_date, prices::nonempty(c[OrderbookArg::target_date])}};
  return prices::fetch_batch(c.names(), kOrderbook, c[OrderbookArg::session], c[OrderbookArg::symbol], query,
                             nullptr, c.flag(OrderbookArg::show_progress));
}

const FnSpec kFetchOrderbook{
    "fetch_orderbook", ticklane_fetch_orderbook,
    prices::fetcher_params({arg("target_date", "Optional[str]", Conv::OptStr, none_default())}), "pd.DataFrame",
    "Fetch the intraday order-book records of one trading day.\n"
    "\n"
    "Parameters\n"
    "----------\n"

    PRICES_DOC_SESSION_SYMBOL
    "target_date:\n"
    "    Trading day handed to the service as given; the service's default when absent.\n"

    PRICES_DOC_SHOW_PROGRESS
    "\n"
    "Returns\n"
    "-------\n"
    "pd.DataFrame\n"
    "    Every symbol's records in one frame, not resampled; an empty frame when there are none.\n"
    "\n"

    PRICES_DOC_RAISES};

void build(Module& m) {
  prices::import_names(m, "IntervalIntraday");
  m.add("ENDPOINT", str("/market-data/intraday/ohlcv").get());
  m.add("ORDERBOOK_ENDPOINT", str("/market-data/intraday/orderbook").get());
  prices::def_shared_functions(m);
  m.def(kFetchOhlcv);
  m.def(kFetchOrderbook);
}

}  // namespace

PCRT_MODULE(ticklane, build)
