// Shared cache entries as bytes; see entrycodec.hpp.
#include "entrycodec.hpp"

#include <cstring>
#include <optional>
#include <unordered_map>

namespace entrycodec {
namespace {
using namespace pcrt;

// Version 2 writes its times in UTC; a version 1 entry (local times) is foreign.
constexpr char kMagic[4] = {'P', 'C', 'E', '2'};
constexpr std::size_t kHeader = 10;  // magic, kind, flags, meta length
constexpr std::size_t kTag = 32;
constexpr char kFrame = 'F', kJson = 'J';
constexpr unsigned char kTagged = 1;

const Id id_pa("pa"), id_pd("pd"), id_json("json"), id_datetime("datetime"), id_hmac("hmac");
const Id id_assert_frame_equal("assert_frame_equal"), id_RangeIndex("RangeIndex"), id_DataFrame("DataFrame");

[[noreturn]] void corrupt(const char* why) { raise(PyExc_ValueError, why); }

// Whether `value` survives a JSON round trip as the same value: exact dicts
// with str keys, lists, str, int, float, bool and None.
bool plain_json(PyObject* value) {
  if (value == Py_None || PyBool_Check(value) || PyUnicode_CheckExact(value) || PyLong_CheckExact(value) ||
      PyFloat_CheckExact(value)) {
    return true;
  }
  if (!PyDict_CheckExact(value) && !PyList_CheckExact(value)) return false;
  std::optional<RecursionGuard> guard;
  try {
    guard.emplace(" while checking a cache value");
  } catch (const Raised&) {
    PyErr_Clear();  // too deep to share; it stays local
    return false;
  }
  if (PyList_CheckExact(value)) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value); ++i) {
      if (!plain_json(PyList_GET_ITEM(value, i))) return false;
    }
    return true;
  }
  Py_ssize_t pos = 0;
  PyObject *key, *item;
  while (PyDict_Next(value, &pos, &key, &item)) {
    if (!PyUnicode_CheckExact(key) || !plain_json(item)) return false;
  }
  return true;
}

Ref json_dumps(const ModuleNames& names, PyObject* value) {
  static const Id id_dumps("dumps"), id_separators("separators");
  static const Id comma(","), colon(":");
  Ref json = names.get(id_json);
  Ref separators = tuple({comma.get(), colon.get()});
  Ref text = call_method(json.get(), id_dumps, {value}, {{id_separators, separators.get()}});
  return check(PyUnicode_AsASCIIString(text.get()));  // dumps escapes everything else
}

Ref json_loads(const ModuleNames& names, PyObject* data) {
  static const Id id_loads("loads");
  Ref json = names.get(id_json);
  return call_method(json.get(), id_loads, {data});
}

Ref slice(PyObject* bytes, std::size_t start, std::size_t end) {
  Ref view = check(PyMemoryView_FromObject(bytes));
  return check(PySequence_GetSlice(view.get(), static_cast<Py_ssize_t>(start), static_cast<Py_ssize_t>(end)));
}

// mac.copy() fed with the key and `body`: the tag of an entry.
Ref tag_of(PyObject* mac, std::string_view redis_key, PyObject* body) {
  static const Id id_copy("copy"), id_update("update"), id_digest("digest");
  Ref fresh = call_method(mac, id_copy);
  Ref key = check(PyBytes_FromStringAndSize(redis_key.data(), static_cast<Py_ssize_t>(redis_key.size())));
  call_method(fresh.get(), id_update, {key.get()});
  call_method(fresh.get(), id_update, {body});
  return call_method(fresh.get(), id_digest);
}

// The frame in an Arrow IPC stream, checked in full first: the bytes may come
// from anyone who can write to the server.  `meta` restores what Arrow does
// not keep: a RangeIndex of columns and the frequency of a datetime index.
Ref read_frame(const ModuleNames& names, PyObject* payload, PyObject* meta) {
  static const Id id_ipc("ipc"), id_open_stream("open_stream"), id_read_all("read_all"), id_validate("validate"),
      id_full("full"), id_to_pandas("to_pandas"), id_columns("columns"), id_index("index"), id_freq("freq"),
      id_columns_range("columns_range"), id_index_freq("index_freq");
  Ref pa = names.get(id_pa);
  Ref ipc = getattr(pa.get(), id_ipc);
  Ref reader = call_method(ipc.get(), id_open_stream, {payload});
  Ref table = call_method(reader.get(), id_read_all);
  call_method(table.get(), id_validate, {}, {{id_full, Py_True}});
  Ref frame = call_method(table.get(), id_to_pandas);
  Ref columns_range = meta != nullptr ? dict_get(meta, id_columns_range) : Ref();
  if (columns_range && columns_range.get() != Py_None) {
    // Arrow names columns by text; a RangeIndex of columns is restored from the meta.
    Ref pd = names.get(id_pd);
    Ref range_cls = getattr(pd.get(), id_RangeIndex);
    Ref args = check(PySequence_Tuple(columns_range.get()));
    Ref range = check(PyObject_Call(range_cls.get(), args.get(), nullptr));
    setattr(frame.get(), id_columns, range.get());
  }
  Ref freq = meta != nullptr ? dict_get(meta, id_index_freq) : Ref();
  if (freq && freq.get() != Py_None) {
    // The index's own class checks that the stamps follow the frequency.
    Ref index = getattr(frame.get(), id_index);
    Ref index_cls = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(index.get())));
    Ref restored = call(index_cls.get(), {index.get()}, {{id_freq, freq.get()}});
    setattr(frame.get(), id_index, restored.get());
  }
  return frame;
}

// The frequency of a datetime or timedelta index (None for other indexes),
// which Arrow does not keep.
Ref index_freq(const ModuleNames& names, PyObject* frame) {
  static const Id id_index("index"), id_DatetimeIndex("DatetimeIndex"), id_TimedeltaIndex("TimedeltaIndex"),
      id_freqstr("freqstr");
  Ref pd = names.get(id_pd);
  Ref index = getattr(frame, id_index);
  Ref kinds = tuple({getattr(pd.get(), id_DatetimeIndex).get(), getattr(pd.get(), id_TimedeltaIndex).get()});
  if (!isinstance(index.get(), kinds.get())) return none();
  return getattr(index.get(), id_freqstr);
}

// The Arrow IPC stream of `frame`, or an empty Ref with `why` when Arrow cannot write it.
Ref arrow_bytes(const ModuleNames& names, PyObject* frame, std::string& why) {
  static const Id id_Table("Table"), id_from_pandas("from_pandas"), id_BufferOutputStream("BufferOutputStream"),
      id_ipc("ipc"), id_new_stream("new_stream"), id_schema("schema"), id_write_table("write_table"),
      id_close("close"), id_getvalue("getvalue"), id_to_pybytes("to_pybytes");
  try {
    Ref pa = names.get(id_pa);
    Ref table_cls = getattr(pa.get(), id_Table);
    Ref table = call_method(table_cls.get(), id_from_pandas, {frame});
    Ref sink = call(getattr(pa.get(), id_BufferOutputStream).get());
    Ref ipc = getattr(pa.get(), id_ipc);
    Ref writer = call_method(ipc.get(), id_new_stream, {sink.get(), getattr(table.get(), id_schema).get()});
    call_method(writer.get(), id_write_table, {table.get()});
    call_method(writer.get(), id_close);
    Ref buffer = call_method(sink.get(), id_getvalue);
    return call_method(buffer.get(), id_to_pybytes);
  } catch (const Raised&) {
    Ref exc = catch_matching([] { return Ref::borrow(PyExc_Exception); });
    why = "Arrow cannot write it (" + exception_text(exc.get()) + ")";
    return nullptr;
  }
}

// Whether `payload` reads back as `frame`: values, dtypes, index and its
// frequency, column order and names.
bool reads_back(const ModuleNames& names, PyObject* frame, PyObject* payload, PyObject* meta) {
  static const Id id_check_exact("check_exact"), id_check_index_type("check_index_type"),
      id_check_column_type("check_column_type");
  try {
    Ref back = read_frame(names, payload, meta);
    Ref check_equal = names.get(id_assert_frame_equal);
    call(check_equal.get(), {back.get(), frame},
         {{id_check_exact, Py_True}, {id_check_index_type, Py_True}, {id_check_column_type, Py_True}});
    return true;
  } catch (const Raised&) {
    catch_matching([] { return Ref::borrow(PyExc_Exception); });
    return false;
  }
}

// The text of what decides whether a frame reads back from Arrow unchanged
// when it holds no Python objects: column names and dtypes, the index's
// class, dtypes, names, and what the reader restores (`restored`).  Frames alike in it all read back or
// all fail, so the check runs once per layout.  Nothing for a frame with an
// object dtype anywhere: whether those read back depends on the values.
std::optional<std::string> layout_of(PyObject* frame, PyObject* restored) {
  static const Id id_columns("columns"), id_dtypes("dtypes"), id_index("index"), id_dtype("dtype"), id_names("names");
  Ref columns = getattr(frame, id_columns), index = getattr(frame, id_index);
  Ref index_dtypes = getattr_opt(index.get(), id_dtypes);  // a MultiIndex's levels
  if (!index_dtypes)
    index_dtypes = new_list(), list_append(index_dtypes.get(), getattr(index.get(), id_dtype).get());
  Ref parts = tuple({reinterpret_cast<PyObject*>(Py_TYPE(columns.get())), check(PySequence_List(columns.get())).get(),
                     check(PySequence_List(getattr(frame, id_dtypes).get())).get(),
                     reinterpret_cast<PyObject*>(Py_TYPE(index.get())), check(PySequence_List(index_dtypes.get())).get(),
                     check(PySequence_List(getattr(index.get(), id_names).get())).get(), restored});
  Ref text = check(PyObject_Repr(parts.get()));
  std::string layout(utf8(text.get()));
  if (layout.find("dtype('O')") != std::string::npos || layout.find("object") != std::string::npos) {
    return std::nullopt;
  }
  return layout;
}

// Verdicts by layout ("" for a frame that reads back); bounded, under the GIL.
std::unordered_map<std::string, std::string>& verdicts() {
  static auto* known = new std::unordered_map<std::string, std::string>();
  return *known;
}

// Arrow IPC bytes of `frame` (with what the reader restores put in `meta`),
// or an empty Ref with `why` when Arrow cannot write it or it does not read
// back identical.
Ref write_frame(const ModuleNames& names, PyObject* frame, PyObject* meta, std::string& why) {
  static const Id id_columns("columns"), id_start("start"), id_stop("stop"), id_step("step"),
      id_columns_range("columns_range"), id_index_freq("index_freq");
  constexpr std::size_t kLayoutsKept = 4096;
  why.clear();
  Ref pd = names.get(id_pd);
  Ref columns = getattr(frame, id_columns);
  Ref range_cls = getattr(pd.get(), id_RangeIndex);
  if (Py_TYPE(columns.get()) == reinterpret_cast<PyTypeObject*>(range_cls.get())) {
    Ref range = tuple({getattr(columns.get(), id_start).get(), getattr(columns.get(), id_stop).get(),
                       getattr(columns.get(), id_step).get()});
    dict_set(meta, id_columns_range, check(PySequence_List(range.get())).get());
  }
  Ref freq = index_freq(names, frame);
  if (freq.get() != Py_None) dict_set(meta, id_index_freq, freq.get());
  Ref payload = arrow_bytes(names, frame, why);
  if (!payload) return nullptr;
  Ref range = dict_get(meta, id_columns_range);
  const std::optional<std::string> layout = layout_of(frame, tuple({range ? range.get() : Py_None, freq.get()}).get());
  if (layout) {
    auto known = verdicts().find(*layout);
    if (known != verdicts().end()) {
      why = known->second;
      return why.empty() ? payload : nullptr;
    }
  }
  if (!reads_back(names, frame, payload.get(), meta)) why = "it does not read back from Arrow unchanged";
  if (layout) {
    if (verdicts().size() >= kLayoutsKept) verdicts().clear();
    verdicts().emplace(*layout, why);
  }
  return why.empty() ? payload : nullptr;
}

std::size_t put_header(char* out, char kind, bool tagged, std::size_t meta_size) {
  std::memcpy(out, kMagic, sizeof kMagic);
  out[4] = kind;
  out[5] = tagged ? static_cast<char>(kTagged) : 0;
  for (int i = 0; i < 4; ++i) out[6 + i] = static_cast<char>((meta_size >> (8 * (3 - i))) & 0xff);
  return kHeader;
}

Ref isoformat_or_none(PyObject* moment) {
  static const Id id_isoformat("isoformat");
  return moment == Py_None ? none() : call_method(moment, id_isoformat);
}

// An aware time: one that other processes, in other time zones, read alike.
Ref moment_from(const ModuleNames& names, PyObject* text) {
  static const Id id_fromisoformat("fromisoformat"), id_utcoffset("utcoffset");
  if (text == Py_None) return none();
  if (!PyUnicode_CheckExact(text)) corrupt("a time in its meta is not a text");
  Ref datetime = names.get(id_datetime);
  Ref moment = call_method(datetime.get(), id_fromisoformat, {text});
  if (call_method(moment.get(), id_utcoffset).get() == Py_None) corrupt("a time in its meta has no UTC offset");
  return moment;
}

}  // namespace

Ref keyed_mac(const ModuleNames& names, PyObject* secret) {
  static const Id id_new("new"), id_digestmod("digestmod"), sha256("sha256"), id_hmac("hmac");
  if (secret == Py_None) return none();
  Ref key = secret_bytes(secret, "integrity secret");
  Ref hmac = names.get(id_hmac);
  return call_method(hmac.get(), id_new, {key.get()}, {{id_digestmod, sha256.get()}});
}

namespace {

Ref encode_value(const ModuleNames& names, const Entry& entry, PyObject* mac, std::string_view redis_key,
                 std::string& why) {
  static const Id id_fetched_at("fetched_at"), id_expires_at("expires_at"), id_params("params");
  PyObject* data = entry.data.get();
  Ref pd = names.get(id_pd);
  Ref frame_cls = getattr(pd.get(), id_DataFrame);
  const bool frame = Py_TYPE(data) == reinterpret_cast<PyTypeObject*>(frame_cls.get());
  if (!frame && !((PyDict_CheckExact(data) || PyList_CheckExact(data)) && plain_json(data))) {
    why = std::string("a value of type '") + Py_TYPE(data)->tp_name + "' is neither a DataFrame nor plain JSON";
    return nullptr;
  }
  if (!plain_json(entry.params.get())) {
    why = "its params are not plain JSON";
    return nullptr;
  }
  Ref meta = new_dict();
  dict_set(meta.get(), id_fetched_at, isoformat_or_none(entry.fetched_at.get()).get());
  dict_set(meta.get(), id_expires_at, isoformat_or_none(entry.expires_at.get()).get());
  dict_set(meta.get(), id_params, entry.params.get());
  Ref payload;
  if (frame) {
    payload = write_frame(names, data, meta.get(), why);
    if (!payload) return nullptr;
  } else {
    payload = json_dumps(names, data);
  }
  Ref meta_bytes = json_dumps(names, meta.get());

  const bool tagged = mac != Py_None;
  const std::size_t meta_size = static_cast<std::size_t>(PyBytes_GET_SIZE(meta_bytes.get()));
  const std::size_t payload_size = static_cast<std::size_t>(PyBytes_GET_SIZE(payload.get()));
  const std::size_t body_size = kHeader + meta_size + payload_size;
  Ref value = check(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(body_size + (tagged ? kTag : 0))));
  char* out = PyBytes_AS_STRING(value.get());
  std::size_t at = put_header(out, frame ? kFrame : kJson, tagged, meta_size);
  std::memcpy(out + at, PyBytes_AS_STRING(meta_bytes.get()), meta_size);
  at += meta_size;
  std::memcpy(out + at, PyBytes_AS_STRING(payload.get()), payload_size);
  if (tagged) {
    Ref body = slice(value.get(), 0, body_size);
    Ref tag = tag_of(mac, redis_key, body.get());
    if (!PyBytes_Check(tag.get()) || PyBytes_GET_SIZE(tag.get()) != static_cast<Py_ssize_t>(kTag)) {
      raise(PyExc_ValueError, "the integrity digest must be 32 bytes long (HMAC-SHA256)");
    }
    std::memcpy(out + body_size, PyBytes_AS_STRING(tag.get()), kTag);
  }
  return value;
}

}  // namespace

Ref encode(const ModuleNames& names, const Entry& entry, PyObject* mac, std::string_view redis_key, std::string& why) {
  Ref failure;
  try {
    return encode_value(names, entry, mac, redis_key, why);
  } catch (const Raised&) {
    failure = catch_matching([] { return Ref::borrow(PyExc_Exception); });
  }
  why = "it cannot be encoded (" + exception_text(failure.get()) + ")";
  return nullptr;
}

Entry decode(const ModuleNames& names, PyObject* value, PyObject* mac, std::string_view redis_key) {
  static const Id id_fetched_at("fetched_at"), id_expires_at("expires_at"), id_params("params"),
      id_compare_digest("compare_digest");
  if (!PyBytes_Check(value)) corrupt("it is not bytes (is the client decoding responses?)");
  const char* in = PyBytes_AS_STRING(value);
  const std::size_t size = static_cast<std::size_t>(PyBytes_GET_SIZE(value));
  if (size < kHeader || std::memcmp(in, kMagic, sizeof kMagic) != 0) corrupt("it is not an entry of this cache");
  const char kind = in[4];
  if (kind != kFrame && kind != kJson) corrupt("it holds an unknown kind of value");
  const bool tagged = (static_cast<unsigned char>(in[5]) & kTagged) != 0;
  const bool secret = mac != Py_None;
  if (tagged != secret)
    corrupt(secret ? "it carries no integrity tag" : "it carries an integrity tag but no secret is set");
  std::size_t meta_size = 0;
  for (int i = 0; i < 4; ++i) meta_size = (meta_size << 8) | static_cast<unsigned char>(in[6 + i]);
  const std::size_t body_size = size - (tagged ? kTag : 0);
  if (size < kHeader + (tagged ? kTag : 0) || meta_size > body_size - kHeader) corrupt("it is truncated");
  if (tagged) {
    Ref body = slice(value, 0, body_size);
    Ref expected = tag_of(mac, redis_key, body.get());
    Ref tag = slice(value, body_size, size);
    Ref tag_bytes = check(PyBytes_FromObject(tag.get()));
    Ref hmac = names.get(id_hmac);
    // Constant time: the comparison must not tell an attacker how much of a forged tag was right.
    Ref same = call_method(hmac.get(), id_compare_digest, {expected.get(), tag_bytes.get()});
    if (same.get() != Py_True) corrupt("its integrity tag does not match the secret");
  }
  Ref meta_view = slice(value, kHeader, kHeader + meta_size);
  Ref meta_bytes = check(PyBytes_FromObject(meta_view.get()));
  Ref meta = json_loads(names, meta_bytes.get());
  if (!PyDict_CheckExact(meta.get())) corrupt("its meta is not a JSON object");
  Ref fetched_text = dict_get(meta.get(), id_fetched_at), expires_text = dict_get(meta.get(), id_expires_at);
  Ref params = dict_get(meta.get(), id_params);
  if (!fetched_text || !expires_text || !params || !PyDict_CheckExact(params.get()))
    corrupt("its meta is incomplete");
  Entry entry;
  entry.fetched_at = moment_from(names, fetched_text.get());
  if (entry.fetched_at.get() == Py_None) corrupt("its meta is incomplete");
  entry.expires_at = moment_from(names, expires_text.get());
  entry.params = params;
  Ref payload = slice(value, kHeader + meta_size, body_size);
  if (kind == kFrame) {
    entry.data = read_frame(names, payload.get(), meta.get());
  } else {
    Ref payload_bytes = check(PyBytes_FromObject(payload.get()));
    entry.data = json_loads(names, payload_bytes.get());
    if (!PyDict_CheckExact(entry.data.get()) && !PyList_CheckExact(entry.data.get())) {
      corrupt("its JSON value is neither an object nor an array");
    }
  }
  return entry;
}

}  // namespace entrycodec
