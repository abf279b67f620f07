// quilletc's filters beyond the sweep: a list of a million nodes in the
// same C stack and frames as one of three; announced counts that the
// bytes never follow; a budget over everything a decode allocates; what
// the straight paths do beyond decoding and encoding.
#include <gtest/gtest.h>

#include <pthread.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <tuple>

#include "corners.h"
#include "support.h"

namespace {

using namespace qt;

Bytes long_listing(uint32_t n)
{
    Bytes w;
    put_u32(w, n > 0);
    for (uint32_t i = 0; i < n; ++i) {
        put_u32(w, i);
        put_str(w, i % 3 ? "" : "abc");
        put_u32(w, i + 1 < n);
    }
    put_u32(w, 1); // eof
    return w;
}

struct ListRun {
    uint32_t n;
    FILE *out;
    Bytes wire = long_listing(n), back = {};
    int decode = 0, encode = 0, print = 0, release = 0;
    size_t most_frames = 0; // kept by a pending status, in any piece
    double ms = 0;
    long leaked = 0; // heap blocks left, counted on the thread
};

// Decodes in pieces, encodes through a small window, prints, frees: all
// on the calling thread's stack.
void round_trip(ListRun &run)
{
    run.back.reserve(run.wire.size()); // not counted below
    const long live = heap_live();
    const auto start = std::chrono::steady_clock::now();
    listing v{};
    const Run decoded = run_incr<listing>(axdr_listing, &v, run.wire, 4093, 4093, run.wire.size());
    run.decode = decoded.r;
    run.encode = encode_windowed<listing>(axdr_listing, &v, 4096, run.back, &run.most_frames);
    run.most_frames = std::max(run.most_frames, decoded.most_frames);
    run.print = axdr_listing(Stream(axdr_print_create(run.out)).get(), &v);
    run.release = axdr_listing(Stream(axdr_mem_create(nullptr, 0, AXDR_FREE)).get(), &v);
    run.ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    run.leaked = heap_live() - live;
}

// After a short one: what the thread's first print leaves to its exit
// (stdio's buffer) is no leak.
void *list_round_trip(void *arg)
{
    ListRun &run = *static_cast<ListRun *>(arg);
    ListRun warm{3, run.out};
    round_trip(warm);
    round_trip(run);
    return nullptr;
}

// The thread runs on a stack painted beforehand: what the run touched is
// what it used (with the thread's own TLS at the top), whatever the
// platform's minimum thread stack.
TEST(Generated, MillionNodeListInSixtyFourKibOfStack)
{
#if defined(__powerpc__) && !defined(__powerpc64__)
    const uint32_t sizes[] = {3, 100000}; // under qemu
#else
    const uint32_t sizes[] = {3, 1000000};
#endif
    const size_t size = std::max<size_t>(512 * 1024, PTHREAD_STACK_MIN);
    unsigned char *stack = static_cast<unsigned char *>(std::aligned_alloc(65536, size));
    ASSERT_NE(stack, nullptr);
    for (uint32_t n : sizes) {
        ListRun run{n, std::fopen("/dev/null", "w")}; // its buffer is stdio's, not the filters'
        ASSERT_NE(run.out, nullptr);
        std::memset(stack, 0xa5, size);
        pthread_attr_t attr;
        pthread_t t;
        pthread_attr_init(&attr);
        ASSERT_EQ(pthread_attr_setstack(&attr, stack, size), 0);
        ASSERT_EQ(pthread_create(&t, &attr, list_round_trip, &run), 0);
        pthread_join(t, nullptr);
        pthread_attr_destroy(&attr);
        std::fclose(run.out);
        const size_t used = size - size_t(std::find_if(stack, stack + size, [](int b) { return b != 0xa5; }) - stack);
        // Decode, encode, print and free: each TRUE; nothing leaked.
        EXPECT_EQ(std::tuple(run.decode, run.encode, run.print, run.release, run.leaked),
                  std::tuple(AXDR_TRUE, AXDR_TRUE, AXDR_TRUE, AXDR_TRUE, 0L));
        EXPECT_TRUE(run.back == run.wire);
        EXPECT_LE(used, 64u * 1024) << n << " nodes";
        // The list, its first node's pointer and the node in hand: the
        // same three whatever the length (a short one may never pend).
        EXPECT_LE(run.most_frames, 3u) << n << " nodes";
        std::printf("list of %u nodes: decode, encode, print and free in %.0f ms, %zu bytes of stack, "
                    "at most %zu frames\n",
                    n, run.ms, used, run.most_frames);
    }
    std::free(stack);
}

// A count the bytes never follow costs only what arrives; under a budget
// a decode that grows past it ends with FALSE; FREE then returns all.
TEST(Generated, MemoryFollowsTheBytesAndTheBudget)
{
    const size_t B = 4096;
    const Bytes hostile = hex("3ffffff0 00000001 00000002 00000003 00000004"); // cloud: a count, two points
    const Bytes many = long_listing(20000);
    // most: the heap bytes the decode may reach.
    const struct { const Bytes *wire; bool cloud; size_t budget, most; } cases[] = {
        {&hostile, true, 0, 64 * 1024}, // the count announces 8 GiB
        {&hostile, true, B, 64 * 1024},
        {&many, false, B, 2 * B + 16 * 1024},
    };
    for (const auto &c : cases)
        for (size_t piece : {size_t{7}, B}) {
            SCOPED_TRACE(say(c.wire->size(), " bytes, budget ", c.budget, ", pieces of ", piece));
            const long live = heap_live();
            const size_t before = heap_peak_reset();
            int r = AXDR_PENDING;
            {
                cloud cl{};
                listing ls{};
                Stream s(axdr_incr_create(AXDR_DECODE, 0));
                axdr_set_budget(s.get(), c.budget);
                auto code = [&] { return c.cloud ? axdr_cloud(s.get(), &cl) : axdr_listing(s.get(), &ls); };
                for (size_t off = 0; off < c.wire->size() && r == AXDR_PENDING; off += piece) {
                    axdr_feed(s.get(), c.wire->data() + off, std::min(piece, c.wire->size() - off));
                    r = code();
                }
                if (r == AXDR_PENDING) {
                    axdr_feed_end(s.get());
                    r = code();
                }
                s->x_op = AXDR_FREE;
                EXPECT_EQ(code(), AXDR_TRUE);
            }
            EXPECT_EQ(r, AXDR_FALSE);
            EXPECT_LE(heap_peak_since_reset() - before, c.most);
            EXPECT_EQ(heap_live(), live);
        }
}

// outer's bounded arm at its largest: whole in the window, it goes
// straight through. Its strings: "abcdefgh", "ijklmnop", "qrstuvwx",
// "yzabcdef".
const Bytes bounded_wire = hex("00000008 00000001 00000001 fffffffe 00000001 00000002 c0040000 00000000 00000001"
                               "00000004 00000008 61626364 65666768 00000002 00000007 fffffff7 00000001 00000002"
                               "00000003 00000004 00000008 696a6b6c 6d6e6f70 00000008 71727374 75767778 00000001"
                               "00000009 00000004 00000008 797a6162 63646566");
const char *const points_hex = "00000003 00000001 00000002 00000003 00000004 00000005 00000006";
const char *const cookie_hex = "01020304 05060708 00000009 00000001";

template <class T> int decode(const Bytes &wire, T *v, int (*filter)(axdr_stream_t *, T *))
{
    Bytes b = wire;
    Stream s(axdr_mem_create(b.data(), b.size(), AXDR_DECODE));
    return filter(s.get(), v);
}

// Frames skipped decoding wire through a memory stream (cut 0), or fed
// `cut` bytes first and then the rest; then encoding it back through a
// window of exactly its size (cut 0: a memory stream of its size); then
// what FREE counts, straight through (cut 0) or by the steps (watched).
template <class T> std::array<unsigned long, 4> skipped(const Bytes &wire, size_t cut,
                                                        int (*filter)(axdr_stream_t *, T *))
{
    T v{};
    Bytes b = wire;
    Stream d(cut ? axdr_incr_create(AXDR_DECODE, 0) : axdr_mem_create(b.data(), b.size(), AXDR_DECODE));
    int r = AXDR_PENDING;
    for (size_t at = 0; cut && at < wire.size() && r == AXDR_PENDING; at = cut, cut = wire.size()) {
        axdr_feed(d.get(), wire.data() + at, cut - at);
        r = filter(d.get(), &v);
    }
    if (!cut)
        r = filter(d.get(), &v);
    EXPECT_EQ(r, AXDR_TRUE);
    Bytes room(wire.size());
    Stream e(cut ? axdr_incr_create(AXDR_ENCODE, wire.size()) : axdr_mem_create(room.data(), room.size(), AXDR_ENCODE));
    EXPECT_EQ(filter(e.get(), &v), AXDR_TRUE);
    if (cut)
        room.resize(axdr_drain(e.get(), room.data(), room.size()));
    EXPECT_EQ(to_hex(room), to_hex(wire));
    Stream f(axdr_mem_create(nullptr, 0, AXDR_FREE));
    axdr_fault_at(f.get(), AXDR_FAULT_BYTE, cut ? 1u << 30 : 0, AXDR_FALSE);
    EXPECT_EQ(filter(f.get(), &v), AXDR_TRUE);
    if (!cut) { // whole in the window: every frame is done without
        EXPECT_EQ(axdr_frames_skipped(d.get()), axdr_fault_count(d.get(), AXDR_FAULT_SETUP));
        EXPECT_EQ(axdr_frames_skipped(e.get()), axdr_fault_count(e.get(), AXDR_FAULT_SETUP));
    }
    return {axdr_frames_skipped(d.get()), axdr_frames_skipped(e.get()), axdr_fault_count(f.get(), AXDR_FAULT_PRIMITIVE),
            axdr_fault_count(f.get(), AXDR_FAULT_SETUP)};
}

// A bounded unit goes straight through a window that holds exactly its
// largest encoding, as through a memory stream; FREE counts alike either way.
TEST(Generated, StraightAtExactlyTheLargest)
{
    const auto check = [](const Bytes &w, auto filter) {
        const auto whole = skipped(w, w.size(), filter), memory = skipped(w, 0, filter);
        EXPECT_GT(memory[0], 0u);
        EXPECT_EQ(whole, memory);
    };
    check(bounded_wire, axdr_outer);
    check(Bytes(bounded_wire.begin() + 4, bounded_wire.end()), axdr_bounded);
    check(hex("00000004 00000008 61626364 65666768"), axdr_shape);
    check(hex(points_hex), axdr_points);
    check(hex(cookie_hex), axdr_cookie);
}

// A tree deeper than the nesting bound is refused in every direction but
// FREE, which follows whatever the caller built.
TEST(Generated, TreePastTheBoundIsRefused)
{
    Bytes buf(64 * 1024);
    const long live = heap_live();
    tree *root = nullptr;
    for (int i = 0; i < AXDR_NEST_MAX + 20; ++i) {
        tree *t = static_cast<tree *>(calloc(1, sizeof *t));
        t->left = root;
        root = t;
    }
    EXPECT_EQ(axdr_tree(Stream(axdr_mem_create(buf.data(), buf.size(), AXDR_ENCODE)).get(), root), AXDR_FALSE);
    EXPECT_EQ(axdr_tree(Stream(axdr_print_create(nullptr)).get(), root), AXDR_FALSE);
    // FREE frees the nodes below the root
    EXPECT_EQ(axdr_tree(Stream(axdr_mem_create(nullptr, 0, AXDR_FREE)).get(), root), AXDR_TRUE);
    free(root);
    EXPECT_EQ(heap_live(), live);
}

// A decode into an object that holds an earlier one starts from empty
// there too: it never writes into what the object held.
TEST(Generated, StraightDecodeStartsFromEmpty)
{
    outer v{};
    ASSERT_EQ(decode(bounded_wire, &v, axdr_outer), AXDR_TRUE);
    outer first = v; // now owns the first decode's memory
    ASSERT_EQ(decode(bounded_wire, &v, axdr_outer), AXDR_TRUE);
    EXPECT_NE(v.outer_u.b.who, first.outer_u.b.who);
    EXPECT_STREQ(v.outer_u.b.who, "abcdefgh");
    for (outer *o : {&v, &first})
        EXPECT_EQ(axdr_outer(Stream(axdr_mem_create(nullptr, 0, AXDR_FREE)).get(), o), AXDR_TRUE);
    // What a decode left without an arm frees, straight or by the steps.
    for (int watched = 0; watched < 2; ++watched) {
        outer o{};
        EXPECT_EQ(decode(hex("00000003"), &o, axdr_outer), AXDR_FALSE);
        Stream s(axdr_mem_create(nullptr, 0, AXDR_FREE));
        if (watched)
            axdr_fault_at(s.get(), AXDR_FAULT_BYTE, 1u << 30, AXDR_FALSE);
        EXPECT_EQ(axdr_outer(s.get(), &o), AXDR_TRUE);
    }
}

} // namespace
