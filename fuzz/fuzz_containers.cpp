// libFuzzer target: the three string-keyed containers, through every check of harness.h.
#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    qf::run(qf::kFamilies[1], data, size, qf::die);
    return 0;
}
