// One fuzz input through every check we promise for hostile input.
// Layout: [0] the type within the family; [1] flags: 1 ALT codes, 2 a
// budget, 4 the end of input after half the bytes, 8 a lazy caller (feeds
// on past unread input); pending at every [2] (2 + v % 14)-th primitive,
// [3] (4 + v % 12)-th setup, [4] at that byte (0: none); [5] the budget
// (0 means 1); [6] k = v % 16 piece sizes follow (0: 64; none: a byte at a
// time); then the wire. A memory decode agrees with an independent reading
// of the wire; the scheduled decode with a memory decode of what it was
// given; a value re-encodes stably and prints; FREE succeeds.
#ifndef QUILLET_FUZZ_HARNESS_H
#define QUILLET_FUZZ_HARNESS_H

#include <cstdio>
#include <cstdlib>

#include "values.h"

namespace qf {

using qt::Bytes;
using qv::Value;

// The fuzzers abort, the test suite records a failure.
using Fail = void (*)(const char *what, qv::Type t);

inline void die(const char *what, qv::Type t)
{
    std::fprintf(stderr, "%s: %s\n", qv::type_name(t), what);
    std::abort();
}

struct Schedule {
    int op_decode = AXDR_DECODE, op_encode = AXDR_ENCODE;
    size_t budget = 0;
    bool early_end = false, lazy = false;
    unsigned long prim_every = 0, setup_every = 0, byte_at = 0;
    std::vector<size_t> pieces;
};

// Splits the header off; false when the input is too short to have one.
inline bool parse(const uint8_t *data, size_t size, Schedule *sc, const uint8_t **wire, size_t *wire_len)
{
    const size_t k = size < 7 ? 0 : data[6] % 16u;
    if (size < 7 + k)
        return false;
    const bool alt = data[1] & 1;
    *sc = {alt ? AXDR_DECODE_ALT : AXDR_DECODE, alt ? AXDR_ENCODE_ALT : AXDR_ENCODE,
           data[1] & 2 ? std::max<size_t>(data[5], 1) : 0, (data[1] & 4) != 0, (data[1] & 8) != 0,
           data[2] ? 2u + data[2] % 14u : 0, data[3] ? 4u + data[3] % 12u : 0, data[4], {}};
    for (size_t i = 0; i < k; ++i)
        sc->pieces.push_back(data[7 + i] ? data[7 + i] : 64);
    *wire = data + 7 + k;
    *wire_len = size - 7 - k;
    return true;
}

// Calls the filter; past a bound on calls it pends forever.
inline int call(axdr_stream_t *s, Value *v, size_t *calls, size_t bound, Fail fail)
{
    if (++*calls > bound) {
        fail("a filter kept returning pending", v->type);
        std::abort();
    }
    return qv::code(s, v);
}

// A decode's result and the bytes it took.
struct Got { int r; size_t used; bool operator==(const Got &) const = default; };

// The whole buffer through a memory stream: the reference outcome.
inline Got decode_whole(const Schedule &sc, const uint8_t *wire, size_t n, Value *v, Fail fail)
{
    Bytes copy(wire, wire + n);
    qt::Stream s(axdr_mem_create(copy.data(), copy.size(), sc.op_decode));
    axdr_set_budget(s.get(), sc.budget);
    int r = qv::code(s.get(), v);
    if (r != AXDR_TRUE && r != AXDR_FALSE)
        fail("a memory stream pended", v->type);
    return {r, static_cast<size_t>(axdr_getpos(s.get()))};
}

// The bytes in scheduled pieces through an incremental stream, with pending
// statuses injected; *fed gets the bytes given before the end of input.
inline Got decode_scheduled(const Schedule &sc, const uint8_t *wire, size_t n, Value *v, size_t *fed, Fail fail)
{
    qt::Stream s(axdr_incr_create(sc.op_decode, 0));
    axdr_set_budget(s.get(), sc.budget);
    axdr_fault_every(s.get(), AXDR_FAULT_PRIMITIVE, sc.prim_every, AXDR_PENDING); // 0: none
    axdr_fault_every(s.get(), AXDR_FAULT_SETUP, sc.setup_every, AXDR_PENDING);
    axdr_fault_at(s.get(), AXDR_FAULT_BYTE, sc.byte_at, AXDR_PENDING);
    size_t calls = 0, bound = 64 * (n + 16);
    size_t stop = sc.early_end ? n / 2 : n, off = 0;
    int r = AXDR_PENDING;
    for (size_t i = 0; off < stop && r == AXDR_PENDING; ++i) {
        size_t piece = std::min(sc.pieces.empty() ? 1 : sc.pieces[i % sc.pieces.size()], stop - off);
        // Under a budget only what fits is fed, the filter takes the rest first.
        while (piece && r == AXDR_PENDING) {
            size_t take = sc.budget ? std::min(piece, sc.budget - axdr_unread(s.get())) : piece;
            if (take && axdr_feed(s.get(), wire + off, take) != 0)
                fail("a feed within the budget was refused", v->type);
            off += take;
            piece -= take;
            r = call(s.get(), v, &calls, bound, fail);
            // A careful caller calls again before it feeds more, while that
            // moves the stream on (a unit arriving whole keeps a few bytes).
            while (!sc.lazy && r == AXDR_PENDING && axdr_unread(s.get()) > 0) {
                uint64_t before = axdr_getpos(s.get());
                r = call(s.get(), v, &calls, bound, fail);
                if (axdr_getpos(s.get()) == before)
                    break;
            }
        }
    }
    *fed = off;
    if (r == AXDR_PENDING) {
        axdr_feed_end(s.get());
        do
            r = call(s.get(), v, &calls, bound, fail);
        while (r == AXDR_PENDING);
    }
    if (r != AXDR_TRUE && r != AXDR_FALSE)
        fail("an unknown result", v->type);
    if (axdr_saved_frames(s.get()) != 0)
        fail("frames left saved after the end", v->type);
    return {r, static_cast<size_t>(axdr_getpos(s.get()))};
}

// The fuzz targets, one per codec family.
struct Family { const char *name; qv::Type types[4]; size_t count; };

inline const Family kFamilies[] = {
    {"addr", {qv::IN_ADDR, qv::IN6_ADDR, qv::MACADDR}, 3},
    {"containers", {qv::MAP, qv::ARRAYMAP, qv::MULTIMAP}, 3},
    {"netrl", {qv::IPADDR, qv::IPCIDR, qv::RLIM, qv::RLIMIT}, 4},
};

inline void run(qv::Type t, const uint8_t *data, size_t size, Fail fail)
{
    Schedule sc;
    const uint8_t *wire;
    size_t n;
    if (!parse(data, size, &sc, &wire, &n))
        return;

    // The reference: the whole buffer at once, held against the wire.
    Value v0(t);
    const auto [r0, used0] = decode_whole(sc, wire, n, &v0, fail);
    qv::Expect want = qv::expect(t, wire, n, sc.budget);
    if (want.result != -1 && r0 != want.result)
        fail("the decode disagrees with the wire", t);
    if (r0 == AXDR_TRUE && (want.result == AXDR_FALSE || used0 != want.used))
        fail("the decode consumed other bytes than the wire holds", t);

    // The same bytes in pieces, with pending injected.
    Value v1(t);
    size_t fed = 0;
    const auto [r1, used1] = decode_scheduled(sc, wire, n, &v1, &fed, fail);
    if (fed == n) {
        if (r1 != r0)
            fail("the result depends on the schedule", t);
        else if (!qv::equal(v1, v0))
            fail("the value depends on the schedule", t);
        else if (r1 == AXDR_TRUE && used1 != used0)
            fail("the bytes consumed depend on the schedule", t);
    } else {
        // Input ended early: as a memory stream over what was given.
        Value vp(t);
        if (r1 != decode_whole(sc, wire, fed, &vp, fail).r || !qv::equal(v1, vp))
            fail("an early end of input differs from a short buffer", t);
    }

    if (r0 == AXDR_TRUE) {
        Value v2(t);
        Bytes e1(2 * n + 64, 0);
        if (qt::run_mem<Value>(qv::code, &v0, e1, sc.op_encode).r != AXDR_TRUE ||
            decode_whole(Schedule{}, e1.data(), e1.size(), &v2, fail) != Got{AXDR_TRUE, e1.size()} ||
            !qv::equal(v2, v0))
            fail("a decoded value does not re-encode stably", t);
        if (want.canonical && Bytes(wire, wire + used0) != e1)
            fail("input in our form does not encode to itself", t);
    }
    int pr = AXDR_FALSE;
    qt::print<Value>(qv::code, &v0, &pr);
    if ((r0 == AXDR_TRUE || qv::is_container(t)) && pr != AXDR_TRUE)
        fail("a decoded value does not print", t);
    if (v0.release() != AXDR_TRUE || v1.release() != AXDR_TRUE)
        fail("AXDR_FREE failed", t);
}

inline void run(const Family &f, const uint8_t *data, size_t size, Fail fail)
{
    if (size)
        run(f.types[data[0] % f.count], data, size, fail);
}

} // namespace qf

#endif
