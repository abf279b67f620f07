// libFuzzer target: IPv4, IPv6 and MAC addresses, through every check of harness.h.
#include "harness.h"

namespace {

void die(const char *what, qv::Type t)
{
    std::fprintf(stderr, "%s: %s\n", qv::type_name(t), what);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    qf::run(qf::kFamilies[0], data, size, die);
    return 0;
}
