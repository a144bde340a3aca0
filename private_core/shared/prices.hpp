// What the price modules (private_core.daybars, private_core.ticklane) share:
// symbol cleaning, the plain-text progress line, and the one batch loop every
// price fetcher runs.  Compiled once into a static library linked into both
// modules; each module binds the shared functions in its own namespace, so
// their global look-ups read that module's names.
#pragma once

#include <array>
#include <initializer_list>
#include <span>
#include <vector>

#include "pcrt/pcrt.hpp"

// Docstring sections every price fetcher shares (string literals, so that a
// fetcher's docstring is still one literal).
#define PRICES_DOC_SESSION_SYMBOL     \
  "session:\n"                        \
  "    Authenticated HTTP session.\n" \
  "symbol:\n"                         \
  "    One ticker symbol or a sequence of them; trimmed, upper-cased, de-duplicated.\n"
#define PRICES_DOC_SHOW_PROGRESS \
  "show_progress:\n"             \
  "    Draw the progress meter as symbols complete.\n"
#define PRICES_DOC_RAISES                                                   \
  "Raises\n"                                                                \
  "------\n"                                                                \
  "HttpError\n"                                                             \
  "    When a request fails or the service answers with an error status.\n" \
  "DataDecodingError\n"                                                     \
  "    When an answer is not JSON or not of the expected shape."

namespace prices {

// A price module's imports, in the order its body binds them: sys, the typing
// names, DataDecodingError, HttpSession, the helpers (with the module's
// interval type), the progress API and pandas as pd.
void import_names(pcrt::Module& m, const char* interval_type);
// Binds _normalize_symbols(symbols) and _render_progress(current, total, symbol).
void def_shared_functions(pcrt::Module& m);

// The parameters of the price fetchers, one table for all of them: the
// sequential and the concurrent fetchers of a kind take the same arguments.
inline constexpr pcrt::Param kSession = pcrt::arg("session", "HttpSession");
inline constexpr pcrt::Param kSymbol = pcrt::arg("symbol", "Union[str, Sequence[str]]");
inline constexpr pcrt::Param kStart = pcrt::arg("start", "Optional[str]", pcrt::Conv::OptStr, pcrt::none_default());
inline constexpr pcrt::Param kEnd = pcrt::arg("end", "Optional[str]", pcrt::Conv::OptStr, pcrt::none_default());
inline constexpr pcrt::Param kEodInterval = pcrt::arg("interval", "Interval", pcrt::Conv::Any, pcrt::str_default("1D"));
inline constexpr pcrt::Param kIntradayInterval = pcrt::arg("interval", "IntervalIntraday", pcrt::Conv::Any,
                                                           pcrt::str_default("1m"));
inline constexpr pcrt::Param kAdjusted = pcrt::arg("adjusted", "Optional[bool]", pcrt::Conv::OptExactBool,
                                                   pcrt::none_default());
inline constexpr pcrt::Param kShowProgress = pcrt::kwonly("show_progress", "bool", pcrt::Conv::Bool,
                                                          pcrt::bool_default(true));

// session, symbol, <own>..., *, <keyword_only>..., show_progress
inline std::vector<pcrt::Param> fetcher_params(std::initializer_list<pcrt::Param> own,
                                               std::initializer_list<pcrt::Param> keyword_only = {}) {
  std::vector<pcrt::Param> params{kSession, kSymbol};
  params.insert(params.end(), own);
  params.insert(params.end(), keyword_only);
  params.push_back(kShowProgress);
  return params;
}
// The end-of-day bars' parameters: session, symbol, start, end, interval="1D", *, ..., show_progress.
inline std::vector<pcrt::Param> eod_params(std::initializer_list<pcrt::Param> keyword_only = {}) {
  return fetcher_params({kStart, kEnd, kEodInterval}, keyword_only);
}
// The intraday bars' parameters: ..., interval="1m", adjusted=None, *, ..., show_progress.
inline std::vector<pcrt::Param> intraday_params(std::initializer_list<pcrt::Param> keyword_only = {}) {
  return fetcher_params({kStart, kEnd, kIntradayInterval, kAdjusted}, keyword_only);
}

// The texts a fetcher reports a malformed answer with.
struct Messages {
  const char* not_json;     // the body does not decode
  const char* not_object;   // the body is JSON but not an object
  const char* not_series;   // "data" missing or not an array
  const char* not_row;      // an element of "data" is not an object
};

extern const Messages kOhlcvMessages;
extern const Messages kOrderbookMessages;

// One kind of batch: where it goes, how the meter is labelled, what it says
// when an answer is malformed, and whether the frame is resampled.
struct BatchKind {
  const pcrt::Id& endpoint;  // module-level name holding the API path
  const char* label;         // progress meter label
  const Messages& messages;
  bool resampled;            // hand the frame to resample_ohlcv_multi(interval=...)
};

// One query parameter after "symbol"; a null value is not sent.
struct Query {
  const pcrt::Id& key;
  PyObject* value;
};

// The value of an optional text argument to send: the text when it is
// non-empty, else null (not sent).
PyObject* nonempty(PyObject* text);

// The query after "symbol" of an end-of-day request, and of an intraday one:
// the service is always asked for one-minute bars (the caller's interval is
// applied by the resampler) and `adjusted` goes as "true"/"false" when given.
// Shared by the sequential and the concurrent fetchers, which must ask alike.
std::array<Query, 3> eod_query(PyObject* interval, PyObject* start, PyObject* end);
std::array<Query, 4> intraday_query(PyObject* start, PyObject* end, PyObject* adjusted);

// Runs a batch for the fetcher being called (`names` are its module's):
// normalise `symbol`, start the meter, one GET per symbol with
// {"symbol": <symbol>, <query>...}, check each payload, tag every row with its
// symbol, then finish the meter and build the frame.
pcrt::Ref fetch_batch(const pcrt::ModuleNames& names, const BatchKind& kind, PyObject* session, PyObject* symbol,
                      std::span<const Query> query, PyObject* interval, bool show_progress);

// The per-symbol step of every batch, also run by the concurrent batch
// (private_core.bulkfetch) so that both produce the same rows: the query of
// one symbol, and the checked answer's rows appended to `rows`.
pcrt::Ref query_for(PyObject* symbol, std::span<const Query> query);
// `session` is the one the answer came from: its key is masked in the
// service's error text.
void append_answer(const pcrt::ModuleNames& names, PyObject* rows, PyObject* symbol, PyObject* response,
                   const Messages& messages, PyObject* session);

// The frame a batch returns for its rows: pd.DataFrame() when there are none,
// else _to_dataframe(rows), resampled to `interval` when the kind says so.
pcrt::Ref build_frame(const pcrt::ModuleNames& names, const BatchKind& kind, PyObject* rows, PyObject* interval);

}  // namespace prices
