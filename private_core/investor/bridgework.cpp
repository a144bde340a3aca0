// private_core.investor.bridgework: investor trading-flow statistics for
// stocks, the market and sectors.  `InvestorBridgework.fetch_df` validates the
// namespace and operation, sends one request per identifier (POST, with a
// single GET retry when the service refuses the method or path), turns every
// accepted payload shape into rows and one sorted frame, and resamples daily
// rows to the caller's interval.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <vector>

#include "pcrt/pcrt.hpp"
#include "pcrt/site.hpp"

namespace {
using namespace pcrt;

// Module-level names read at call time.
const Id id_pd("pd"), id_DataDecodingError("DataDecodingError"), id_HttpError("HttpError"), id_Mapping("Mapping"),
    id_Iterable("Iterable"), id_date("date"), id_datetime("datetime"), id_start_progress("start_progress"),
    id_update_progress("update_progress"), id_finish_progress("finish_progress"), id_strict_str("_strict_str");
// Methods and class attributes reached through `self`.
const Id id_NAMESPACE_OPS("_NAMESPACE_OPS"), id_ID_FIELD("_ID_FIELD"), id_session("session"),
    id_prepare_payload("_prepare_payload"), id_request("_request"), id_to_query_params("_to_query_params"),
    id_resample_frame("_resample_frame"), id_normalise_records("_normalise_records"),
    id_ensure_mapping("_ensure_mapping"), id_to_dataframe("_to_dataframe");
// Other attributes and keywords.
const Id id_lower("lower"), id_upper("upper"), id_strip("strip"), id_get("get"), id_post("post"), id_json("json"),
    id_json_body("json_body"), id_params("params"), id_status_code("status_code"), id_extend("extend"),
    id_items("items"), id_values("values"), id_isoformat("isoformat"), id_ids("ids"), id_group("group"),
    id_interval("interval"), id_start("start"), id_end("end"), id_DataFrame("DataFrame"),
    id_from_records("from_records"), id_columns("columns"), id_to_datetime("to_datetime"), id_errors("errors"),
    id_unit("unit"), id_api("api"), id_types("types"), id_is_numeric_dtype("is_numeric_dtype"),
    id_sort_values("sort_values"), id_reset_index("reset_index"), id_drop("drop"), id_empty("empty"),
    id_dropna("dropna"), id_subset("subset"), id_copy("copy"), id_apply("apply"), id_to_numpy("to_numpy"),
    id_dtype("dtype"), id_take("take"), id_select_dtypes("select_dtypes"), id_include("include"),
    id_tolist("tolist"), id_factorize("factorize"), id_Series("Series"), id_index("index"), id_resample("resample"),
    id_size("size"), id_freq("freq"), id_DatetimeIndex("DatetimeIndex"), id_normalize("normalize"),
    id_groupby("groupby"), id_sum("sum"), id_min_count("min_count"), id_reindex("reindex"),
    id_RangeIndex("RangeIndex"), id_insert("insert"), id_isetitem("isetitem"), id_get_loc("get_loc"),
    id_isna("isna"), id_iloc("iloc"), id_array("array"), id_concat("concat"), id_ignore_index("ignore_index"),
    id_offsets("offsets"), id_Tick("Tick"), id_nanos("nanos"), id_n("n"), id_tseries("tseries"),
    id_frequencies("frequencies"), id_set_index("set_index"), id_rename_axis("rename_axis"),
    id_is_unique("is_unique"), id_MultiIndex("MultiIndex"), id_from_arrays("from_arrays");

// One look-up site per row-level method call: a payload holds thousands of rows.
Site site_ensure_mapping(id_ensure_mapping), site_id_field(id_ID_FIELD);

// The `Mapping` bound when the module was built.  An exact dict is one of its
// instances; asking the typing alias costs a trip through Python code per row.
PyObject* g_typing_mapping = nullptr;

bool is_mapping(const Call& c, PyObject* value) {
  Ref mapping = c.global(id_Mapping);
  if (PyDict_CheckExact(value) && mapping.get() == g_typing_mapping) return true;
  return isinstance(value, mapping.get());
}

Ref empty_text() { return str(""); }

// str.strip() without the method call for exact str; a subclass keeps its own strip().
Ref strip_text(PyObject* text) {
  if (!PyUnicode_CheckExact(text)) return call_method(text, id_strip);
  const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
  const int kind = PyUnicode_KIND(text);
  const void* data = PyUnicode_DATA(text);
  Py_ssize_t begin = 0, end = length;
  while (begin < end && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, begin))) ++begin;
  while (end > begin && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, end - 1))) --end;
  if (begin == 0 && end == length) return Ref::borrow(text);
  return check(PyUnicode_Substring(text, begin, end));
}

// str(value).strip()
Ref text_of(PyObject* value) {
  Ref text = check(PyObject_Str(value));
  return strip_text(text.get());
}

Ref concat(PyObject* left, PyObject* right) { return check(PyUnicode_Concat(left, right)); }

bool equals(PyObject* left, PyObject* right) { return check(PyObject_RichCompareBool(left, right, Py_EQ)) != 0; }

bool contains(PyObject* container, PyObject* item) { return check(PySequence_Contains(container, item)) != 0; }

Ref get_item(PyObject* container, PyObject* key) { return check(PyObject_GetItem(container, key)); }

void set_item(PyObject* container, PyObject* key, PyObject* value) { check(PyObject_SetItem(container, key, value)); }

Ref length_of(PyObject* obj) { return check(PyLong_FromSsize_t(check_size(PyObject_Size(obj)))); }

// mapping.get(key, fallback), without the method call for an exact dict.
Ref mapping_get(PyObject* mapping, PyObject* key, PyObject* fallback = Py_None) {
  if (PyDict_CheckExact(mapping)) {
    Ref value = dict_get(mapping, key);
    return value ? value : Ref::borrow(fallback);
  }
  return call_method(mapping, id_get, {key, fallback});
}

// dict(mapping), as the constructor copies it.
Ref dict_of(PyObject* mapping) {
  if (PyDict_CheckExact(mapping)) return check(PyDict_Copy(mapping));
  return call(reinterpret_cast<PyObject*>(&PyDict_Type), {mapping});
}

// `frame[name] = value` on a frame this module owns.  The assignment itself
// is never made from here: native code holds fewer references than pandas
// 2.2's chained-assignment check expects, and it would warn on every call.
// `isetitem` and `insert` store the column the same way without that check.
void put_column(PyObject* frame, PyObject* name, PyObject* value) {
  Ref columns = getattr(frame, id_columns);
  if (contains(columns.get(), name)) {
    call_method(frame, id_isetitem, {call_method(columns.get(), id_get_loc, {name}).get(), value});
  } else {
    call_method(frame, id_insert, {length_of(columns.get()).get(), name, value});
  }
}

[[noreturn]] void raise_decoding(const Call& c, const char* message) {
  raise_exc(call(c.global(id_DataDecodingError).get(), {str(message).get()}));
}

// Nested envelopes handed to an overriding `_normalise_records` recurse
// through native frames, which have no recursion check of their own: a
// hostile payload could otherwise exhaust the C stack.
class RecursionGuard {
 public:
  explicit RecursionGuard(const char* where) {
    if (Py_EnterRecursiveCall(where) != 0) raised();
  }
  ~RecursionGuard() { Py_LeaveRecursiveCall(); }
  RecursionGuard(const RecursionGuard&) = delete;
  RecursionGuard& operator=(const RecursionGuard&) = delete;
};

// ---------------------------------------------------------------------------
// _strict_str

// None and NaN become the empty text, anything else its trimmed text form.
Ref strict_str_of(PyObject* value) {
  if (value == Py_None) return empty_text();
  if (PyFloat_Check(value) && std::isnan(PyFloat_AS_DOUBLE(value))) return empty_text();
  if (PyUnicode_Check(value)) return strip_text(value);
  return text_of(value);
}

// pandas.isna as bound at load.  NaN is tested on the float itself while the
// module's `pd.isna` is still that function; a replacement is asked instead.
PyObject* g_pandas_isna = nullptr;

bool native_nan_rule(const Call& c) {
  Ref pd = c.global(id_pd);
  Ref isna = getattr_opt(pd.get(), id_isna);
  return isna.get() == g_pandas_isna;
}

enum class StrictStrArg : std::size_t { value };

Ref bridgework_strict_str(Call& c) {
  PyObject* value = c[StrictStrArg::value];
  if (PyFloat_Check(value) && !native_nan_rule(c)) {
    Ref pd = c.global(id_pd);
    if (truthy(call_method(pd.get(), id_isna, {value}).get())) return empty_text();
    return text_of(value);
  }
  return strict_str_of(value);
}

const FnSpec kStrictStr{"_strict_str", bridgework_strict_str, {arg("value", "Any")}, "str"};

// ---------------------------------------------------------------------------
// Request path

enum class InitArg : std::size_t { self, session };

Ref investor_bridgework_init(Call& c) {
  setattr(c.self(), id_session, c[InitArg::session]);
  return none();
}

const FnSpec kInit{"__init__", investor_bridgework_init, {self_arg(), arg("session", "HttpSession")}, "None"};

enum class FetchArg : std::size_t { self, namespace_, op, params };

Ref investor_bridgework_fetch_df(Call& c) {
  static const Id id_prefix("/market-data/investor/"), id_slash("/"), id_colon(":"), id_1D("1D");
  PyObject* self = c.self();
  Ref ns = call_method(c[FetchArg::namespace_], id_lower);
  Ref table = getattr(self, id_NAMESPACE_OPS);
  if (!contains(table.get(), ns.get())) {
    raise_exc(call(reinterpret_cast<PyObject*>(PyExc_ValueError),
                   {check(PyUnicode_FromFormat("Unsupported investor namespace: %R", ns.get())).get()}));
  }
  Ref op = call_method(c[FetchArg::op], id_lower);
  Ref allowed = get_item(table.get(), ns.get());
  if (!contains(allowed.get(), op.get())) {
    Ref listed = check(PySequence_List(allowed.get()));
    check(PyList_Sort(listed.get()));
    raise_exc(call(reinterpret_cast<PyObject*>(PyExc_ValueError),
                   {check(PyUnicode_FromFormat("Operation %R is not available for namespace %R. Allowed operations: %S.",
                                               op.get(), ns.get(), listed.get()))
                        .get()}));
  }
  Ref endpoint = concat(concat(concat(id_prefix.get(), ns.get()).get(), id_slash.get()).get(), op.get());

  Ref payload = call_method(self, id_prepare_payload, {c[FetchArg::params]});
  Ref ids = mapping_get(payload.get(), id_ids.get());
  Ref records;
  if (PyList_Check(ids.get()) && check_size(PyObject_Size(ids.get())) >= 2) {
    records = new_list();
    Ref label = concat(concat(ns.get(), id_colon.get()).get(), op.get());
    call(c.global(id_start_progress).get(), {length_of(ids.get()).get(), label.get()});
    try_finally(
        [&]() -> Ref {
          Ref iterator = check(PyObject_GetIter(ids.get()));
          long long index = 0;
          while (Ref identifier = Ref::steal_or_null(PyIter_Next(iterator.get()))) {
            if (PyErr_CheckSignals() < 0) raised();
            ++index;
            Ref single = dict_of(payload.get());
            Ref one = new_list(1);
            PyList_SET_ITEM(one.get(), 0, identifier.new_ref());
            set_item(single.get(), id_ids.get(), one.get());
            Ref raw = call_method(self, id_request, {endpoint.get(), single.get()});
            Ref rows = call_method(self, id_normalise_records, {raw.get(), ns.get()});
            call_method(records.get(), id_extend, {rows.get()});
            call(c.global(id_update_progress).get(), {integer(index).get()});
          }
          if (PyErr_Occurred()) raised();
          return none();
        },
        [&] { call(c.global(id_finish_progress).get()); });
  } else {
    Ref raw = call_method(self, id_request, {endpoint.get(), payload.get()});
    records = call_method(self, id_normalise_records, {raw.get(), ns.get()});
  }

  Ref frame = call_method(self, id_to_dataframe, {records.get(), ns.get()});
  Ref interval = mapping_get(payload.get(), id_interval.get(), id_1D.get());
  if (PyUnicode_Check(interval.get())) {
    Ref rule = call_method(interval.get(), id_upper);
    if (check(PyObject_RichCompareBool(rule.get(), id_1D.get(), Py_NE))) {
      frame = call_method(self, id_resample_frame, {frame.get(), ns.get(), rule.get()});
    }
  }
  return frame;
}

const FnSpec kFetchDf{"fetch_df",
                      investor_bridgework_fetch_df,
                      {self_arg(), arg("namespace", "Namespace"), arg("op", "Operation"),
                       arg("params", "dict[str, Any]", Conv::Dict)},
                      "pd.DataFrame",
                      "Fetch investor-flow statistics as a frame.\n"
                      "\n"
                      "Parameters\n"
                      "----------\n"
                      "namespace : str\n"
                      "    \"stock\", \"market\" or \"sector\" (any case).\n"
                      "op : str\n"
                      "    An operation the namespace offers (any case).\n"
                      "params : dict\n"
                      "    \"ids\", \"group\", \"start\", \"end\", \"interval\" and extension keys; a list of\n"
                      "    two or more identifiers is fetched one identifier per request.\n"
                      "\n"
                      "Returns\n"
                      "-------\n"
                      "pd.DataFrame\n"
                      "    Rows sorted by identifier and date, resampled when \"interval\" is not \"1D\".\n"
                      "\n"
                      "Raises\n"
                      "------\n"
                      "ValueError\n"
                      "    For an unknown namespace or an operation the namespace does not offer.\n"
                      "HttpError\n"
                      "    When the service refuses a request.\n"
                      "DataDecodingError\n"
                      "    When a payload has none of the accepted shapes."};

enum class PrepareArg : std::size_t { self, params };

// The date bounds travel as "YYYY-MM-DD"; anything else as its trimmed text.
Ref date_text(const Call& c, PyObject* value) {
  if (isinstance(value, c.global(id_datetime).get())) {
    static const Id id_date_method("date");
    Ref day = call_method(value, id_date_method);
    return call_method(day.get(), id_isoformat);
  }
  if (isinstance(value, c.global(id_date).get())) return call_method(value, id_isoformat);
  return text_of(value);
}

Ref investor_bridgework_prepare_payload(Call& c) {
  Ref items = check(PyDict_Items(c[PrepareArg::params]));  // a snapshot: __hash__ of odd keys may run code
  Ref payload = new_dict();
  for (Py_ssize_t i = 0, n = PyList_GET_SIZE(items.get()); i < n; ++i) {
    PyObject* pair = PyList_GET_ITEM(items.get(), i);
    PyObject* value = PyTuple_GET_ITEM(pair, 1);
    if (value != Py_None) dict_set(payload.get(), PyTuple_GET_ITEM(pair, 0), value);
  }
  PyObject* p = payload.get();
  if (Ref ids = dict_get(p, id_ids)) {
    Ref cleaned = new_list();
    if (PyList_Check(ids.get()) || PyTuple_Check(ids.get())) {
      Ref iterator = check(PyObject_GetIter(ids.get()));
      while (Ref item = Ref::steal_or_null(PyIter_Next(iterator.get()))) {
        Ref text = text_of(item.get());
        if (truthy(text.get())) list_append(cleaned.get(), text.get());
      }
      if (PyErr_Occurred()) raised();
    } else {
      list_append(cleaned.get(), text_of(ids.get()).get());
    }
    dict_set(p, id_ids, cleaned.get());
  }
  if (Ref group = dict_get(p, id_group)) {
    Ref text = call_method(text_of(group.get()).get(), id_lower);
    if (truthy(text.get())) dict_set(p, id_group, text.get());
  }
  if (Ref interval = dict_get(p, id_interval)) {
    Ref text = call_method(text_of(interval.get()).get(), id_upper);
    if (truthy(text.get())) dict_set(p, id_interval, text.get());
  }
  for (const Id* key : {&id_start, &id_end}) {
    if (Ref value = dict_get(p, *key)) dict_set(p, *key, date_text(c, value.get()).get());
  }
  return payload;
}

const FnSpec kPreparePayload{"_prepare_payload",
                             investor_bridgework_prepare_payload,
                             {self_arg(), arg("params", "dict[str, Any]", Conv::Dict)},
                             "dict[str, Any]"};

enum class RequestArg : std::size_t { self, endpoint, payload };

Ref investor_bridgework_request(Call& c) {
  PyObject* self = c.self();
  PyObject* endpoint = c[RequestArg::endpoint];
  PyObject* payload = c[RequestArg::payload];
  Ref response;
  try {
    Ref session = getattr(self, id_session);
    response = call_method(session.get(), id_post, {endpoint}, {{id_json_body, payload}});
  } catch (const Raised&) {
    Ref error = catch_matching([&] { return c.global(id_HttpError); });
    Handling handling(error.get());
    Ref status = getattr(error.get(), id_status_code);
    Ref not_found = integer(404), not_allowed = integer(405);
    if (!equals(status.get(), not_found.get()) && !equals(status.get(), not_allowed.get())) {
      reraise(std::move(error));
    }
    // The service answers this path only by GET: the same keys go as a query.
    Ref query = call_method(self, id_to_query_params, {payload});
    Ref session = getattr(self, id_session);
    response = call_method(session.get(), id_get, {endpoint}, {{id_params, query.get()}});
  }
  return call_method(response.get(), id_json);
}

const FnSpec kRequest{"_request",
                      investor_bridgework_request,
                      {self_arg(), arg("endpoint", "str", Conv::Str), arg("payload", "dict[str, Any]", Conv::Dict)},
                      "Any"};

enum class QueryArg : std::size_t { self, payload };

Ref investor_bridgework_to_query_params(Call& c) {
  static const Id id_comma(",");
  Ref items = check(PyDict_Items(c[QueryArg::payload]));
  Ref query = new_dict();
  Ref iterable = c.global(id_Iterable);
  for (Py_ssize_t i = 0, n = PyList_GET_SIZE(items.get()); i < n; ++i) {
    PyObject* pair = PyList_GET_ITEM(items.get(), i);
    PyObject* key = PyTuple_GET_ITEM(pair, 0);
    PyObject* value = PyTuple_GET_ITEM(pair, 1);
    if (equals(key, id_ids.get()) && !PyUnicode_Check(value) && !PyBytes_Check(value) &&
        isinstance(value, iterable.get())) {
      Ref parts = new_list();
      Ref iterator = check(PyObject_GetIter(value));
      while (Ref item = Ref::steal_or_null(PyIter_Next(iterator.get()))) {
        Ref text = text_of(item.get());
        if (truthy(text.get())) list_append(parts.get(), text.get());
      }
      if (PyErr_Occurred()) raised();
      dict_set(query.get(), key, check(PyUnicode_Join(id_comma.get(), parts.get())).get());
    } else {
      dict_set(query.get(), key, value);
    }
  }
  return query;
}

const FnSpec kToQueryParams{"_to_query_params",
                            investor_bridgework_to_query_params,
                            {self_arg(), arg("payload", "dict[str, Any]", Conv::Dict)},
                            "dict[str, Any]"};

// ---------------------------------------------------------------------------
// Records to frames

enum class NormaliseArg : std::size_t { self, payload, namespace_ };

Ref investor_bridgework_normalise_records(Call& c) {
  static const Id id_data("data"), id_results("results"), id_items_key("items"), id_records("records");
  constexpr const char* kUnexpected = "Unexpected payload format for investor endpoint.";
  PyObject* self = c.self();
  PyObject* ns = c[NormaliseArg::namespace_];
  Ref payload = Ref::borrow(c[NormaliseArg::payload]);
  for (;;) {
    if (payload.get() == Py_None) return new_list();
    if (PyList_Check(payload.get())) {
      Ref rows = new_list();
      Ref iterator = check(PyObject_GetIter(payload.get()));
      while (Ref item = Ref::steal_or_null(PyIter_Next(iterator.get()))) {
        list_append(rows.get(), site_ensure_mapping.call(self, {item.get(), ns}).get());
      }
      if (PyErr_Occurred()) raised();
      return rows;
    }
    if (!is_mapping(c, payload.get())) raise_decoding(c, kUnexpected);
    Ref inner;
    for (const Id* key : {&id_data, &id_results, &id_items_key, &id_records}) {
      if (contains(payload.get(), key->get())) {
        inner = get_item(payload.get(), key->get());
        break;
      }
    }
    if (!inner) break;
    // An envelope is read again by `self._normalise_records`.  While that is
    // this very function, the envelope is unwrapped in place: nesting depth
    // then costs no native stack.
    Ref method = getattr(self, id_normalise_records);
    if (!PyMethod_Check(method.get()) || PyMethod_GET_SELF(method.get()) != self ||
        PyMethod_GET_FUNCTION(method.get()) != reinterpret_cast<PyObject*>(c.function())) {
      RecursionGuard guard(" while reading an investor payload");
      return call(method.get(), {inner.get(), ns});
    }
    if (PyErr_CheckSignals() < 0) raised();
    payload = std::move(inner);
  }
  // Keyed by identifier: every value must be a list of rows.
  Ref values = call_method(payload.get(), id_values);
  Ref iterator = check(PyObject_GetIter(values.get()));
  while (Ref value = Ref::steal_or_null(PyIter_Next(iterator.get()))) {
    if (!PyList_Check(value.get())) raise_decoding(c, kUnexpected);
  }
  if (PyErr_Occurred()) raised();
  Ref rows = new_list();
  Ref pairs = call_method(payload.get(), id_items);
  Ref pair_iterator = check(PyObject_GetIter(pairs.get()));
  while (Ref pair = Ref::steal_or_null(PyIter_Next(pair_iterator.get()))) {
    Ref key = check(PySequence_GetItem(pair.get(), 0));
    Ref entries = check(PySequence_GetItem(pair.get(), 1));
    Ref entry_iterator = check(PyObject_GetIter(entries.get()));
    while (Ref entry = Ref::steal_or_null(PyIter_Next(entry_iterator.get()))) {
      list_append(rows.get(), site_ensure_mapping.call(self, {entry.get(), ns, key.get()}).get());
    }
    if (PyErr_Occurred()) raised();
  }
  if (PyErr_Occurred()) raised();
  return rows;
}

const FnSpec kNormaliseRecords{"_normalise_records",
                               investor_bridgework_normalise_records,
                               {self_arg(), arg("payload", "Any"), arg("namespace", "Namespace")},
                               "list[dict[str, Any]]"};

enum class EnsureArg : std::size_t { self, entry, namespace_, identifier };

Ref investor_bridgework_ensure_mapping(Call& c) {
  static const Id id_id("id");
  PyObject* entry = c[EnsureArg::entry];
  if (!is_mapping(c, entry)) raise_decoding(c, "Investor payload entries must be JSON objects.");
  Ref data = dict_of(entry);
  PyObject* identifier = c[EnsureArg::identifier];
  if (identifier != Py_None) {
    Ref table = site_id_field.get(c.self());
    Ref field = mapping_get(table.get(), c[EnsureArg::namespace_], id_id.get());
    if (!contains(data.get(), field.get())) set_item(data.get(), field.get(), identifier);
  }
  return data;
}

const FnSpec kEnsureMapping{"_ensure_mapping",
                            investor_bridgework_ensure_mapping,
                            {self_arg(), arg("entry", "Any"), arg("namespace", "Namespace"),
                             arg("identifier", "str | None", Conv::OptStr, none_default())},
                            "dict[str, Any]"};

enum class ToFrameArg : std::size_t { self, rows, namespace_ };

Ref investor_bridgework_to_dataframe(Call& c) {
  static const Id id_Date("Date"), id_trade_date("trade_date"), id_timestamp("timestamp"), id_coerce("coerce"),
      id_s("s");
  PyObject* rows = c[ToFrameArg::rows];
  Ref pd = c.global(id_pd);
  Ref frame_cls = getattr(pd.get(), id_DataFrame);
  if (PyList_GET_SIZE(rows) == 0) return call(frame_cls.get());
  Ref frame = call_method(frame_cls.get(), id_from_records, {rows});
  Ref columns = getattr(frame.get(), id_columns);
  for (const Id* name : {&id_date, &id_Date, &id_trade_date, &id_timestamp}) {
    if (!contains(columns.get(), name->get())) continue;
    Ref column = get_item(frame.get(), name->get());
    Ref parsed;
    Ref numeric;
    if (name == &id_timestamp) {
      Ref api_types = getattr(getattr(pd.get(), id_api).get(), id_types);
      numeric = call_method(api_types.get(), id_is_numeric_dtype, {column.get()});
    }
    if (numeric && truthy(numeric.get())) {
      // Epoch seconds.
      parsed = call_method(pd.get(), id_to_datetime, {column.get()}, {{id_unit, id_s.get()}, {id_errors, id_coerce.get()}});
    } else {
      parsed = call_method(pd.get(), id_to_datetime, {column.get()}, {{id_errors, id_coerce.get()}});
    }
    put_column(frame.get(), name->get(), parsed.get());
  }
  Ref keys = new_list();
  Ref table = getattr(c.self(), id_ID_FIELD);
  Ref field = call_method(table.get(), id_get, {c[ToFrameArg::namespace_]});
  if (field.get() != Py_None && contains(columns.get(), field.get())) list_append(keys.get(), field.get());
  if (contains(columns.get(), id_date.get())) {
    list_append(keys.get(), id_date.get());
  } else if (contains(columns.get(), id_Date.get())) {
    list_append(keys.get(), id_Date.get());
  }
  if (PyList_GET_SIZE(keys.get()) == 0) return frame;
  Ref sorted = call_method(frame.get(), id_sort_values, {keys.get()});
  return call_method(sorted.get(), id_reset_index, {}, {{id_drop, Py_True}});
}

const FnSpec kToDataframe{"_to_dataframe",
                          investor_bridgework_to_dataframe,
                          {self_arg(), arg("rows", "list[dict[str, Any]]", Conv::List), arg("namespace", "Namespace")},
                          "pd.DataFrame"};

// ---------------------------------------------------------------------------
// Resampling
//
// One behaviour, two renderings.  The per-group algorithm (one pandas
// resample per identifier) holds for every input.  The vectorised one (one
// groupby over identifier and bucket, then every group's empty buckets
// restored) gives the same frame much faster, but only where the frame shows
// that it may: otherwise it declines and the per-group algorithm runs.  Both
// share the preparation of the rows and the final sort.

enum class ResampleArg : std::size_t { self, frame, namespace_, interval };

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
    out[i] = PyLong_AsLongLong(PyList_GET_ITEM(items.get(), static_cast<Py_ssize_t>(i)));
    if (out[i] == -1 && PyErr_Occurred()) raised();
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
  Ref field = mapping_get(getattr(self, id_ID_FIELD).get(), ns);
  for (PyObject* candidate : {field.get(), id_symbol.get(), id_icb.get(), id_code.get(), id_ticker.get()}) {
    if (candidate != Py_None && contains(columns, candidate)) return Ref::borrow(candidate);
  }
  return Ref();
}

// Usable rows: parsed dates, cleaned identifiers.  False when the frame is
// to be returned as given.
bool prepare_rows(Call& c, PyObject* frame, Prepared& p) {
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

  p.id_col = identifier_column(c.self(), getattr(working.get(), id_columns).get(), c[ResampleArg::namespace_]);
  if (p.id_col) {
    Ref column = get_item(working.get(), p.id_col.get());
    // A name that labels two columns: pandas refuses to group by it, and so
    // do we, with its own error.
    if (!isinstance(column.get(), getattr(pd.get(), id_Series).get())) call_method(working.get(), id_groupby, {p.id_col.get()});
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
  auto is_id = [&](PyObject* name) { return p.id_col && equals(name, p.id_col.get()); };
  p.value_cols = new_list();
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names.get()); ++i) {
    if (!is_id(PyList_GET_ITEM(names.get(), i))) list_append(p.value_cols.get(), PyList_GET_ITEM(names.get(), i));
  }
  if (PyList_GET_SIZE(p.value_cols.get()) == 0) return false;
  Ref all = call_method(getattr(p.working.get(), id_columns).get(), id_tolist);
  p.described = new_list();
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(all.get()); ++i) {
    PyObject* name = PyList_GET_ITEM(all.get(), i);
    if (!equals(name, p.date_col) && !is_id(name) && !contains(p.value_cols.get(), name)) list_append(p.described.get(), name);
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
  return concat(rule, str("E").get());
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
  Ref sums = call_method(call_method(indexed.get(), id_resample, {rule}).get(), id_sum, {}, {{id_min_count, integer(1).get()}});
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
    long long nanos = PyLong_AsLongLong(getattr(offset, id_nanos).get());
    if (nanos == -1 && PyErr_Occurred()) raised();
    return !zoned && nanos > 0 && kDayNanos % nanos == 0;
  }
  Ref n = getattr(offset, id_n);
  if (!PyLong_CheckExact(n.get()) || PyLong_AsLong(n.get()) != 1) return false;
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
  Ref frame = call(getattr(pd, id_DataFrame).get(), {}, {{id_index, call(getattr(pd, id_RangeIndex).get(), {integer(1).get()}).get()}});
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
  Ref grouped = get_item(call_method(p.working.get(), id_groupby, {by.get()}).get(), p.value_cols.get());
  out.sums = call_method(grouped.get(), id_sum, {}, {{id_min_count, integer(1).get()}});
  // The grid is pandas' own binning of the whole span, as one group over
  // every stamp would get it.
  Ref ends = call_method(dates, id_take, {pair_list(call_method(dates, id_argmin).get(), call_method(dates, id_argmax).get()).get()});
  Ref span = call(getattr(pd, id_Series).get(), {integer(0).get()}, {{id_index, call(getattr(pd, id_DatetimeIndex).get(), {ends.get()}).get()}});
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

// Null when the frame does not show that this path gives the per-group result.
Ref resample_vectorised(Call& c, const Prepared& p, PyObject* rule) {
  static const Id id_tz("tz"), id_dt("dt"), id_to_offset("to_offset");
  Ref pd = c.global(id_pd);
  if (is_empty(p.working.get()) || !truthy(getattr(getattr(p.working.get(), id_columns).get(), id_is_unique).get())) return Ref();
  Ref dates = get_item(p.working.get(), p.date_col);
  const bool zoned = getattr(getattr(dates.get(), id_dt).get(), id_tz).get() != Py_None;
  Ref frequencies = getattr(getattr(pd.get(), id_tseries).get(), id_frequencies);
  Ref offset = call_method(frequencies.get(), id_to_offset, {rule});
  if (!grid_is_shared(pd.get(), offset.get(), zoned) || any_at_day_end(pd.get(), dates.get(), zoned)) return Ref();
  Ref firsts = first_rows(c, p, pd.get());
  if (!firsts) return Ref();
  Buckets buckets;
  if (!sum_buckets(p, pd.get(), rule, dates.get(), buckets)) return Ref();
  Layout layout = lay_out(buckets.codes, buckets.positions);
  Ref groups = int64_array(layout.group), slots = int64_array(layout.bucket);

  Ref labels = call_method(buckets.grid.get(), id_take, {slots.get()});
  Ref full = labels;
  if (p.id_col) {
    Ref keys = call_method(getattr(get_item(firsts.get(), p.id_col.get()).get(), id_array).get(), id_take, {groups.get()});
    full = call_method(getattr(pd.get(), id_MultiIndex).get(), id_from_arrays, {tuple({keys.get(), labels.get()}).get()});
  }
  Ref result = call_method(call_method(buckets.sums.get(), id_reindex, {full.get()}).get(), id_reset_index, {}, {{id_drop, Py_True}});
  call_method(result.get(), id_insert, {integer(0).get(), p.date_col, labels.get()});
  if (p.id_col) {
    // Each group's key, stored as the per-group algorithm stores one text.
    Ref keys = get_item(firsts.get(), p.id_col.get());
    Ref dtype = stored_dtype(pd.get(), get_item(getattr(keys.get(), id_iloc).get(), integer(0).get()).get());
    Ref objects = call_method(keys.get(), id_to_numpy, {}, {{id_dtype, reinterpret_cast<PyObject*>(&PyBaseObject_Type)}});
    Ref taken = call_method(objects.get(), id_take, {groups.get()});
    put_column(result.get(), p.id_col.get(), column_of(pd.get(), taken.get(), dtype.get()).get());
  }
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(p.described.get()); ++i) {
    PyObject* name = PyList_GET_ITEM(p.described.get(), i);
    Ref column = get_item(firsts.get(), name);
    Ref taken = call_method(getattr(column.get(), id_array).get(), id_take, {groups.get()});
    put_column(result.get(), name, column_of(pd.get(), taken.get(), getattr(column.get(), id_dtype).get()).get());
  }
  return result;
}

Ref investor_bridgework_resample_frame(Call& c) {
  PyObject* frame = c[ResampleArg::frame];
  Prepared p;
  if (!prepare_rows(c, frame, p) || !split_columns(p)) return Ref::borrow(frame);
  Ref rule = month_rule(c[ResampleArg::interval]);
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

const FnSpec kResampleFrame{"_resample_frame",
                            investor_bridgework_resample_frame,
                            {self_arg(), arg("frame", "pd.DataFrame"), arg("namespace", "Namespace"),
                             arg("interval", "str", Conv::Str)},
                            "pd.DataFrame",
                            "Sum each identifier's rows into buckets of ``interval``.\n"
                            "\n"
                            "Numeric columns are summed per bucket (NaN for a bucket without values inside an\n"
                            "identifier's date range), descriptive columns keep the identifier's first value,\n"
                            "and the result is sorted by identifier and date.  A frame that cannot be\n"
                            "resampled (no rows, no date column, no usable dates, no numeric columns) is\n"
                            "returned as given."};

// ---------------------------------------------------------------------------

Ref set_of(std::initializer_list<const char*> items) {
  Ref out = check(PySet_New(nullptr));
  for (const char* item : items) check(PySet_Add(out.get(), str(item).get()));
  return out;
}

void build(Module& m) {
  m.import_from("datetime", {"date", "datetime"});
  m.import_from("typing", {"Any", "Iterable", "Mapping"});
  m.import("pandas", "pd");
  m.import_from("tessaro.exceptions", {"DataDecodingError", "HttpError"});
  m.import_relative("wirelink", {"HttpSession"}, 2);
  m.import_relative("progress", {"finish_progress", "start_progress", "update_progress"}, 2);
  PyObject* str_type = reinterpret_cast<PyObject*>(&PyUnicode_Type);
  m.add("Namespace", str_type);
  m.add("Operation", str_type);
  g_typing_mapping = m.get("Mapping").new_ref();  // kept for the life of the process
  m.def(kStrictStr);
  if (g_pandas_isna == nullptr) g_pandas_isna = getattr(m.get("pd").get(), id_isna).release();  // likewise

  Ref ops = new_dict();
  check(PyDict_SetItemString(ops.get(), "stock", set_of({"flow", "breakdown", "foreign_room"}).get()));
  check(PyDict_SetItemString(ops.get(), "market", set_of({"flow", "breakdown"}).get()));
  check(PyDict_SetItemString(ops.get(), "sector", set_of({"flow", "breakdown", "foreign_room"}).get()));
  Ref id_fields = new_dict();
  check(PyDict_SetItemString(id_fields.get(), "stock", str("symbol").get()));
  check(PyDict_SetItemString(id_fields.get(), "market", str("symbol").get()));
  check(PyDict_SetItemString(id_fields.get(), "sector", str("icb").get()));

  ClassBuilder bridge(m, "InvestorBridgework",
                      "Core object serving the investor-flow client: requests by namespace and operation,\n"
                      "payloads turned into frames, optional resampling to weekly or monthly buckets.");
  bridge.annotate("_NAMESPACE_OPS", "Mapping[Namespace, set[Operation]]", ops.get())
      .annotate("_ID_FIELD", "Mapping[Namespace, str]", id_fields.get())
      .method(kInit)
      .method(kFetchDf)
      .method(kPreparePayload)
      .method(kRequest)
      .method(kToQueryParams)
      .method(kResampleFrame)
      .method(kNormaliseRecords)
      .method(kEnsureMapping)
      .method(kToDataframe);
  m.add("InvestorBridgework", bridge.build().get());
}

}  // namespace

PCRT_MODULE(bridgework, build)
