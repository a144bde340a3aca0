// private_core.toolbox: an importable utility module that defines no names.
#include "pcrt/pcrt.hpp"

static void build(pcrt::Module&) {}

PCRT_MODULE(toolbox, build)
