// Canonical cache-slot text; see cachekey.hpp.
#include "cachekey.hpp"

#include <datetime.h>

#include <cmath>

namespace cachekey {
namespace {
using namespace pcrt;

void append_quoted(std::string& out, PyObject* text) {
  // JSON string syntax: unambiguous, and a quote inside ends nothing.  Lone
  // surrogates are kept as they are, so every str has a text.
  Ref bytes = check(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
  const char* data = PyBytes_AS_STRING(bytes.get());
  const Py_ssize_t size = PyBytes_GET_SIZE(bytes.get());
  out.push_back('"');
  for (Py_ssize_t i = 0; i < size; ++i) {
    const unsigned char ch = static_cast<unsigned char>(data[i]);
    if (ch == '"' || ch == '\\') {
      out.push_back('\\');
      out.push_back(static_cast<char>(ch));
    } else if (ch < 0x20) {
      static const char digits[] = "0123456789abcdef";
      out += "\\u00";
      out.push_back(digits[ch >> 4]);
      out.push_back(digits[ch & 15]);
    } else {
      out.push_back(static_cast<char>(ch));
    }
  }
  out.push_back('"');
}

void append_str(std::string& out, PyObject* text) { out += utf8(text); }

void append_integer(std::string& out, PyObject* number) {
  Ref exact = check(PyNumber_Index(number));  // an int subclass (IntEnum) writes as its value
  Ref text = check(PyObject_Str(exact.get()));
  append_str(out, text.get());
}

void append_float(std::string& out, double value) {
  if (std::isnan(value)) {
    out += "nan";
  } else if (std::isinf(value)) {
    out += value > 0 ? "inf" : "-inf";
  } else if (value == std::floor(value)) {
    // An integral float equals the int of the same value, and so finds its slot.
    Ref exact = check(PyLong_FromDouble(value));
    append_integer(out, exact.get());
  } else {
    char* text = PyOS_double_to_string(value, 'r', 0, 0, nullptr);
    if (text == nullptr) raised();
    out += text;
    PyMem_Free(text);
  }
}

void append_element(std::string& out, PyObject* value) {
  static const Id id_isoformat("isoformat"), id_utcoffset("utcoffset"), id_astimezone("astimezone");
  if (value == Py_None) {
    out += "null";
  } else if (PyBool_Check(value)) {
    out += value == Py_True ? "1" : "0";
  } else if (PyLong_Check(value)) {
    append_integer(out, value);
  } else if (PyFloat_Check(value)) {
    append_float(out, PyFloat_AS_DOUBLE(value));
  } else if (PyUnicode_Check(value)) {
    append_quoted(out, value);
  } else if (PyDateTime_Check(value)) {
    // Aware datetimes are equal when they name the same instant: written in UTC.
    Ref offset = call_method(value, id_utcoffset);
    Ref moment = Ref::borrow(value);
    if (offset.get() != Py_None) moment = call_method(value, id_astimezone, {PyDateTime_TimeZone_UTC});
    Ref text = call_method(moment.get(), id_isoformat);
    out.push_back('T');
    append_str(out, text.get());
  } else if (PyDate_Check(value)) {
    Ref text = call_method(value, id_isoformat);
    out.push_back('D');
    append_str(out, text.get());
  } else if (PyTuple_Check(value)) {
    RecursionGuard guard(" while encoding a cache key");
    out.push_back('(');
    const Py_ssize_t n = PyTuple_GET_SIZE(value);
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (i) out.push_back(',');
      append_element(out, PyTuple_GET_ITEM(value, i));
    }
    out.push_back(')');
  } else {
    raise_format(PyExc_TypeError,
                 "a cache key element of type '%.200s' cannot be shared: use str, int, float, bool, None, "
                 "date, datetime or a tuple of them",
                 Py_TYPE(value)->tp_name);
  }
}

void ensure_datetime_api() {
  if (PyDateTimeAPI == nullptr) {
    PyDateTime_IMPORT;
    if (PyDateTimeAPI == nullptr) raised();
  }
}

}  // namespace

std::string namespace_text(PyObject* ns) {
  if (!PyUnicode_Check(ns)) {
    raise_format(PyExc_TypeError, "a cache namespace must be a str, not '%.200s'", Py_TYPE(ns)->tp_name);
  }
  std::string out;
  append_quoted(out, ns);
  out.push_back(':');
  return out;
}

std::string slot_text(PyObject* ns, PyObject* key) {
  ensure_datetime_api();
  std::string out = namespace_text(ns);
  append_element(out, key);
  return out;
}

bool is_slot_text(std::string_view text) {
  // Past the quoted text that starts at `at` (its closing quote), or npos.
  auto skip_quoted = [&](std::size_t at) -> std::size_t {
    for (std::size_t i = at + 1; i < text.size(); ++i) {
      if (text[i] == '\\') {
        ++i;
      } else if (text[i] == '"') {
        return i + 1;
      }
    }
    return std::string_view::npos;
  };
  if (text.empty() || text[0] != '"') return false;
  std::size_t at = skip_quoted(0);
  if (at == std::string_view::npos || at >= text.size() || text[at] != ':') return false;
  for (++at; at < text.size();) {
    const char ch = text[at];
    if (ch == '{' || ch == '}') return false;
    if (ch == '"') {
      at = skip_quoted(at);
      if (at == std::string_view::npos) return false;
    } else {
      ++at;
    }
  }
  return true;
}

std::string glob_escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    if (ch == '*' || ch == '?' || ch == '[' || ch == ']' || ch == '\\') out.push_back('\\');
    out.push_back(ch);
  }
  return out;
}

}  // namespace cachekey
