// Driving one generated filter from a type table (corpus.h) over the
// runtime's streams: shared by the corpus tests and the corpus fuzzer,
// which define qc::fail to report what breaks.
#ifndef QUILLET_TESTS_CORPUS_DRIVE_H
#define QUILLET_TESTS_CORPUS_DRIVE_H

#include <algorithm>
#include <string>

#include <axdr_runtime.h>

#include "corpus.h"
#include "support.h"

namespace qc {

using qt::Bytes;
using qt::Fault;
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

// A memory-stream decode of a copy of in.
inline Run decode_mem(const Bytes &in, Obj &o, Fault f = {})
{
    Bytes b = in;
    const Run run = qt::run_mem<void>(o.t.code, o.p, b, AXDR_DECODE, f);
    if (run.frames != 0)
        fail("frames outlive a memory decode", in);
    return run;
}

// An encode into at most cap bytes; out keeps what was written.
inline Run encode(Obj &o, Bytes &out, size_t cap, Fault f = {})
{
    out.assign(cap, 0xee);
    return qt::run_mem<void>(o.t.code, o.p, out, AXDR_ENCODE, f);
}

// Fed in pieces (first piece `first`, then `rest` each, 0: random sizes)
// up to `stop`, calling after each; then the end of input if still pending.
inline Run decode_pieces(const Bytes &in, Obj &o, size_t first, size_t rest, size_t stop, Rng *rng)
{
    const Run run = qt::run_incr<void>(o.t.code, o.p, in, first, rest, stop, {}, 0, 1, rng);
    if (run.frames != 0)
        fail("frames outlive an incremental decode", in);
    return run;
}

inline std::string print(Obj &o, int *r, Fault f = {}, unsigned long *events = nullptr)
{
    return qt::print<void>(o.t.code, o.p, r, f, events, true);
}

// One input: a memory decode must end; fed at random splits and (a value,
// if bytewise) a byte at a time it gives the same result, bytes taken and
// value. A value re-encodes to the bytes it took, into canon, and prints.
inline int judge(const qc_type &t, const Bytes &in, Rng &rng, bool bytewise, size_t &used, Bytes &canon)
{
    Obj o(t);
    const Run d = decode_mem(in, o);
    int pr = AXDR_FALSE;
    used = d.used;
    if (d.r != AXDR_TRUE && d.r != AXDR_FALSE)
        fail("a memory decode pends", in);
    if (d.r == AXDR_TRUE &&
        (encode(o, canon, used + 64).r != AXDR_TRUE || canon != Bytes(in.begin(), in.begin() + long(used))))
        fail("a value re-encodes to other bytes than it took", in);
    if (d.r == AXDR_TRUE && (print(o, &pr), pr != AXDR_TRUE))
        fail("a decoded value does not print", in);
    for (int way = 0; way < (d.r == AXDR_TRUE && bytewise ? 2 : 1); ++way) {
        Obj p(t);
        Bytes e;
        const Run r = decode_pieces(in, p, 0, size_t(way), in.size(), &rng);
        if (r.r != d.r || (d.r == AXDR_TRUE && (r.used != used || encode(p, e, used + 64).r != AXDR_TRUE || e != canon)))
            fail(way ? "fed a byte at a time, the decode differs" : "fed at random splits, the decode differs", in);
    }
    return d.r;
}

} // namespace qc

#endif
