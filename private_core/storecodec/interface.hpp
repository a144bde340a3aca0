// The methods of the store interface that memstore._Cache defines, as the
// stores that take its place as a client's `_cache` declare them: one table
// of parameters, so every store's signatures read alike.
#pragma once

#include <string>
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

// What this thread missed last: a caller that misses an entry and then
// registers for its slot is told to wait, not to fetch, when the entry was
// stored in between (by another process).  Any other call of the store on
// this thread forgets the miss.
class LastMiss {
 public:
  static void remember(const void* store, const std::string& slot) { last() = mark(store, slot); }
  // Whether the last miss was this one; forgets it either way.
  static bool take(const void* store, const std::string& slot) {
    const bool missed = last() == mark(store, slot);
    forget();
    return missed;
  }
  static void forget() {
    if (!last().empty()) last().clear();
  }

 private:
  static std::string mark(const void* store, const std::string& slot) {
    return std::string(reinterpret_cast<const char*>(&store), sizeof store) + slot;
  }
  static std::string& last() { return missed_; }
  // Initial-exec: reached on every hit, without a look-up of the module's TLS block.
  static inline thread_local std::string missed_ __attribute__((tls_model("initial-exec")));
};

}  // namespace store_interface
