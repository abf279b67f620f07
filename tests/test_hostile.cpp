// Hostile input: what a peer we do not control can send, and the failure
// paths of the runtime it drives. Every row states its input and the outcome
// we promise; leaks are LeakSanitizer's and valgrind's to find.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <malloc.h>

#include "support.h"

using namespace qt;

namespace {

// --- a two-level resumable filter for frame faults -----------------------

// The outer filter codes a count and that many pairs; the inner codes one
// pair with its halves in a scratch record.
struct Pairs {
    int n;
    int a[4];
    int b[4];
};

int pair_inner(axdr_stream_t *s, Pairs *p, int i)
{
    const auto self = reinterpret_cast<axdr_self_t>(&pair_inner);
    struct scratch {
        int a;
        int b;
    } local{0, 0};
    void *sp = &local;
    int state = 0;
    axdr_frame_t frame;
    int r = axdr_async_setup(s, self, &frame, &state, sizeof local, &sp);
    if (r != AXDR_TRUE)
        return r;
    auto *sc = static_cast<scratch *>(sp);
    switch (state) {
    case 0:
        sc->a = p->a[i];
        sc->b = p->b[i];
        state = 1;
        [[fallthrough]];
    case 1:
        r = axdr_int(s, &sc->a);
        if (r != AXDR_TRUE)
            break;
        state = 2;
        [[fallthrough]];
    case 2:
        r = axdr_int(s, &sc->b);
        if (r != AXDR_TRUE)
            break;
        state = 3;
        p->a[i] = sc->a;
        p->b[i] = sc->b;
        break;
    default:
        r = AXDR_FALSE;
    }
    axdr_async_teardown(s, self, state, frame, r);
    return r;
}

int pair_outer(axdr_stream_t *s, Pairs *p)
{
    const auto self = reinterpret_cast<axdr_self_t>(&pair_outer);
    int state = 0;
    axdr_frame_t frame;
    int r = axdr_async_setup(s, self, &frame, &state, 0, nullptr);
    if (r != AXDR_TRUE)
        return r;
    switch (state) {
    case 0:
        r = axdr_int(s, &p->n);
        if (r != AXDR_TRUE)
            break;
        if (p->n < 0 || p->n > 4) {
            r = AXDR_FALSE;
            break;
        }
        state = 1;
        [[fallthrough]];
    default:
        for (int i = state - 1; i < p->n; i = state - 1) {
            r = pair_inner(s, p, i);
            if (r != AXDR_TRUE)
                break;
            state = i + 2;
        }
    }
    axdr_async_teardown(s, self, state, frame, r);
    return r;
}

const Pairs kPairs{3, {1, 2, 3}, {10, 20, 30}};

} // namespace

// A pending setup while the chain is being restored must keep the deeper
// frames: losing them restarted the inner pair and sent its first half twice.
TEST(RuntimeFaults, PendingSetupOnResumeKeepsDeeperFrames)
{
    Pairs in = kPairs;
    Bytes want;
    ASSERT_EQ(encode_mem<Pairs>(pair_outer, &in, want), AXDR_TRUE);
    for (int op : {AXDR_ENCODE, AXDR_DECODE}) {
        SCOPED_TRACE(op);
        Bytes buf = op == AXDR_ENCODE ? Bytes(64, 0xee) : want;
        Pairs obj = op == AXDR_ENCODE ? in : Pairs{};
        Stream s(axdr_mem_create(buf.data(), buf.size(), op));
        // The count, pair 0's a, then pending at pair 0's b: two frames saved.
        axdr_fault_at(s.get(), AXDR_FAULT_PRIMITIVE, 3, AXDR_PENDING);
        ASSERT_EQ(pair_outer(s.get(), &obj), AXDR_PENDING);
        ASSERT_EQ(axdr_saved_frames(s.get()), 2u);
        // On resume the inner frame's setup (the second from now) pends.
        axdr_fault_at(s.get(), AXDR_FAULT_SETUP, 2, AXDR_PENDING);
        ASSERT_EQ(pair_outer(s.get(), &obj), AXDR_PENDING);
        EXPECT_EQ(axdr_saved_frames(s.get()), 2u);
        ASSERT_EQ(until_done<Pairs>(pair_outer, s.get(), &obj), AXDR_TRUE);
        EXPECT_EQ(axdr_getpos(s.get()), want.size());
        if (op == AXDR_ENCODE)
            EXPECT_EQ(to_hex(Bytes(buf.begin(), buf.begin() + 28)), to_hex(want));
        else
            EXPECT_EQ(0, std::memcmp(&obj, &in, sizeof in));
    }
}

// Any result other than TRUE and FALSE is a pending status: the unit in
// flight keeps its bytes whatever the number.
TEST(RuntimeFaults, EveryPendingStatusKeepsTheUnitInFlight)
{
    Bytes w = hex("00 00 00 05 61 62 63 64 65 00 00 00 12 34 56 78 9a bc de f0");
    for (int status : {AXDR_PENDING, 3, -1, 77}) {
        for (unsigned long n = 1; n < w.size(); ++n) {
            SCOPED_TRACE("status " + std::to_string(status) + " byte " + std::to_string(n));
            Stream s(axdr_mem_create(w.data(), w.size(), AXDR_DECODE));
            axdr_fault_at(s.get(), AXDR_FAULT_BYTE, n, status);
            char *p = nullptr;
            uint64_t h = 0;
            int r = axdr_string(s.get(), &p, ~0u);
            if (r != AXDR_TRUE) {
                ASSERT_EQ(r, status);
                ASSERT_EQ(axdr_string(s.get(), &p, ~0u), AXDR_TRUE);
            }
            r = axdr_u_int64_t(s.get(), &h);
            if (r != AXDR_TRUE) {
                ASSERT_EQ(r, status);
                ASSERT_EQ(axdr_u_int64_t(s.get(), &h), AXDR_TRUE);
            }
            ASSERT_NE(p, nullptr);
            EXPECT_STREQ(p, "abcde");
            EXPECT_EQ(h, 0x123456789abcdef0ull);
            axdr_free(axdr_wrapstring, &p);
        }
    }
}

// A primitive that ends with FALSE drops the unit it had in flight; a later
// decode on the stream must not be glued to the stale bytes.
TEST(RuntimeFaults, FalseEndsTheUnitInFlight)
{
    struct Row {
        const char *name;
        int kind;   // AXDR_FAULT_PRIMITIVE or AXDR_FAULT_SETUP
    } rows[] = {{"primitive fault", AXDR_FAULT_PRIMITIVE}, {"setup fault", AXDR_FAULT_SETUP}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        // A string cut after two of its bytes, then a fresh one.
        Bytes head = hex("00 00 00 04 61 62");
        Bytes next = hex("00 00 00 02 78 79 00 00");
        Stream s(axdr_incr_create(AXDR_DECODE, 0));
        axdr_feed(s.get(), head.data(), head.size());
        Pairs obj{};
        char *p = nullptr;
        if (row.kind == AXDR_FAULT_PRIMITIVE) {
            ASSERT_EQ(axdr_string(s.get(), &p, ~0u), AXDR_PENDING);
            axdr_fault_at(s.get(), AXDR_FAULT_PRIMITIVE, 1, AXDR_FALSE);
            ASSERT_EQ(axdr_string(s.get(), &p, ~0u), AXDR_FALSE);
        } else {
            // The same through a filter whose frame cannot be restored.
            Bytes w = hex("00 00 00 01 00 00 00 07 00 00");
            Stream f(axdr_incr_create(AXDR_DECODE, 0));
            axdr_feed(f.get(), w.data(), w.size());
            ASSERT_EQ(pair_outer(f.get(), &obj), AXDR_PENDING);
            axdr_fault_at(f.get(), AXDR_FAULT_SETUP, 2, AXDR_FALSE);
            ASSERT_EQ(pair_outer(f.get(), &obj), AXDR_FALSE);
            // Glued to the two stale bytes this would read 9.
            Bytes rest = hex("00 09 00 00");
            axdr_feed(f.get(), rest.data(), rest.size());
            int v = 0;
            ASSERT_EQ(axdr_int(f.get(), &v), AXDR_TRUE);
            EXPECT_EQ(v, 0x00090000) << "the half-read int ended with its chain";
            continue;
        }
        EXPECT_EQ(p, nullptr);
        axdr_feed(s.get(), next.data(), next.size());
        ASSERT_EQ(axdr_string(s.get(), &p, ~0u), AXDR_TRUE);
        EXPECT_STREQ(p, "xy");
        axdr_free(axdr_wrapstring, &p);
    }
}

// A refused feed leaves the buffered input as it was.
TEST(RuntimeFaults, RefusedFeedKeepsUnreadInput)
{
    Bytes w = hex("00 00 00 01 00 00 00 02 00 00 00 03");
    Stream s(axdr_incr_create(AXDR_DECODE, 0));
    ASSERT_EQ(axdr_feed(s.get(), w.data(), w.size()), 0);
    int v = 0;
    ASSERT_EQ(axdr_int(s.get(), &v), AXDR_TRUE);
    // Too long to add to what is buffered: refused before anything moves.
    EXPECT_EQ(axdr_feed(s.get(), w.data(), SIZE_MAX - 4), -1);
    EXPECT_EQ(axdr_unread(s.get()), 8u);
    for (int want : {2, 3}) {
        ASSERT_EQ(axdr_int(s.get(), &v), AXDR_TRUE);
        EXPECT_EQ(v, want);
    }
}

// A scratch record no filter could have is refused, not wrapped around.
TEST(RuntimeFaults, ImpossibleScratchSizeIsRefused)
{
    for (size_t size : {SIZE_MAX, SIZE_MAX - 15, SIZE_MAX / 2 + 1, size_t{UINT32_MAX}, size_t{1} << 20}) {
        Bytes buf(16);
        Stream s(axdr_mem_create(buf.data(), buf.size(), AXDR_ENCODE));
        // An outer frame first, so that the offset adds to the size.
        int st0 = 0, st1 = 0;
        char rec[16] = {};
        void *p0 = rec, *p1 = rec;
        axdr_frame_t f0, f1;
        ASSERT_EQ(axdr_async_setup(s.get(), reinterpret_cast<axdr_self_t>(&pair_outer), &f0, &st0,
                                   sizeof rec, &p0),
                  AXDR_TRUE);
        EXPECT_EQ(axdr_async_setup(s.get(), reinterpret_cast<axdr_self_t>(&pair_inner), &f1, &st1,
                                   size, &p1),
                  AXDR_FALSE)
            << size;
        axdr_async_teardown(s.get(), reinterpret_cast<axdr_self_t>(&pair_outer), 0, f0, AXDR_FALSE);
    }
}
