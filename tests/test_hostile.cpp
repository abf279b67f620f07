// Hostile input: what a peer we do not control can send, and the failure
// paths of the runtime it drives. Every row states its input and the outcome
// we promise; leaks are LeakSanitizer's and valgrind's to find.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <malloc.h>

#include "support.h"
#include "toy_filter.h"
#include "values.h"

#if defined(QT_ASAN)
#include <sanitizer/allocator_interface.h>
#endif

using namespace qt;

namespace {

// --- a two-level resumable filter for frame faults -----------------------

// The outer filter codes a count and that many pairs; the inner codes one
// pair with its halves in a scratch record.
const Toy kToy{3, {1, 2, 3}, {10, 20, 30}};

} // namespace

// A pending setup while the chain is being restored must keep the deeper
// frames: losing them restarted the inner pair and sent its first half twice.
TEST(RuntimeFaults, PendingSetupOnResumeKeepsDeeperFrames)
{
    Toy in = kToy;
    Bytes want;
    ASSERT_EQ(encode_mem<Toy>(toy_outer, &in, want), AXDR_TRUE);
    for (int op : {AXDR_ENCODE, AXDR_DECODE}) {
        SCOPED_TRACE(op);
        Bytes buf = op == AXDR_ENCODE ? Bytes(64, 0xee) : want;
        Toy obj = op == AXDR_ENCODE ? in : Toy{};
        Stream s(axdr_mem_create(buf.data(), buf.size(), op));
        // The count, pair 0's a, then pending at pair 0's b: two frames saved.
        axdr_fault_at(s.get(), AXDR_FAULT_PRIMITIVE, 3, AXDR_PENDING);
        ASSERT_EQ(toy_outer(s.get(), &obj), AXDR_PENDING);
        ASSERT_EQ(axdr_saved_frames(s.get()), 2u);
        // On resume the inner frame's setup (the second from now) pends.
        axdr_fault_at(s.get(), AXDR_FAULT_SETUP, 2, AXDR_PENDING);
        ASSERT_EQ(toy_outer(s.get(), &obj), AXDR_PENDING);
        EXPECT_EQ(axdr_saved_frames(s.get()), 2u);
        ASSERT_EQ(until_done<Toy>(toy_outer, s.get(), &obj), AXDR_TRUE);
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
        Toy obj{};
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
            ASSERT_EQ(toy_outer(f.get(), &obj), AXDR_PENDING);
            axdr_fault_at(f.get(), AXDR_FAULT_SETUP, 2, AXDR_FALSE);
            ASSERT_EQ(toy_outer(f.get(), &obj), AXDR_FALSE);
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

// Destroying a stream with a unit in flight releases what the runtime holds
// for it, and only that: a partly received string is freed (the leak
// checkers watch), a string being sent stays the caller's.
TEST(RuntimeFaults, DestroyWithAUnitInFlight)
{
    Bytes w = hex("00 00 01 00 61 62 63");
    axdr_stream_t *d = axdr_incr_create(AXDR_DECODE, 0);
    axdr_feed(d, w.data(), w.size());
    char *p = nullptr;
    ASSERT_EQ(axdr_string(d, &p, ~0u), AXDR_PENDING);
    axdr_destroy(d);
    EXPECT_EQ(p, nullptr);

    std::string text(100, 'x');
    char *sp = text.data();
    axdr_stream_t *e = axdr_incr_create(AXDR_ENCODE, 16);
    ASSERT_EQ(axdr_string(e, &sp, ~0u), AXDR_PENDING);
    axdr_destroy(e);
    EXPECT_EQ(text, std::string(100, 'x'));
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
        ASSERT_EQ(axdr_async_setup(s.get(), reinterpret_cast<axdr_self_t>(&toy_outer), &f0, &st0,
                                   sizeof rec, &p0),
                  AXDR_TRUE);
        EXPECT_EQ(axdr_async_setup(s.get(), reinterpret_cast<axdr_self_t>(&toy_inner), &f1, &st1,
                                   size, &p1),
                  AXDR_FALSE)
            << size;
        axdr_async_teardown(s.get(), reinterpret_cast<axdr_self_t>(&toy_outer), 0, f0, AXDR_FALSE);
    }
}

// --- the hostile-input table ---------------------------------------------

namespace {

using qv::Type;
using qv::Value;

// Heap bytes in use now, by whichever allocator is in charge.
size_t heap_in_use()
{
#if defined(QT_ASAN)
    return __sanitizer_get_current_allocated_bytes();
#else
    return mallinfo2().uordblks;
#endif
}

// Wire pieces.
Bytes u32(uint32_t v)
{
    Bytes b;
    put_u32(b, v);
    return b;
}
Bytes str(const std::string &s)
{
    Bytes b;
    put_str(b, s);
    return b;
}
Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}
// A length and raw bytes, padding and all as given.
Bytes raw(uint32_t len, const char *bytes)
{
    return cat({u32(len), hex(bytes)});
}

// A well-formed value of each type, written by hand (not by our encoders).
Bytes sample(Type t)
{
    switch (t) {
    case qv::IN_ADDR: return hex("c0 00 02 01");
    case qv::IN6_ADDR: return hex("20 01 0d b8 00 00 00 00 00 00 00 00 00 00 00 01");
    case qv::MACADDR:
        return hex("00 00 00 00 00 00 00 11 00 00 00 22 00 00 00 33 00 00 00 44 00 00 00 55");
    case qv::IPADDR: return hex("00 00 00 00 00 00 00 00 00 00 ff ff c0 00 02 01");
    case qv::IPCIDR:
        return hex("00 00 00 00 00 00 00 00 00 00 ff ff c0 00 02 07"
                   "00 00 00 00 00 00 00 00 00 00 ff ff ff ff ff 00");
    case qv::RLIM: return hex("00 00 00 00 00 00 04 00");
    case qv::RLIMIT: return hex("00 00 00 00 00 00 04 00 ff ff ff ff ff ff ff ff");
    case qv::MAP: return cat({u32(2), str("host"), str("example"), str("k"), str("v")});
    case qv::ARRAYMAP:
    case qv::MULTIMAP:
        return cat({u32(2), str("a"), u32(2), str("x"), str("yz"), str("b"), u32(1), str("w")});
    default: return {};
    }
}

using Check = void (*)(const Value &);

struct Row {
    std::string name;
    Type type;
    Bytes wire;
    int want;             // once the end of input is marked
    Check check = nullptr; // what the object holds afterwards
    size_t budget = 0;
};

// How a row's bytes reach the decoder: a memory stream; an incremental one
// fed a byte at a time; an incremental one fed everything at once (as much
// as a budget allows) with pending injected at every second primitive and
// every second setup. Each then marks the end of input.
enum Feed { MEMORY, BYTEWISE, WHOLE_WITH_PENDING };

int decode(const Row &row, Feed feed, Value *v)
{
    if (feed == MEMORY) {
        Bytes copy = row.wire;
        Stream s(axdr_mem_create(copy.data(), copy.size(), AXDR_DECODE));
        axdr_set_budget(s.get(), row.budget);
        return qv::code(s.get(), v);
    }
    Stream s(axdr_incr_create(AXDR_DECODE, 0));
    axdr_set_budget(s.get(), row.budget);
    int r = AXDR_PENDING;
    if (feed == BYTEWISE) {
        for (size_t i = 0; i < row.wire.size() && r == AXDR_PENDING; ++i) {
            EXPECT_EQ(axdr_feed(s.get(), &row.wire[i], 1), 0);
            r = qv::code(s.get(), v);
        }
    } else {
        axdr_fault_every(s.get(), AXDR_FAULT_PRIMITIVE, 2, AXDR_PENDING);
        axdr_fault_every(s.get(), AXDR_FAULT_SETUP, 2, AXDR_PENDING);
        // All at once, or as much as a budget lets the stream buffer.
        for (size_t off = 0; off < row.wire.size() && r == AXDR_PENDING;) {
            size_t n = row.wire.size() - off;
            if (row.budget)
                n = std::min(n, row.budget - axdr_unread(s.get()));
            EXPECT_EQ(axdr_feed(s.get(), row.wire.data() + off, n), 0);
            off += n;
            r = qv::code(s.get(), v);
            for (int calls = 0; r == AXDR_PENDING && axdr_unread(s.get()) && calls < 100000; ++calls)
                r = qv::code(s.get(), v);
        }
    }
    if (r == AXDR_PENDING) {
        axdr_feed_end(s.get());
        for (int n = 0; r == AXDR_PENDING && n < 1000; ++n)
            r = qv::code(s.get(), v);
    }
    EXPECT_EQ(axdr_saved_frames(s.get()), 0u) << "frames outlive the decode";
    return r;
}

void run_rows(const std::vector<Row> &rows)
{
    for (const Row &row : rows) {
        for (Feed feed : {MEMORY, BYTEWISE, WHOLE_WITH_PENDING}) {
            SCOPED_TRACE(row.name + " (" + qv::type_name(row.type) + ", feed " +
                         std::to_string(feed) + "): " + to_hex(row.wire).substr(0, 120));
            Value v(row.type);
            EXPECT_EQ(decode(row, feed, &v), row.want);
            if (row.check)
                row.check(v);
            // The destructor's AXDR_FREE must release whatever is left.
        }
    }
}

// Bytes for a string field announced as `len` with only `have` bytes of it.
Bytes partial_string(uint32_t len, size_t have)
{
    Bytes b = u32(len);
    b.insert(b.end(), have, 'a');
    return b;
}

// Puts `field` where a key or a value would go in a well-formed container.
Bytes in_key(const Bytes &field) { return cat({u32(1), field}); }
Bytes in_value(Type t, const Bytes &field)
{
    return t == qv::MAP ? cat({u32(1), str("k"), field}) : cat({u32(1), str("k"), u32(1), field});
}

std::vector<Row> hostile_rows()
{
    std::vector<Row> rows;
    const Type containers[] = {qv::MAP, qv::ARRAYMAP, qv::MULTIMAP};

    // Cut at every byte, then the end of input: FALSE, nothing leaks, the
    // container frees. The whole form decodes.
    for (int t = 0; t < qv::TYPE_COUNT; ++t) {
        Bytes w = sample(Type(t));
        for (size_t k = 0; k < w.size(); ++k)
            rows.push_back({"cut at " + std::to_string(k), Type(t), Bytes(w.begin(), w.begin() + k),
                            AXDR_FALSE});
        rows.push_back({"whole", Type(t), w, AXDR_TRUE});
    }

    for (Type t : containers) {
        // Announced lengths far beyond what arrives.
        for (uint32_t len : {0xffffffffu, 0x80000000u, 0x7fffffffu, 9u}) {
            std::string n = std::to_string(len);
            rows.push_back({"key length " + n, t, in_key(partial_string(len, 8)), AXDR_FALSE});
            rows.push_back({"value length " + n, t, in_value(t, partial_string(len, 8)), AXDR_FALSE});
        }
        // Counts announcing far more than arrives, and negative ones.
        for (uint32_t count : {0x7fffffffu, 0xffffffffu, 0x80000000u}) {
            std::string n = std::to_string(static_cast<int32_t>(count));
            rows.push_back({"key count " + n, t, cat({u32(count), str("k"), t == qv::MAP ? str("v")
                                                       : cat({u32(1), str("v")})}),
                            AXDR_FALSE});
            if (t != qv::MAP)
                rows.push_back({"value count " + n, t,
                                cat({u32(1), str("k"), u32(count), str("v")}), AXDR_FALSE});
        }
        // Strings the runtime refuses.
        rows.push_back({"key padding", t, in_key(raw(1, "61 00 01 00")), AXDR_FALSE});
        rows.push_back({"value padding", t, in_value(t, raw(2, "61 62 00 80")), AXDR_FALSE});
        rows.push_back({"key NUL", t, in_key(raw(3, "61 00 62 00")), AXDR_FALSE});
        rows.push_back({"value NUL", t, in_value(t, raw(4, "00 61 62 63")), AXDR_FALSE});
        // Strings above a budget, refused when their length arrives.
        Row over{"key over budget", t, in_key(cat({str(std::string(65, 'k'))})), AXDR_FALSE};
        over.budget = 64;
        rows.push_back(over);
        Row at{"value at budget", t, in_value(t, str(std::string(64, 'v'))), AXDR_TRUE};
        at.budget = 64;
        rows.push_back(at);
    }

    // A map refuses a key it holds; both strings of the refused pair are
    // released, the first pair stays.
    rows.push_back({"repeated map key", qv::MAP,
                    cat({u32(2), str("k"), str("first"), str("k"), str("second")}), AXDR_FALSE,
                    [](const Value &v) {
                        int n = -1;
                        EXPECT_EQ(map_key_count(&v.u.map, &n), 0);
                        EXPECT_EQ(n, 1);
                        EXPECT_STREQ(map_get(&v.u.map, "k"), "first");
                    }});
    // The multi-valued containers merge a repeated key and drop one that
    // comes with no values.
    rows.push_back({"repeated key merges", qv::ARRAYMAP,
                    cat({u32(3), str("k"), u32(1), str("x"), str("e"), u32(0), str("k"), u32(1),
                         str("y")}),
                    AXDR_TRUE, [](const Value &v) {
                        int n = -1;
                        EXPECT_EQ(arraymap_key_count(&v.u.amap, &n), 0);
                        EXPECT_EQ(n, 1);
                        EXPECT_STREQ(arraymap_value_at(&v.u.amap, "k", 1), "y");
                    }});

    // MAC elements keep their low 8 bits.
    rows.push_back({"MAC above 255", qv::MACADDR,
                    cat({u32(0x1ff), u32(0x100), u32(0xffffffff), u32(0x12345678), u32(0), u32(255)}),
                    AXDR_TRUE, [](const Value &v) {
                        const uint8_t want[6] = {0xff, 0x00, 0xff, 0x78, 0x00, 0xff};
                        EXPECT_EQ(0, std::memcmp(v.u.mac.octet, want, 6));
                    }});
    // A mask that is not one run of leading ones is refused after all 32
    // octets; the pair is left as it was.
    rows.push_back({"mask with holes", qv::IPCIDR,
                    hex("00 00 00 00 00 00 00 00 00 00 ff ff c0 00 02 07"
                        "00 00 00 00 00 00 00 00 00 00 ff ff ff 00 ff 00"),
                    AXDR_FALSE, [](const Value &v) { EXPECT_EQ(v.u.cidr.addr.family, 0); }});
    rows.push_back({"mask of the other family", qv::IPCIDR,
                    hex("00 00 00 00 00 00 00 00 00 00 ff ff c0 00 02 07"
                        "ff ff ff ff ff ff ff ff 00 00 00 00 00 00 00 00"),
                    AXDR_FALSE});
    return rows;
}

} // namespace

TEST(Hostile, EveryRowUnderEveryFeed)
{
    std::vector<Row> rows = hostile_rows();
    RecordProperty("rows", static_cast<int>(rows.size()));
    run_rows(rows);
}

// A peer that stops in the middle: pending at every byte of a nested value,
// then the end of input, then AXDR_FREE. Every frame unwinds and every
// string parked in one is released.
TEST(Hostile, AbandonedAtEveryByte)
{
    for (Type t : {qv::MULTIMAP, qv::ARRAYMAP, qv::MAP, qv::IPCIDR}) {
        Bytes w = sample(t);
        for (size_t k = 0; k < w.size(); ++k) {
            SCOPED_TRACE(std::string(qv::type_name(t)) + " abandoned after " + std::to_string(k));
            Value v(t);
            Stream s(axdr_incr_create(AXDR_DECODE, 0));
            int r = AXDR_PENDING;
            for (size_t i = 0; i < k; ++i) {
                axdr_feed(s.get(), &w[i], 1);
                ASSERT_EQ(r = qv::code(s.get(), &v), AXDR_PENDING);
            }
            if (k > 0 && t != qv::MAP) {
                EXPECT_GE(axdr_saved_frames(s.get()), 1u);
            }
            axdr_feed_end(s.get());
            EXPECT_EQ(qv::code(s.get(), &v), AXDR_FALSE);
            EXPECT_EQ(axdr_saved_frames(s.get()), 0u);
            EXPECT_EQ(v.release(), AXDR_TRUE);
        }
    }
}

// A string announced far beyond what arrives holds memory for what arrived
// only, and a budget refuses it before it holds anything.
TEST(Hostile, MemoryFollowsTheBytesReceived)
{
    const size_t received = 64 * 1024;
    Bytes body(1024, 'a');
    for (uint32_t len : {0xffffffffu, 0x80000000u, uint32_t(received + 1)}) {
        for (Type t : {qv::MAP, qv::MULTIMAP}) {
            SCOPED_TRACE(std::string(qv::type_name(t)) + " length " + std::to_string(len));
            Value v(t);
            Stream s(axdr_incr_create(AXDR_DECODE, 0));
            Bytes head = in_value(t, u32(len));
            size_t before = heap_in_use();
            axdr_feed(s.get(), head.data(), head.size());
            if (uint64_t{len} + 1 > SIZE_MAX) {
                // A string this long and its NUL do not fit the address space.
                EXPECT_EQ(qv::code(s.get(), &v), AXDR_FALSE);
                continue;
            }
            ASSERT_EQ(qv::code(s.get(), &v), AXDR_PENDING);
            for (size_t got = 0; got < received; got += body.size()) {
                axdr_feed(s.get(), body.data(), body.size());
                ASSERT_EQ(qv::code(s.get(), &v), AXDR_PENDING);
            }
            size_t held = heap_in_use() - before;
            EXPECT_LE(held, 2 * received + 16 * 1024);
            axdr_feed_end(s.get());
            EXPECT_EQ(qv::code(s.get(), &v), AXDR_FALSE);
            v.release();
            EXPECT_LE(heap_in_use() - before, 16u * 1024) << "released after the end";

            // With a budget nothing is held for it at all.
            Value b(t);
            Stream sb(axdr_incr_create(AXDR_DECODE, 0));
            axdr_set_budget(sb.get(), 4096);
            axdr_feed(sb.get(), head.data(), head.size());
            EXPECT_EQ(qv::code(sb.get(), &b), AXDR_FALSE) << "refused at its length";
        }
    }
}

// The budget also bounds the input an incremental stream buffers: a piece
// that would leave more unread is refused whole, and a caller that feeds
// pieces of at most the budget between calls is never refused.
TEST(Hostile, BudgetBoundsBufferedInput)
{
    Bytes w = sample(qv::MAP);
    Stream s(axdr_incr_create(AXDR_DECODE, 0));
    axdr_set_budget(s.get(), 8);
    EXPECT_EQ(axdr_feed(s.get(), w.data(), 9), -1);
    EXPECT_EQ(axdr_unread(s.get()), 0u);
    ASSERT_EQ(axdr_feed(s.get(), w.data(), 8), 0);
    EXPECT_EQ(axdr_feed(s.get(), w.data() + 8, 1), -1);
    Value v(qv::MAP);
    int r = qv::code(s.get(), &v);
    for (size_t off = 8; off < w.size() && r == AXDR_PENDING;) {
        EXPECT_EQ(axdr_unread(s.get()), 0u) << "a pending decode consumed everything";
        size_t n = std::min<size_t>(8, w.size() - off);
        ASSERT_EQ(axdr_feed(s.get(), w.data() + off, n), 0) << off;
        off += n;
        r = qv::code(s.get(), &v);
    }
    EXPECT_EQ(r, AXDR_TRUE);
    EXPECT_STREQ(map_get(&v.u.map, "host"), "example");
    // Without a cap, feeding is not limited.
    axdr_set_budget(s.get(), 0);
    Bytes big(1 << 16, 0);
    EXPECT_EQ(axdr_feed(s.get(), big.data(), big.size()), 0);
}

namespace {

// The container library's allocator, failing its n-th call from arming.
unsigned long strmap_calls = 0, strmap_fail_at = 0;

void *failing_realloc(void *p, size_t n)
{
    if (++strmap_calls == strmap_fail_at)
        return nullptr;
    return std::realloc(p, n);
}

struct StrmapFailsAt {
    explicit StrmapFailsAt(unsigned long n)
    {
        strmap_calls = 0;
        strmap_fail_at = n;
        strmap_set_allocator(failing_realloc, std::free);
    }
    ~StrmapFailsAt() { strmap_set_allocator(nullptr, nullptr); }
};

// Decodes w fed in two pieces cut at `cut` (0: one byte at a time); a
// refused feed ends the input.
int decode_split(axdr_stream_t *s, const Bytes &w, size_t cut, Value *v)
{
    int r = AXDR_PENDING;
    for (size_t i = 0; i < w.size() && r == AXDR_PENDING;) {
        size_t n = cut == 0 ? 1 : i == 0 ? cut : w.size() - i;
        if (axdr_feed(s, &w[i], n) != 0)
            break;
        i += n;
        r = qv::code(s, v);
    }
    if (r == AXDR_PENDING) {
        axdr_feed_end(s);
        r = qv::code(s, v);
    }
    return r;
}

} // namespace

// Any allocation may fail on a small device: the runtime's (input buffer,
// strings, frames, printed text) and the containers'. Each one in turn: the
// decode or print ends with FALSE, nothing crashes, nothing leaks, and what
// was decoded still frees.
TEST(Hostile, EveryAllocationMayFail)
{
    for (Type t : {qv::MULTIMAP, qv::MAP, qv::IPCIDR, qv::RLIMIT}) {
        Bytes w = sample(t);
        bool done = false;
        for (size_t cut = 0; cut < w.size(); ++cut) {
            done = false;
            for (unsigned long n = 1; !done && n < 1000; ++n) {
                SCOPED_TRACE(std::string(qv::type_name(t)) + " cut at " + std::to_string(cut) +
                             ", runtime allocation " + std::to_string(n));
                int r;
                long before = heap_live();
                {
                    Value v(t);
                    Stream s(axdr_incr_create(AXDR_DECODE, 0));
                    axdr_fault_at(s.get(), AXDR_FAULT_ALLOC, n, AXDR_FALSE);
                    r = decode_split(s.get(), w, cut, &v);
                    done = axdr_fault_count(s.get(), AXDR_FAULT_ALLOC) < n;
                    EXPECT_EQ(axdr_saved_frames(s.get()), 0u);
                }
                EXPECT_EQ(r, done ? AXDR_TRUE : AXDR_FALSE);
                EXPECT_EQ(heap_live(), before) << "leaked";
            }
            EXPECT_TRUE(done);
        }

        Value v(t);
        ASSERT_EQ(decode_mem<Value>(qv::code, &v, w), AXDR_TRUE);
        done = false;
        for (unsigned long n = 1; !done && n < 1000; ++n) {
            SCOPED_TRACE(std::string(qv::type_name(t)) + " print allocation " + std::to_string(n));
            Stream p(axdr_print_create(nullptr));
            axdr_fault_at(p.get(), AXDR_FAULT_ALLOC, n, AXDR_FALSE);
            int r = qv::code(p.get(), &v);
            if (r == AXDR_TRUE && axdr_print_finish(p.get()) != 0)
                r = AXDR_FALSE;
            done = axdr_fault_count(p.get(), AXDR_FAULT_ALLOC) < n;
            EXPECT_EQ(r, done ? AXDR_TRUE : AXDR_FALSE);
        }
        EXPECT_TRUE(done);

        if (!qv::is_container(t))
            continue;
        done = false;
        for (unsigned long n = 1; !done && n < 1000; ++n) {
            SCOPED_TRACE(std::string(qv::type_name(t)) + " container allocation " + std::to_string(n));
            Value c(t);
            int r;
            {
                StrmapFailsAt fail(n);
                r = decode_mem<Value>(qv::code, &c, w);
                done = strmap_calls < n;
            }
            EXPECT_EQ(r, done ? AXDR_TRUE : AXDR_FALSE);
        }
        EXPECT_TRUE(done);
    }
}

// Callers write x_op between calls (to free, for one). Whatever they write,
// buffers keep the bounds the stream was made with: a coding operation the
// stream was not made for gives FALSE, and nothing faults (ASan watches),
// also after a reset or a partial drain.
TEST(Hostile, RewrittenOperationNeverFaults)
{
    const Bytes w = sample(qv::MULTIMAP);
    for (int made : {AXDR_ENCODE, AXDR_DECODE}) {
        for (bool incr : {false, true}) {
            for (int op = 0; op <= 7; ++op) {
                for (int after : {0, 1, 2}) { // nothing, axdr_reset, a partial drain
                    SCOPED_TRACE("made " + std::to_string(made) + (incr ? " incr" : " mem") + ", x_op " +
                                 std::to_string(op) + ", after " + std::to_string(after));
                    Bytes buf = made == AXDR_DECODE ? w : Bytes(64);
                    Stream s(incr ? axdr_incr_create(made, 8)
                                  : axdr_mem_create(buf.data(), buf.size(), made));
                    Value full(qv::MULTIMAP), fresh(qv::MULTIMAP);
                    ASSERT_EQ(decode_mem<Value>(qv::code, &full, w), AXDR_TRUE);
                    if (incr && made == AXDR_DECODE) {
                        ASSERT_EQ(axdr_feed(s.get(), w.data(), 12), 0);
                    }
                    if (made == AXDR_ENCODE) { // an encode holds nothing: leave it pending
                        qv::code(s.get(), &full);
                    }
                    s->x_op = op;
                    if (after == 1)
                        axdr_reset(s.get());
                    Bytes out(3);
                    if (after == 2)
                        axdr_drain(s.get(), out.data(), out.size());
                    const bool decodes = op == AXDR_DECODE || op == AXDR_DECODE_ALT;
                    const bool encodes = op == AXDR_ENCODE || op == AXDR_ENCODE_ALT;
                    int r = qv::code(s.get(), decodes ? &fresh : &full);
                    if ((decodes && made != AXDR_DECODE) || (encodes && made != AXDR_ENCODE) || op > 5) {
                        EXPECT_EQ(r, AXDR_FALSE);
                    }
                    if (decodes && made == AXDR_DECODE && r != AXDR_TRUE) {
                        axdr_feed_end(s.get()); // unwind what the decode holds
                        qv::code(s.get(), &fresh);
                    }
                }
            }
        }
    }
}

// With a budget B, what a decode holds for its peer (buffered input,
// strings, frames and the container it fills) stays within 2 * B + 16 KiB
// whatever the input, and FREE gives it all back. Fed in pieces of B.
TEST(Hostile, BudgetBoundsEverythingADecodeHolds)
{
    const size_t B = 4096;
    auto entries = [](Type t, uint32_t keys, uint32_t values, size_t klen, size_t vlen) {
        Bytes w = u32(keys);
        for (uint32_t k = 0; k < keys; ++k) {
            std::string key = std::to_string(k);
            key.resize(std::max(klen, key.size()), 'k');
            w = cat({w, str(key)});
            if (t != qv::MAP)
                w = cat({w, u32(values)});
            for (uint32_t v = 0; v < values; ++v)
                w = cat({w, str(std::string(vlen, 'v'))});
        }
        return w;
    };
    struct Shape {
        const char *name;
        Type type;
        Bytes wire;
        int want;
    } shapes[] = {
        {"many short keys", qv::MAP, entries(qv::MAP, 20000, 1, 1, 0), AXDR_FALSE},
        {"many empty values", qv::MULTIMAP, entries(qv::MULTIMAP, 1, 60000, 1, 0), AXDR_FALSE},
        {"many empty values", qv::ARRAYMAP, entries(qv::ARRAYMAP, 1, 60000, 1, 0), AXDR_FALSE},
        {"huge announced count", qv::MAP, cat({u32(0x7ffffffe), str("a"), u32(1)}), AXDR_FALSE},
        {"huge announced count", qv::MULTIMAP, cat({u32(0x7ffffffe), str("a"), u32(0x7ffffffe)}), AXDR_FALSE},
        {"long strings that fit", qv::MAP, entries(qv::MAP, 1, 1, 3000, 3000), AXDR_TRUE},
        {"long strings that do not", qv::MAP, entries(qv::MAP, 40, 1, 3000, 3000), AXDR_FALSE},
        {"a string past the budget", qv::MULTIMAP, entries(qv::MULTIMAP, 1, 1, 1, B + 1), AXDR_FALSE},
    };
    for (const Shape &sh : shapes) {
        for (size_t piece : {B, size_t{7}}) {
            SCOPED_TRACE(std::string(sh.name) + " " + qv::type_name(sh.type) + ", pieces of " +
                         std::to_string(piece));
            const long live = heap_live();
            const size_t before = heap_peak_reset();
            size_t peak = 0;
            int r = AXDR_PENDING;
            {
                Value v(sh.type);
                Stream s(axdr_incr_create(AXDR_DECODE, 0));
                axdr_set_budget(s.get(), B);
                for (size_t off = 0; off < sh.wire.size() && r == AXDR_PENDING;) {
                    size_t n = std::min(piece, sh.wire.size() - off);
                    ASSERT_EQ(axdr_feed(s.get(), sh.wire.data() + off, n), 0);
                    off += n;
                    r = qv::code(s.get(), &v);
                    peak = std::max(peak, heap_peak_since_reset());
                }
                if (r == AXDR_PENDING) {
                    axdr_feed_end(s.get());
                    r = qv::code(s.get(), &v);
                }
                peak = std::max(peak, heap_peak_since_reset());
            }
            const long leaked = heap_live() - live;
            EXPECT_EQ(r, sh.want);
            EXPECT_LE(peak - before, 2 * B + 16 * 1024);
            EXPECT_EQ(leaked, 0) << "FREE gives back what the decode built";
        }
    }
}
