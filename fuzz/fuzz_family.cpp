// libFuzzer target for one codec family (QF_FAMILY indexes kFamilies: IPv4,
// IPv6 and MAC addresses; the three containers; IP addresses, address/mask
// pairs and resource limits), through every check of harness.h.
#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    qf::run(qf::kFamilies[QF_FAMILY], data, size, qf::die);
    return 0;
}
