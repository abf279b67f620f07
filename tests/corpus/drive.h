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

void fail(const std::string &what, const Bytes &in);

// splitmix64: the same numbers on every target.
struct Rng {
    uint64_t s;
    uint64_t next()
    {
        uint64_t z = (s += 0x9e3779b97f4a7c15u);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
        return z ^ (z >> 31);
    }
    uint32_t below(uint32_t n) { return n ? static_cast<uint32_t>(next() % n) : 0; }
};

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
    int release()
    {
        qt::Stream s(axdr_mem_create(nullptr, 0, AXDR_FREE));
        return t.code(s.get(), p);
    }
};

inline int again(axdr_stream_t *s, Obj &o, int r)
{
    for (int n = 0; r != AXDR_TRUE && r != AXDR_FALSE && n < 100000; ++n)
        r = o.t.code(s, o.p);
    return r;
}

// A memory-stream decode; `fault` {kind, n, result} injected when n > 0.
struct Fault { int kind, n, res; };
inline int decode_mem(const Bytes &in, Obj &o, size_t *used, Fault f = {0, 0, 0}, unsigned long *events = nullptr)
{
    Bytes b = in;
    qt::Stream s(axdr_mem_create(b.data(), b.size(), AXDR_DECODE));
    if (f.n)
        axdr_fault_at(s.get(), f.kind, static_cast<unsigned long>(f.n), f.res);
    int r = again(s.get(), o, o.t.code(s.get(), o.p));
    *used = static_cast<size_t>(axdr_getpos(s.get()));
    if (events)
        *events = axdr_fault_count(s.get(), f.kind);
    if (axdr_saved_frames(s.get()) != 0)
        fail("frames outlive a memory decode", in);
    return r;
}

inline int encode(Obj &o, Bytes &out, size_t cap, Fault f = {0, 0, 0}, unsigned long *events = nullptr)
{
    out.assign(cap, 0xee);
    qt::Stream s(axdr_mem_create(out.data(), out.size(), AXDR_ENCODE));
    if (f.n)
        axdr_fault_at(s.get(), f.kind, static_cast<unsigned long>(f.n), f.res);
    int r = again(s.get(), o, o.t.code(s.get(), o.p));
    out.resize(static_cast<size_t>(axdr_getpos(s.get())));
    if (events)
        *events = axdr_fault_count(s.get(), f.kind);
    return r;
}

// Fed in pieces (first piece `first`, then `rest` each, 0: random sizes)
// up to `stop`, calling after each; then the end of input if still pending.
inline int decode_pieces(const Bytes &in, Obj &o, size_t first, size_t rest, size_t stop, Rng *rng, size_t *used)
{
    qt::Stream s(axdr_incr_create(AXDR_DECODE, 0));
    int r = AXDR_PENDING;
    for (size_t off = 0; off < stop && r == AXDR_PENDING;) {
        size_t n = off == 0 && first ? first : rest ? rest : 1 + rng->below(static_cast<uint32_t>(stop - off));
        n = std::min(n, stop - off);
        axdr_feed(s.get(), in.data() + off, n);
        off += n;
        r = o.t.code(s.get(), o.p);
    }
    if (r == AXDR_PENDING) {
        axdr_feed_end(s.get());
        r = again(s.get(), o, AXDR_PENDING);
    }
    *used = static_cast<size_t>(axdr_getpos(s.get()));
    if (axdr_saved_frames(s.get()) != 0)
        fail("frames outlive an incremental decode", in);
    return r;
}

inline std::string print(Obj &o, int *r, Fault f = {0, 0, 0}, unsigned long *events = nullptr)
{
    qt::Stream s(axdr_print_create(nullptr));
    if (f.n)
        axdr_fault_at(s.get(), f.kind, static_cast<unsigned long>(f.n), f.res);
    *r = again(s.get(), o, o.t.code(s.get(), o.p));
    if (events)
        *events = axdr_fault_count(s.get(), f.kind);
    axdr_print_finish(s.get());
    return axdr_print_text(s.get(), nullptr);
}

} // namespace qc

#endif
