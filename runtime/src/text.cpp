// Shared text helpers: strip, upper and token masking.
#include "pcrt/text.hpp"

#include <cstring>

#include "pcrt/errors.hpp"

namespace pcrt {
namespace {

const Id id_strip("strip"), id_upper("upper"), lit_mask("***"), lit_empty("");

// Whether `ch` continues a word: a secret next to it is part of something longer.
bool word_char(Py_UCS4 ch) { return Py_UNICODE_ISALNUM(ch) || ch == '-' || ch == '_'; }

}  // namespace

void strip_bounds(PyObject* text, Py_ssize_t& begin, Py_ssize_t& end) {
  const int kind = PyUnicode_KIND(text);
  const void* data = PyUnicode_DATA(text);
  begin = 0;
  end = PyUnicode_GET_LENGTH(text);
  while (begin < end && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, begin))) ++begin;
  while (end > begin && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, end - 1))) --end;
}

std::string_view strip_ascii(std::string_view text) {
  std::size_t begin = 0, end = text.size();
  while (begin < end && Py_UNICODE_ISSPACE(static_cast<Py_UCS1>(text[begin]))) ++begin;
  while (end > begin && Py_UNICODE_ISSPACE(static_cast<Py_UCS1>(text[end - 1]))) --end;
  return text.substr(begin, end - begin);
}

Ref str_strip(PyObject* text) {
  if (!PyUnicode_CheckExact(text)) return call_method(text, id_strip);
  Py_ssize_t begin = 0, end = 0;
  strip_bounds(text, begin, end);
  if (begin == 0 && end == PyUnicode_GET_LENGTH(text)) return Ref::borrow(text);
  return check(PyUnicode_Substring(text, begin, end));
}

bool upper_ascii_into(std::string_view text, char* out) {
  bool changed = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char ch = text[i];
    if (is_ascii_lower(static_cast<unsigned char>(ch))) {
      ch = static_cast<char>(ch - ('a' - 'A'));
      changed = true;
    }
    out[i] = ch;
  }
  return changed;
}

Ref ascii_str(std::string_view text) {
  Ref out = check(PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127));
  std::memcpy(PyUnicode_1BYTE_DATA(out.get()), text.data(), text.size());
  return out;
}

Ref str_upper(PyObject* text) {
  if (!PyUnicode_CheckExact(text) || !PyUnicode_IS_ASCII(text)) return call_method(text, id_upper);
  const std::string_view src(reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(text)),
                             static_cast<std::size_t>(PyUnicode_GET_LENGTH(text)));
  std::size_t first = 0;
  while (first < src.size() && !is_ascii_lower(static_cast<unsigned char>(src[first]))) ++first;
  if (first == src.size()) return Ref::borrow(text);
  Ref out = check(PyUnicode_New(static_cast<Py_ssize_t>(src.size()), 127));
  upper_ascii_into(src, reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(out.get())));
  return out;
}

Ref mask_token(PyObject* text, PyObject* secret) {
  if (!PyUnicode_Check(text) || !PyUnicode_Check(secret) || PyUnicode_GET_LENGTH(secret) == 0) {
    return Ref::borrow(text);
  }
  const Py_ssize_t length = PyUnicode_GET_LENGTH(text), width = PyUnicode_GET_LENGTH(secret);
  const int kind = PyUnicode_KIND(text);
  const void* data = PyUnicode_DATA(text);
  Ref pieces;             // created at the first masked occurrence
  Py_ssize_t copied = 0;  // text[:copied] is in `pieces` already
  for (Py_ssize_t at = 0; at + width <= length;) {
    const Py_ssize_t found = PyUnicode_Find(text, secret, at, length, 1);
    if (found == -2) raised();
    if (found < 0) break;
    const Py_ssize_t after = found + width;
    const bool token = (found == 0 || !word_char(PyUnicode_READ(kind, data, found - 1))) &&
                       (after == length || !word_char(PyUnicode_READ(kind, data, after)));
    if (!token) {
      at = found + 1;
      continue;
    }
    if (!pieces) pieces = new_list();
    list_append(pieces.get(), check(PyUnicode_Substring(text, copied, found)).get());
    list_append(pieces.get(), lit_mask.get());
    copied = at = after;
  }
  if (!pieces) return Ref::borrow(text);
  list_append(pieces.get(), check(PyUnicode_Substring(text, copied, length)).get());
  return check(PyUnicode_Join(lit_empty.get(), pieces.get()));
}

Ref secret_bytes(PyObject* secret, const char* name) {
  Ref key;
  if (PyBytes_CheckExact(secret)) {
    key = Ref::borrow(secret);
  } else if (PyUnicode_CheckExact(secret)) {
    key = check(PyUnicode_AsUTF8String(secret));
  } else {
    raise_arg_type("secret", "bytes", secret);
  }
  if (PyBytes_GET_SIZE(key.get()) == 0) raise_format(PyExc_ValueError, "the %s must not be empty", name);
  return key;
}

}  // namespace pcrt
