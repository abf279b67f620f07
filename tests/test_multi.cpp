// The array-map and multimap codecs, one typed suite over both: wire form,
// resumption at every point, hash sizing, every failure path and print.
#include <gtest/gtest.h>

#include "container_support.h"

using namespace ct;
using qt::Bytes;

namespace {

// Container operations made to fail or misreport on demand.
struct Knobs {
    Knob key_count, value_first, value_count, init, sethashsize, insert, destroy;
    long total() const
    {
        return key_count.calls + value_first.calls + value_count.calls + init.calls +
               sethashsize.calls + insert.calls + destroy.calls;
    }
};
Knobs g_arraymap, g_multimap;

} // namespace

// Interposed over the container library for this executable and the codec
// library alike; each forwards to the real operation unless its knob fires.
#define INTERPOSE(P, K)                                                                            \
    extern "C" int P##_key_count(const P##_t *m, int *n)                                           \
    {                                                                                              \
        static const auto real = next_symbol<int (*)(const P##_t *, int *)>(#P "_key_count");      \
        return K.key_count.fire() ? -1 : real(m, n);                                               \
    }                                                                                              \
    extern "C" const char *P##_value_first(const P##_t *m, const char *k, P##_value_cursor_t *vc)  \
    {                                                                                              \
        static const auto real = next_symbol<const char *(*)(const P##_t *, const char *,          \
                                                             P##_value_cursor_t *)>(               \
            #P "_value_first");                                                                    \
        const char *v = real(m, k, vc);                                                            \
        return K.value_first.fire() ? nullptr : v;                                                 \
    }                                                                                              \
    extern "C" int P##_value_count(const P##_value_cursor_t *vc)                                   \
    {                                                                                              \
        static const auto real = next_symbol<int (*)(const P##_value_cursor_t *)>(                 \
            #P "_value_count");                                                                    \
        return real(vc) + (K.value_count.fire() ? K.value_count.delta : 0);                        \
    }                                                                                              \
    extern "C" int P##_init(P##_t *m)                                                              \
    {                                                                                              \
        static const auto real = next_symbol<int (*)(P##_t *)>(#P "_init");                        \
        return K.init.fire() ? -1 : real(m);                                                       \
    }                                                                                              \
    extern "C" int P##_sethashsize(P##_t *m, uint32_t n)                                           \
    {                                                                                              \
        static const auto real = next_symbol<int (*)(P##_t *, uint32_t)>(#P "_sethashsize");       \
        return K.sethashsize.fire() ? -1 : real(m, n);                                             \
    }                                                                                              \
    extern "C" int P##_insert_str(P##_t *m, const char *k, const char *v)                          \
    {                                                                                              \
        static const auto real =                                                                   \
            next_symbol<int (*)(P##_t *, const char *, const char *)>(#P "_insert_str");           \
        return K.insert.fire() ? -1 : real(m, k, v);                                               \
    }                                                                                              \
    extern "C" int P##_destroy(P##_t *m)                                                           \
    {                                                                                              \
        static const auto real = next_symbol<int (*)(P##_t *)>(#P "_destroy");                     \
        const int r = real(m);                                                                     \
        return K.destroy.fire() ? -1 : r;                                                          \
    }

INTERPOSE(arraymap, g_arraymap)
INTERPOSE(multimap, g_multimap)

namespace {

struct A : ArraymapT {
    static constexpr bool indexed = true;
    static Knobs &knobs() { return g_arraymap; }
};
struct M : MultimapT {
    static constexpr bool indexed = false;
    static Knobs &knobs() { return g_multimap; }
};

template <class T> class Multi : public testing::Test {};
using Both = testing::Types<A, M>;
TYPED_TEST_SUITE(Multi, Both);

TYPED_TEST(Multi, WireVectors)
{
    const struct {
        Entries e;
        const char *wire;
    } rows[] = {
        {{}, "00000000"},
        {{{"a", {"x", "y"}}}, "00000001 00000001 61000000 00000002 00000001 78000000 00000001 79000000"},
        {{{"", {""}}}, "00000001 00000000 00000001 00000000"},
        // Padding after 1 to 5 bytes; repeated values are kept.
        {{{"abcd", {"abcde", "ab", "ab"}}, {"abc", {"a"}}},
         "00000002 00000004 61626364 00000003 00000005 61626364 65000000 00000002 61620000"
         "00000002 61620000 00000003 61626300 00000001 00000001 61000000"},
        // Keys in insertion order, not sorted.
        {{{"k2", {"1"}}, {"k1", {"2"}}}, "00000002 00000002 6b320000 00000001 00000001 31000000"
                                          "00000002 6b310000 00000001 00000001 32000000"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.wire);
        check_wire<TypeParam>(row.e, qt::hex(row.wire));
    }
}

TYPED_TEST(Multi, DecodeMergesRepeatedKeysAndDropsEmptyOnes)
{
    const Bytes w = cat({u32(3), str("a"), u32(1), str("x"), str("b"), u32(0), str("a"), u32(1), str("y")});
    Box<TypeParam> out;
    size_t used = 0;
    ASSERT_EQ(qt::decode_mem<typename TypeParam::C>(TypeParam::filter, out.get(), w, &used), AXDR_TRUE);
    EXPECT_EQ(used, w.size());
    EXPECT_EQ(out.contents(), (Entries{{"a", {"x", "y"}}}));
}

TYPED_TEST(Multi, RoundTripsRandomContainers)
{
    std::mt19937 rng(11);
    for (size_t n : {0, 1, 4, 32, 33, 1000, 20000}) {
        SCOPED_TRACE(n);
        const Entries e = random_entries(rng, n, true);
        const Bytes want = wire<TypeParam>(e);
        if (n <= 33) {
            check_wire<TypeParam>(e, want, n <= 4); // every split: small ones only
            continue;
        }
        // Large ones once, whole buffer.
        Box<TypeParam> in(e), out;
        Bytes got;
        ASSERT_EQ(qt::encode_mem<typename TypeParam::C>(TypeParam::filter, in.get(), got, want.size()), AXDR_TRUE);
        ASSERT_TRUE(got == want);
        ASSERT_EQ(qt::decode_mem<typename TypeParam::C>(TypeParam::filter, out.get(), got), AXDR_TRUE);
        ASSERT_TRUE(out.contents() == e);
    }
}

TYPED_TEST(Multi, ResumesAtEveryPrimitiveSetupAndByte)
{
    std::mt19937 rng(5);
    check_faults<TypeParam>(random_entries(rng, 4, true));
    check_faults<TypeParam>(Entries{});
}

TYPED_TEST(Multi, InputEndingAnywhereFailsWithoutLeaks)
{
    std::mt19937 rng(9);
    check_truncated<TypeParam>(random_entries(rng, 4, true));
}

TYPED_TEST(Multi, HashSizeFromAnnouncedKeyCount)
{
    const struct {
        int count;
        uint32_t size; // 0: none set
    } rows[] = {{-1, 0},        {0, 0},         {32, 0},         {33, 64},          {64, 64},
                {65, 128},      {1000, 1024},   {16384, 16384},  {16385, 16384},    {100000, 16384},
                {INT32_MAX, 16384}};
    Knobs &k = TypeParam::knobs();
    for (const auto &row : rows) {
        SCOPED_TRACE(row.count);
        Box<TypeParam> out;
        qt::Stream s(axdr_incr_create(AXDR_DECODE, 0));
        const Bytes w = u32(static_cast<uint32_t>(row.count));
        Arm watch(k.sethashsize, 0);
        ASSERT_EQ(axdr_feed(s.get(), w.data(), w.size()), 0);
        const int r = TypeParam::filter(s.get(), out.get());
        EXPECT_EQ(k.sethashsize.calls, row.size ? 1 : 0);
        EXPECT_EQ(TypeParam::hashsize(out.get()), row.size);
        // Negative and unwalkable counts fail at once, 0 is done; the rest
        // wait for keys.
        const int want = row.count < 0 || row.count == INT32_MAX ? AXDR_FALSE
                         : row.count == 0                       ? AXDR_TRUE
                                                                : AXDR_PENDING;
        EXPECT_EQ(r, want);
        if (r == AXDR_PENDING) {
            axdr_feed_end(s.get());
            EXPECT_EQ(TypeParam::filter(s.get(), out.get()), AXDR_FALSE);
        }
        EXPECT_TRUE(out.contents().empty());
    }
    // Set once, before the first insertion: 40 keys fit the 64 buckets.
    std::mt19937 rng(3);
    const Entries e = random_entries(rng, 40, true);
    Box<TypeParam> out;
    Arm watch(k.sethashsize, 0);
    ASSERT_EQ(qt::decode_mem<typename TypeParam::C>(TypeParam::filter, out.get(), wire<TypeParam>(e)), AXDR_TRUE);
    EXPECT_EQ(k.sethashsize.calls, 1);
    EXPECT_EQ(TypeParam::hashsize(out.get()), 64u);
    EXPECT_EQ(out.contents(), e);
}

// --- failure paths ---------------------------------------------------------

const Entries kThree{{"k1", {"a"}}, {"k2", {"b", "c", "d"}}, {"k3", {"e"}}};

TYPED_TEST(Multi, EncodeFailures)
{
    Knobs &k = TypeParam::knobs();
    const struct {
        const char *what;
        Knob Knobs::*knob;
        long fail_at;
        int delta;
        int result;
        Bytes wire;
    } rows[] = {
        {"key count fails", &Knobs::key_count, 1, 0, AXDR_FALSE, {}},
        {"second key has no first value", &Knobs::value_first, 2, 0, AXDR_FALSE,
         cat({u32(3), str("k1"), u32(1), str("a")})},
        {"negative value count", &Knobs::value_count, 2, -4, AXDR_FALSE,
         cat({u32(3), str("k1"), u32(1), str("a"), str("k2"), u32(0xffffffff)})},
        // The walk ends before the count: the peer would take the next key
        // for the missing value.
        {"walk shorter than the count", &Knobs::value_count, 2, 1, AXDR_FALSE,
         cat({u32(3), str("k1"), u32(1), str("a"), str("k2"), u32(4), str("b"), str("c"), str("d")})},
        {"walk longer than the count is cut", &Knobs::value_count, 2, -1, AXDR_TRUE,
         cat({u32(3), str("k1"), u32(1), str("a"), str("k2"), u32(2), str("b"), str("c"), str("k3"),
              u32(1), str("e")})},
    };
    Box<TypeParam> in(kThree);
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        Bytes got;
        {
            Arm arm(k.*row.knob, row.fail_at, row.delta);
            EXPECT_EQ(qt::encode_mem<typename TypeParam::C>(TypeParam::filter, in.get(), got, 256), row.result);
        }
        EXPECT_EQ(qt::to_hex(got), qt::to_hex(row.wire));
        EXPECT_EQ(in.contents(), kThree);
    }
}

TYPED_TEST(Multi, DecodeFailures)
{
    Knobs &k = TypeParam::knobs();
    const std::string p = TypeParam::prefix;
    const Bytes good = wire<TypeParam>(kThree);
    const Bytes k2_count_at = cat({u32(3), str("k1"), u32(1), str("a"), str("k2")});
    const struct {
        const char *what;
        Knob Knobs::*knob;
        long fail_at;
        Bytes wire;
        size_t read;
        Entries left;
        std::string warning;
    } rows[] = {
        {"init fails", &Knobs::init, 1, good, 0, {}, "axdr_" + p + "_t: " + p + " init"},
        {"sethashsize fails", &Knobs::sethashsize, 1, cat({u32(40), good}), 4, {},
         "axdr_" + p + "_t: " + p + " sethashsize"},
        {"negative key count", nullptr, 0, cat({u32(0xffffffff), str("k1")}), 4, {}, ""},
        {"negative value count", nullptr, 0, cat({k2_count_at, u32(0xfffffffe), str("b")}),
         k2_count_at.size() + 4, {{"k1", {"a"}}}, ""},
        // The second value of k2: the first stays, k3 is never read.
        {"insert fails", &Knobs::insert, 3, good, k2_count_at.size() + 4 + 8 + 8, {{"k1", {"a"}}, {"k2", {"b"}}}, ""},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        Box<TypeParam> out;
        size_t used = 0;
        testing::internal::CaptureStderr();
        {
            Knob unused;
            Arm arm(row.knob ? k.*row.knob : unused, row.fail_at);
            EXPECT_EQ(qt::decode_mem<typename TypeParam::C>(TypeParam::filter, out.get(), row.wire, &used), AXDR_FALSE);
        }
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(used, row.read);
        EXPECT_EQ(out.contents(), row.left);
        expect_warning(err, row.warning);
    }
}

TYPED_TEST(Multi, UnknownCodesTouchNothingAndFreeIgnoresDestroy)
{
    Knobs &k = TypeParam::knobs();
    Box<TypeParam> in(kThree);
    Bytes buf(64, 0xee);
    for (int op : {6, 7, 0x7fffffff, static_cast<int>(0x80000000u), -1}) {
        SCOPED_TRACE(op);
        qt::Stream s(axdr_mem_create(buf.data(), buf.size(), op));
        k = Knobs{};
        EXPECT_EQ(TypeParam::filter(s.get(), in.get()), AXDR_FALSE);
        EXPECT_EQ(axdr_getpos(s.get()), 0u);
        EXPECT_EQ(k.total(), 0);
        EXPECT_EQ(axdr_saved_frames(s.get()), 0u);
    }
    EXPECT_EQ(buf, Bytes(64, 0xee));
    EXPECT_EQ(in.contents(), kThree);
    {
        // Destroy reports a failure after releasing: free is TRUE anyway.
        Arm arm(k.destroy, 1);
        EXPECT_EQ(qt::free_obj<typename TypeParam::C>(TypeParam::filter, in.get()), AXDR_TRUE);
        EXPECT_EQ(k.destroy.calls, 1);
    }
    EXPECT_TRUE(in.contents().empty());
}

TYPED_TEST(Multi, DecodeIntoAnUninitialisedContainer)
{
    typename TypeParam::C raw;
    std::memset(&raw, 0xa5, sizeof raw);
    const Bytes w = wire<TypeParam>(kThree);
    ASSERT_EQ(qt::decode_mem<typename TypeParam::C>(TypeParam::filter, &raw, w), AXDR_TRUE);
    EXPECT_EQ(TypeParam::snapshot(&raw), kThree);
    EXPECT_EQ(qt::free_obj<typename TypeParam::C>(TypeParam::filter, &raw), AXDR_TRUE);
}

// --- print -----------------------------------------------------------------

TYPED_TEST(Multi, PrintCalls)
{
    check_print<TypeParam>({}, "");
    check_print<TypeParam>({{"a", {"x", "y"}}},
                           "element a 1 = 1|value \"x\" = 1|value \"y\" = 1|element (close) 0 = 1|");
    check_print<TypeParam>(kThree, "element k1 1 = 1|value \"a\" = 1|element k2 0 = 1|value \"b\" = 1|"
                                   "value \"c\" = 1|value \"d\" = 1|element k3 0 = 1|value \"e\" = 1|"
                                   "element (close) 0 = 1|");
    Box<TypeParam> in(kThree);
    EXPECT_EQ(qt::print<typename TypeParam::C>(TypeParam::filter, in.get()),
              "{\n  k1 = \"a\"\n  k2 = \"b\", \"c\", \"d\"\n  k3 = \"e\"\n}\n");
}

TYPED_TEST(Multi, PrintFollowsTheWalkWhenTheCountIsWrong)
{
    Knobs &k = TypeParam::knobs();
    Box<TypeParam> in({{"a", {"x", "y"}}});
    const struct {
        int delta;
        const char *indexed, *walked;
    } rows[] = {
        // A count beyond the walk: the array-map stops at the walk's end
        // instead of printing a NULL value.
        {1, "element a 1 = 1|value \"x\" = 1|value \"y\" = 1|element (close) 0 = 1|",
         "element a 1 = 1|value \"x\" = 1|value \"y\" = 1|element (close) 0 = 1|"},
        // A count short of the walk: the array-map stops at the count, the
        // multimap prints what the walk yields.
        {-1, "element a 1 = 1|value \"x\" = 1|element (close) 0 = 1|",
         "element a 1 = 1|value \"x\" = 1|value \"y\" = 1|element (close) 0 = 1|"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.delta);
        qt::Stream s(axdr_print_create(nullptr));
        axdr_trace_enable(s.get(), 1);
        Arm arm(k.value_count, -1, row.delta);
        EXPECT_EQ(TypeParam::filter(s.get(), in.get()), AXDR_TRUE);
        EXPECT_EQ(calls_of(axdr_trace(s.get())), TypeParam::indexed ? row.indexed : row.walked);
        if (!TypeParam::indexed) {
            EXPECT_EQ(k.value_count.calls, 0);
        }
    }
}

} // namespace
