// Generated decoders of corpus types (nfs_prot.x and yp.x, from the
// system's rpcsvc files) on random bytes: [0] picks the type, [1] seeds the
// piece sizes (its top bit: a byte at a time too), the rest is the wire;
// through the corpus tests' checks of one input (drive.h).
#include <cstdio>
#include <cstdlib>

#include "drive.h"

extern "C" const qc_file qc_file_nfs_prot, qc_file_yp;

void qc::fail(const std::string &what, const Bytes &)
{
    std::fprintf(stderr, "%s\n", what.c_str());
    std::abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const qc_file &f = data[0] & 1 ? qc_file_yp : qc_file_nfs_prot;
    qc::Rng rng{data[1]};
    size_t used = 0;
    qc::Bytes canon;
    qc::judge(f.types[(data[0] >> 1) % f.count], qc::Bytes(data + 2, data + size), rng, data[1] & 0x80, used, canon);
    return 0;
}
