// private_core.investor.bridgework: investor trading-flow statistics for
// stocks, the market and sectors.  `InvestorBridgework.fetch_df` validates the
// namespace and operation, sends one request per identifier (POST, with a
// single GET retry when the service refuses the method or path), turns every
// accepted payload shape into rows and one sorted frame, and resamples daily
// rows to the caller's interval.
#include <cmath>

#include "pcrt/decoding.hpp"
#include "pcrt/pcrt.hpp"
#include "pcrt/site.hpp"
#include "resample.hpp"

namespace {
using namespace pcrt;
using investor::put_column;

// Module-level names read at call time.
const Id id_pd("pd"), id_HttpError("HttpError"), id_Mapping("Mapping"), id_Iterable("Iterable"), id_date("date"),
    id_datetime("datetime"), id_start_progress("start_progress"), id_update_progress("update_progress"),
    id_finish_progress("finish_progress");
// Methods and class attributes reached through `self`.
const Id id_NAMESPACE_OPS("_NAMESPACE_OPS"), id_ID_FIELD("_ID_FIELD"), id_session("session"),
    id_prepare_payload("_prepare_payload"), id_request("_request"), id_to_query_params("_to_query_params"),
    id_resample_frame("_resample_frame"), id_normalise_records("_normalise_records"),
    id_ensure_mapping("_ensure_mapping"), id_to_dataframe("_to_dataframe");
// Other attributes and keywords.
const Id id_lower("lower"), id_get("get"), id_post("post"), id_json("json"), id_json_body("json_body"),
    id_params("params"), id_status_code("status_code"), id_extend("extend"), id_items("items"), id_values("values"),
    id_isoformat("isoformat"), id_ids("ids"), id_group("group"), id_interval("interval"), id_start("start"),
    id_end("end"), id_DataFrame("DataFrame"), id_from_records("from_records"), id_columns("columns"),
    id_to_datetime("to_datetime"), id_errors("errors"), id_unit("unit"), id_api("api"), id_types("types"),
    id_is_numeric_dtype("is_numeric_dtype"), id_sort_values("sort_values"), id_reset_index("reset_index"),
    id_drop("drop"), id_isna("isna");

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

// str(value).strip()
Ref text_of(PyObject* value) {
  Ref text = check(PyObject_Str(value));
  return str_strip(text.get());
}

void set_item(PyObject* container, PyObject* key, PyObject* value) {
  check(PyObject_SetItem(container, key, value));
}

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

// The non-empty texts of an iterable of identifiers, in order.
Ref identifier_texts(PyObject* ids) {
  Ref texts = new_list();
  Ref iterator = check(PyObject_GetIter(ids));
  while (Ref item = Ref::steal_or_null(PyIter_Next(iterator.get()))) {
    Ref text = text_of(item.get());
    if (truthy(text.get())) list_append(texts.get(), text.get());
  }
  if (PyErr_Occurred()) raised();
  return texts;
}

// ---------------------------------------------------------------------------
// _strict_str

// None and NaN become the empty text, anything else its trimmed text form.
Ref strict_str_of(PyObject* value) {
  if (value == Py_None) return empty_text();
  if (PyFloat_Check(value) && std::isnan(PyFloat_AS_DOUBLE(value))) return empty_text();
  if (PyUnicode_Check(value)) return str_strip(value);
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

// The operations the class's NAMESPACE_OPS table lists for `ns`;
// ValueError for a namespace it does not list.
Ref allowed_operations(PyObject* self, PyObject* ns) {
  Ref table = getattr(self, id_NAMESPACE_OPS);
  if (!contains(table.get(), ns)) {
    raise_exc(call(reinterpret_cast<PyObject*>(PyExc_ValueError),
                   {check(PyUnicode_FromFormat("Unsupported investor namespace: %R", ns)).get()}));
  }
  return get_item(table.get(), ns);
}

// "/market-data/investor/<ns>/<op>" for an operation in `allowed`;
// ValueError, listing them, for any other.
Ref investor_endpoint(PyObject* ns, PyObject* op, PyObject* allowed) {
  static const Id id_prefix("/market-data/investor/"), id_slash("/");
  if (!contains(allowed, op)) {
    Ref listed = check(PySequence_List(allowed));
    check(PyList_Sort(listed.get()));
    raise_exc(call(reinterpret_cast<PyObject*>(PyExc_ValueError),
                   {check(PyUnicode_FromFormat("Operation %R is not available for namespace %R. Allowed operations: %S.",
                                               op, ns, listed.get()))
                        .get()}));
  }
  return str_concat(str_concat(str_concat(id_prefix.get(), ns).get(), id_slash.get()).get(), op);
}

// Two or more identifiers: one request per identifier, under the progress
// meter, the rows of all of them in order.
Ref fetch_each_identifier(const Call& c, PyObject* ns, PyObject* op, PyObject* endpoint, PyObject* payload,
                          PyObject* ids) {
  static const Id id_colon(":");
  PyObject* self = c.self();
  Ref records = new_list();
  Ref label = str_concat(str_concat(ns, id_colon.get()).get(), op);
  call(c.global(id_start_progress).get(), {length_of(ids).get(), label.get()});
  try_finally(
      [&]() -> Ref {
        Ref iterator = check(PyObject_GetIter(ids));
        long long index = 0;
        while (Ref identifier = Ref::steal_or_null(PyIter_Next(iterator.get()))) {
          if (PyErr_CheckSignals() < 0) raised();
          ++index;
          Ref single = dict_of(payload);
          Ref one = new_list(1);
          PyList_SET_ITEM(one.get(), 0, identifier.new_ref());
          set_item(single.get(), id_ids.get(), one.get());
          Ref raw = call_method(self, id_request, {endpoint, single.get()});
          Ref rows = call_method(self, id_normalise_records, {raw.get(), ns});
          call_method(records.get(), id_extend, {rows.get()});
          call(c.global(id_update_progress).get(), {integer(index).get()});
        }
        if (PyErr_Occurred()) raised();
        return none();
      },
      [&] { call(c.global(id_finish_progress).get()); });
  return records;
}

Ref investor_bridgework_fetch_df(Call& c) {
  static const Id id_1D("1D");
  PyObject* self = c.self();
  Ref ns = call_method(c[FetchArg::namespace_], id_lower);
  Ref allowed = allowed_operations(self, ns.get());
  Ref op = call_method(c[FetchArg::op], id_lower);
  Ref endpoint = investor_endpoint(ns.get(), op.get(), allowed.get());

  Ref payload = call_method(self, id_prepare_payload, {c[FetchArg::params]});
  Ref ids = mapping_get(payload.get(), id_ids.get());
  Ref records;
  if (PyList_Check(ids.get()) && check_size(PyObject_Size(ids.get())) >= 2) {
    records = fetch_each_identifier(c, ns.get(), op.get(), endpoint.get(), payload.get(), ids.get());
  } else {
    Ref raw = call_method(self, id_request, {endpoint.get(), payload.get()});
    records = call_method(self, id_normalise_records, {raw.get(), ns.get()});
  }

  Ref frame = call_method(self, id_to_dataframe, {records.get(), ns.get()});
  Ref interval = mapping_get(payload.get(), id_interval.get(), id_1D.get());
  if (PyUnicode_Check(interval.get())) {
    Ref rule = str_upper(interval.get());
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
    Ref cleaned;
    if (PyList_Check(ids.get()) || PyTuple_Check(ids.get())) {
      cleaned = identifier_texts(ids.get());
    } else {
      cleaned = new_list();
      list_append(cleaned.get(), text_of(ids.get()).get());
    }
    dict_set(p, id_ids, cleaned.get());
  }
  if (Ref group = dict_get(p, id_group)) {
    Ref text = call_method(text_of(group.get()).get(), id_lower);
    if (truthy(text.get())) dict_set(p, id_group, text.get());
  }
  if (Ref interval = dict_get(p, id_interval)) {
    Ref text = str_upper(text_of(interval.get()).get());
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
      Ref parts = identifier_texts(value);
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
    if (!is_mapping(c, payload.get())) raise_decoding(c.names(), kUnexpected);
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
      // Nested envelopes handed to an overriding `_normalise_records` recurse
      // through native frames: a hostile payload must not exhaust the C stack.
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
    if (!PyList_Check(value.get())) raise_decoding(c.names(), kUnexpected);
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
  if (!is_mapping(c, entry)) raise_decoding(c.names(), "Investor payload entries must be JSON objects.");
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
      parsed = call_method(pd.get(), id_to_datetime, {column.get()},
                           {{id_unit, id_s.get()}, {id_errors, id_coerce.get()}});
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
// Resampling (resample.cpp)

enum class ResampleArg : std::size_t { self, frame, namespace_, interval };

Ref investor_bridgework_resample_frame(Call& c) {
  return investor::resample_frame(c, c[ResampleArg::frame], c[ResampleArg::namespace_], c[ResampleArg::interval]);
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
