// DataDecodingError through the calling module's namespace.
#include "pcrt/decoding.hpp"

namespace pcrt {
namespace {
const Id id_DataDecodingError("DataDecodingError");
}  // namespace

Ref decoding_error(const ModuleNames& names, PyObject* message) {
  return call(names.get(id_DataDecodingError).get(), {message});
}

void raise_decoding(const ModuleNames& names, PyObject* message) { raise_exc(decoding_error(names, message)); }

void raise_decoding(const ModuleNames& names, const char* message) { raise_decoding(names, str(message).get()); }

}  // namespace pcrt
