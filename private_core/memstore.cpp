// private_core.memstore: not built yet.
#include "pcrt/pcrt.hpp"

static void build(pcrt::Module&) {}

PCRT_MODULE(memstore, build)
