// The runtime: primitives on every stream kind and split, hostile strings,
// frames, fault injection and the printer.
#include <gtest/gtest.h>

#include <cstdlib>

#include <axdr_types.h>

#include "support.h"

using namespace qt;

namespace {

// Every primitive, one table: what each accepts or refuses, whole, split
// anywhere and a byte at a time; what it accepts re-encodes to the same
// bytes on every stream and prints as shown; FREE returns all.
// The primitives of one plain value: kind, C type, filter.
#define PLAIN(X)                                                                                                       \
    X(INT, int, axdr_int) X(UINT32, uint32_t, axdr_uint32_t) X(U_INT, unsigned int, axdr_u_int)                        \
    X(U_INT64, uint64_t, axdr_u_int64_t) X(HYPER, int64_t, axdr_hyper) X(LONG, long, axdr_long)                        \
    X(SHORT, short, axdr_short) X(USHORT, unsigned short, axdr_u_short) X(CHAR, char, axdr_char)                       \
    X(UCHAR, unsigned char, axdr_u_char) X(FLOAT, float, axdr_float) X(DOUBLE, double, axdr_double)                    \
    X(BOOL, bool_t, axdr_bool)
#define KIND(K, T, F) K,
enum Kind { PLAIN(KIND) STRING, ENUM, OPAQUE3, BYTES4 };

struct Any {
    int kind;
    unsigned maxlen = ~0u;
#define FIELD(K, T, F) T K##_v = 0;
    PLAIN(FIELD)
    int e = 0;
    char o[3] = {};
    char *str = nullptr, *bytes = nullptr;
    u_int blen = 0;
};

const int colour_values[] = {1, 2, 4};
const char *const colour_names[] = {"RED", "GREEN", "BLUE"};
const axdr_enum_names_t colours = {3, colour_values, colour_names};

int code_one(axdr_stream_t *s, Any *a)
{
    switch (a->kind) {
#define CASE(K, T, F) case K: return F(s, &a->K##_v);
        PLAIN(CASE)
    case STRING: return axdr_string(s, &a->str, a->maxlen);
    case ENUM: return axdr_enum(s, &a->e, &colours);
    case OPAQUE3: return axdr_opaque(s, a->o, 3);
    default: return axdr_bytes(s, &a->bytes, &a->blen, 4);
    }
}

// In a frame of its own, as in a filter: a resumed call passes its setup.
int code(axdr_stream_t *s, Any *a)
{
    const auto self = reinterpret_cast<axdr_self_t>(&code);
    int state = 0;
    axdr_frame_t frame;
    int r = axdr_async_setup(s, self, &frame, &state, 0, nullptr);
    if (r != AXDR_TRUE)
        return r;
    r = code_one(s, a);
    axdr_async_teardown(s, self, state, frame, r);
    return r;
}

int free_any(Any *a)
{
    Stream s(axdr_mem_create(nullptr, 0, AXDR_FREE));
    return code(s.get(), a) == AXDR_TRUE && !a->str && !a->bytes;
}

} // namespace

TEST(Primitives, EveryKindEveryStreamAndSplit)
{
    const struct {
        int kind;
        const char *wire;
        const char *printed; // nullptr: refused
        unsigned maxlen = ~0u;
        size_t budget = 0; // of a decode fed whole or a byte at a time
    } rows[] = {
        {INT, "ff ff ff fe", "-2"}, {INT, "80 00 00 00", "-2147483648"}, {LONG, "80 00 00 00", "-2147483648"},
        {UINT32, "c0 00 02 01", "3221225985"}, {U_INT, "00 00 00 ff", "255"},
        {U_INT64, "01 02 03 04 05 06 07 08", "72623859790382856"},
        {U_INT64, "ff ff ff ff ff ff ff ff", "18446744073709551615"},
        {HYPER, "ff ff ff ff ff ff ff fe", "-2"}, {HYPER, "80 00 00 00 00 00 00 00", "-9223372036854775808"},
        {STRING, "00 00 00 00", "\"\""}, {STRING, "00 00 00 01 0d 00 00 00", "\"\\r\""},
        {STRING, "00 00 00 02 22 5c 00 00", "\"\\\"\\\\\""}, {STRING, "00 00 00 03 61 0a 09 00", "\"a\\n\\t\""},
        {STRING, "00 00 00 04 20 62 7e 63", "\" b~c\""},
        {STRING, "00 00 00 05 01 1f 7f 80 ff 00 00 00", "\"\\x01\\x1f\\x7f\\x80\\xff\""},
        // nonzero padding, an embedded NUL, over the limit, a huge length with little data
        {STRING, "00 00 00 01 61 00 01 00", nullptr}, {STRING, "00 00 00 03 61 00 62 00", nullptr},
        {STRING, "00 00 00 03 61 62 63 00", nullptr, 2}, {STRING, "00 00 00 03 61 62 63 00", "\"abc\"", 3},
        {STRING, "ff ff ff ff 61 62 63 64", nullptr}, {STRING, "80 00 00 00 61 62 63 64", nullptr},
        {STRING, "00 00 00 05 61 62 63 64 65 00 00 00", nullptr, ~0u, 4},
        {STRING, "00 00 00 05 61 62 63 64 65 00 00 00", "\"abcde\"", ~0u, 5},
        {SHORT, "ff ff 80 00", "-32768"}, {SHORT, "00 00 80 00", nullptr},
        {USHORT, "00 00 ff ff", "65535"}, {USHORT, "00 01 00 00", nullptr},
        {CHAR, "00 00 00 41", "65"}, {CHAR, "ff ff ff 80", "-128"}, // signed on every target
        {CHAR, "00 00 01 00", nullptr}, {CHAR, "00 00 00 80", nullptr}, {CHAR, "ff ff ff 7f", nullptr},
        {UCHAR, "00 00 00 ff", "255"}, {UCHAR, "ff ff ff ff", nullptr},
        {FLOAT, "3f c0 00 00", "1.5"}, {DOUBLE, "c0 09 21 fb 54 44 2d 18", "-3.1415926535897931"},
        {BOOL, "00 00 00 01", "true"}, {BOOL, "00 00 00 00", "false"}, {BOOL, "00 00 00 02", nullptr},
        {ENUM, "00 00 00 04", "BLUE"}, {ENUM, "00 00 00 03", nullptr},
        {OPAQUE3, "01 ab ff 00", "01abff"}, {OPAQUE3, "01 ab ff 01", nullptr},
        {BYTES4, "00 00 00 04 de ad be ef", "deadbeef"}, {BYTES4, "00 00 00 00", "\"\""},
        {BYTES4, "00 00 00 01 7f 00 00 00", "7f"}, {BYTES4, "00 00 00 01 7f 00 10 00", nullptr},
        {BYTES4, "00 00 00 05 01 02 03 04 05 00 00 00", nullptr},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.wire);
        const Bytes w = hex(row.wire);
        const size_t size = w.size();
        const int want = row.printed ? AXDR_TRUE : AXDR_FALSE;
        const std::string text = row.printed ? std::string(row.printed) + "\n" : "";
        const long live = heap_live();
        for (int op : {AXDR_DECODE, AXDR_DECODE_ALT}) {
            Any a{row.kind, row.maxlen};
            Bytes in = w;
            Stream m(axdr_mem_create(in.data(), in.size(), op));
            axdr_set_budget(m.get(), row.budget);
            EXPECT_EQ(code(m.get(), &a), want);
            EXPECT_TRUE(want == AXDR_TRUE || (!a.str && !a.bytes));
            EXPECT_EQ(want == AXDR_TRUE ? print<Any>(code, &a) : "", text);
            EXPECT_TRUE(free_any(&a));
        }
        // A byte at a time, the end of input after the last: a refusal
        // seen as soon as its byte arrives.
        Any a{row.kind, row.maxlen};
        Stream s(axdr_incr_create(AXDR_DECODE, 0));
        axdr_set_budget(s.get(), row.budget);
        int r = AXDR_PENDING;
        for (size_t i = 0; i <= size && r == AXDR_PENDING; ++i) {
            i < size ? (void)axdr_feed(s.get(), &w[i], 1) : axdr_feed_end(s.get());
            r = code(s.get(), &a);
        }
        EXPECT_EQ(r, want);
        s.reset();
        if (want == AXDR_TRUE) {
            EXPECT_EQ(print<Any>(code, &a), text);
            // Split anywhere, with no end of input marked: the second piece
            // completes the value. Ended after the first piece instead, the
            // value fails (the codec sweep counts what a failure leaves).
            for (size_t k = 0; k < size; ++k)
                for (bool end : {false, true}) {
                    Any d{row.kind, row.maxlen};
                    Stream in(axdr_incr_create(AXDR_DECODE, 0));
                    axdr_feed(in.get(), w.data(), k);
                    ASSERT_EQ(code(in.get(), &d), AXDR_PENDING) << k;
                    end ? axdr_feed_end(in.get()) : (void)axdr_feed(in.get(), w.data() + k, size - k);
                    EXPECT_EQ(code(in.get(), &d), end ? AXDR_FALSE : AXDR_TRUE) << k << (end ? ", ended" : "");
                    EXPECT_EQ(end ? text : print<Any>(code, &d), text) << k;
                    EXPECT_TRUE(free_any(&d));
                }
            // A memory stream of exactly the size, one short, and a guard byte.
            for (int op : {AXDR_ENCODE, AXDR_ENCODE_ALT})
                for (size_t cap : {size, size - 1}) {
                    Bytes buf(size + 1, 0xee);
                    Stream e(axdr_mem_create(buf.data(), cap, op));
                    EXPECT_EQ(code(e.get(), &a), cap == size ? AXDR_TRUE : AXDR_FALSE);
                    EXPECT_EQ(buf[cap], 0xee) << "wrote past the buffer";
                    EXPECT_TRUE(cap < size || to_hex(Bytes(buf.begin(), buf.begin() + long(cap))) == to_hex(w));
                }
            for (size_t window : {1, 3, 7}) { // window 1 pends at every byte
                Bytes got;
                ASSERT_EQ(encode_windowed<Any>(code, &a, window, got), AXDR_TRUE);
                EXPECT_EQ(to_hex(got), to_hex(w)) << "window " << window;
            }
        }
        EXPECT_TRUE(free_any(&a));
        EXPECT_EQ(heap_live(), live);
    }
}

TEST(Primitives, StringLimitsAndBlocks)
{
    // Encoding: a string over its limit is refused on every stream.
    char abc[] = "abc";
    char *p = abc;
    for (unsigned maxlen : {2u, 3u}) {
        Bytes buf(16);
        Stream m(axdr_mem_create(buf.data(), buf.size(), AXDR_ENCODE));
        Stream big(axdr_incr_create(AXDR_ENCODE, 64)), small(axdr_incr_create(AXDR_ENCODE, 2));
        EXPECT_EQ(axdr_string(m.get(), &p, maxlen), maxlen < 3 ? AXDR_FALSE : AXDR_TRUE);
        EXPECT_EQ(axdr_string(big.get(), &p, maxlen), maxlen < 3 ? AXDR_FALSE : AXDR_TRUE);
        EXPECT_EQ(axdr_string(small.get(), &p, maxlen), maxlen < 3 ? AXDR_FALSE : AXDR_PENDING);
        char *moved = abc + 1; // another string under a pending encode
        EXPECT_EQ(axdr_string(small.get(), &moved, maxlen), maxlen < 3 ? AXDR_PENDING : AXDR_FALSE);
        char *none = nullptr; // nothing to send is no string
        EXPECT_EQ(axdr_string(maxlen < 3 ? m.get() : big.get(), &none, ~0u), AXDR_FALSE);
    }
    // A short string's block, once released, serves the next one.
    Bytes w = hex("00 00 00 01 61 00 00 00");
    Stream m(axdr_mem_create(w.data(), w.size(), AXDR_DECODE));
    char *q = nullptr;
    for (size_t k = 0, bytes = 0; k < 2; k++, bytes = heap_peak_reset()) {
        axdr_reset(m.get());
        ASSERT_EQ(axdr_string(m.get(), &q, ~0u), AXDR_TRUE);
        EXPECT_TRUE(k == 0 || heap_peak_reset() == bytes);
        axdr_free(axdr_wrapstring, &q);
    }
    // Freed through its stream after the budget was lifted, a string still
    // gives its bytes back: set again, the budget has room for the next.
    const size_t B = 12288; // two such strings pass it and its slack
    Bytes big;
    for (int k = 0; k < 2; ++k)
        put_str(big, std::string(B, 'a'));
    Stream b(axdr_mem_create(big.data(), big.size(), AXDR_DECODE));
    char *first = nullptr, *second = nullptr;
    axdr_set_budget(b.get(), B);
    ASSERT_EQ(axdr_string(b.get(), &first, ~0u), AXDR_TRUE);
    axdr_set_budget(b.get(), 0);
    b.get()->x_op = AXDR_FREE;
    EXPECT_TRUE(axdr_string(b.get(), &first, ~0u) == AXDR_TRUE && first == nullptr);
    b.get()->x_op = AXDR_DECODE;
    axdr_set_budget(b.get(), B);
    EXPECT_EQ(axdr_string(b.get(), &second, ~0u), AXDR_TRUE);
    axdr_free(axdr_wrapstring, &second);
}

TEST(Primitives, StrayCallEndOfInputAndReset)
{
    Bytes w = hex("00 00 00 08 61 62 63");
    Stream s(axdr_incr_create(AXDR_DECODE, 0));
    axdr_feed(s.get(), w.data(), w.size());
    char *p = nullptr;
    ASSERT_EQ(axdr_string(s.get(), &p, ~0u), AXDR_PENDING);
    int i = 0;
    EXPECT_EQ(axdr_int(s.get(), &i), AXDR_FALSE); // would read string bytes as an int
    axdr_feed_end(s.get());
    EXPECT_EQ(axdr_feed(s.get(), w.data(), 1), -1);
    // A reset stream takes input again, and what lacks bytes pends.
    axdr_reset(s.get());
    ASSERT_EQ(axdr_feed(s.get(), w.data(), 6), 0);
    EXPECT_EQ(axdr_string(s.get(), &p, ~0u), AXDR_PENDING);
    EXPECT_EQ(p, nullptr);
    axdr_set_budget(s.get(), 4); // 3 unread and 2 more would pass it
    EXPECT_EQ(axdr_feed(s.get(), w.data() + 4, 3), 0);
    EXPECT_EQ(axdr_feed(s.get(), w.data() + 4, 2), -1);
    EXPECT_EQ(axdr_string(s.get(), &p, ~0u), AXDR_FALSE) << "a refused piece fails the stream";
    axdr_reset(s.get()); // until a reset
    ASSERT_EQ(axdr_feed(s.get(), w.data(), 4), 0);
    EXPECT_TRUE(axdr_int(s.get(), &i) == AXDR_TRUE && i == 8);
    axdr_set_budget(s.get(), 1); // the buffer has room, the budget not
    EXPECT_EQ(axdr_feed(s.get(), w.data(), 2), -1);
    Stream d(axdr_incr_create(AXDR_DECODE, 0)); // a string while an int waits for its bytes
    ASSERT_EQ(axdr_int(d.get(), &i), AXDR_PENDING);
    Bytes a = hex("00 00 00 01 61 00 00 00");
    ASSERT_EQ(axdr_feed(d.get(), a.data(), a.size()), 0);
    EXPECT_EQ(axdr_string(d.get(), &p, ~0u), AXDR_FALSE);
    Stream enc(axdr_incr_create(AXDR_ENCODE, 2)); // a string while an int is half sent
    char ab[] = "ab", *abp = ab;
    EXPECT_TRUE(axdr_int(enc.get(), &i) == AXDR_PENDING && axdr_string(enc.get(), &abp, ~0u) == AXDR_FALSE);
}

TEST(Primitives, FaultsFireOnceOrPeriodically)
{
    Bytes buf(64);
    Stream s(axdr_mem_create(buf.data(), buf.size(), AXDR_ENCODE));
    int v = 1;
    std::vector<int> got;
    axdr_fault_at(s.get(), AXDR_FAULT_PRIMITIVE, 1, AXDR_FALSE);
    axdr_fault_at(s.get(), AXDR_FAULT_PRIMITIVE, 0, AXDR_FALSE); // cancelled
    EXPECT_EQ(axdr_int(s.get(), &v), AXDR_TRUE);
    axdr_fault_at(s.get(), AXDR_FAULT_PRIMITIVE, 2, AXDR_FALSE);
    for (int k = 0; k < 7; ++k) {
        if (k == 3)
            axdr_fault_every(s.get(), AXDR_FAULT_PRIMITIVE, 1, AXDR_PENDING); // as 2: retries go through
        got.push_back(axdr_int(s.get(), &v));
    }
    axdr_fault_at(s.get(), AXDR_FAULT_PRIMITIVE, 0, AXDR_FALSE); // ends the periodic one too
    got.push_back(axdr_int(s.get(), &v));
    EXPECT_EQ(got, (std::vector<int>{AXDR_TRUE, AXDR_FALSE, AXDR_TRUE, AXDR_TRUE, AXDR_PENDING, AXDR_TRUE, AXDR_PENDING,
                                     AXDR_TRUE}));
    EXPECT_EQ(axdr_getpos(s.get()), 24u); // failed and pending calls wrote nothing
    EXPECT_EQ(axdr_fault_count(s.get(), AXDR_FAULT_PRIMITIVE), 9u);
}


TEST(Frames, SavedFramesGoToTheirOwnFilterOrAreReset)
{
    Any in{U_INT64};
    in.U_INT64_v = 0x0102030405060708u;
    const Bytes want = hex("01 02 03 04 05 06 07 08");
    Bytes buf(64), other(64);
    Stream e(axdr_mem_create(buf.data(), buf.size(), AXDR_ENCODE)),
        f(axdr_mem_create(other.data(), other.size(), AXDR_ENCODE));
    axdr_trace_enable(e.get(), 1);
    for (axdr_stream_t *s : {e.get(), f.get()}) {
        axdr_fault_at(s, AXDR_FAULT_PRIMITIVE, 1, AXDR_PENDING);
        ASSERT_EQ(code(s, &in), AXDR_PENDING);
        ASSERT_EQ(axdr_saved_frames(s), 1u);
    }
    // Another filter with the same scratch size (none) as the saved one.
    int state = -1;
    axdr_frame_t frame;
    EXPECT_EQ(axdr_async_setup(e.get(), reinterpret_cast<axdr_self_t>(&free_any), &frame, &state, 0, nullptr),
              AXDR_FALSE);
    EXPECT_EQ(state, -1);
    EXPECT_EQ(axdr_saved_frames(e.get()), 0u);
    EXPECT_STREQ(axdr_trace(e.get()), "setup 0 = 1\nu64 72623859790382856 = pending\nteardown 0 0 = pending\n"
                                      "setup 0 = 0\n");
    // After a reset, a fresh start.
    axdr_reset(f.get());
    EXPECT_EQ(axdr_saved_frames(f.get()), 0u);
    ASSERT_EQ(code(f.get(), &in), AXDR_TRUE);
    EXPECT_EQ(to_hex(Bytes(other.begin(), other.begin() + axdr_getpos(f.get()))), to_hex(want));
    Stream g(axdr_mem_create(buf.data(), buf.size(), AXDR_ENCODE)); // a setup that grows the frames counts too
    EXPECT_TRUE(code(g.get(), &in) == AXDR_TRUE && axdr_fault_count(g.get(), AXDR_FAULT_SETUP) == 1u);
}


namespace {

// name: the element's, "" for a value call, "}" for a close; ctx: which context word (0..2).
struct Call { const char *name; int first; int ctx; const char *text; };

std::string render(std::initializer_list<Call> calls)
{
    Stream s(axdr_print_create(nullptr));
    axdr_print_ctx_t ctx[3] = {0, 0, 0};
    for (const Call &c : calls)
        EXPECT_EQ(c.text ? s->x_ops->x_print_value(s.get(), c.text)
                         : s->x_ops->x_print_element(s.get(), std::strcmp(c.name, "}") ? c.name : nullptr, c.first,
                                                     &ctx[c.ctx]),
                  AXDR_TRUE);
    axdr_print_finish(s.get());
    return axdr_print_text(s.get(), nullptr);
}

} // namespace

TEST(Printer, GoldenTexts)
{
    const struct { const char *name; std::string got; const char *want; } rows[] = {
        {"unclosed array", render({{"[0]", 1, 0, nullptr}, {"", 0, 0, "1"}, {"[1]", 0, 0, nullptr}, {"", 0, 0, "2"}}),
         "{\n  [0] = \"1\"\n  [1] = \"2\"\n}\n"},
        {"array nested in a record, closed by the record's next element",
         render({{"addr", 1, 0, nullptr}, {"[0]", 1, 1, nullptr}, {"", 0, 1, "1"}, {"[1]", 0, 1, nullptr},
                 {"", 0, 1, "2"}, {".port", 0, 0, nullptr}, {"", 0, 0, "80"}, {"}", 0, 0, nullptr}}),
         "{\n  addr = {\n    [0] = \"1\"\n    [1] = \"2\"\n  }\n  .port = \"80\"\n}\n"},
        {"two top-level arrays in a row",
         render({{"[0]", 1, 0, nullptr}, {"", 0, 0, "1"}, {"[0]", 1, 1, nullptr}, {"", 0, 1, "2"}}),
         "{\n  [0] = \"1\"\n}\n{\n  [0] = \"2\"\n}\n"},
        {"empty and odd names", render({{"", 1, 0, nullptr}, {"", 0, 0, "\t"}, {"a_Z-9.[0]", 0, 0, nullptr},
                                        {"a\r", 0, 0, nullptr}, {"}", 0, 0, nullptr}}),
         "{\n  \"\" = \"\\t\"\n  a_Z-9.[0] =\n  \"a\\r\" =\n}\n"},
    };
    for (const auto &r : rows)
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
    // Cleared with an aggregate open, the text starts again at the top.
    EXPECT_EQ(s->x_ops->x_print_element(s.get(), "b", 1, &ctx), AXDR_TRUE);
    axdr_print_clear(s.get());
    uint32_t v = 7;
    EXPECT_EQ(axdr_uint32_t(s.get(), &v), AXDR_TRUE);
    EXPECT_STREQ(axdr_print_text(s.get(), nullptr), "7\n");
    // A caller's value outside its type prints nothing, and sends nothing.
    bool_t b = 2;
    int e = 3;
    EXPECT_EQ(axdr_bool(s.get(), &b), AXDR_FALSE);
    EXPECT_EQ(axdr_enum(s.get(), &e, &colours), AXDR_FALSE);
    EXPECT_STREQ(axdr_print_text(s.get(), nullptr), "7\n");
    uint8_t word[4];
    Stream enc(axdr_mem_create(word, sizeof word, AXDR_ENCODE));
    EXPECT_EQ(axdr_bool(enc.get(), &b), AXDR_FALSE);
    EXPECT_EQ(axdr_getpos(enc.get()), 0u);
    int levels = 0; // nesting stops at 255 levels, all that a context word can name
    while (levels < 300 && s->x_ops->x_print_element(s.get(), "a", 1, &ctx) == AXDR_TRUE)
        levels++;
    EXPECT_EQ(levels, 255);
    // The text could not be written: to a file that takes nothing (the CLI's
    // golden files cover one that does), or with no memory for the buffer.
    FILE *full = fopen("/dev/full", "w");
    ASSERT_NE(full, nullptr);
    for (FILE *out : {full, static_cast<FILE *>(nullptr)}) {
        Stream p(axdr_print_create(out));
        axdr_fault_at(p.get(), AXDR_FAULT_ALLOC, out ? 0 : 1, AXDR_FALSE);
        axdr_uint32_t(p.get(), &v);
        EXPECT_EQ(axdr_print_finish(p.get()), -1);
        if (!out) { // a reset forgets the loss with the text
            axdr_reset(p.get());
            axdr_uint32_t(p.get(), &v);
            EXPECT_EQ(axdr_print_finish(p.get()), 0);
            EXPECT_STREQ(axdr_print_text(p.get(), nullptr), "7\n");
        }
    }
    fclose(full);
}

struct netobj { u_int n_len; char *n_bytes; }; // as rpcgen's headers lay it out

// A netobj holds at most 1024 bytes, as rpcgen's does.
TEST(Primitives, NetobjAtItsMaximum)
{
    for (u_int n : {1024u, 1025u}) {
        Bytes w;
        put_str(w, std::string(n, 'Z'));
        Stream s(axdr_mem_create(w.data(), w.size(), AXDR_DECODE));
        netobj o{};
        EXPECT_EQ(axdr_netobj(s.get(), &o), n == 1024 ? AXDR_TRUE : AXDR_FALSE) << n;
        EXPECT_EQ(o.n_len, n == 1024 ? n : 0u);
        s->x_op = AXDR_FREE;
        EXPECT_EQ(axdr_netobj(s.get(), &o), AXDR_TRUE);
        EXPECT_EQ(o.n_bytes, nullptr);
    }
}

// Optional data and arrays: a decode allocates zeroed memory as elements
// arrive, within the maximum; FREE takes it back.
TEST(Primitives, OptionalDataAndArrays)
{
    const Bytes w = hex("00000001 00000003");
    Stream s(axdr_mem_create(const_cast<uint8_t *>(w.data()), w.size(), AXDR_DECODE));
    void *p = nullptr;
    EXPECT_EQ(axdr_optional(s.get(), &p, 12), AXDR_TRUE);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(std::memcmp(p, "\0\0\0\0\0\0\0\0\0\0\0\0", 12), 0);
    u_int n = 0, len = 0;
    EXPECT_EQ(axdr_count(s.get(), &n, &len, 2), AXDR_FALSE); // 3 > 2
    s->x_op = AXDR_FREE;
    axdr_optional_done(s.get(), &p);
    EXPECT_EQ(p, nullptr);

    // Slots are made one at a time; one out of turn is refused.
    Stream d(axdr_mem_create(nullptr, 0, AXDR_DECODE));
    void *arr = nullptr;
    len = 0;
    for (u_int i = 0; i < 5; ++i)
        EXPECT_EQ(axdr_slot(d.get(), &arr, &len, i, 5, sizeof(int), nullptr), AXDR_TRUE);
    EXPECT_EQ(len, 5u);
    EXPECT_EQ(axdr_slot(d.get(), &arr, &len, 4, 5, sizeof(int), nullptr), AXDR_TRUE) << "resumed";
    EXPECT_EQ(axdr_slot(d.get(), &arr, &len, 7, 9, sizeof(int), nullptr), AXDR_FALSE);
    EXPECT_EQ(axdr_slot(d.get(), &arr, &len, 5, 5, sizeof(int), nullptr), AXDR_FALSE) << "past the count";
    // Encoding, a slot the caller's count no longer holds is refused.
    d->x_op = AXDR_ENCODE;
    len = 3;
    EXPECT_EQ(axdr_slot(d.get(), &arr, &len, 2, 5, sizeof(int), nullptr), AXDR_TRUE);
    EXPECT_EQ(axdr_slot(d.get(), &arr, &len, 3, 5, sizeof(int), nullptr), AXDR_FALSE);
    len = 5;
    d->x_op = AXDR_FREE;
    EXPECT_EQ(axdr_array_done(d.get(), &arr, &len, 5, nullptr), AXDR_TRUE);
    EXPECT_EQ(arr, nullptr);
    EXPECT_EQ(len, 0u);
}
