// Text helpers every module shares: `str.strip()`, `str.upper()` and the
// masking of a secret in a text that came from elsewhere.
//
// The str helpers follow the interpreter exactly: whitespace is what
// str.strip() strips (Py_UNICODE_ISSPACE, so "\x1c" and U+3000 count), only
// ASCII is upper-cased here and anything else takes str.upper()'s full case
// mapping ("ß" becomes "SS"), and a str subclass runs its own method.
#pragma once

#include <string_view>

#include "pcrt/ops.hpp"

namespace pcrt {

// [begin, end) of an exact str without its leading and trailing whitespace
// (begin == end when nothing is left).
void strip_bounds(PyObject* text, Py_ssize_t& begin, Py_ssize_t& end);
// The same on ASCII bytes (a view of an ASCII str, or a part of one).
std::string_view strip_ascii(std::string_view text);

// left + right, for two str.
inline Ref str_concat(PyObject* left, PyObject* right) { return check(PyUnicode_Concat(left, right)); }

// text.strip(): an exact str is trimmed here (the same object when nothing
// changes), any other object is asked by its own method.
Ref str_strip(PyObject* text);
// text.upper(): an exact ASCII str is mapped here (the same object when it
// has no lower-case letter), any other object is asked by its own method.
Ref str_upper(PyObject* text);

inline bool is_ascii_lower(Py_UCS4 ch) { return ch >= 'a' && ch <= 'z'; }
// Copies `text` upper-cased (ASCII letters only) to `out`, which holds
// text.size() bytes; true when any letter changed.
bool upper_ascii_into(std::string_view text, char* out);
// A new exact str from ASCII bytes.
Ref ascii_str(std::string_view text);

// `text` (a str) with every occurrence of `secret` that stands as a token of
// its own replaced by "***": an occurrence touching a letter, a digit, "-" or
// "_" on either side is part of a longer word and stays, so a short secret
// ("k", "503") does not garble the words that happen to contain it.  The same
// object when nothing is masked, or when `secret` is not a non-empty str.
Ref mask_token(PyObject* text, PyObject* secret);

// The bytes of a secret given as a non-empty str (UTF-8) or bytes: TypeError
// for anything else, ValueError("the <name> must not be empty").
Ref secret_bytes(PyObject* secret, const char* name = "secret");

}  // namespace pcrt
