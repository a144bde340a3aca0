// The host package's DataDecodingError, raised the way the fetchers' Python
// renderings raise it: through the calling module's global
// `DataDecodingError`, read at call time, so a replaced class is the one used.
// Not part of pcrt.hpp: a module that raises it includes this header.
#pragma once

#include "pcrt/function.hpp"

namespace pcrt {

// DataDecodingError(message): the new exception, for `raise ... from cause`.
Ref decoding_error(const ModuleNames& names, PyObject* message);
// raise DataDecodingError(message)
[[noreturn]] void raise_decoding(const ModuleNames& names, PyObject* message);
[[noreturn]] void raise_decoding(const ModuleNames& names, const char* message);

}  // namespace pcrt
