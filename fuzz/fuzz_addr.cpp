// libFuzzer target: IPv4, IPv6 and MAC addresses, through every check of harness.h.
#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    qf::run(qf::kFamilies[0], data, size, qf::die);
    return 0;
}
