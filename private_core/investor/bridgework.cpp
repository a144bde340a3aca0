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
    id_tolist("tolist"), id_factorize("factorize"), id_sort("sort"), id_argsort("argsort"), id_Series("Series"),
    id_index("index"), id_resample("resample"), id_size("size"), id_freq("freq"), id_DatetimeIndex("DatetimeIndex"),
    id_asi8("asi8"), id_normalize("normalize"), id_append("append"), id_groupby("groupby"), id_sum("sum"),
    id_min_count("min_count"), id_reindex("reindex"), id_RangeIndex("RangeIndex"), id_insert("insert"),
    id_isna("isna"), id_iloc("iloc"), id_array("array"), id_concat("concat"), id_ignore_index("ignore_index"),
    id_is_list_like("is_list_like"), id_frombuffer("frombuffer"), id_ascontiguousarray("ascontiguousarray"),
    id_offsets("offsets"), id_Tick("Tick"), id_nanos("nanos"), id_n("n"), id_rule_code("rule_code"),
    id_weekday("weekday"), id_tseries("tseries"), id_frequencies("frequencies"), id_to_offset("to_offset");

// One look-up site per row-level method call: a payload holds thousands of rows.
Site site_ensure_mapping(id_ensure_mapping), site_id_field(id_ID_FIELD);

// The function object bound as `_strict_str` when the module was built: while
// the module attribute still holds it, identifiers are cleaned natively.
PyObject* g_native_strict_str = nullptr;
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

// payload.get(key, fallback), without the method call for an exact dict.
Ref mapping_get(PyObject* mapping, const Id& key, PyObject* fallback = Py_None) {
  if (PyDict_CheckExact(mapping)) {
    Ref value = dict_get(mapping, key);
    return value ? value : Ref::borrow(fallback);
  }
  return call_method(mapping, id_get, {key.get(), fallback});
}

Ref mapping_get(PyObject* mapping, PyObject* key, PyObject* fallback) {
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
  Ref ids = mapping_get(payload.get(), id_ids);
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
  Ref interval = mapping_get(payload.get(), id_interval, id_1D.get());
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
    set_item(frame.get(), name->get(), parsed.get());
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
// Each identifier's daily rows are summed into buckets of the interval, with
// every bucket of the identifier's date range present (NaN where it has no
// value), the identifier restored from its group key and descriptive columns
// carried with the group's first value.  Instead of one pandas resample per
// identifier, the buckets are worked out once for all rows, the sums come
// from one groupby over (identifier, bucket), and the result is laid out by
// native index arithmetic.

// Read-only view of a contiguous int64 or bool numpy array.
class IntView {
 public:
  IntView(PyObject* np, PyObject* array, const char* dtype) {
    Ref contiguous = call_method(np, id_ascontiguousarray, {array}, {{id_dtype, str(dtype).get()}});
    check(PyObject_GetBuffer(contiguous.get(), &view_, PyBUF_C_CONTIGUOUS));
    owner_ = std::move(contiguous);
  }
  ~IntView() { PyBuffer_Release(&view_); }
  IntView(const IntView&) = delete;
  IntView& operator=(const IntView&) = delete;

  Py_ssize_t size(std::size_t itemsize) const { return view_.len / static_cast<Py_ssize_t>(itemsize); }
  const std::int64_t* i64() const { return static_cast<const std::int64_t*>(view_.buf); }
  const bool* flags() const { return static_cast<const bool*>(view_.buf); }

 private:
  Ref owner_;
  Py_buffer view_{};
};

// A writable int64 numpy array holding `values`.
Ref int64_array(PyObject* np, const std::vector<std::int64_t>& values) {
  Ref buffer = check(PyByteArray_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                                   static_cast<Py_ssize_t>(values.size() * sizeof(std::int64_t))));
  return call_method(np, id_frombuffer, {buffer.get()}, {{id_dtype, str("int64").get()}});
}

std::vector<std::int64_t> int64_values(PyObject* np, PyObject* array) {
  IntView view(np, array, "int64");
  const std::int64_t* data = view.i64();
  return std::vector<std::int64_t>(data, data + view.size(sizeof(std::int64_t)));
}

// Month rule "M": pandas releases that know the month-end rule "ME" deprecate
// or refuse it, so it is sent as "ME" there; "1M" keeps its meaning of
// calendar months labelled with their last day.
Ref month_rule(PyObject* pd, PyObject* rule) {
  static int knows_month_end = -1;
  std::string_view text = utf8(rule);
  std::size_t digits = (!text.empty() && (text[0] == '+' || text[0] == '-')) ? 1 : 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
  if (digits + 1 != text.size() || text.back() != 'M') return Ref::borrow(rule);
  if (knows_month_end < 0) {
    Ref frequencies = getattr(getattr(pd, id_tseries).get(), id_frequencies);
    try {
      call_method(frequencies.get(), id_to_offset, {str("ME").get()});
      knows_month_end = 1;
    } catch (const Raised&) {
      catch_if(PyExc_ValueError);
      knows_month_end = 0;
    }
  }
  if (knows_month_end == 0) return Ref::borrow(rule);
  return concat(rule, str("E").get());
}

// Whether the buckets of `offset` fall on the same calendar grid whatever day
// a group starts on.  Rules with a stride of several units (2W, 3D, 5h) are
// anchored at each group's first day and need one binning per start day.
bool grid_is_global(PyObject* pd, PyObject* offset) {
  constexpr long long kDayNanos = 86'400'000'000'000LL;
  Ref tick = getattr(getattr(pd, id_offsets).get(), id_Tick);
  if (isinstance(offset, tick.get())) {
    Ref nanos = getattr(offset, id_nanos);
    long long value = PyLong_AsLongLong(nanos.get());
    if (value == -1 && PyErr_Occurred()) raised();
    return value > 0 && kDayNanos % value == 0;
  }
  Ref n = getattr(offset, id_n);
  if (!PyLong_CheckExact(n.get()) || PyLong_AsLong(n.get()) != 1) return false;
  Ref code = getattr(offset, id_rule_code);
  if (!PyUnicode_Check(code.get())) return false;
  std::string_view text = utf8(code.get());
  std::string_view family = text.substr(0, text.find('-'));
  if (family == "W") {
    Ref weekday = getattr(offset, id_weekday);
    return weekday.get() != Py_None;
  }
  for (std::string_view anchored : {"D", "ME", "MS", "QE", "QS", "YE", "YS"}) {
    if (family == anchored) return true;
  }
  return false;
}

// Buckets of one set of dates sharing a grid: the bucket number of each date
// and the labels of all buckets from the first date's to the last's.
struct Binning {
  std::vector<std::int64_t> bins;
  Ref labels;
  Ref offset;
};

Binning bin_dates(PyObject* pd, PyObject* np, PyObject* dates, PyObject* rule) {
  Ref factorized = call_method(pd, id_factorize, {dates});
  PyObject* codes = PyTuple_GET_ITEM(factorized.get(), 0);
  PyObject* uniques = PyTuple_GET_ITEM(factorized.get(), 1);
  Ref order = call_method(uniques, id_argsort);
  Ref sorted_uniques = call_method(uniques, id_take, {order.get()});
  Ref zero = integer(0);
  Ref series = call(getattr(pd, id_Series).get(), {zero.get()}, {{id_index, sorted_uniques.get()}});
  Ref resampler = call_method(series.get(), id_resample, {rule});
  Ref sizes = call_method(resampler.get(), id_size);
  Binning out;
  out.offset = getattr(resampler.get(), id_freq);
  out.labels = getattr(sizes.get(), id_index);
  // Sorted dates fill the buckets in order, `sizes` dates each.
  std::vector<std::int64_t> counts = int64_values(np, call_method(sizes.get(), id_to_numpy).get());
  std::vector<std::int64_t> order_v = int64_values(np, order.get());
  std::vector<std::int64_t> unique_bin(order_v.size());
  std::size_t k = 0;
  for (std::size_t b = 0; b < counts.size(); ++b) {
    for (std::int64_t i = 0; i < counts[b] && k < order_v.size(); ++i) unique_bin[order_v[k++]] = static_cast<std::int64_t>(b);
  }
  std::vector<std::int64_t> codes_v = int64_values(np, codes);
  out.bins.resize(codes_v.size());
  for (std::size_t i = 0; i < codes_v.size(); ++i) out.bins[i] = unique_bin[codes_v[i]];
  return out;
}

// The column that `resampled[name] = value` on every group, followed by the
// concatenation of the groups, gives: pandas infers a dtype from each group's
// scalar and concat reconciles them.  One small frame per kind of value (its
// type and whether it is missing) reproduces that inference; the values are
// then laid out for all result rows at once.  `firsts` holds one value per
// group, `row_group` the group of each result row.
Ref broadcast_column(PyObject* pd, PyObject* np, PyObject* firsts, PyObject* row_group, PyObject* name) {
  Ref dtype = getattr(firsts, id_dtype);
  std::vector<Py_ssize_t> reps;
  Ref object_type = Ref::borrow(reinterpret_cast<PyObject*>(&PyBaseObject_Type));
  Ref object_dtype = call(getattr(np, id_dtype).get(), {object_type.get()});
  if (equals(dtype.get(), object_dtype.get())) {
    Ref values = call_method(firsts, id_to_numpy);
    Ref items = check(PySequence_List(values.get()));
    std::vector<std::pair<PyTypeObject*, bool>> kinds;
    static const Id id_NA("NA");
    Ref na_type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(getattr(pd, id_NA).get())));
    for (Py_ssize_t i = 0, n = PyList_GET_SIZE(items.get()); i < n; ++i) {
      PyObject* value = PyList_GET_ITEM(items.get(), i);
      bool missing = value == Py_None || reinterpret_cast<PyObject*>(Py_TYPE(value)) == na_type.get() ||
                     (PyFloat_Check(value) && std::isnan(PyFloat_AS_DOUBLE(value)));
      std::pair<PyTypeObject*, bool> kind{Py_TYPE(value), missing};
      if (std::find(kinds.begin(), kinds.end(), kind) == kinds.end()) {
        kinds.push_back(kind);
        reps.push_back(i);
      }
    }
  } else {
    Ref missing = call_method(call_method(firsts, id_isna).get(), id_to_numpy);
    IntView view(np, missing.get(), "bool");
    const bool* flags = view.flags();
    Py_ssize_t n = view.size(sizeof(bool));
    Py_ssize_t first_present = -1, first_missing = -1;
    for (Py_ssize_t i = 0; i < n && (first_present < 0 || first_missing < 0); ++i) {
      Py_ssize_t& slot = flags[i] ? first_missing : first_present;
      if (slot < 0) slot = i;
    }
    for (Py_ssize_t i : {first_present, first_missing}) {
      if (i >= 0) reps.push_back(i);
    }
    std::sort(reps.begin(), reps.end());
  }

  Ref frame_cls = getattr(pd, id_DataFrame);
  Ref one_row = call(getattr(pd, id_RangeIndex).get(), {integer(1).get()});
  Ref iloc = getattr(firsts, id_iloc);
  Ref is_list_like = getattr(getattr(getattr(pd, id_api).get(), id_types).get(), id_is_list_like);
  Ref frames = new_list();
  for (Py_ssize_t i : reps) {
    Ref value = get_item(iloc.get(), integer(i).get());
    Ref frame = call(frame_cls.get(), {}, {{id_index, one_row.get()}});
    if (!PyUnicode_Check(value.get()) && truthy(call(is_list_like.get(), {value.get()}).get())) {
      // A list or mapping value is held whole on every row.
      Ref cell = new_list(1);
      PyList_SET_ITEM(cell.get(), 0, value.new_ref());
      Ref holder = call(getattr(pd, id_Series).get(), {cell.get()}, {{id_dtype, object_type.get()}});
      set_item(frame.get(), name, holder.get());
    } else {
      set_item(frame.get(), name, value.get());
    }
    list_append(frames.get(), frame.get());
  }
  Ref combined = PyList_GET_SIZE(frames.get()) == 1
                     ? Ref::borrow(PyList_GET_ITEM(frames.get(), 0))
                     : call(getattr(pd, id_concat).get(), {frames.get()}, {{id_ignore_index, Py_True}});
  Ref target = getattr(get_item(combined.get(), name).get(), id_dtype);
  Ref taken;
  if (equals(target.get(), dtype.get())) {
    taken = call_method(getattr(firsts, id_array).get(), id_take, {row_group});
  } else {
    Ref objects = call_method(firsts, id_to_numpy, {}, {{id_dtype, object_type.get()}});
    taken = call_method(objects.get(), id_take, {row_group});
  }
  // A Series with its dtype spelled out: an object array assigned bare would
  // be re-inferred (all-text cells become the string dtype).
  return call(getattr(pd, id_Series).get(), {taken.get()}, {{id_dtype, target.get()}});
}

// One instant in the unit of `dates` (a nanosecond, a microsecond, ...).
Ref one_instant(PyObject* pd, PyObject* dates) {
  static const Id id_Timedelta("Timedelta");
  Ref unit = getattr(dates, id_unit);
  return call(getattr(pd, id_Timedelta).get(), {integer(1).get()}, {{id_unit, unit.get()}});
}

// Groups whose resample keeps one more, empty bucket after their last row.
// Buckets of the month, quarter, year and week ends close at the last instant
// of their closing day; pandas drops the edge after the last stamp unless
// that stamp is exactly such a closing instant, and then the next bucket stays.
std::vector<std::int64_t> day_end_groups(PyObject* pd, PyObject* np, PyObject* dates,
                                         const std::vector<std::int64_t>& last_row, PyObject* offset) {
  static const Id id_tz("tz"), id_tz_localize("tz_localize"), id_is_on_offset("is_on_offset");
  std::vector<std::int64_t> out;
  Ref code = getattr(offset, id_rule_code);
  if (!PyUnicode_Check(code.get())) return out;
  std::string_view text = utf8(code.get());
  std::string_view family = text.substr(0, text.find('-'));
  bool closes_at_day_end = false;
  for (std::string_view end_type : {"W", "ME", "QE", "YE", "BME", "BQE", "BYE"}) closes_at_day_end |= family == end_type;
  if (!closes_at_day_end) return out;
  Ref last = call_method(dates, id_take, {int64_array(np, last_row).get()});
  Ref tz = getattr(last.get(), id_tz);
  Ref wall = tz.get() == Py_None ? last : call_method(last.get(), id_tz_localize, {Py_None});
  Ref next = check(PyNumber_Add(wall.get(), one_instant(pd, dates).get()));
  Ref midnight = check(PyObject_RichCompare(next.get(), call_method(next.get(), id_normalize).get(), Py_EQ));
  IntView view(np, midnight.get(), "bool");
  const bool* flags = view.flags();
  for (Py_ssize_t g = 0; g < view.size(sizeof(bool)); ++g) {
    if (!flags[g]) continue;
    Ref day = call_method(get_item(wall.get(), integer(g).get()).get(), id_normalize);
    if (truthy(call_method(offset, id_is_on_offset, {day.get()}).get())) out.push_back(g);
  }
  return out;
}

enum class ResampleArg : std::size_t { self, frame, namespace_, interval };

Ref investor_bridgework_resample_frame(Call& c) {
  static const Id id_Date("Date"), id_symbol("symbol"), id_icb("icb"), id_code("code"), id_ticker("ticker"),
      id_coerce("coerce"), id_number("number");
  PyObject* self = c.self();
  PyObject* frame = c[ResampleArg::frame];
  Ref pd = c.global(id_pd);
  Ref np = import("numpy");
  Ref rule = month_rule(pd.get(), c[ResampleArg::interval]);
  auto frame_is_empty = [](PyObject* f) { return truthy(getattr(f, id_empty).get()); };

  if (frame_is_empty(frame)) return Ref::borrow(frame);
  Ref columns = getattr(frame, id_columns);
  const Id* date_id = contains(columns.get(), id_date.get())   ? &id_date
                      : contains(columns.get(), id_Date.get()) ? &id_Date
                                                               : nullptr;
  if (date_id == nullptr) return Ref::borrow(frame);
  PyObject* date_col = date_id->get();
  Ref subset = new_list(1);
  PyList_SET_ITEM(subset.get(), 0, Py_NewRef(date_col));
  Ref working = call_method(frame, id_dropna, {}, {{id_subset, subset.get()}});
  if (frame_is_empty(working.get())) return Ref::borrow(frame);
  working = call_method(working.get(), id_copy);
  Ref parsed = call_method(pd.get(), id_to_datetime, {get_item(working.get(), date_col).get()},
                           {{id_errors, id_coerce.get()}});
  set_item(working.get(), date_col, parsed.get());
  working = call_method(working.get(), id_dropna, {}, {{id_subset, subset.get()}});
  if (frame_is_empty(working.get())) return Ref::borrow(frame);

  // Identifier column and group codes (groups in ascending key order, as groupby gives them).
  Ref working_columns = getattr(working.get(), id_columns);
  Ref id_col;
  {
    Ref table = getattr(self, id_ID_FIELD);
    Ref field = call_method(table.get(), id_get, {c[ResampleArg::namespace_]});
    for (PyObject* candidate : {field.get(), id_symbol.get(), id_icb.get(), id_code.get(), id_ticker.get()}) {
      if (candidate != Py_None && contains(working_columns.get(), candidate)) {
        id_col = Ref::borrow(candidate);
        break;
      }
    }
  }
  std::vector<std::int64_t> codes;
  Ref keys;  // the identifier of each group, as the result carries it
  Ref strict_str = id_col ? c.global(id_strict_str) : Ref();
  if (id_col && strict_str.get() == g_native_strict_str && native_nan_rule(c)) {
    Ref raw = get_item(working.get(), id_col.get());
    Ref object_type = Ref::borrow(reinterpret_cast<PyObject*>(&PyBaseObject_Type));
    Ref values = check(PySequence_List(call_method(raw.get(), id_to_numpy, {}, {{id_dtype, object_type.get()}}).get()));
    const Py_ssize_t n = PyList_GET_SIZE(values.get());
    Ref code_of = new_dict();
    Ref uniques = new_list();
    std::vector<std::int64_t> first_codes(static_cast<std::size_t>(n));
    std::vector<std::int64_t> kept;
    PyObject* previous = nullptr;
    std::int64_t previous_code = -1;
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* value = PyList_GET_ITEM(values.get(), i);
      std::int64_t code;
      // Rows of one identifier usually follow each other: reuse the last answer.
      if (previous != nullptr && (value == previous || (PyUnicode_CheckExact(value) && PyUnicode_CheckExact(previous) &&
                                                        PyUnicode_Compare(value, previous) == 0))) {
        code = previous_code;
      } else {
        Ref key = strict_str_of(value);
        if (PyUnicode_GET_LENGTH(key.get()) == 0) {
          code = -1;
        } else if (Ref known = dict_get(code_of.get(), key.get())) {
          code = PyLong_AsLongLong(known.get());
        } else {
          code = PyList_GET_SIZE(uniques.get());
          dict_set(code_of.get(), key.get(), integer(code).get());
          list_append(uniques.get(), key.get());
        }
        previous = value;
        previous_code = code;
      }
      first_codes[static_cast<std::size_t>(i)] = code;
      if (code >= 0) kept.push_back(i);
    }
    // Renumber in sorted key order.
    const Py_ssize_t groups = PyList_GET_SIZE(uniques.get());
    Ref sorted_keys = check(PySequence_List(uniques.get()));
    check(PyList_Sort(sorted_keys.get()));
    std::vector<std::int64_t> rank(static_cast<std::size_t>(groups));
    for (Py_ssize_t g = 0; g < groups; ++g) {
      Ref known = dict_get(code_of.get(), PyList_GET_ITEM(sorted_keys.get(), g));
      rank[static_cast<std::size_t>(PyLong_AsLongLong(known.get()))] = g;
    }
    codes.reserve(kept.size());
    for (std::int64_t i : kept) codes.push_back(rank[static_cast<std::size_t>(first_codes[static_cast<std::size_t>(i)])]);
    if (static_cast<Py_ssize_t>(kept.size()) != n) working = call_method(working.get(), id_take, {int64_array(np.get(), kept).get()});
    keys = std::move(sorted_keys);
  } else if (id_col) {
    Ref cleaned = call_method(get_item(working.get(), id_col.get()).get(), id_apply, {strict_str.get()});
    Ref keep = check(PyObject_RichCompare(cleaned.get(), empty_text().get(), Py_NE));
    working = get_item(working.get(), keep.get());
    cleaned = get_item(cleaned.get(), keep.get());
    Ref factorized = call_method(pd.get(), id_factorize, {cleaned.get()}, {{id_sort, Py_True}});
    codes = int64_values(np.get(), PyTuple_GET_ITEM(factorized.get(), 0));
    // Missing keys form no group, as in groupby.
    std::vector<std::int64_t> kept;
    for (std::size_t i = 0; i < codes.size(); ++i) {
      if (codes[i] >= 0) kept.push_back(static_cast<std::int64_t>(i));
    }
    if (kept.size() != codes.size()) {
      working = call_method(working.get(), id_take, {int64_array(np.get(), kept).get()});
      std::vector<std::int64_t> remaining;
      for (std::int64_t i : kept) remaining.push_back(codes[static_cast<std::size_t>(i)]);
      codes = std::move(remaining);
    }
    Ref uniques = check(PySequence_List(PyTuple_GET_ITEM(factorized.get(), 1)));
    keys = new_list();
    for (Py_ssize_t g = 0, n = PyList_GET_SIZE(uniques.get()); g < n; ++g) {
      Ref current = c.global(id_strict_str);
      list_append(keys.get(), call(current.get(), {PyList_GET_ITEM(uniques.get(), g)}).get());
    }
  }

  // Value columns: numeric dtypes except the identifier.
  Ref numeric = call_method(working.get(), id_select_dtypes, {}, {{id_include, id_number.get()}});
  Ref numeric_names = call_method(getattr(numeric.get(), id_columns).get(), id_tolist);
  Ref value_cols = new_list();
  for (Py_ssize_t i = 0, n = PyList_GET_SIZE(numeric_names.get()); i < n; ++i) {
    PyObject* name = PyList_GET_ITEM(numeric_names.get(), i);
    if (!id_col || !equals(name, id_col.get())) list_append(value_cols.get(), name);
  }
  if (PyList_GET_SIZE(value_cols.get()) == 0) return Ref::borrow(frame);

  const Py_ssize_t rows = check_size(PyObject_Length(working.get()));
  std::int64_t groups;
  if (id_col) {
    groups = static_cast<std::int64_t>(PyList_GET_SIZE(keys.get()));
  } else {
    codes.assign(static_cast<std::size_t>(rows), 0);
    groups = 1;
  }
  if (groups == 0 || rows == 0) return Ref::borrow(frame);
  const std::size_t n = static_cast<std::size_t>(rows);

  Ref dates = call(getattr(pd.get(), id_DatetimeIndex).get(), {get_item(working.get(), date_col).get()});
  std::vector<std::int64_t> stamps = int64_values(np.get(), getattr(dates.get(), id_asi8).get());

  // Rows by group, then by date (ties in frame order): the order in which a
  // group's resample meets them, and so the order of summation.
  std::vector<std::int64_t> order(n);
  {
    std::vector<std::int64_t> start(static_cast<std::size_t>(groups) + 1, 0);
    for (std::int64_t g : codes) ++start[static_cast<std::size_t>(g) + 1];
    for (std::size_t g = 0; g < static_cast<std::size_t>(groups); ++g) start[g + 1] += start[g];
    std::vector<std::int64_t> fill(start.begin(), start.end() - 1);
    for (std::size_t i = 0; i < n; ++i) order[static_cast<std::size_t>(fill[static_cast<std::size_t>(codes[i])]++)] = static_cast<std::int64_t>(i);
    for (std::size_t g = 0; g < static_cast<std::size_t>(groups); ++g) {
      auto first = order.begin() + start[g], last = order.begin() + start[g + 1];
      auto by_date = [&](std::int64_t a, std::int64_t b) { return stamps[static_cast<std::size_t>(a)] < stamps[static_cast<std::size_t>(b)]; };
      if (!std::is_sorted(first, last, by_date)) std::stable_sort(first, last, by_date);
    }
  }
  std::vector<std::int64_t> group_first_row(static_cast<std::size_t>(groups), -1);
  for (std::size_t k = n; k-- > 0;) group_first_row[static_cast<std::size_t>(codes[static_cast<std::size_t>(order[k])])] = order[k];

  // Buckets.  Groups that share a grid are binned together; the grid of a
  // rule with a stride depends on the day a group starts.
  std::vector<std::int64_t> group_last_row(static_cast<std::size_t>(groups), -1);
  for (std::size_t k = 0; k < n; ++k) group_last_row[static_cast<std::size_t>(codes[static_cast<std::size_t>(order[k])])] = order[k];
  std::vector<std::int64_t> bins;
  std::vector<std::int64_t> stand_in_group;  // the group of each stand-in stamp binned after the rows
  Ref labels;
  {
    Binning all = bin_dates(pd.get(), np.get(), dates.get(), rule.get());
    Ref binned = dates;
    stand_in_group = day_end_groups(pd.get(), np.get(), dates.get(), group_last_row, all.offset.get());
    if (!stand_in_group.empty()) {
      std::vector<std::int64_t> rows_of;
      for (std::int64_t g : stand_in_group) rows_of.push_back(group_last_row[static_cast<std::size_t>(g)]);
      Ref last = call_method(dates.get(), id_take, {int64_array(np.get(), rows_of).get()});
      Ref stand_ins = check(PyNumber_Add(last.get(), one_instant(pd.get(), dates.get()).get()));
      binned = call_method(dates.get(), id_append, {stand_ins.get()});
    }
    const std::size_t binned_count = n + stand_in_group.size();
    auto group_of = [&](std::size_t i) {
      return i < n ? codes[i] : stand_in_group[i - n];
    };
    if (grid_is_global(pd.get(), all.offset.get())) {
      if (binned.get() != dates.get()) all = bin_dates(pd.get(), np.get(), binned.get(), rule.get());
      bins = std::move(all.bins);
      labels = all.labels;
    } else {
      bins.assign(binned_count, 0);
      Ref starts = call_method(call_method(dates.get(), id_take, {int64_array(np.get(), group_first_row).get()}).get(), id_normalize);
      std::vector<std::int64_t> start_days = int64_values(np.get(), getattr(starts.get(), id_asi8).get());
      std::map<std::int64_t, std::vector<std::int64_t>> rows_by_day;
      for (std::size_t i = 0; i < binned_count; ++i) {
        rows_by_day[start_days[static_cast<std::size_t>(group_of(i))]].push_back(static_cast<std::int64_t>(i));
      }
      Ref parts = new_list();
      std::int64_t offset = 0;
      for (auto& [day, members] : rows_by_day) {
        if (PyErr_CheckSignals() < 0) raised();
        Ref subset_dates = call_method(binned.get(), id_take, {int64_array(np.get(), members).get()});
        Binning part = bin_dates(pd.get(), np.get(), subset_dates.get(), rule.get());
        for (std::size_t j = 0; j < members.size(); ++j) bins[static_cast<std::size_t>(members[j])] = part.bins[j] + offset;
        offset += check_size(PyObject_Length(part.labels.get()));
        list_append(parts.get(), part.labels.get());
      }
      Ref head = Ref::borrow(PyList_GET_ITEM(parts.get(), 0));
      Ref rest = check(PyList_GetSlice(parts.get(), 1, PyList_GET_SIZE(parts.get())));
      labels = PyList_GET_SIZE(rest.get()) == 0 ? head : call_method(head.get(), id_append, {rest.get()});
    }
  }

  // Result layout: each group's buckets from its first row's to its last row's.
  std::vector<std::int64_t> low(static_cast<std::size_t>(groups)), high(static_cast<std::size_t>(groups));
  for (std::size_t k = 0; k < n; ++k) {
    std::size_t row = static_cast<std::size_t>(order[k]);
    std::size_t g = static_cast<std::size_t>(codes[row]);
    if (k == 0 || codes[static_cast<std::size_t>(order[k - 1])] != codes[row]) low[g] = bins[row];
    high[g] = bins[row];
  }
  for (std::size_t s = 0; s < stand_in_group.size(); ++s) {
    std::size_t g = static_cast<std::size_t>(stand_in_group[s]);
    high[g] = std::max(high[g], bins[n + s]);
  }
  std::vector<std::int64_t> result_start(static_cast<std::size_t>(groups));
  std::int64_t total = 0;
  for (std::size_t g = 0; g < static_cast<std::size_t>(groups); ++g) {
    result_start[g] = total;
    total += high[g] - low[g] + 1;
  }
  std::vector<std::int64_t> position(n);
  for (std::size_t k = 0; k < n; ++k) {
    std::size_t row = static_cast<std::size_t>(order[k]);
    std::size_t g = static_cast<std::size_t>(codes[row]);
    position[k] = result_start[g] + bins[row] - low[g];
  }
  std::vector<std::int64_t> row_group(static_cast<std::size_t>(total)), row_bin(static_cast<std::size_t>(total));
  for (std::size_t g = 0; g < static_cast<std::size_t>(groups); ++g) {
    for (std::int64_t b = low[g]; b <= high[g]; ++b) {
      std::size_t r = static_cast<std::size_t>(result_start[g] + b - low[g]);
      row_group[r] = static_cast<std::int64_t>(g);
      row_bin[r] = b;
    }
  }

  // Sums per (group, bucket), then every bucket of every range.  pandas sums
  // a block of floats that holds a missing value with compensated summation
  // and one without it plainly, so groups are summed apart by which float
  // dtypes (blocks) hold a missing value in them: each group then gets the
  // arithmetic its own resample would have used, to the last bit.
  Ref values = get_item(working.get(), value_cols.get());
  std::vector<std::uint32_t> group_missing(static_cast<std::size_t>(groups), 0);
  {
    static const Id id_floating("floating");
    Ref floats = call_method(values.get(), id_select_dtypes, {}, {{id_include, id_floating.get()}});
    Ref by_position = getattr(floats.get(), id_iloc);
    Ref all_rows = check(PySlice_New(nullptr, nullptr, nullptr));
    std::vector<Ref> dtypes;
    for (Py_ssize_t j = 0, count = check_size(PyObject_Length(getattr(floats.get(), id_columns).get())); j < count; ++j) {
      Ref column = get_item(by_position.get(), tuple({all_rows.get(), integer(j).get()}).get());
      Ref dtype = getattr(column.get(), id_dtype);
      std::size_t kind = 0;
      while (kind < dtypes.size() && !equals(dtypes[kind].get(), dtype.get())) ++kind;
      if (kind == dtypes.size()) dtypes.push_back(dtype);
      const std::uint32_t bit = 1u << std::min<std::size_t>(kind, 31);
      IntView view(np.get(), call_method(call_method(column.get(), id_isna).get(), id_to_numpy).get(), "bool");
      const bool* flags = view.flags();
      for (std::size_t i = 0; i < n && static_cast<Py_ssize_t>(i) < view.size(sizeof(bool)); ++i) {
        if (flags[i]) group_missing[static_cast<std::size_t>(codes[i])] |= bit;
      }
    }
  }
  std::map<std::uint32_t, std::pair<std::vector<std::int64_t>, std::vector<std::int64_t>>> parts;
  for (std::size_t k = 0; k < n; ++k) {
    auto& part = parts[group_missing[static_cast<std::size_t>(codes[static_cast<std::size_t>(order[k])])]];
    part.first.push_back(order[k]);
    part.second.push_back(position[k]);
  }
  Ref partial_sums = new_list();
  for (auto& [missing, part] : parts) {
    Ref ordered = call_method(values.get(), id_take, {int64_array(np.get(), part.first).get()});
    Ref grouped = call_method(ordered.get(), id_groupby, {int64_array(np.get(), part.second).get()});
    list_append(partial_sums.get(), call_method(grouped.get(), id_sum, {}, {{id_min_count, integer(1).get()}}).get());
  }
  Ref sums = PyList_GET_SIZE(partial_sums.get()) == 1 ? Ref::borrow(PyList_GET_ITEM(partial_sums.get(), 0))
                                                      : call(getattr(pd.get(), id_concat).get(), {partial_sums.get()});
  Ref full_range = call(getattr(pd.get(), id_RangeIndex).get(), {integer(total).get()});
  Ref result = call_method(sums.get(), id_reindex, {full_range.get()});
  Ref group_of_row = int64_array(np.get(), row_group);
  call_method(result.get(), id_insert,
              {integer(0).get(), date_col, call_method(labels.get(), id_take, {int64_array(np.get(), row_bin).get()}).get()});

  Ref object_type = Ref::borrow(reinterpret_cast<PyObject*>(&PyBaseObject_Type));
  Ref series_cls = getattr(pd.get(), id_Series);
  if (id_col) {
    Ref key_series = call(series_cls.get(), {keys.get()}, {{id_dtype, object_type.get()}});
    set_item(result.get(), id_col.get(), broadcast_column(pd.get(), np.get(), key_series.get(), group_of_row.get(), id_col.get()).get());
  }
  // Descriptive columns carry each group's first row (in frame order).
  Ref described = new_list();
  for (Py_ssize_t i = 0, count = check_size(PyObject_Length(working_columns.get())); i < count; ++i) {
    Ref name = check(PySequence_GetItem(working_columns.get(), i));
    if (equals(name.get(), date_col) || (id_col && equals(name.get(), id_col.get())) ||
        contains(value_cols.get(), name.get())) {
      continue;
    }
    list_append(described.get(), name.get());
  }
  if (PyList_GET_SIZE(described.get()) != 0) {
    std::vector<std::int64_t> first_row(static_cast<std::size_t>(groups), -1);
    for (std::size_t i = 0; i < n; ++i) {
      std::int64_t& slot = first_row[static_cast<std::size_t>(codes[i])];
      if (slot < 0) slot = static_cast<std::int64_t>(i);
    }
    Ref firsts = call_method(working.get(), id_take, {int64_array(np.get(), first_row).get()});
    firsts = call_method(firsts.get(), id_reset_index, {}, {{id_drop, Py_True}});
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(described.get()); ++i) {
      PyObject* name = PyList_GET_ITEM(described.get(), i);
      Ref column = get_item(firsts.get(), name);
      set_item(result.get(), name, broadcast_column(pd.get(), np.get(), column.get(), group_of_row.get(), name).get());
    }
  }

  Ref sort_keys = new_list();
  if (id_col) list_append(sort_keys.get(), id_col.get());
  list_append(sort_keys.get(), date_col);
  Ref sorted = call_method(result.get(), id_sort_values, {sort_keys.get()});
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
  Ref strict_str = m.def(kStrictStr);
  g_native_strict_str = strict_str.new_ref();  // kept for the life of the process
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
