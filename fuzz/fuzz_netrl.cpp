// libFuzzer target: IP addresses, address/mask pairs and resource limits,
// through every check of harness.h.
#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    qf::run(qf::kFamilies[2], data, size, qf::die);
    return 0;
}
