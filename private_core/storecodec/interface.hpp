// The methods of the store interface that memstore._Cache defines, as the
// stores that take its place as a client's `_cache` declare them: one table
// of parameters, so every store's signatures read alike.
#pragma once

#include <vector>

#include "pcrt/pcrt.hpp"

namespace store_interface {

// self, ns, key: get, _begin_inflight and _end_inflight.
inline std::vector<pcrt::Param> slot_params() {
  return {pcrt::self_arg(), pcrt::arg("ns", "Namespace"), pcrt::arg("key", "CacheKey")};
}
// self, ns, key, data, *, params=None, ttl=None
inline std::vector<pcrt::Param> set_params() {
  return {pcrt::self_arg(),
          pcrt::arg("ns", "Namespace"),
          pcrt::arg("key", "CacheKey"),
          pcrt::arg("data", "Any"),
          pcrt::kwonly("params", "Optional[Dict[str, Any]]", pcrt::Conv::OptDict, pcrt::none_default()),
          pcrt::kwonly("ttl", "Optional[timedelta]", pcrt::Conv::Any, pcrt::none_default())};
}
inline std::vector<pcrt::Param> clear_ns_params() { return {pcrt::self_arg(), pcrt::arg("ns", "Namespace")}; }
inline std::vector<pcrt::Param> clear_all_params() { return {pcrt::self_arg()}; }
// A store's `secret=None`: the key of the tag its entries carry.
inline constexpr pcrt::Param kSecret = pcrt::kwonly("secret", "Optional[Union[bytes, str]]", pcrt::Conv::Any,
                                                    pcrt::none_default());

inline constexpr const char* kBeginDoc = "Returns True if caller should fetch; False if another fetch in progress.";

}  // namespace store_interface
