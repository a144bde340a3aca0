// The investor bridge's resampler: each identifier's rows summed into buckets
// of the caller's interval, every bucket of the identifier's date range
// present, the identifier and descriptive columns carried along.
//
// One behaviour, two renderings.  The per-group algorithm (one pandas
// resample per identifier) holds for every input.  The vectorised one (one
// groupby over identifier and bucket, then every group's empty buckets
// restored) gives the same frame several times faster, but only where the
// frame shows that it may: otherwise it declines and the per-group algorithm
// runs.  Both share the preparation of the rows and the final sort.
#include <algorithm>
#include <cstdint>
#include <string_view>
#include <vector>

#include "resample.hpp"

namespace investor {
namespace {
using namespace pcrt;

const Id id_pd("pd"), id_strict_str("_strict_str"), id_ID_FIELD("_ID_FIELD"), id_get("get"), id_date("date"),
    id_columns("columns"), id_empty("empty"), id_dropna("dropna"), id_subset("subset"), id_copy("copy"),
    id_to_datetime("to_datetime"), id_errors("errors"), id_unit("unit"), id_apply("apply"), id_Series("Series"),
    id_groupby("groupby"), id_select_dtypes("select_dtypes"), id_include("include"), id_tolist("tolist"),
    id_api("api"), id_types("types"), id_dtype("dtype"), id_set_index("set_index"), id_resample("resample"),
    id_sum("sum"), id_min_count("min_count"), id_rename_axis("rename_axis"), id_reset_index("reset_index"),
    id_iloc("iloc"), id_concat("concat"), id_ignore_index("ignore_index"), id_offsets("offsets"), id_Tick("Tick"),
    id_nanos("nanos"), id_n("n"), id_normalize("normalize"), id_DataFrame("DataFrame"), id_index("index"),
    id_RangeIndex("RangeIndex"), id_isna("isna"), id_sort_values("sort_values"), id_take("take"), id_freq("freq"),
    id_DatetimeIndex("DatetimeIndex"), id_size("size"), id_factorize("factorize"), id_tseries("tseries"),
    id_frequencies("frequencies"), id_is_unique("is_unique"), id_array("array"), id_MultiIndex("MultiIndex"),
    id_from_arrays("from_arrays"), id_reindex("reindex"), id_drop("drop"), id_insert("insert"),
    id_to_numpy("to_numpy");

// The rows and columns that the resampling works on.
struct Prepared {
  Ref working;     // rows with parsed dates and usable identifiers
  PyObject* date_col = nullptr;
  Ref id_col;      // null without an identifier column
  Ref value_cols;  // list of the numeric columns
  Ref described;   // list of every other column, in frame order
};

// [a, b]
Ref pair_list(PyObject* a, PyObject* b) {
  Ref out = new_list(2);
  PyList_SET_ITEM(out.get(), 0, Py_NewRef(a));
  PyList_SET_ITEM(out.get(), 1, Py_NewRef(b));
  return out;
}

// The values of an integer array, as the layout below reads them.
std::vector<std::int64_t> int64_values(PyObject* array) {
  Ref items = call_method(array, id_tolist);
  std::vector<std::int64_t> out(static_cast<std::size_t>(PyList_GET_SIZE(items.get())));
  for (std::size_t i = 0; i < out.size(); ++i) {
    out[i] = as_long_long(PyList_GET_ITEM(items.get(), static_cast<Py_ssize_t>(i)));
  }
  return out;
}

// An int64 numpy array holding `values`.
Ref int64_array(const std::vector<std::int64_t>& values) {
  static const Id id_frombuffer("frombuffer"), id_int64("int64");
  Ref buffer = check(PyByteArray_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                                   static_cast<Py_ssize_t>(values.size() * sizeof(std::int64_t))));
  return call_method(import("numpy").get(), id_frombuffer, {buffer.get()}, {{id_dtype, id_int64.get()}});
}

bool is_empty(PyObject* frame) { return truthy(getattr(frame, id_empty).get()); }

// The identifier column: the namespace's own field, then the usual names.
Ref identifier_column(PyObject* self, PyObject* columns, PyObject* ns) {
  static const Id id_symbol("symbol"), id_icb("icb"), id_code("code"), id_ticker("ticker");
  Ref field = call_method(getattr(self, id_ID_FIELD).get(), id_get, {ns});
  for (PyObject* candidate : {field.get(), id_symbol.get(), id_icb.get(), id_code.get(), id_ticker.get()}) {
    if (candidate != Py_None && contains(columns, candidate)) return Ref::borrow(candidate);
  }
  return Ref();
}

// Usable rows: parsed dates, cleaned identifiers.  False when the frame is
// to be returned as given.
bool prepare_rows(Call& c, PyObject* frame, PyObject* ns, Prepared& p) {
  static const Id id_Date("Date"), id_coerce("coerce"), id_empty_text("");
  Ref pd = c.global(id_pd);
  if (is_empty(frame)) return false;
  Ref columns = getattr(frame, id_columns);
  p.date_col = contains(columns.get(), id_date.get())   ? id_date.get()
               : contains(columns.get(), id_Date.get()) ? id_Date.get()
                                                        : nullptr;
  if (p.date_col == nullptr) return false;
  Ref subset = new_list(1);
  PyList_SET_ITEM(subset.get(), 0, Py_NewRef(p.date_col));
  Ref working = call_method(frame, id_dropna, {}, {{id_subset, subset.get()}});
  if (is_empty(working.get())) return false;
  working = call_method(working.get(), id_copy);
  Ref parsed = call_method(pd.get(), id_to_datetime, {get_item(working.get(), p.date_col).get()},
                           {{id_errors, id_coerce.get()}});
  put_column(working.get(), p.date_col, parsed.get());
  working = call_method(working.get(), id_dropna, {}, {{id_subset, subset.get()}});
  if (is_empty(working.get())) return false;

  p.id_col = identifier_column(c.self(), getattr(working.get(), id_columns).get(), ns);
  if (p.id_col) {
    Ref column = get_item(working.get(), p.id_col.get());
    // A name that labels two columns: pandas refuses to group by it, and so
    // do we, with its own error.
    if (!isinstance(column.get(), getattr(pd.get(), id_Series).get()))
      call_method(working.get(), id_groupby, {p.id_col.get()});
    Ref cleaned = call_method(column.get(), id_apply, {c.global(id_strict_str).get()});
    put_column(working.get(), p.id_col.get(), cleaned.get());
    Ref keep = check(PyObject_RichCompare(cleaned.get(), id_empty_text.get(), Py_NE));
    working = get_item(working.get(), keep.get());
  }
  p.working = std::move(working);
  return true;
}

// Value columns (numeric, except the identifier) and descriptive columns
// (the rest but the date).  False without value columns.
bool split_columns(Prepared& p) {
  static const Id id_number("number");
  Ref numeric = call_method(p.working.get(), id_select_dtypes, {}, {{id_include, id_number.get()}});
  Ref names = call_method(getattr(numeric.get(), id_columns).get(), id_tolist);
  auto is_id = [&](PyObject* name) {
    return p.id_col && equals(name, p.id_col.get());
  };
  p.value_cols = new_list();
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names.get()); ++i) {
    if (!is_id(PyList_GET_ITEM(names.get(), i))) list_append(p.value_cols.get(), PyList_GET_ITEM(names.get(), i));
  }
  if (PyList_GET_SIZE(p.value_cols.get()) == 0) return false;
  Ref all = call_method(getattr(p.working.get(), id_columns).get(), id_tolist);
  p.described = new_list();
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(all.get()); ++i) {
    PyObject* name = PyList_GET_ITEM(all.get(), i);
    if (!equals(name, p.date_col) && !is_id(name) && !contains(p.value_cols.get(), name))
      list_append(p.described.get(), name);
  }
  return true;
}

// "M" (a month) is spelled "ME" to pandas: 2.2 warns about the bare letter
// and later releases refuse it.  "1M" keeps its meaning of calendar months
// labelled with their last day.
Ref month_rule(PyObject* rule) {
  std::string_view text = utf8(rule);
  std::size_t digits = (!text.empty() && (text[0] == '+' || text[0] == '-')) ? 1 : 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
  if (digits + 1 != text.size() || text.back() != 'M') return Ref::borrow(rule);
  return str_concat(rule, str("E").get());
}

// ---- the per-group algorithm

// A group's value as every row of its result carries it.  A list or mapping
// is held whole in each cell: assigned bare, pandas would spread it over the
// rows or refuse it for its length.
Ref carried(PyObject* pd, PyObject* value, Py_ssize_t rows) {
  static const Id id_is_list_like("is_list_like"), id_empty_array("empty"), id_fill("fill"), id_object("object");
  Ref api_types = getattr(getattr(pd, id_api).get(), id_types);
  if (PyUnicode_Check(value) || !truthy(call_method(api_types.get(), id_is_list_like, {value}).get())) {
    return Ref::borrow(value);
  }
  Ref np = import("numpy");
  Ref cells = call_method(np.get(), id_empty_array, {integer(rows).get()}, {{id_dtype, id_object.get()}});
  call_method(cells.get(), id_fill, {value});
  return cells;
}

// One group's buckets: sums, the identifier, the descriptive values.  Null
// when the group gives no bucket.
Ref resample_group(Call& c, const Prepared& p, PyObject* rule, PyObject* key, PyObject* rows) {
  Ref pd = c.global(id_pd);
  Ref indexed = get_item(call_method(rows, id_set_index, {p.date_col}).get(), p.value_cols.get());
  Ref sums = call_method(call_method(indexed.get(), id_resample, {rule}).get(), id_sum, {},
                         {{id_min_count, integer(1).get()}});
  if (is_empty(sums.get())) return Ref();
  Ref part = call_method(call_method(sums.get(), id_rename_axis, {p.date_col}).get(), id_reset_index);
  if (p.id_col && key != Py_None) {
    put_column(part.get(), p.id_col.get(), call(c.global(id_strict_str).get(), {key}).get());
  }
  const Py_ssize_t count = check_size(PyObject_Length(part.get()));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(p.described.get()); ++i) {
    PyObject* name = PyList_GET_ITEM(p.described.get(), i);
    Ref first = get_item(getattr(get_item(rows, name).get(), id_iloc).get(), integer(0).get());
    put_column(part.get(), name, carried(pd.get(), first.get(), count).get());
  }
  return part;
}

// Every group resampled on its own, the parts concatenated.  Null when no
// group gives a bucket.
Ref resample_per_group(Call& c, const Prepared& p, PyObject* rule) {
  static const Id id_group_keys("group_keys");
  Ref pd = c.global(id_pd);
  Ref groups;
  if (p.id_col) {
    groups = call_method(p.working.get(), id_groupby, {p.id_col.get()}, {{id_group_keys, Py_False}});
  } else {
    groups = new_list();
    list_append(groups.get(), tuple({Py_None, p.working.get()}).get());
  }
  Ref parts = new_list();
  Ref iterator = check(PyObject_GetIter(groups.get()));
  while (Ref group = Ref::steal_or_null(PyIter_Next(iterator.get()))) {
    if (PyErr_CheckSignals() < 0) raised();
    Ref key = check(PySequence_GetItem(group.get(), 0));
    Ref rows = check(PySequence_GetItem(group.get(), 1));
    if (Ref part = resample_group(c, p, rule, key.get(), rows.get())) list_append(parts.get(), part.get());
  }
  if (PyErr_Occurred()) raised();
  if (PyList_GET_SIZE(parts.get()) == 0) return Ref();
  return call(getattr(pd.get(), id_concat).get(), {parts.get()}, {{id_ignore_index, Py_True}});
}

// ---- the vectorised rendering

// Whether every group's resample bins on one calendar grid, so that one
// groupby over the whole frame finds each group's buckets.  pandas anchors
// the buckets of a multiple (2W, 3D, 5h, 2ME) at each group's first day, and
// lays sub-daily buckets of a zoned frame out from each group's local
// midnight, which a clock change moves; neither is shared.
bool grid_is_shared(PyObject* pd, PyObject* offset, bool zoned) {
  static const Id id_Week("Week"), id_weekday("weekday");
  constexpr long long kDayNanos = 86'400'000'000'000LL;
  Ref offsets = getattr(pd, id_offsets);
  if (isinstance(offset, getattr(offsets.get(), id_Tick).get())) {
    const long long nanos = as_long_long(getattr(offset, id_nanos).get());
    return !zoned && nanos > 0 && kDayNanos % nanos == 0;
  }
  if (!equals(getattr(offset, id_n).get(), integer(1).get())) return false;
  if (isinstance(offset, getattr(offsets.get(), id_Week).get())) return getattr(offset, id_weekday).get() != Py_None;
  for (const char* anchored : {"Day", "MonthEnd", "MonthBegin", "QuarterEnd", "QuarterBegin", "YearEnd", "YearBegin"}) {
    Ref cls = check(PyObject_GetAttrString(offsets.get(), anchored));
    if (isinstance(offset, cls.get())) return true;
  }
  return false;
}

// Whether a stamp lies at the last instant of its (local) day.  pandas keeps
// one more, empty bucket after a group whose last stamp closes a week, month,
// quarter or year bucket; the shared grid cannot tell which group that is.
bool any_at_day_end(PyObject* pd, PyObject* dates, bool zoned) {
  static const Id id_dt("dt"), id_tz_localize("tz_localize"), id_Timedelta("Timedelta"), id_any("any");
  Ref wall = zoned ? call_method(getattr(dates, id_dt).get(), id_tz_localize, {Py_None}) : Ref::borrow(dates);
  Ref unit = getattr(getattr(wall.get(), id_dt).get(), id_unit);
  Ref instant = call(getattr(pd, id_Timedelta).get(), {integer(1).get()}, {{id_unit, unit.get()}});
  Ref next = check(PyNumber_Add(wall.get(), instant.get()));
  Ref midnight = call_method(getattr(next.get(), id_dt).get(), id_normalize);
  return truthy(call_method(check(PyObject_RichCompare(next.get(), midnight.get(), Py_EQ)).get(), id_any).get());
}

// The dtype of a column that `frame[name] = value` makes on one row.
Ref stored_dtype(PyObject* pd, PyObject* value) {
  static const Id id_probe("probe"), id_dtypes("dtypes");
  Ref frame = call(getattr(pd, id_DataFrame).get(), {},
                   {{id_index, call(getattr(pd, id_RangeIndex).get(), {integer(1).get()}).get()}});
  put_column(frame.get(), id_probe.get(), value);
  return get_item(getattr(getattr(frame.get(), id_dtypes).get(), id_iloc).get(), integer(0).get());
}

// Whether broadcasting each group's first value, as the per-group algorithm
// does, gives the values in the column's own dtype, so that taking them is
// the same column: none missing, an object column only of plain texts, and a
// dtype that pandas stores such a value in.
bool carried_unchanged(PyObject* pd, PyObject* firsts) {
  static const Id id_any("any");
  if (truthy(call_method(call_method(firsts, id_isna).get(), id_any).get())) return false;
  Ref dtype = getattr(firsts, id_dtype);
  if (equals(dtype.get(), reinterpret_cast<PyObject*>(&PyBaseObject_Type))) {
    Ref values = call_method(firsts, id_tolist);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values.get()); ++i) {
      if (!PyUnicode_CheckExact(PyList_GET_ITEM(values.get(), i))) return false;
    }
  }
  Ref first = get_item(getattr(firsts, id_iloc).get(), integer(0).get());
  return equals(stored_dtype(pd, first.get()).get(), dtype.get());
}

// Whether each group key is a text that the cleaning function leaves as it
// is: the per-group algorithm cleans the key once more for the result.
bool keys_clean_to_themselves(Call& c, PyObject* keys) {
  Ref strict_str = c.global(id_strict_str);
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys); ++i) {
    PyObject* key = PyList_GET_ITEM(keys, i);
    if (!PyUnicode_CheckExact(key)) return false;
    Ref again = call(strict_str.get(), {key});
    if (!PyUnicode_CheckExact(again.get()) || PyUnicode_Compare(again.get(), key) != 0) return false;
  }
  return true;
}

// Result rows: for each group, every bucket from its first to its last.
// `codes` (ascending) and `positions` give the group and grid position of
// each non-empty bucket, in group, then bucket order.
struct Layout {
  std::vector<std::int64_t> group, bucket;
};

Layout lay_out(const std::vector<std::int64_t>& codes, const std::vector<std::int64_t>& positions) {
  Layout out;
  for (std::size_t k = 0; k < codes.size();) {
    std::size_t last = k;
    while (last + 1 < codes.size() && codes[last + 1] == codes[k]) ++last;
    for (std::int64_t b = positions[k]; b <= positions[last]; ++b) {
      out.group.push_back(codes[k]);
      out.bucket.push_back(b);
    }
    k = last + 1;
  }
  return out;
}

// A column of `values` in `dtype`, on the result's fresh index.
Ref column_of(PyObject* pd, PyObject* values, PyObject* dtype) {
  return call(getattr(pd, id_Series).get(), {values}, {{id_dtype, dtype}});
}

// The groups' first rows, one per group in ascending key order, with their
// keys.  Null when a key or a carried value rules the vectorised path out.
Ref first_rows(Call& c, const Prepared& p, PyObject* pd) {
  static const Id id_drop_duplicates("drop_duplicates"), id_head("head");
  Ref firsts;
  if (p.id_col) {
    Ref subset = new_list(1);
    PyList_SET_ITEM(subset.get(), 0, p.id_col.new_ref());
    firsts = call_method(p.working.get(), id_drop_duplicates, {}, {{id_subset, subset.get()}});
    Ref keys = call_method(get_item(firsts.get(), p.id_col.get()).get(), id_tolist);
    if (!keys_clean_to_themselves(c, keys.get())) return Ref();
    firsts = call_method(firsts.get(), id_sort_values, {p.id_col.get()});
  } else {
    firsts = call_method(p.working.get(), id_head, {integer(1).get()});
  }
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(p.described.get()); ++i) {
    if (!carried_unchanged(pd, get_item(firsts.get(), PyList_GET_ITEM(p.described.get(), i)).get())) return Ref();
  }
  return firsts;
}

// Sums of every non-empty (identifier, bucket) pair, their groups and grid
// positions, and the grid.  False when a bucket falls off the grid.
struct Buckets {
  Ref sums, grid;
  std::vector<std::int64_t> codes, positions;
};

bool sum_buckets(const Prepared& p, PyObject* pd, PyObject* rule, PyObject* dates, Buckets& out) {
  static const Id id_Grouper("Grouper"), id_key("key"), id_argmin("argmin"), id_argmax("argmax"),
      id_get_indexer("get_indexer"), id_get_level_values("get_level_values");
  Ref grouper = call(getattr(pd, id_Grouper).get(), {}, {{id_key, p.date_col}, {id_freq, rule}});
  Ref by = p.id_col ? pair_list(p.id_col.get(), grouper.get()) : grouper;
  // pandas sums these buckets with compensated summation; a group's own
  // resample sums plainly when its floats hold no NaN.  The two agree to the
  // rounding of the last bits, not always bit for bit.
  Ref grouped = get_item(call_method(p.working.get(), id_groupby, {by.get()}).get(), p.value_cols.get());
  out.sums = call_method(grouped.get(), id_sum, {}, {{id_min_count, integer(1).get()}});
  // The grid is pandas' own binning of the whole span, as one group over
  // every stamp would get it.
  Ref ends = call_method(dates, id_take,
                         {pair_list(call_method(dates, id_argmin).get(), call_method(dates, id_argmax).get()).get()});
  Ref span = call(getattr(pd, id_Series).get(), {integer(0).get()},
                  {{id_index, call(getattr(pd, id_DatetimeIndex).get(), {ends.get()}).get()}});
  out.grid = getattr(call_method(call_method(span.get(), id_resample, {rule}).get(), id_size).get(), id_index);
  Ref index = getattr(out.sums.get(), id_index);
  Ref labels = p.id_col ? call_method(index.get(), id_get_level_values, {integer(1).get()}) : index;
  out.positions = int64_values(call_method(out.grid.get(), id_get_indexer, {labels.get()}).get());
  if (p.id_col) {
    Ref keys = call_method(index.get(), id_get_level_values, {integer(0).get()});
    out.codes = int64_values(PyTuple_GET_ITEM(call_method(pd, id_factorize, {keys.get()}).get(), 0));
  } else {
    out.codes.assign(out.positions.size(), 0);
  }
  return std::find(out.positions.begin(), out.positions.end(), -1) == out.positions.end();
}

// Whether the rule and the stamps let one groupby stand for a resample per group.
bool grid_applies(PyObject* pd, const Prepared& p, PyObject* rule, PyObject* dates) {
  static const Id id_tz("tz"), id_dt("dt"), id_to_offset("to_offset");
  if (is_empty(p.working.get()) || !truthy(getattr(getattr(p.working.get(), id_columns).get(), id_is_unique).get())) {
    return false;
  }
  const bool zoned = getattr(getattr(dates, id_dt).get(), id_tz).get() != Py_None;
  Ref frequencies = getattr(getattr(pd, id_tseries).get(), id_frequencies);
  Ref offset = call_method(frequencies.get(), id_to_offset, {rule});
  return grid_is_shared(pd, offset.get(), zoned) && !any_at_day_end(pd, dates, zoned);
}

// The result: every group's buckets with their sums, then the identifier
// and the descriptive columns from the groups' first rows.
Ref assemble(PyObject* pd, const Prepared& p, PyObject* firsts, const Buckets& buckets) {
  Layout layout = lay_out(buckets.codes, buckets.positions);
  Ref groups = int64_array(layout.group), slots = int64_array(layout.bucket);
  Ref labels = call_method(buckets.grid.get(), id_take, {slots.get()});
  Ref full = labels;
  Ref keys = p.id_col ? get_item(firsts, p.id_col.get()) : Ref();
  if (keys) {
    Ref taken = call_method(getattr(keys.get(), id_array).get(), id_take, {groups.get()});
    full = call_method(getattr(pd, id_MultiIndex).get(), id_from_arrays, {tuple({taken.get(), labels.get()}).get()});
  }
  Ref result = call_method(call_method(buckets.sums.get(), id_reindex, {full.get()}).get(), id_reset_index, {},
                           {{id_drop, Py_True}});
  call_method(result.get(), id_insert, {integer(0).get(), p.date_col, labels.get()});
  if (keys) {
    // Each group's key, stored as the per-group algorithm stores one text.
    Ref dtype = stored_dtype(pd, get_item(getattr(keys.get(), id_iloc).get(), integer(0).get()).get());
    Ref objects = call_method(keys.get(), id_to_numpy, {},
                              {{id_dtype, reinterpret_cast<PyObject*>(&PyBaseObject_Type)}});
    Ref taken = call_method(objects.get(), id_take, {groups.get()});
    put_column(result.get(), p.id_col.get(), column_of(pd, taken.get(), dtype.get()).get());
  }
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(p.described.get()); ++i) {
    PyObject* name = PyList_GET_ITEM(p.described.get(), i);
    Ref column = get_item(firsts, name);
    Ref taken = call_method(getattr(column.get(), id_array).get(), id_take, {groups.get()});
    put_column(result.get(), name, column_of(pd, taken.get(), getattr(column.get(), id_dtype).get()).get());
  }
  return result;
}

// Null when the frame does not show that this path gives the per-group result.
Ref resample_vectorised(Call& c, const Prepared& p, PyObject* rule) {
  Ref pd = c.global(id_pd);
  Ref dates = get_item(p.working.get(), p.date_col);
  if (!grid_applies(pd.get(), p, rule, dates.get())) return Ref();
  Ref firsts = first_rows(c, p, pd.get());
  if (!firsts) return Ref();
  Buckets buckets;
  if (!sum_buckets(p, pd.get(), rule, dates.get(), buckets)) return Ref();
  // Every group must have found its buckets.
  if (buckets.codes.empty() || buckets.codes.back() + 1 != check_size(PyObject_Length(firsts.get()))) return Ref();
  return assemble(pd.get(), p, firsts.get(), buckets);
}

}  // namespace

void put_column(PyObject* frame, PyObject* name, PyObject* value) {
  static const Id id_isetitem("isetitem"), id_get_loc("get_loc");
  Ref columns = getattr(frame, id_columns);
  if (contains(columns.get(), name)) {
    call_method(frame, id_isetitem, {call_method(columns.get(), id_get_loc, {name}).get(), value});
  } else {
    call_method(frame, id_insert, {length_of(columns.get()).get(), name, value});
  }
}

Ref resample_frame(Call& c, PyObject* frame, PyObject* ns, PyObject* interval) {
  Prepared p;
  if (!prepare_rows(c, frame, ns, p) || !split_columns(p)) return Ref::borrow(frame);
  Ref rule = month_rule(interval);
  Ref combined = resample_vectorised(c, p, rule.get());
  if (!combined) combined = resample_per_group(c, p, rule.get());
  if (!combined) return Ref::borrow(frame);
  Ref columns = getattr(combined.get(), id_columns);
  Ref sort_keys = new_list();
  if (p.id_col && contains(columns.get(), p.id_col.get())) list_append(sort_keys.get(), p.id_col.get());
  if (contains(columns.get(), p.date_col)) list_append(sort_keys.get(), p.date_col);
  if (PyList_GET_SIZE(sort_keys.get()) == 0) return combined;
  Ref sorted = call_method(combined.get(), id_sort_values, {sort_keys.get()});
  return call_method(sorted.get(), id_reset_index, {}, {{id_drop, Py_True}});
}

}  // namespace investor
