// Driving one generated filter from a type table (corpus.h) over the
// runtime's streams: shared by the corpus tests and the corpus fuzzer,
// which define qc::fail to report what breaks.
#ifndef QUILLET_TESTS_CORPUS_DRIVE_H
#define QUILLET_TESTS_CORPUS_DRIVE_H

#include "corpus.h"
#include "support.h"

namespace qc {

using qt::Bytes;
using qt::Rng;
using qt::Run;

void fail(const std::string &what, const Bytes &in);

inline uint64_t fnv(uint64_t h, const void *p, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        h = (h ^ static_cast<const uint8_t *>(p)[i]) * 0x100000001b3u;
    return h;
}
inline uint64_t fnv(uint64_t h, uint64_t v)
{
    uint8_t b[8];
    for (int i = 0; i < 8; ++i)
        b[i] = static_cast<uint8_t>(v >> (8 * i));
    return fnv(h, b, 8);
}

// A zeroed object of one table type; the filter's FREE releases it.
struct Obj {
    const qc_type &t;
    void *p;
    explicit Obj(const qc_type &ty) : t(ty), p(std::calloc(1, ty.size)) {}
    Obj(const Obj &) = delete;
    Obj &operator=(const Obj &) = delete;
    ~Obj()
    {
        release();
        std::free(p);
    }
    void *get() { return p; }
    int release()
    {
        qt::Stream s(axdr_mem_create(nullptr, 0, AXDR_FREE));
        return t.code(s.get(), p);
    }
};

// One input: a memory decode must end; fed at random splits and (a value,
// if bytewise) a byte at a time it gives the same result, bytes taken and
// value. A value re-encodes to the bytes it took, into canon, and prints.
// No decode leaves a frame saved.
inline int judge(const qc_type &t, const Bytes &in, Rng &rng, bool bytewise, size_t &used, Bytes &canon)
{
    auto encode = [&](Obj &o, Bytes &out) {
        out.assign(used + 64, 0xee);
        return qt::run_mem<void>(t.code, o.p, out, AXDR_ENCODE).r;
    };
    Obj o(t);
    Bytes b = in;
    const Run d = qt::run_mem<void>(t.code, o.p, b, AXDR_DECODE);
    int pr = AXDR_FALSE;
    used = d.used;
    if (d.frames != 0)
        fail("frames outlive a memory decode", in);
    if (d.r != AXDR_TRUE && d.r != AXDR_FALSE)
        fail("a memory decode pends", in);
    if (d.r == AXDR_TRUE && (encode(o, canon) != AXDR_TRUE || canon != Bytes(in.begin(), in.begin() + long(used))))
        fail("a value re-encodes to other bytes than it took", in);
    if (d.r == AXDR_TRUE && (qt::print<void>(t.code, o.p, &pr, {}, nullptr, true), pr != AXDR_TRUE))
        fail("a decoded value does not print", in);
    for (int way = 0; way < (d.r == AXDR_TRUE && bytewise ? 2 : 1); ++way) {
        Obj p(t);
        Bytes e;
        const Run r = qt::run_incr<void>(t.code, p.p, in, 0, size_t(way), in.size(), {}, 0, 1, &rng);
        if (r.frames != 0)
            fail("frames outlive an incremental decode", in);
        if (r.r != d.r || (d.r == AXDR_TRUE && (r.used != used || encode(p, e) != AXDR_TRUE || e != canon)))
            fail(way ? "fed a byte at a time, the decode differs" : "fed at random splits, the decode differs", in);
    }
    return d.r;
}

} // namespace qc

#endif
