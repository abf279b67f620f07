// The map codec: wire form, resumption at every point, hash sizing, every
// failure path and print.
#include <gtest/gtest.h>

#include "container_support.h"

using namespace ct;
using qt::Bytes;

namespace {

struct Knobs {
    Knob key_count, init, sethashsize, insert, destroy;
    long total() const
    {
        return key_count.calls + init.calls + sethashsize.calls + insert.calls + destroy.calls;
    }
};
Knobs g_map;

} // namespace

// Interposed over the container library for this executable and the codec
// library alike; each forwards to the real operation unless its knob fires.
extern "C" int map_key_count(const map_t *m, int *n)
{
    static const auto real = next_symbol<int (*)(const map_t *, int *)>("map_key_count");
    return g_map.key_count.fire() ? -1 : real(m, n);
}
extern "C" int map_init(map_t *m)
{
    static const auto real = next_symbol<int (*)(map_t *)>("map_init");
    return g_map.init.fire() ? -1 : real(m);
}
extern "C" int map_sethashsize(map_t *m, uint32_t n)
{
    static const auto real = next_symbol<int (*)(map_t *, uint32_t)>("map_sethashsize");
    return g_map.sethashsize.fire() ? -1 : real(m, n);
}
extern "C" int map_insert_str(map_t *m, const char *k, const char *v)
{
    static const auto real = next_symbol<int (*)(map_t *, const char *, const char *)>("map_insert_str");
    return g_map.insert.fire() ? -1 : real(m, k, v);
}
extern "C" int map_destroy(map_t *m)
{
    static const auto real = next_symbol<int (*)(map_t *)>("map_destroy");
    const int r = real(m);
    return g_map.destroy.fire() ? -1 : r;
}

namespace {

using T = MapT;
using Map = Box<T>;

const Entries kThree{{"k1", {"a"}}, {"k2", {"bb"}}, {"k3", {""}}};

TEST(MapCodec, WireVectors)
{
    const struct {
        Entries e;
        const char *wire;
    } rows[] = {
        {{}, "00000000"},
        {{{"a", {"x"}}}, "00000001 00000001 61000000 00000001 78000000"},
        {{{"", {""}}}, "00000001 00000000 00000000"},
        // Padding after 1 to 5 bytes; keys in insertion order, not sorted.
        {{{"abcde", {"abcd"}}, {"abc", {"ab"}}},
         "00000002 00000005 61626364 65000000 00000004 61626364 00000003 61626300 00000002 61620000"},
        {{{"z", {"1"}}, {"a", {"1"}}}, "00000002 00000001 7a000000 00000001 31000000 00000001 61000000"
                                        "00000001 31000000"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.wire);
        check_wire<T>(row.e, qt::hex(row.wire));
    }
}

TEST(MapCodec, RoundTripsRandomMaps)
{
    std::mt19937 rng(17);
    for (size_t n : {0, 1, 4, 32, 33, 1000, 20000}) {
        SCOPED_TRACE(n);
        const Entries e = random_entries(rng, n, false);
        const Bytes want = wire<T>(e);
        if (n <= 33) {
            check_wire<T>(e, want, n <= 4); // every split: small ones only
            continue;
        }
        Map in(e), out;
        Bytes got;
        ASSERT_EQ(qt::encode_mem<map_t>(axdr_map_t, in.get(), got, want.size()), AXDR_TRUE);
        ASSERT_TRUE(got == want);
        ASSERT_EQ(qt::decode_mem<map_t>(axdr_map_t, out.get(), got), AXDR_TRUE);
        ASSERT_TRUE(out.contents() == e);
    }
}

TEST(MapCodec, ResumesAtEveryPrimitiveSetupAndByte)
{
    std::mt19937 rng(2);
    check_faults<T>(random_entries(rng, 5, false));
    check_faults<T>(Entries{});
}

TEST(MapCodec, InputEndingAnywhereFailsWithoutLeaks)
{
    std::mt19937 rng(4);
    check_truncated<T>(random_entries(rng, 5, false));
}

TEST(MapCodec, HashSizeFromAnnouncedCount)
{
    const struct {
        int count;
        uint32_t size; // 0: none set
    } rows[] = {{-1, 0},        {0, 0},        {32, 0},         {33, 64},          {63, 64},
                {64, 64},       {65, 128},     {1000, 1024},    {8193, 16384},     {16384, 16384},
                {16385, 16384}, {100000, 16384}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.count);
        Map out;
        qt::Stream s(axdr_incr_create(AXDR_DECODE, 0));
        const Bytes w = u32(static_cast<uint32_t>(row.count));
        Arm watch(g_map.sethashsize, 0);
        ASSERT_EQ(axdr_feed(s.get(), w.data(), w.size()), 0);
        const int r = axdr_map_t(s.get(), out.get());
        EXPECT_EQ(g_map.sethashsize.calls, row.size ? 1 : 0);
        EXPECT_EQ(map_hashsize(out.get()), row.size);
        EXPECT_EQ(r, row.count < 0 ? AXDR_FALSE : row.count == 0 ? AXDR_TRUE : AXDR_PENDING);
        if (r == AXDR_PENDING) {
            axdr_feed_end(s.get());
            EXPECT_EQ(axdr_map_t(s.get(), out.get()), AXDR_FALSE);
        }
        EXPECT_TRUE(out.contents().empty());
    }
}

// A pending status while a value is read: the next call reads on, without
// reading its key again or inserting an earlier pair again.
TEST(MapCodec, PendingInsideAValueResumesThere)
{
    const Bytes w = wire<T>(kThree);
    Map out;
    qt::Stream s(axdr_incr_create(AXDR_DECODE, 0));
    axdr_trace_enable(s.get(), 1);
    const size_t cut = 4 + 8 + 8 + 8 + 6; // inside "bb"
    ASSERT_EQ(axdr_feed(s.get(), w.data(), cut), 0);
    ASSERT_EQ(axdr_map_t(s.get(), out.get()), AXDR_PENDING);
    EXPECT_EQ(out.contents(), (Entries{{"k1", {"a"}}}));
    axdr_trace_clear(s.get());
    ASSERT_EQ(axdr_feed(s.get(), w.data() + cut, w.size() - cut), 0);
    Arm count_inserts(g_map.insert, 0);
    ASSERT_EQ(axdr_map_t(s.get(), out.get()), AXDR_TRUE);
    EXPECT_EQ(calls_of(axdr_trace(s.get())), "string \"bb\" = 1|string \"k3\" = 1|string \"\" = 1|");
    EXPECT_EQ(g_map.insert.calls, 2);
    EXPECT_EQ(out.contents(), kThree);
}

TEST(MapCodec, EncodeFailsWhenTheCountFails)
{
    Map in(kThree);
    Bytes got;
    Arm arm(g_map.key_count, 1);
    EXPECT_EQ(qt::encode_mem<map_t>(axdr_map_t, in.get(), got, 64), AXDR_FALSE);
    EXPECT_TRUE(got.empty());
}

TEST(MapCodec, DecodeFailures)
{
    const Bytes good = wire<T>(kThree);
    const struct {
        const char *what;
        Knob Knobs::*knob;
        long fail_at;
        Bytes wire;
        size_t read;
        Entries left;
        const char *warning;
    } rows[] = {
        {"init fails", &Knobs::init, 1, good, 0, {}, "axdr_map_t: map init"},
        {"sethashsize fails", &Knobs::sethashsize, 1, cat({u32(33), good}), 4, {}, "axdr_map_t: map sethashsize"},
        {"negative count", nullptr, 0, cat({u32(0x80000000), str("k")}), 4, {}, ""},
        // Both strings of the third pair are released (LeakSanitizer).
        {"insert fails for the third pair", &Knobs::insert, 3, good, good.size(),
         {{"k1", {"a"}}, {"k2", {"bb"}}}, ""},
        // The map refuses a key twice: the decode fails after the first.
        {"repeated key", nullptr, 0, cat({u32(2), str("k"), str("1"), str("k"), str("2")}), 36,
         {{"k", {"1"}}}, ""},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        Map out;
        size_t used = 0;
        testing::internal::CaptureStderr();
        {
            Knob unused;
            Arm arm(row.knob ? g_map.*row.knob : unused, row.fail_at);
            EXPECT_EQ(qt::decode_mem<map_t>(axdr_map_t, out.get(), row.wire, &used), AXDR_FALSE);
        }
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(used, row.read);
        EXPECT_EQ(out.contents(), row.left);
        expect_warning(err, row.warning);
    }
}

TEST(MapCodec, UnknownCodesTouchNothingAndFreeIgnoresDestroy)
{
    Map in(kThree);
    Bytes buf(64, 0xee);
    for (int op : {6, 0x7fffffff, static_cast<int>(0x80000000u), -1}) {
        SCOPED_TRACE(op);
        qt::Stream s(axdr_mem_create(buf.data(), buf.size(), op));
        g_map = Knobs{};
        EXPECT_EQ(axdr_map_t(s.get(), in.get()), AXDR_FALSE);
        EXPECT_EQ(g_map.total(), 0);
        EXPECT_EQ(axdr_getpos(s.get()), 0u);
    }
    EXPECT_EQ(buf, Bytes(64, 0xee));
    EXPECT_EQ(in.contents(), kThree);
    {
        Arm arm(g_map.destroy, 1);
        EXPECT_EQ(qt::free_obj<map_t>(axdr_map_t, in.get()), AXDR_TRUE);
        EXPECT_EQ(g_map.destroy.calls, 1);
    }
    EXPECT_TRUE(in.contents().empty());
}

TEST(MapCodec, DecodeIntoAnUninitialisedMap)
{
    map_t raw;
    std::memset(&raw, 0xa5, sizeof raw);
    ASSERT_EQ(qt::decode_mem<map_t>(axdr_map_t, &raw, wire<T>(kThree)), AXDR_TRUE);
    EXPECT_EQ(T::snapshot(&raw), kThree);
    EXPECT_EQ(qt::free_obj<map_t>(axdr_map_t, &raw), AXDR_TRUE);
}

TEST(MapCodec, PrintCalls)
{
    check_print<T>({}, "");
    check_print<T>({{"a", {"x"}}}, "element a 1 = 1|value \"x\" = 1|element (close) 0 = 1|");
    check_print<T>(kThree, "element k1 1 = 1|value \"a\" = 1|element k2 0 = 1|value \"bb\" = 1|"
                           "element k3 0 = 1|value \"\" = 1|element (close) 0 = 1|");
    Map in({{"a key", {"x\ty"}}, {"b", {""}}});
    EXPECT_EQ(qt::print<map_t>(axdr_map_t, in.get()), "{\n  \"a key\" = \"x\\ty\"\n  b = \"\"\n}\n");
}

} // namespace
