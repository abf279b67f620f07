// The runtime: primitives on every stream kind, resumption inside units,
// hostile strings, frames, fault injection and the printer.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <malloc.h>

#include "support.h"
#include "toy_filter.h"

using namespace qt;

namespace {

// A value of each primitive, coded by one function so that the same table
// drives encode, decode and print.
struct Sample {
    const char *name;
    int i = 0;
    uint32_t u = 0;
    uint64_t h = 0;
    std::string str;
    int kind; // 0 int, 1 uint32, 2 u_int, 3 u64, 4 string
    const char *wire;
};

int code(axdr_stream_t *s, Sample *v)
{
    switch (v->kind) {
    case 0: return axdr_int(s, &v->i);
    case 1: return axdr_uint32_t(s, &v->u);
    case 2: return axdr_u_int(s, &v->u);
    case 3: return axdr_u_int64_t(s, &v->h);
    default: {
        bool dec = s->x_op == AXDR_DECODE || s->x_op == AXDR_DECODE_ALT;
        char *p = dec ? nullptr : v->str.data();
        int r = axdr_string(s, &p, ~0u);
        if (r == AXDR_TRUE && dec) {
            v->str = p;
            std::free(p);
        }
        return r;
    }
    }
}

std::vector<Sample> samples()
{
    std::vector<Sample> v;
    auto add = [&](Sample s) { v.push_back(s); };
    add({"int_neg", -2, 0, 0, "", 0, "ff ff ff fe"});
    add({"int_min", INT_MIN, 0, 0, "", 0, "80 00 00 00"});
    add({"uint32", 0, 0xc0000201u, 0, "", 1, "c0 00 02 01"});
    add({"u_int", 0, 255, 0, "", 2, "00 00 00 ff"});
    add({"u64", 0, 0, 0x0102030405060708ull, "", 3, "01 02 03 04 05 06 07 08"});
    add({"u64_max", 0, 0, ~0ull, "", 3, "ff ff ff ff ff ff ff ff"});
    add({"str_empty", 0, 0, 0, "", 4, "00 00 00 00"});
    add({"str_1", 0, 0, 0, "a", 4, "00 00 00 01 61 00 00 00"});
    add({"str_3", 0, 0, 0, "abc", 4, "00 00 00 03 61 62 63 00"});
    add({"str_4", 0, 0, 0, "abcd", 4, "00 00 00 04 61 62 63 64"});
    add({"str_5", 0, 0, 0, "abcde", 4, "00 00 00 05 61 62 63 64 65 00 00 00"});
    return v;
}

bool same(const Sample &a, const Sample &b)
{
    return a.i == b.i && a.u == b.u && a.h == b.h && a.str == b.str;
}

Sample blank(const Sample &s)
{
    Sample b = s;
    b.i = 0;
    b.u = 0;
    b.h = 0;
    b.str = "";
    return b;
}

} // namespace

TEST(Primitives, WireBytesOnEveryStream)
{
    for (Sample s : samples()) {
        SCOPED_TRACE(s.name);
        Bytes want = hex(s.wire);
        Bytes got;
        ASSERT_EQ(encode_mem<Sample>(code, &s, got), AXDR_TRUE);
        EXPECT_EQ(to_hex(got), to_hex(want));
        ASSERT_EQ(encode_mem<Sample>(code, &s, got, 1 << 20, AXDR_ENCODE_ALT), AXDR_TRUE);
        EXPECT_EQ(to_hex(got), to_hex(want));
        for (size_t window : {1, 2, 3, 7}) {
            ASSERT_EQ(encode_windowed<Sample>(code, &s, window, got), AXDR_TRUE);
            EXPECT_EQ(to_hex(got), to_hex(want)) << "window " << window;
        }
        Sample d = blank(s);
        ASSERT_EQ(decode_mem<Sample>(code, &d, want), AXDR_TRUE);
        EXPECT_TRUE(same(d, s));
        d = blank(s);
        ASSERT_EQ(decode_mem<Sample>(code, &d, want, nullptr, AXDR_DECODE_ALT), AXDR_TRUE);
        EXPECT_TRUE(same(d, s));
        for (size_t k = 0; k <= want.size(); ++k) {
            d = blank(s);
            ASSERT_EQ(decode_pieces<Sample>(code, &d, want, split_at(k)), AXDR_TRUE) << k;
            EXPECT_TRUE(same(d, s)) << "split at " << k;
        }
    }
}

TEST(Primitives, ByteFaultResumesInsideTheUnit)
{
    for (Sample s : samples()) {
        Bytes want = hex(s.wire);
        for (unsigned long n = 1; n <= want.size(); ++n) {
            SCOPED_TRACE(std::string(s.name) + " byte " + std::to_string(n));
            Bytes buf(want.size() + 8, 0xee);
            Stream e(axdr_mem_create(buf.data(), buf.size(), AXDR_ENCODE));
            axdr_fault_at(e.get(), AXDR_FAULT_BYTE, n, AXDR_PENDING);
            ASSERT_EQ(code(e.get(), &s), AXDR_PENDING);
            EXPECT_EQ(axdr_getpos(e.get()), n - 1);
            ASSERT_EQ(code(e.get(), &s), AXDR_TRUE);
            EXPECT_EQ(to_hex(Bytes(buf.begin(), buf.begin() + want.size())), to_hex(want));

            Sample d = blank(s);
            Stream r(axdr_mem_create(want.data(), want.size(), AXDR_DECODE));
            axdr_fault_at(r.get(), AXDR_FAULT_BYTE, n, AXDR_PENDING);
            ASSERT_EQ(code(r.get(), &d), AXDR_PENDING);
            ASSERT_EQ(code(r.get(), &d), AXDR_TRUE);
            EXPECT_TRUE(same(d, s));
        }
    }
}

TEST(Primitives, OutOfBufferAndEndOfInput)
{
    Bytes small(3);
    Stream m(axdr_mem_create(small.data(), small.size(), AXDR_ENCODE));
    int v = 7;
    EXPECT_EQ(axdr_int(m.get(), &v), AXDR_FALSE);

    // Incremental decode: pending while input may come, FALSE once ended,
    // and the partial string is released (LeakSanitizer watches).
    Stream s(axdr_incr_create(AXDR_DECODE, 0));
    Bytes w = hex("00 00 00 08 61 62 63");
    axdr_feed(s.get(), w.data(), w.size());
    char *p = nullptr;
    EXPECT_EQ(axdr_string(s.get(), &p, ~0u), AXDR_PENDING);
    EXPECT_EQ(p, nullptr);
    axdr_feed_end(s.get());
    EXPECT_EQ(axdr_string(s.get(), &p, ~0u), AXDR_FALSE);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(axdr_feed(s.get(), w.data(), 1), -1);
}

TEST(Primitives, HostileStrings)
{
    struct Row {
        const char *name;
        const char *wire;
        unsigned maxlen;
        int want;
        const char *text = nullptr; // also encoded, with maxlen
    } rows[] = {
        {"nonzero padding", "00 00 00 01 61 00 01 00", ~0u, AXDR_FALSE},
        {"embedded NUL", "00 00 00 03 61 00 62 00", ~0u, AXDR_FALSE},
        {"over maxlen", "00 00 00 03 61 62 63 00", 2, AXDR_FALSE, "abc"},
        {"at maxlen", "00 00 00 03 61 62 63 00", 3, AXDR_TRUE, "abc"},
        {"huge length, little data", "ff ff ff ff 61 62 63 64", ~0u, AXDR_FALSE},
        {"2^31 length", "80 00 00 00 61 62 63 64", ~0u, AXDR_FALSE},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        Bytes w = hex(row.wire);
        // Memory stream, and incremental one byte at a time then ended.
        char *p = nullptr;
        Stream m(axdr_mem_create(w.data(), w.size(), AXDR_DECODE));
        EXPECT_EQ(axdr_string(m.get(), &p, row.maxlen), row.want);
        axdr_free(axdr_wrapstring, &p);
        Stream s(axdr_incr_create(AXDR_DECODE, 0));
        int r = AXDR_PENDING;
        for (size_t i = 0; i < w.size() && r == AXDR_PENDING; ++i) {
            axdr_feed(s.get(), &w[i], 1);
            r = axdr_string(s.get(), &p, row.maxlen);
        }
        if (r == AXDR_PENDING) {
            axdr_feed_end(s.get());
            r = axdr_string(s.get(), &p, row.maxlen);
        }
        EXPECT_EQ(r, row.want);
        EXPECT_EQ(p != nullptr, row.want == AXDR_TRUE);
        axdr_free(axdr_wrapstring, &p);
        EXPECT_EQ(p, nullptr);
        // Encode on the fast path, the slow one (a far fault) and incrementally.
        for (int way = 0; row.text && way < 3; ++way) {
            Bytes out(16);
            char *t = const_cast<char *>(row.text);
            Stream e(way < 2 ? axdr_mem_create(out.data(), out.size(), AXDR_ENCODE) : axdr_incr_create(AXDR_ENCODE, 0));
            if (way == 1)
                axdr_fault_at(e.get(), AXDR_FAULT_PRIMITIVE, 99, AXDR_FALSE);
            EXPECT_EQ(axdr_string(e.get(), &t, row.maxlen), row.want) << "encode, way " << way;
        }
    }
}

#ifndef QT_ASAN
TEST(Primitives, MemoryFollowsBytesReceivedNotAnnounced)
{
    // 4 GiB announced, 10 bytes sent: the partial string stays tiny.
    Stream s(axdr_incr_create(AXDR_DECODE, 0));
    Bytes w = hex("ff ff ff f0 61 62 63 64 65 66 67 68 69 6a");
    size_t before = mallinfo2().uordblks;
    axdr_feed(s.get(), w.data(), w.size());
    char *p = nullptr;
    ASSERT_EQ(axdr_string(s.get(), &p, ~0u), AXDR_PENDING);
    EXPECT_LT(mallinfo2().uordblks - before, size_t{16 * 1024});
}
#endif

TEST(Primitives, BudgetCapsStringsBeingReceived)
{
    Bytes w = hex("00 00 00 05 61 62 63 64 65 00 00 00");
    for (size_t budget : {4u, 5u}) {
        Stream s(axdr_mem_create(w.data(), w.size(), AXDR_DECODE));
        axdr_set_budget(s.get(), budget);
        char *p = nullptr;
        EXPECT_EQ(axdr_string(s.get(), &p, ~0u), budget >= 5 ? AXDR_TRUE : AXDR_FALSE);
        axdr_free(axdr_wrapstring, &p);
    }
}

TEST(Primitives, FreeBadCodesAndPrint)
{
    char *p = static_cast<char *>(std::malloc(4));
    std::strcpy(p, "abc");
    axdr_free(axdr_wrapstring, &p);
    EXPECT_EQ(p, nullptr);

    Bytes buf(16);
    for (int op : {6, 7, 1000, -1}) {
        Stream s(axdr_mem_create(buf.data(), buf.size(), op));
        int i = 1;
        uint64_t h = 1;
        char str[] = "x";
        char *sp = str;
        EXPECT_EQ(axdr_int(s.get(), &i), AXDR_FALSE);
        EXPECT_EQ(axdr_u_int64_t(s.get(), &h), AXDR_FALSE);
        EXPECT_EQ(axdr_string(s.get(), &sp, ~0u), AXDR_FALSE);
        EXPECT_EQ(axdr_getpos(s.get()), 0u);
    }

    Stream pr(axdr_print_create(nullptr));
    int i = -5;
    uint32_t u = 4000000000u;
    uint64_t h = 18446744073709551615ull;
    char str[] = "a\"b\\c\n\x01\xff";
    char *sp = str;
    EXPECT_EQ(axdr_int(pr.get(), &i), AXDR_TRUE);
    EXPECT_EQ(axdr_uint32_t(pr.get(), &u), AXDR_TRUE);
    EXPECT_EQ(axdr_u_int64_t(pr.get(), &h), AXDR_TRUE);
    EXPECT_EQ(axdr_string(pr.get(), &sp, ~0u), AXDR_TRUE);
    EXPECT_STREQ(axdr_print_text(pr.get(), nullptr),
                 "-5\n4000000000\n18446744073709551615\n\"a\\\"b\\\\c\\n\\x01\\xff\"\n");
}

TEST(Primitives, StrayCallWhileAUnitIsInFlightFails)
{
    Bytes w = hex("00 00 00 03 61 62");
    Stream s(axdr_incr_create(AXDR_DECODE, 0));
    axdr_feed(s.get(), w.data(), w.size());
    char *p = nullptr;
    ASSERT_EQ(axdr_string(s.get(), &p, ~0u), AXDR_PENDING);
    int i = 0;
    EXPECT_EQ(axdr_int(s.get(), &i), AXDR_FALSE); // would read string bytes as an int
}

TEST(Primitives, PrimitiveFaultsFireOnceOrPeriodically)
{
    Bytes buf(64);
    Stream s(axdr_mem_create(buf.data(), buf.size(), AXDR_ENCODE));
    int v = 1;
    axdr_fault_at(s.get(), AXDR_FAULT_PRIMITIVE, 2, AXDR_FALSE);
    EXPECT_EQ(axdr_int(s.get(), &v), AXDR_TRUE);
    EXPECT_EQ(axdr_int(s.get(), &v), AXDR_FALSE);
    EXPECT_EQ(axdr_int(s.get(), &v), AXDR_TRUE);
    EXPECT_EQ(axdr_getpos(s.get()), 8u); // the failed call wrote nothing
    axdr_fault_every(s.get(), AXDR_FAULT_PRIMITIVE, 2, AXDR_PENDING);
    int results[4];
    for (int &r : results)
        r = axdr_int(s.get(), &v);
    EXPECT_EQ(results[0], AXDR_TRUE);
    EXPECT_EQ(results[1], AXDR_PENDING);
    EXPECT_EQ(results[2], AXDR_TRUE);
    EXPECT_EQ(results[3], AXDR_PENDING);
    EXPECT_EQ(axdr_fault_count(s.get(), AXDR_FAULT_PRIMITIVE), 7u);
}

// --- frames ------------------------------------------------------------


TEST(Frames, PendingAtEveryPrimitiveAndSetupRepeatsNothing)
{
    Toy in{3, {1, 2, 3}, {10, 20, 30}};
    Bytes want;
    ASSERT_EQ(encode_mem<Toy>(toy_outer, &in, want), AXDR_TRUE);
    ASSERT_EQ(want.size(), 28u);
    for (int kind : {AXDR_FAULT_PRIMITIVE, AXDR_FAULT_SETUP}) {
        for (unsigned long n = 1; n <= (kind == AXDR_FAULT_SETUP ? 4u : 7u); ++n) {
            SCOPED_TRACE("kind " + std::to_string(kind) + " n " + std::to_string(n));
            Bytes buf(64, 0xee);
            Stream e(axdr_mem_create(buf.data(), buf.size(), AXDR_ENCODE));
            axdr_fault_at(e.get(), kind, n, AXDR_PENDING);
            int calls = 0;
            ASSERT_EQ(until_done<Toy>(toy_outer, e.get(), &in, &calls), AXDR_TRUE);
            EXPECT_EQ(calls, 2);
            EXPECT_EQ(axdr_getpos(e.get()), want.size());
            EXPECT_EQ(to_hex(Bytes(buf.begin(), buf.begin() + 28)), to_hex(want));
            EXPECT_EQ(axdr_saved_frames(e.get()), 0u);

            Toy out{};
            Stream d(axdr_mem_create(want.data(), want.size(), AXDR_DECODE));
            axdr_fault_at(d.get(), kind, n, AXDR_PENDING);
            ASSERT_EQ(until_done<Toy>(toy_outer, d.get(), &out), AXDR_TRUE);
            EXPECT_EQ(0, std::memcmp(&out, &in, sizeof in));
        }
    }
}

TEST(Frames, SetupFalseAndPendingTouchNothing)
{
    Toy in{1, {5}, {6}};
    for (int res : {AXDR_FALSE, AXDR_PENDING}) {
        Bytes buf(64, 0xee);
        Stream e(axdr_mem_create(buf.data(), buf.size(), AXDR_ENCODE));
        axdr_trace_enable(e.get(), 1);
        axdr_fault_at(e.get(), AXDR_FAULT_SETUP, 1, res);
        EXPECT_EQ(toy_outer(e.get(), &in), res);
        EXPECT_EQ(axdr_getpos(e.get()), 0u);
        EXPECT_STREQ(axdr_trace(e.get()), res == AXDR_FALSE ? "setup 0 = 0\n" : "setup 0 = pending\n");
    }
}

TEST(Frames, TraceShowsInnermostFirstTeardownAndRestore)
{
    Toy in{1, {5}, {6}};
    Bytes buf(64);
    Stream e(axdr_mem_create(buf.data(), buf.size(), AXDR_ENCODE));
    axdr_trace_enable(e.get(), 1);
    axdr_fault_at(e.get(), AXDR_FAULT_PRIMITIVE, 3, AXDR_PENDING);
    ASSERT_EQ(toy_outer(e.get(), &in), AXDR_PENDING);
    EXPECT_EQ(axdr_saved_frames(e.get()), 2u);
    ASSERT_EQ(toy_outer(e.get(), &in), AXDR_TRUE);
    EXPECT_STREQ(axdr_trace(e.get()),
                 "setup 0 = 1\nint 1 = 1\nsetup 1 = 1\nint 5 = 1\nint 6 = pending\n"
                 "teardown 1 2 = pending\nteardown 0 1 = pending\n"
                 "setup 0 = 1\nsetup 1 = 1\nint 6 = 1\nteardown 1 3 = 1\nteardown 0 2 = 1\n");
}

TEST(Frames, SavedFrameIsNotRestoredIntoAnotherFilter)
{
    Toy in{1, {5}, {6}};
    Bytes buf(64);
    Stream e(axdr_mem_create(buf.data(), buf.size(), AXDR_ENCODE));
    axdr_fault_at(e.get(), AXDR_FAULT_PRIMITIVE, 2, AXDR_PENDING);
    ASSERT_EQ(toy_outer(e.get(), &in), AXDR_PENDING);
    EXPECT_EQ(toy_inner(e.get(), &in, 0), AXDR_FALSE);
    EXPECT_EQ(axdr_saved_frames(e.get()), 0u);
}

TEST(Frames, AbandoningADecodeAndResettingAnEncode)
{
    Toy in{2, {1, 2}, {3, 4}};
    Bytes w;
    ASSERT_EQ(encode_mem<Toy>(toy_outer, &in, w), AXDR_TRUE);
    Stream d(axdr_incr_create(AXDR_DECODE, 0));
    Toy out{};
    axdr_feed(d.get(), w.data(), 10);
    ASSERT_EQ(toy_outer(d.get(), &out), AXDR_PENDING);
    axdr_feed_end(d.get());
    EXPECT_EQ(toy_outer(d.get(), &out), AXDR_FALSE);
    EXPECT_EQ(axdr_saved_frames(d.get()), 0u);

    Stream e(axdr_incr_create(AXDR_ENCODE, 6));
    ASSERT_EQ(toy_outer(e.get(), &in), AXDR_PENDING);
    axdr_reset(e.get());
    EXPECT_EQ(axdr_saved_frames(e.get()), 0u);
    Bytes again;
    uint8_t chunk[64];
    int r;
    while ((r = toy_outer(e.get(), &in)) == AXDR_PENDING) {
        size_t n = axdr_drain(e.get(), chunk, sizeof chunk);
        again.insert(again.end(), chunk, chunk + n);
    }
    size_t n = axdr_drain(e.get(), chunk, sizeof chunk);
    again.insert(again.end(), chunk, chunk + n);
    ASSERT_EQ(r, AXDR_TRUE);
    EXPECT_EQ(to_hex(again), to_hex(w)); // a fresh start after the reset
}

// --- printer -------------------------------------------------------------

namespace {

struct Call {
    const char *name; // element name; "" for a value call; "}" for a close
    int first;
    int ctx;          // which context word (0..2)
    const char *text;
};

std::string render(std::initializer_list<Call> calls)
{
    Stream s(axdr_print_create(nullptr));
    axdr_print_ctx_t ctx[3] = {0, 0, 0};
    for (const Call &c : calls) {
        if (c.text)
            EXPECT_EQ(s->x_ops->x_print_value(s.get(), c.text), AXDR_TRUE);
        else
            EXPECT_EQ(s->x_ops->x_print_element(s.get(), std::strcmp(c.name, "}") ? c.name : nullptr,
                                               c.first, &ctx[c.ctx]),
                      AXDR_TRUE);
    }
    axdr_print_finish(s.get());
    return axdr_print_text(s.get(), nullptr);
}

} // namespace

TEST(Printer, GoldenTexts)
{
    struct Row {
        const char *name;
        std::string got;
        const char *want;
    } rows[] = {
        {"map", render({{"k1", 1, 0, nullptr}, {"", 0, 0, "v1"}, {"k 2", 0, 0, nullptr},
                        {"", 0, 0, "v\"2"}, {"}", 0, 0, nullptr}}),
         "{\n  k1 = \"v1\"\n  \"k 2\" = \"v\\\"2\"\n}\n"},
        {"multi-valued", render({{"a", 1, 0, nullptr}, {"", 0, 0, "x"}, {"", 0, 0, "y"},
                                 {"b", 0, 0, nullptr}, {"}", 0, 0, nullptr}}),
         "{\n  a = \"x\", \"y\"\n  b =\n}\n"},
        {"unclosed array", render({{"[0]", 1, 0, nullptr}, {"", 0, 0, "1"}, {"[1]", 0, 0, nullptr},
                                   {"", 0, 0, "2"}}),
         "{\n  [0] = \"1\"\n  [1] = \"2\"\n}\n"},
        {"array nested in a record, closed by the record's next element",
         render({{"addr", 1, 0, nullptr}, {"[0]", 1, 1, nullptr}, {"", 0, 1, "1"},
                 {"[1]", 0, 1, nullptr}, {"", 0, 1, "2"}, {".port", 0, 0, nullptr},
                 {"", 0, 0, "80"}, {"}", 0, 0, nullptr}}),
         "{\n  addr = {\n    [0] = \"1\"\n    [1] = \"2\"\n  }\n  .port = \"80\"\n}\n"},
        {"two top-level arrays in a row",
         render({{"[0]", 1, 0, nullptr}, {"", 0, 0, "1"}, {"[0]", 1, 1, nullptr}, {"", 0, 1, "2"}}),
         "{\n  [0] = \"1\"\n}\n{\n  [0] = \"2\"\n}\n"},
        {"empty name and odd bytes", render({{"", 1, 0, nullptr}, {"", 0, 0, "\t\x7f"},
                                             {"}", 0, 0, nullptr}}),
         "{\n  \"\" = \"\\t\\x7f\"\n}\n"},
    };
    for (const Row &r : rows)
        EXPECT_EQ(r.got, r.want) << r.name;
}

TEST(Printer, PrintFaultsAndFileOutput)
{
    Stream s(axdr_print_create(nullptr));
    axdr_print_ctx_t ctx = 0;
    axdr_fault_at(s.get(), AXDR_FAULT_PRINT, 2, AXDR_PENDING);
    EXPECT_EQ(s->x_ops->x_print_element(s.get(), "a", 1, &ctx), AXDR_TRUE);
    EXPECT_EQ(s->x_ops->x_print_value(s.get(), "x"), AXDR_PENDING);
    EXPECT_EQ(s->x_ops->x_print_value(s.get(), "x"), AXDR_TRUE);
    EXPECT_EQ(s->x_ops->x_print_element(s.get(), nullptr, 0, &ctx), AXDR_TRUE);
    EXPECT_EQ(s->x_ops->x_print_element(s.get(), nullptr, 0, &ctx), AXDR_FALSE); // nothing open
    EXPECT_STREQ(axdr_print_text(s.get(), nullptr), "{\n  a = \"x\"\n}\n");

    FILE *f = tmpfile();
    ASSERT_NE(f, nullptr);
    Stream fs(axdr_print_create(f));
    uint32_t v = 42;
    EXPECT_EQ(axdr_uint32_t(fs.get(), &v), AXDR_TRUE);
    EXPECT_EQ(axdr_print_finish(fs.get()), 0);
    rewind(f);
    char line[16] = {};
    ASSERT_NE(fgets(line, sizeof line, f), nullptr);
    EXPECT_STREQ(line, "42\n");
    fclose(f);
}
