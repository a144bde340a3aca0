// private_core.wirelink: not built yet.
#include "pcrt/pcrt.hpp"

static void build(pcrt::Module&) {}

PCRT_MODULE(wirelink, build)
