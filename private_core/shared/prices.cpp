// The price modules' shared code: symbol cleaning, the plain-text progress
// line and the batch loop of the end-of-day, intraday and order-book fetchers.
#include "prices.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "pcrt/decoding.hpp"

namespace prices {
namespace {
using namespace pcrt;

// Module-level names, read at call time from the calling module.
const Id id_sys("sys"), id_Sequence("Sequence"), id_normalize_symbols("_normalize_symbols"),
    id_start_progress("start_progress"), id_update_progress("update_progress"), id_finish_progress("finish_progress"),
    id_pd("pd"), id_to_dataframe("_to_dataframe"), id_resample_ohlcv_multi("resample_ohlcv_multi");
// Attributes, methods, keywords and payload members.
const Id id_stdout("stdout"), id_write("write"), id_flush("flush"), id_get("get"), id_params("params"),
    id_json("json"), id_DataFrame("DataFrame"), id_interval("interval"), id_symbol("symbol"), id_error("error"),
    id_data("data"), id_api_key("api_key"), id_start("start"), id_end("end"), id_adjusted("adjusted");
const Id lit_empty(""), lit_newline("\n"), lit_3d("3d"), lit_one_minute("1m"), lit_true("true"), lit_false("false");

// Rows between two checks for a pending Ctrl-C inside one symbol's answer.
constexpr Py_ssize_t kSignalStride = 4096;

// ---------------------------------------------------------------------------
// Text helpers.

// "".join(pieces)
Ref join(Args pieces) {
  Ref items = tuple(pieces);
  return check(PyUnicode_Join(lit_empty.get(), items.get()));
}

bool blank(PyObject* text) { return PyUnicode_CheckExact(text) ? PyUnicode_GET_LENGTH(text) == 0 : !truthy(text); }

// ---------------------------------------------------------------------------

enum class NormalizeArg : std::size_t { symbols };

// A set of ASCII texts owned elsewhere: open addressing, no allocation per
// entry, so checking a symbol costs about what hashing it does.
class AsciiSet {
 public:
  static constexpr std::size_t kPresized = 1024;

  // Room for `expected` texts, up to kPresized: beyond that the table doubles
  // with the distinct texts inserted, so a long input naming few symbols
  // costs no table sized for its length.
  explicit AsciiSet(std::size_t expected) {
    std::size_t capacity = 16;
    while (capacity < std::min(expected, kPresized) * 2) capacity *= 2;
    slots_.resize(capacity);
  }

  // Where `text` is, or would go: hashed and probed once, then either known
  // or filled with fill() before any other insertion.
  struct Place {
    std::size_t index;
    std::uint32_t hash;
    bool found;
  };

  Place place(std::string_view text) const {
    const std::uint32_t h = hash(text);
    const std::size_t index = find(text, h);
    return {index, h, slots_[index].data != nullptr};
  }

  // Records `text` (which must spell what place() was asked for and outlive
  // the set) at the free slot place() found.
  void fill(const Place& place, std::string_view text) {
    slots_[place.index] = {text.data(), static_cast<std::uint32_t>(text.size()), place.hash};
    if (++used_ * 2 > slots_.size()) grow();
  }

 private:
  struct Slot {
    const char* data = nullptr;  // null: free
    std::uint32_t size = 0;
    std::uint32_t hash = 0;
  };

  static std::uint32_t hash(std::string_view text) {
    std::uint64_t h = 0xcbf29ce484222325ULL;  // FNV-1a
    for (char ch : text) h = (h ^ static_cast<unsigned char>(ch)) * 0x100000001b3ULL;
    return static_cast<std::uint32_t>(h ^ (h >> 29));
  }

  // The slot holding `text`, or the free slot where it belongs.
  std::size_t find(std::string_view text, std::uint32_t h) const {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = h & mask;; i = (i + 1) & mask) {
      const Slot& slot = slots_[i];
      if (slot.data == nullptr) return i;
      if (slot.hash == h && slot.size == text.size() && std::memcmp(slot.data, text.data(), text.size()) == 0) {
        return i;
      }
    }
  }

  void grow() {
    std::vector<Slot> old(slots_.size() * 2);
    old.swap(slots_);
    for (const Slot& slot : old) {
      if (slot.data != nullptr) slots_[find({slot.data, slot.size}, slot.hash)] = slot;
    }
  }

  std::vector<Slot> slots_;
  std::size_t used_ = 0;
};

// The symbols already taken.  While every one is an exact ASCII str (the
// normal case) they are compared by content, so a duplicate is recognised
// before any object is made for it; the first symbol of another kind moves
// every comparison to a Python set, with the interpreter's equality.
class SeenSymbols {
 public:
  explicit SeenSymbols(std::size_t expected) : ascii_(expected) {}

  // Appends the ASCII symbol spelt `text` unless it was taken already; its
  // object comes from `make` (called only for a new symbol) and must spell
  // `text`.
  template <typename Make>
  void take_ascii(PyObject* result, std::string_view text, Make make) {
    if (set_) return take_object(result, make());
    const AsciiSet::Place place = ascii_.place(text);
    if (place.found) return;
    Ref symbol = make();
    list_append(result, symbol.get());
    ascii_.fill(place, ascii_view(symbol.get()));  // the list keeps the text alive
  }

  // Appends `symbol` (not an exact ASCII str) unless it was taken already.
  void take_object(PyObject* result, Ref symbol) {
    if (!set_) set_ = check(PySet_New(result));
    if (check(PySet_Contains(set_.get(), symbol.get()))) return;
    check(PySet_Add(set_.get(), symbol.get()));
    list_append(result, symbol.get());
  }

  static std::string_view ascii_view(PyObject* text) {
    return {reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(text)),
            static_cast<std::size_t>(PyUnicode_GET_LENGTH(text))};
  }

 private:
  AsciiSet ascii_;
  Ref set_;
};

constexpr std::size_t kShortSymbol = 64;

// One element of a symbol sequence.  A short exact ASCII str is trimmed and
// upper-cased in one pass on the stack, and becomes an object only when it is
// new; anything else goes through strip() and upper().
void take_element(SeenSymbols& seen, PyObject* result, PyObject* element) {
  if (PyUnicode_CheckExact(element) && PyUnicode_IS_ASCII(element) &&
      static_cast<std::size_t>(PyUnicode_GET_LENGTH(element)) <= kShortSymbol) {
    const std::string_view raw = SeenSymbols::ascii_view(element);
    const std::string_view trimmed = strip_ascii(raw);
    if (trimmed.empty()) return;
    char buffer[kShortSymbol];
    const bool upper_cased = upper_ascii_into(trimmed, buffer);
    const std::string_view cleaned(buffer, trimmed.size());
    const bool as_given = !upper_cased && trimmed.size() == raw.size();
    return seen.take_ascii(result, cleaned, [&] { return as_given ? Ref::borrow(element) : ascii_str(cleaned); });
  }
  Ref cleaned = str_strip(element);
  if (blank(cleaned.get())) return;
  Ref symbol = str_upper(cleaned.get());
  if (PyUnicode_CheckExact(symbol.get()) && PyUnicode_IS_ASCII(symbol.get())) {
    return seen.take_ascii(result, SeenSymbols::ascii_view(symbol.get()), [&] { return symbol; });
  }
  seen.take_object(result, std::move(symbol));
}

// Duplicates are judged on the cleaned symbol, keeping the first occurrence
// and the caller's order: "vnm" and " VNM" are one symbol, fetched once, and
// a batch runs in the same order in every process.
Ref prices_normalize_symbols(Call& c) {
  PyObject* symbols = c[NormalizeArg::symbols];
  if (PyUnicode_Check(symbols)) {
    Ref cleaned = str_strip(symbols);
    if (blank(cleaned.get())) raise(PyExc_ValueError, "symbol must not be empty.");
    Ref result = new_list(1);
    PyList_SET_ITEM(result.get(), 0, str_upper(cleaned.get()).release());
    return result;
  }
  Ref sequence_abc = c.global(id_Sequence);
  if (!isinstance(symbols, sequence_abc.get()) || PyBytes_Check(symbols)) {
    raise(PyExc_TypeError, "symbol must be a string or a sequence of strings.");
  }
  Ref result = new_list();
  // A list's or tuple's length is a hint for the first table; asking any
  // other sequence would run its code.
  const Py_ssize_t expected = PyList_CheckExact(symbols)    ? PyList_GET_SIZE(symbols)
                              : PyTuple_CheckExact(symbols) ? PyTuple_GET_SIZE(symbols)
                                                            : 0;
  SeenSymbols seen(static_cast<std::size_t>(expected));
  if (PyList_CheckExact(symbols)) {
    // Indexed, as a list iterator walks it: the size is read on every pass.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(symbols); ++i) {
      Ref element = Ref::borrow(PyList_GET_ITEM(symbols, i));
      if (!PyUnicode_Check(element.get())) raise(PyExc_TypeError, "All symbols in the sequence must be strings.");
      take_element(seen, result.get(), element.get());
    }
  } else {
    Ref iterator = check(PyObject_GetIter(symbols));
    while (Ref element = Ref::steal_or_null(PyIter_Next(iterator.get()))) {
      if (!PyUnicode_Check(element.get())) raise(PyExc_TypeError, "All symbols in the sequence must be strings.");
      take_element(seen, result.get(), element.get());
    }
    if (PyErr_Occurred()) raised();
  }
  if (PyList_GET_SIZE(result.get()) == 0) {
    raise(PyExc_ValueError, "symbol sequence must contain at least one non-empty string.");
  }
  return result;
}

enum class RenderArg : std::size_t { current, total, symbol };

void write_stdout(const Call& c, PyObject* text) {
  Ref sys = c.global(id_sys);
  Ref out = getattr(sys.get(), id_stdout);
  call_method(out.get(), id_write, {text});
  out = getattr(sys.get(), id_stdout);
  call_method(out.get(), id_flush);
}

// Python's arithmetic on the converted ints throughout, so huge or negative
// counts draw (or fail) exactly as the interpreter would.
Ref prices_render_progress(Call& c) {
  PyObject* current = c[RenderArg::current];
  PyObject* total = c[RenderArg::total];
  Ref zero = integer(0);
  if (check(PyObject_RichCompareBool(total, zero.get(), Py_LE))) return none();
  Ref bar_width = integer(49);
  Ref percent = check(PyNumber_TrueDivide(current, total));
  Ref filled = check(PyNumber_Long(check(PyNumber_Multiply(bar_width.get(), percent.get())).get()));
  Ref empty = check(PyNumber_Subtract(bar_width.get(), filled.get()));
  Ref stars = check(PyNumber_Multiply(str("*").get(), filled.get()));
  Ref blanks = check(PyNumber_Multiply(str(" ").get(), empty.get()));
  Ref hundred = integer(100);
  Ref pct = check(PyNumber_Long(check(PyNumber_Multiply(percent.get(), hundred.get())).get()));
  Ref pct_text = check(PyObject_Format(pct.get(), lit_3d.get()));
  Ref line = join({str("\r[").get(), stars.get(), blanks.get(), str("] ").get(), pct_text.get(), str("%  ").get(),
                   check(PyObject_Str(current)).get(), str(" of ").get(), check(PyObject_Str(total)).get(),
                   str(" completed | ").get(), c[RenderArg::symbol]});
  write_stdout(c, line.get());
  if (check(PyObject_RichCompareBool(current, total, Py_EQ))) write_stdout(c, lit_newline.get());
  return none();
}

// ---------------------------------------------------------------------------
// The batch loop.

// response.json(); a body that does not decode, including one nested deeper
// than the decoder can follow, is the service's fault, not the caller's.
Ref decode(const ModuleNames& names, PyObject* response, const Messages& messages) {
  try {
    return call_method(response, id_json);
  } catch (const Raised&) {
    Ref cause = catch_json_error();
    Ref error;
    {
      Handling handling(cause.get());
      error = decoding_error(names, str(messages.not_json).get());
    }
    raise_from(std::move(error), std::move(cause));
  }
}

// payload.get(key); a plain dict is read directly.
Ref member(PyObject* payload, const Id& key) {
  if (!PyDict_CheckExact(payload)) return call_method(payload, id_get, {key.get()});
  Ref value = dict_get(payload, key);
  return value ? value : none();
}

}  // namespace

// The per-symbol step, shared with the concurrent batch (see prices.hpp).
Ref query_for(PyObject* symbol, std::span<const Query> query) {
  Ref params = new_dict_sized(static_cast<Py_ssize_t>(query.size()) + 1);
  dict_set(params.get(), id_symbol, symbol);
  for (const Query& q : query) {
    if (q.value != nullptr) dict_set(params.get(), q.key, q.value);
  }
  return params;
}

// {"symbol": symbol, **element}, appended to `rows`.
void append_row(const ModuleNames& names, PyObject* rows, PyObject* symbol, PyObject* element, const Messages& messages) {
  if (!PyDict_Check(element)) raise_decoding(names, messages.not_row);
  // Sized for every member up front, so the row never grows while filled.
  Ref row = new_dict_sized(PyDict_GET_SIZE(element) + 1);
  dict_set(row.get(), id_symbol, symbol);
  check(PyDict_Update(row.get(), element));
  list_append(rows, row.get());
}

// Every element of `data` as a row {"symbol": symbol, **element}.
void append_rows(const ModuleNames& names, PyObject* rows, PyObject* symbol, PyObject* data, const Messages& messages) {
  if (!PyList_CheckExact(data)) {
    // A list subclass may iterate its own way, as `for element in data` would honour.
    Ref iterator = check(PyObject_GetIter(data));
    for (Py_ssize_t i = 0; Ref element = Ref::steal_or_null(PyIter_Next(iterator.get())); ++i) {
      if (i % kSignalStride == kSignalStride - 1) check(PyErr_CheckSignals());
      append_row(names, rows, symbol, element.get(), messages);
    }
    if (PyErr_Occurred()) raised();
    return;
  }
  // The size is read on every pass: a dict subclass's keys() may change the list.
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(data); ++i) {
    if (i % kSignalStride == kSignalStride - 1) check(PyErr_CheckSignals());
    Ref element = Ref::borrow(PyList_GET_ITEM(data, i));
    append_row(names, rows, symbol, element.get(), messages);
  }
}

// The service's error text as the message quotes it.  Services echo the
// request, so the session's key (when it has an `api_key` text) is masked
// wherever it stands as a token of its own.
Ref shown_error(PyObject* value, PyObject* session) {
  Ref text = check(PyObject_Str(value));
  Ref api_key = getattr_opt(session, id_api_key);
  return api_key ? mask_token(text.get(), api_key.get()) : text;
}

void append_answer(const ModuleNames& names, PyObject* rows, PyObject* symbol, PyObject* response,
                   const Messages& messages, PyObject* session) {
  Ref payload = decode(names, response, messages);
  if (!PyDict_Check(payload.get())) raise_decoding(names, messages.not_object);
  Ref error = member(payload.get(), id_error);
  if (truthy(error.get())) {
    Ref value = PyDict_CheckExact(payload.get()) ? error : check(PyObject_GetItem(payload.get(), id_error.get()));
    Ref message = join({str("Backend returned error for ").get(), check(PyObject_Str(symbol)).get(), str(": ").get(),
                        shown_error(value.get(), session).get()});
    raise_decoding(names, message.get());
  }
  Ref data = member(payload.get(), id_data);
  if (!PyList_Check(data.get())) raise_decoding(names, messages.not_series);
  append_rows(names, rows, symbol, data.get(), messages);
}

const Messages kOhlcvMessages{"Unable to decode OHLCV response as JSON",
                              "Unexpected payload structure for OHLCV response.",
                              "Unexpected payload format for OHLCV series.", "Each OHLCV row must be a dictionary."};
const Messages kOrderbookMessages{"Unable to decode orderbook response as JSON",
                                  "Unexpected payload structure for orderbook response.",
                                  "Unexpected payload format for orderbook series.",
                                  "Each orderbook row must be a dictionary."};

const FnSpec kNormalizeSymbols{"_normalize_symbols",
                               prices_normalize_symbols,
                               {arg("symbols", "Union[str, Sequence[str]]")},
                               "List[str]",
                               "Normalise symbol input to an upper-case list without duplicates."};

const FnSpec kRenderProgress{"_render_progress",
                             prices_render_progress,
                             {arg("current", "int", Conv::Int), arg("total", "int", Conv::Int),
                              arg("symbol", "str", Conv::Str)},
                             "None",
                             "Draw a one-line text progress bar on standard output."};

void import_names(Module& m, const char* interval_type) {
  m.import("sys");
  m.import_from("typing", {"Any", "Dict", "List", "Optional", "Sequence", "Union"});
  m.import_from("tessaro.exceptions", {"DataDecodingError"});
  m.import_relative("wirelink", {"HttpSession"});
  m.import_relative("helpers", {interval_type, "_to_dataframe", "resample_ohlcv_multi"});
  m.import_relative("progress", {"start_progress", "update_progress", "finish_progress"});
  m.import("pandas", "pd");
}

void def_shared_functions(Module& m) {
  m.def(kNormalizeSymbols);
  m.def(kRenderProgress);
}

PyObject* nonempty(PyObject* text) { return text != Py_None && PyUnicode_GET_LENGTH(text) != 0 ? text : nullptr; }

std::array<Query, 3> eod_query(PyObject* interval, PyObject* start, PyObject* end) {
  return {{{id_interval, interval}, {id_start, nonempty(start)}, {id_end, nonempty(end)}}};
}

std::array<Query, 4> intraday_query(PyObject* start, PyObject* end, PyObject* adjusted) {
  PyObject* adjusted_text = adjusted == Py_None ? nullptr : (adjusted == Py_True ? lit_true : lit_false).get();
  return {{{id_interval, lit_one_minute.get()},
           {id_start, nonempty(start)},
           {id_end, nonempty(end)},
           {id_adjusted, adjusted_text}}};
}

Ref fetch_batch(const ModuleNames& names, const BatchKind& kind, PyObject* session, PyObject* symbol,
                std::span<const Query> query, PyObject* interval, bool show_progress) {
  Ref symbols = call(names.get(id_normalize_symbols).get(), {symbol});
  Ref total = integer(check_size(PyObject_Size(symbols.get())));
  Ref rows = new_list();
  call(names.get(id_start_progress).get(), {total.get(), str(kind.label).get()});

  Ref iterator = check(PyObject_GetIter(symbols.get()));
  long long index = 0;
  while (Ref sym = Ref::steal_or_null(PyIter_Next(iterator.get()))) {
    ++index;
    // Every pass gives Ctrl-C its chance: with quick answers the loop may
    // never run Python code of its own between two symbols.
    check(PyErr_CheckSignals());
    Ref params = query_for(sym.get(), query);
    Ref endpoint = names.get(kind.endpoint);
    Ref response = call_method(session, id_get, {endpoint.get()}, {{id_params, params.get()}});
    append_answer(names, rows.get(), sym.get(), response.get(), kind.messages, session);
    if (show_progress) call(names.get(id_update_progress).get(), {integer(index).get()});
  }
  if (PyErr_Occurred()) raised();
  call(names.get(id_finish_progress).get());

  return build_frame(names, kind, rows.get(), interval);
}

Ref build_frame(const ModuleNames& names, const BatchKind& kind, PyObject* rows, PyObject* interval) {
  if (PyList_GET_SIZE(rows) == 0) {
    Ref pd = names.get(id_pd);
    return call_method(pd.get(), id_DataFrame);
  }
  Ref frame = call(names.get(id_to_dataframe).get(), {rows});
  if (!kind.resampled) return frame;
  return call(names.get(id_resample_ohlcv_multi).get(), {frame.get()}, {{id_interval, interval}});
}

}  // namespace prices
