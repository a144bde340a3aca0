// private_core.memoguard: not built yet.
#include "pcrt/pcrt.hpp"

static void build(pcrt::Module&) {}

PCRT_MODULE(memoguard, build)
