// private_core.ledgerbook: not built yet.
#include "pcrt/pcrt.hpp"

static void build(pcrt::Module&) {}

PCRT_MODULE(ledgerbook, build)
