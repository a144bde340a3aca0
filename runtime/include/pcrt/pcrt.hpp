// The shared native runtime of private_core: owning references, errors,
// object operations, Python-like native functions and module/class builders.
#pragma once

#include "pcrt/errors.hpp"
#include "pcrt/flow.hpp"
#include "pcrt/function.hpp"
#include "pcrt/gil.hpp"
#include "pcrt/id.hpp"
#include "pcrt/module.hpp"
#include "pcrt/ops.hpp"
#include "pcrt/ref.hpp"
#include "pcrt/text.hpp"
