// private_core.investor.FlowContract: not built yet.
#include "pcrt/pcrt.hpp"

static void build(pcrt::Module&) {}

PCRT_MODULE(FlowContract, build)
