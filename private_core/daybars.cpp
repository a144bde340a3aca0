// private_core.daybars: end-of-day price bars for one symbol or a batch, one
// request per symbol, returned as one frame built and resampled by
// private_core.helpers.
#include "shared/prices.hpp"

namespace {
using namespace pcrt;

const Id id_ENDPOINT("ENDPOINT");

const prices::BatchKind kEod{id_ENDPOINT, "Batch EOD", prices::kOhlcvMessages, true};

enum class FetchArg : std::size_t { session, symbol, start, end, interval, show_progress };

Ref daybars_fetch_ohlcv(Call& c) {
  const auto query = prices::eod_query(c[FetchArg::interval], c[FetchArg::start], c[FetchArg::end]);
  return prices::fetch_batch(c.names(), kEod, c[FetchArg::session], c[FetchArg::symbol], query,
                             c[FetchArg::interval], c.flag(FetchArg::show_progress));
}

const FnSpec kFetchOhlcv{"fetch_ohlcv", daybars_fetch_ohlcv, prices::eod_params(), "pd.DataFrame",
                         "Fetch end-of-day OHLCV bars for one symbol or a batch of symbols.\n"
                         "\n"
                         "Parameters\n"
                         "----------\n"

                         PRICES_DOC_SESSION_SYMBOL
                         "start, end:\n"
                         "    Optional date bounds handed to the service as given.\n"
                         "interval:\n"
                         "    Bar interval the frame is resampled to.\n"

                         PRICES_DOC_SHOW_PROGRESS
                         "\n"
                         "Returns\n"
                         "-------\n"
                         "pd.DataFrame\n"
                         "    Every symbol's bars in one frame; an empty frame when the service has none.\n"
                         "\n"

                         PRICES_DOC_RAISES};

void build(Module& m) {
  prices::import_names(m, "Interval");
  m.add("ENDPOINT", str("/market-data/eod/ohlcv").get());
  prices::def_shared_functions(m);
  m.def(kFetchOhlcv);
}

}  // namespace

PCRT_MODULE(daybars, build)
