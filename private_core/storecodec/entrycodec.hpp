// The bytes of one shared cache entry, and back.
//
//   "PCE2" | kind ('F' frame, 'J' JSON) | flags (bit 0: tagged) | meta length
//   (4 bytes, big endian) | meta (JSON: fetched_at, expires_at, params) |
//   payload (Arrow IPC stream, or JSON) | HMAC-SHA256 tag (32 bytes, tagged only)
//
// The tag covers the entry's Redis key as well, so a valid entry copied under
// another key does not verify.  Nothing is ever pickled: what another process
// wrote is parsed as data, never run.  Reads and writes take the calling
// module's names (`pa`, `pd`, `json`, `datetime`, `hmac`), read at call time.
#pragma once

#include <string>
#include <string_view>

#include "pcrt/pcrt.hpp"

namespace entrycodec {

// The times are aware (UTC when written): processes in other time zones read
// the same instants.
struct Entry {
  pcrt::Ref data, fetched_at, expires_at, params;
};

// The keyed hmac object that tags a store's entries: None without a secret,
// else keyed by `secret` (a non-empty str or bytes).  Only this object is
// kept: the secret itself is in no attribute.
pcrt::Ref keyed_mac(const pcrt::ModuleNames& names, PyObject* secret);

// The value to store for `entry` under `redis_key`; an empty Ref, with the
// reason in `why`, when it cannot be stored so that it reads back unchanged
// or encoding it raises (an Exception; the reason quotes it).
// `mac` is a keyed hmac object (copied, never updated) or None.
pcrt::Ref encode(const pcrt::ModuleNames& names, const Entry& entry, PyObject* mac, std::string_view redis_key,
                 std::string& why);

// The entry stored in `value`; raises (ValueError, or whatever the parsers
// raise) when the bytes are truncated, corrupt, foreign or wrongly tagged.
Entry decode(const pcrt::ModuleNames& names, PyObject* value, PyObject* mac, std::string_view redis_key);

}  // namespace entrycodec
