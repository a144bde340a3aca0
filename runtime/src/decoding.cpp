// DataDecodingError through the calling module's namespace.
#include "pcrt/decoding.hpp"

namespace pcrt {
namespace {
const Id id_DataDecodingError("DataDecodingError");
}  // namespace

Ref decoding_error(const Call& c, PyObject* message) {
  return call(c.global(id_DataDecodingError).get(), {message});
}

void raise_decoding(const Call& c, PyObject* message) { raise_exc(decoding_error(c, message)); }

void raise_decoding(const Call& c, const char* message) { raise_decoding(c, str(message).get()); }

}  // namespace pcrt
