// Resource limits: wire bytes, resumes at every byte and every call, the
// printed pair and its closing call.
#include <gtest/gtest.h>

#include "support.h"

using namespace qt;

namespace {

rlimit limits(rlim_t cur, rlim_t max)
{
    rlimit r;
    r.rlim_cur = cur;
    r.rlim_max = max;
    return r;
}

bool same(const rlimit &a, const rlimit &b) { return a.rlim_cur == b.rlim_cur && a.rlim_max == b.rlim_max; }

// The trace without frame lines, one call per '|'.
std::string calls_of(const axdr_stream_t *s)
{
    std::string trace = axdr_trace(s), out;
    size_t pos = 0;
    for (size_t nl; (nl = trace.find('\n', pos)) != std::string::npos; pos = nl + 1) {
        std::string line = trace.substr(pos, nl - pos);
        if (line.rfind("setup", 0) != 0 && line.rfind("teardown", 0) != 0)
            out += line + "|";
    }
    return out;
}

struct WireRow {
    rlim_t cur, max;
    const char *wire;
};

const WireRow wire_rows[] = {
    {1024, 4096, "00 00 00 00 00 00 04 00 00 00 00 00 00 00 10 00"},
    {RLIM_INFINITY, 0, "ff ff ff ff ff ff ff ff 00 00 00 00 00 00 00 00"},
    {5000, 10, "00 00 00 00 00 00 13 88 00 00 00 00 00 00 00 0a"}, // soft above hard travels as is
    {0x0123456789abcdefULL, 0xfedcba9876543210ULL, "01 23 45 67 89 ab cd ef fe dc ba 98 76 54 32 10"},
};

} // namespace

TEST(RlimitWire, BothLimitsAsHypers)
{
    for (const WireRow &row : wire_rows) {
        SCOPED_TRACE(row.wire);
        rlimit value = limits(row.cur, row.max);
        const Bytes want = hex(row.wire);
        Bytes got;
        for (int op : {AXDR_ENCODE, AXDR_ENCODE_ALT}) {
            ASSERT_EQ(encode_mem<rlimit>(axdr_rlimit, &value, got, 64, op), AXDR_TRUE);
            EXPECT_EQ(to_hex(got), to_hex(want));
        }
        for (int op : {AXDR_DECODE, AXDR_DECODE_ALT}) {
            rlimit back = limits(7, 7);
            size_t used = 0;
            ASSERT_EQ(decode_mem<rlimit>(axdr_rlimit, &back, want, &used, op), AXDR_TRUE);
            EXPECT_EQ(used, 16u);
            EXPECT_TRUE(same(back, value));
        }
        for (size_t w : {1, 3, 7, 8}) {
            int pendings = 0;
            ASSERT_EQ(encode_windowed<rlimit>(axdr_rlimit, &value, w, got, &pendings), AXDR_TRUE);
            EXPECT_EQ(to_hex(got), to_hex(want)) << "window " << w;
        }
        for (size_t k = 0; k <= want.size(); ++k) {
            rlimit back = limits(7, 7);
            ASSERT_EQ(decode_pieces<rlimit>(axdr_rlimit, &back, want, split_at(k)), AXDR_TRUE);
            EXPECT_TRUE(same(back, value)) << "split at " << k;
        }
        rlimit back = limits(7, 7);
        ASSERT_EQ(decode_pieces<rlimit>(axdr_rlimit, &back, want, bytewise(want.size())), AXDR_TRUE);
        EXPECT_TRUE(same(back, value));

        // One limit alone is its first eight octets.
        rlim_t one = row.cur;
        ASSERT_EQ(encode_mem<rlim_t>(axdr_rlim_t, &one, got, 64), AXDR_TRUE);
        EXPECT_EQ(to_hex(got), to_hex(Bytes(want.begin(), want.begin() + 8)));
        EXPECT_EQ(one, row.cur);
    }
}

TEST(RlimitResume, PendingAtEveryByteOfADecode)
{
    const rlimit value = limits(0x0123456789abcdefULL, 0xfedcba9876543210ULL);
    Bytes wire = hex(wire_rows[3].wire);
    for (unsigned long n = 1; n <= wire.size(); ++n) {
        for (int res : {AXDR_PENDING, AXDR_FALSE}) {
            SCOPED_TRACE("byte " + std::to_string(n) + " result " + std::to_string(res));
            rlimit got = limits(1, 2);
            Stream s(axdr_mem_create(wire.data(), wire.size(), AXDR_DECODE));
            axdr_fault_at(s.get(), AXDR_FAULT_BYTE, n, res);
            ASSERT_EQ(axdr_rlimit(s.get(), &got), res);
            // A limit changes only once all its octets arrived.
            EXPECT_EQ(got.rlim_cur, n > 8 ? value.rlim_cur : 1u);
            EXPECT_EQ(got.rlim_max, 2u);
            if (res == AXDR_PENDING) {
                axdr_trace_enable(s.get(), 1);
                ASSERT_EQ(axdr_rlimit(s.get(), &got), AXDR_TRUE);
                EXPECT_TRUE(same(got, value));
                EXPECT_EQ(axdr_getpos(s.get()), 16u);
                // The resumed call goes on with the limit that pended.
                const std::string cur = "u64 " + std::to_string(value.rlim_cur) + " = 1|";
                const std::string max = "u64 " + std::to_string(value.rlim_max) + " = 1|";
                EXPECT_EQ(calls_of(s.get()), n > 8 ? max : cur + max);
            }
            EXPECT_EQ(axdr_saved_frames(s.get()), 0u);
        }
    }
}

TEST(RlimitResume, SetupFaultTouchesNothing)
{
    Bytes wire = hex(wire_rows[0].wire);
    for (int res : {AXDR_FALSE, AXDR_PENDING}) {
        rlimit got = limits(1, 2);
        Stream s(axdr_mem_create(wire.data(), wire.size(), AXDR_DECODE));
        axdr_fault_at(s.get(), AXDR_FAULT_SETUP, 1, res);
        EXPECT_EQ(axdr_rlimit(s.get(), &got), res);
        EXPECT_EQ(axdr_getpos(s.get()), 0u);
        EXPECT_TRUE(same(got, limits(1, 2)));
        if (res == AXDR_PENDING) { // the next call starts from the beginning
            EXPECT_EQ(axdr_rlimit(s.get(), &got), AXDR_TRUE);
            EXPECT_TRUE(same(got, limits(1024, 4096)));
        }
    }
}

TEST(RlimitResume, SingleLimitStoresBackWhateverTheResult)
{
    Bytes wire = hex("00 00 00 00 00 00 00 2a");
    // A decode cut short keeps the old value; resumed, it completes.
    for (unsigned long n = 1; n <= 8; ++n) {
        rlim_t v = 99;
        Stream s(axdr_mem_create(wire.data(), wire.size(), AXDR_DECODE));
        axdr_fault_at(s.get(), AXDR_FAULT_BYTE, n, AXDR_PENDING);
        ASSERT_EQ(axdr_rlim_t(s.get(), &v), AXDR_PENDING);
        EXPECT_EQ(v, 99u);
        ASSERT_EQ(axdr_rlim_t(s.get(), &v), AXDR_TRUE);
        EXPECT_EQ(v, 42u);
    }
    for (int op : {int{AXDR_ENCODE}, int{AXDR_FREE}, 6}) {
        Bytes buf(8);
        rlim_t v = 0x1122334455667788ULL;
        Stream s(axdr_mem_create(buf.data(), buf.size(), op));
        EXPECT_EQ(axdr_rlim_t(s.get(), &v), op == 6 ? AXDR_FALSE : AXDR_TRUE);
        EXPECT_EQ(v, 0x1122334455667788ULL);
    }
}

TEST(RlimitCodes, FreeTouchesNothingAndHighCodesFail)
{
    rlimit r = limits(10, 20);
    EXPECT_EQ(free_obj<rlimit>(axdr_rlimit, &r), AXDR_TRUE);
    EXPECT_TRUE(same(r, limits(10, 20)));
    for (int op : {6, 99}) {
        Bytes buf(16);
        Stream s(axdr_mem_create(buf.data(), buf.size(), op));
        EXPECT_EQ(axdr_rlimit(s.get(), &r), AXDR_FALSE);
        EXPECT_EQ(axdr_saved_frames(s.get()), 0u);
        EXPECT_TRUE(same(r, limits(10, 20)));
    }
}

TEST(RlimitPrint, TwoElementsAndAClose)
{
    rlimit r = limits(1024, RLIM_INFINITY);
    int result = 0;
    EXPECT_EQ(print<rlimit>(axdr_rlimit, &r, &result),
              "{\n  .rlim_cur = 1024\n  .rlim_max = 18446744073709551615\n}\n");
    EXPECT_EQ(result, AXDR_TRUE);
}

TEST(RlimitPrint, ResumedPrints)
{
    const char *full = "element .rlim_cur 1 = 1|u64 1024 = 1|element .rlim_max 0 = 1|u64 4096 = 1|";
    struct Row {
        const char *what;
        int kind;
        unsigned long n;
        int res;
        int want;
        std::string calls;
        int call_count;
    } rows[] = {
        {"no fault", AXDR_FAULT_PRINT, 0, AXDR_TRUE, AXDR_TRUE, std::string(full) + "element (close) 0 = 1|", 1},
        {"first element pends", AXDR_FAULT_PRINT, 1, AXDR_PENDING, AXDR_TRUE,
         "element .rlim_cur 1 = pending|" + std::string(full) + "element (close) 0 = 1|", 2},
        {"soft value pends: its element is started again", AXDR_FAULT_PRIMITIVE, 1, AXDR_PENDING, AXDR_TRUE,
         "element .rlim_cur 1 = 1|u64 1024 = pending|" + std::string(full) + "element (close) 0 = 1|", 2},
        {"hard element pends: the soft limit is not printed again", AXDR_FAULT_PRINT, 2, AXDR_PENDING, AXDR_TRUE,
         "element .rlim_cur 1 = 1|u64 1024 = 1|element .rlim_max 0 = pending|"
         "element .rlim_max 0 = 1|u64 4096 = 1|element (close) 0 = 1|", 2},
        {"hard value fails", AXDR_FAULT_PRIMITIVE, 2, AXDR_FALSE, AXDR_FALSE,
         "element .rlim_cur 1 = 1|u64 1024 = 1|element .rlim_max 0 = 1|u64 4096 = 0|", 1},
        // A pending close is made again by the resumed call, which returns
        // its result.
        {"close pends", AXDR_FAULT_PRINT, 3, AXDR_PENDING, AXDR_TRUE,
         std::string(full) + "element (close) 0 = pending|element (close) 0 = 1|", 2},
        {"close fails", AXDR_FAULT_PRINT, 3, AXDR_FALSE, AXDR_FALSE,
         std::string(full) + "element (close) 0 = 0|", 1},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        rlimit r = limits(1024, 4096);
        Stream s(axdr_print_create(nullptr));
        axdr_trace_enable(s.get(), 1);
        if (row.n)
            axdr_fault_at(s.get(), row.kind, row.n, row.res);
        int count = 0;
        EXPECT_EQ(until_done<rlimit>(axdr_rlimit, s.get(), &r, &count), row.want);
        EXPECT_EQ(count, row.call_count);
        EXPECT_EQ(calls_of(s.get()), row.calls);
        EXPECT_EQ(axdr_saved_frames(s.get()), 0u);
        EXPECT_TRUE(same(r, limits(1024, 4096)));
    }
}

TEST(RlimitPrint, ResumedCloseEndsThePairItOpened)
{
    // Nested in an enclosing aggregate, the resumed close still closes the
    // pair's own level and the text reads as an unbroken print.
    rlimit r = limits(1, 2);
    Stream s(axdr_print_create(nullptr));
    axdr_print_ctx_t outer = 0;
    ASSERT_EQ(s->x_ops->x_print_element(s.get(), "limit", 1, &outer), AXDR_TRUE);
    axdr_fault_at(s.get(), AXDR_FAULT_PRINT, 3, AXDR_PENDING);
    ASSERT_EQ(axdr_rlimit(s.get(), &r), AXDR_PENDING);
    ASSERT_EQ(axdr_rlimit(s.get(), &r), AXDR_TRUE);
    ASSERT_EQ(s->x_ops->x_print_element(s.get(), "next", 0, &outer), AXDR_TRUE);
    ASSERT_EQ(s->x_ops->x_print_value(s.get(), "x"), AXDR_TRUE);
    ASSERT_EQ(axdr_print_finish(s.get()), 0);
    EXPECT_STREQ(axdr_print_text(s.get(), nullptr),
                 "{\n  limit = {\n    .rlim_cur = 1\n    .rlim_max = 2\n  }\n  next = \"x\"\n}\n");
}
