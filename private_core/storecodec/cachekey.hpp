// Canonical text of a cache slot (namespace and key), the name an entry has
// in a store that several processes share.
//
// Keys that are equal in Python get the same text, as they find the same slot
// of a dict: 1, 1.0 and True encode alike, an aware datetime is written in
// UTC.  Only values whose text is stable across processes and versions are
// accepted (str, int, float, bool, None, date, datetime and tuples of them);
// anything else raises TypeError naming its type, before the caller talks to
// any server.
#pragma once

#include <string>
#include <string_view>

#include "pcrt/pcrt.hpp"

namespace cachekey {

// '"ns":' followed by the key's text; TypeError for a namespace that is not a
// str or a key element of another type.
std::string slot_text(PyObject* ns, PyObject* key);
// The text a namespace's slots begin with ('"ns":').
std::string namespace_text(PyObject* ns);
// Whether `text` can be a slot's text: a quoted namespace, ':', then a key
// with no brace outside its quoted texts.  Tells a store's own names apart
// from those of a prefix that merely begins like it ("a" and "a:{x").
bool is_slot_text(std::string_view text);
// `text` with the glob characters of a SCAN MATCH pattern escaped.
std::string glob_escape(std::string_view text);

}  // namespace cachekey
