// Generated decoders of corpus types (nfs_prot.x and yp.x, from the
// system's rpcsvc files) on random bytes: [0] picks the type, [1] seeds the
// piece sizes, the rest is the wire. Fed at random splits the decode must
// give the one-shot result, take the same bytes and re-encode the same
// value; an accepted value re-encodes to the bytes it took and prints.
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
    const qc_type &t = f.types[(data[0] >> 1) % f.count];
    const qc::Bytes wire(data + 2, data + size);
    qc::Rng rng{data[1]};
    qc::Bytes e0, e1;
    qc::Obj whole(t), pieces(t);
    const qc::Run d0 = qc::decode_mem(wire, whole);
    const qc::Run d1 = qc::decode_pieces(wire, pieces, 0, data[1] & 0x80 ? 1 : 0, wire.size(), &rng);
    const int r0 = d0.r, r1 = d1.r;
    const size_t used0 = d0.used, used1 = d1.used;
    if (r0 != AXDR_TRUE && r0 != AXDR_FALSE)
        qc::fail(std::string(t.name) + ": a memory decode pends", wire);
    if (r1 != r0)
        qc::fail(std::string(t.name) + ": the result depends on the splits", wire);
    if (r0 == AXDR_TRUE) {
        int pr = AXDR_FALSE;
        if (used1 != used0 || qc::encode(whole, e0, used0 + 64).r != AXDR_TRUE ||
            qc::encode(pieces, e1, used0 + 64).r != AXDR_TRUE || e1 != e0)
            qc::fail(std::string(t.name) + ": the value depends on the splits", wire);
        if (e0 != qc::Bytes(wire.begin(), wire.begin() + long(used0)))
            qc::fail(std::string(t.name) + ": a value re-encodes to other bytes than it took", wire);
        qc::print(whole, &pr);
        if (pr != AXDR_TRUE)
            qc::fail(std::string(t.name) + ": a decoded value does not print", wire);
    }
    return 0;
}
