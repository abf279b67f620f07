// Every wire vector of vectors.tsv through the resumption sweep of
// support.h, the container allocator failing in turn, and straight and
// step paths compared; then what a budget bounds, and hostile callers.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <fstream>
#include <sstream>
#include <tuple>

#include "values.h"

using namespace qt;
using qv::Type;
using qv::Value;

namespace {

struct Row {
    std::string name;
    Type type;
    Bytes wire;
    int want;
    bool canonical = false, check_print = false;
    size_t budget = 0;
    unsigned long stepped = 0; // frames that take the steps on a plain stream
    std::string print;
};

std::vector<Row> load_rows()
{
    std::stringstream in;
    in << std::ifstream(QUILLET_SOURCE_DIR "/tests/vectors.tsv").rdbuf();
#ifdef QUILLET_GENERATED_TYPES
    in << std::ifstream(QUILLET_SOURCE_DIR "/tests/quilletc/corners.tsv").rdbuf();
#endif
    std::vector<Row> rows;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#')
            continue;
        std::vector<std::string> f;
        std::stringstream ss(line);
        for (std::string x; std::getline(ss, x, '\t');)
            f.push_back(x);
        f.resize(6);
        Row r{f[1], qv::TYPE_COUNT, {}, f[2] == "T" ? AXDR_TRUE : AXDR_FALSE, false, f[5] != "-", 0, 0,
              f[5] != "-" ? unescape(f[5]) : ""};
        std::stringstream flags(f[3]), wire(f[4]), types(f[0]);
        for (std::string x; std::getline(flags, x, ',');) {
            r.canonical |= x == "c";
            if (x[0] == 'b')
                r.budget = std::stoul(x.substr(1));
            if (x[0] == 's')
                r.stepped = std::stoul(x.substr(1));
        }
        for (std::string x; wire >> x;) {
            size_t star = x.find('*');
            Bytes b = hex(x.substr(0, star).c_str());
            for (size_t i = star == std::string::npos ? 1 : std::stoul(x.substr(star + 1)); i; --i)
                r.wire.insert(r.wire.end(), b.begin(), b.end());
        }
        for (std::string x; std::getline(types, x, ',');) {
            for (int t = 0; t < qv::TYPE_COUNT; ++t)
                if (x == qv::type_name(Type(t)))
                    r.type = Type(t);
            EXPECT_NE(r.type, qv::TYPE_COUNT) << line;
            rows.push_back(r);
        }
    }
    return rows;
}

// The container library's allocator, failing its n-th call from arming.
unsigned long strmap_calls = 0, strmap_fail_at = 0;
void *failing_realloc(void *p, size_t n) { return ++strmap_calls == strmap_fail_at ? nullptr : std::realloc(p, n); }

// A memory-stream run of op over buf with a fault, called until it ends.
Run mem(const Row &row, Value *v, Bytes &buf, int op, Fault f = {})
{
    return run_mem<Value>(qv::code, v, buf, op, f, row.budget);
}

// One run on a memory stream: plain, where whole units go straight
// through, or made to take every step by a fault armed past the end.
struct Pass { int r = AXDR_FALSE; uint64_t pos = 0; unsigned long prims = 0, setups = 0, skipped = 0; Bytes out; };
Pass pass(const Row &row, Value *v, Bytes buf, int op, bool steps)
{
    Stream s(axdr_mem_create(buf.data(), buf.size(), op));
    axdr_set_budget(s.get(), row.budget);
    if (steps)
        axdr_fault_at(s.get(), AXDR_FAULT_BYTE, buf.size() + 1, AXDR_FALSE);
    const int r = again<Value>(qv::code, s.get(), v, AXDR_PENDING);
    const uint64_t pos = axdr_getpos(s.get());
    return {r, pos, axdr_fault_count(s.get(), AXDR_FAULT_PRIMITIVE), axdr_fault_count(s.get(), AXDR_FAULT_SETUP),
            axdr_frames_skipped(s.get()), Bytes(buf.begin(), buf.begin() + long(pos))};
}

// Whether the library has straight paths (a steps-only build has none).
bool straight_build()
{
    Value probe(qv::IN6_ADDR);
    static const bool has = pass(Row{}, &probe, Bytes(16), AXDR_DECODE, false).skipped > 0;
    return has;
}

// Straight and step paths agree on everything a caller sees; returns
// whether the plain run went straight through any unit.
bool same_both_ways(const Row &row, Value *enc_from)
{
    Value a(row.type), b(row.type);
    const Pass straight = pass(row, &a, row.wire, AXDR_DECODE, false);
    const Pass steps = pass(row, &b, row.wire, AXDR_DECODE, true);
    auto seen = [](const Pass &p) { return std::make_tuple(p.r, p.pos, p.prims, p.setups, to_hex(p.out)); };
    EXPECT_EQ(steps.skipped, 0u);
    EXPECT_EQ(seen(straight), seen(steps));
    EXPECT_TRUE(qv::equal(a, b));
    // What reads as one more entry after a value is left unread.
    if (row.want == AXDR_TRUE) {
        Bytes twice = row.wire, more = hex(row.type == qv::MAP ? "00000001 74000000 00000001 75000000"
                                                            : "00000001 74000000 00000001 00000001 75000000");
        twice.insert(twice.end(), more.begin(), more.end());
        Value c(row.type);
        EXPECT_EQ(pass(row, &c, twice, AXDR_DECODE, false).pos, straight.pos);
        EXPECT_TRUE(qv::equal(a, c));
    }
    // A whole value on a plain stream: every frame below the container's
    // is done without (the buffer ends right after the last unit), but for
    // a string too long to copy on the stack.
    const unsigned long kept = (qv::is_container(row.type) ? 1 : 0) + row.stepped;
    const bool plain = row.want == AXDR_TRUE && !row.budget && straight_build() && !qv::is_generated(row.type);
    EXPECT_TRUE(!plain || straight.setups - straight.skipped == kept);
    if (enc_from) {
        Bytes room(2 * row.wire.size() + 64, 0xee);
        room.resize(static_cast<size_t>(pass(row, enc_from, room, AXDR_ENCODE, true).pos)); // just room
        const Pass se = pass(row, enc_from, room, AXDR_ENCODE, false);
        const Pass te = pass(row, enc_from, room, AXDR_ENCODE, true);
        EXPECT_EQ(seen(se), seen(te));
        EXPECT_TRUE(!plain || se.setups - se.skipped == kept - row.stepped); // sent from where they are
    }
    // Freed straight through and by the steps alike (a container's FREE is its own).
    EXPECT_TRUE(!qv::is_generated(row.type) ||
                seen(pass(row, &a, {}, AXDR_FREE, false)) == seen(pass(row, &b, {}, AXDR_FREE, true)));
    return straight.skipped > 0;
}

int g_straight_rows = 0; // rows whose plain runs went straight through a unit
int g_plain_rows = 0;    // rows without a budget

void sweep(const Row &row)
{
    const size_t n = row.wire.size();
    Value ref(row.type);
    Bytes buf = row.wire;
    ASSERT_EQ(mem(row, &ref, buf, AXDR_DECODE).r, row.want);
    const qv::Expect x = qv::expect(row.type, row.wire.data(), n, row.budget); // the fuzzers' reading
    EXPECT_EQ(x.result == -1 ? row.want : x.result, row.want);
    EXPECT_EQ(x.canonical && row.want == AXDR_TRUE, row.canonical);
    EXPECT_EQ(buf.size(), row.want == AXDR_TRUE ? n : buf.size()) << "a value takes all of its row";
    if (same_both_ways(row, row.want == AXDR_TRUE ? &ref : nullptr))
        ++g_straight_rows;
    g_plain_rows += !row.budget;
    int pr = AXDR_FALSE;
    if (row.check_print) {
        EXPECT_EQ(print<Value>(qv::code, &ref, &pr), row.print);
        EXPECT_EQ(pr, AXDR_TRUE);
    }
    const bool container = qv::is_container(row.type), generated = qv::is_generated(row.type);
    qt::Sweep opt{.want = row.want, .budget = row.budget, .canonical = row.canonical,
                  .whole_or_nothing = row.type == qv::IPCIDR, // a pair is written only once it is whole
                  .exact_print = !container, .free_keeps = !container && !generated,
                  .closes = generated, .frames_own_nothing = generated};
    if (row.type == qv::IPADDR || row.type == qv::IPCIDR) // sent as first converted
        opt.scrub = [](void *v) { std::memset(&static_cast<Value *>(v)->u, 0, sizeof(Value::u)); };
    qt::sweep<Value>(qv::code, row.type, row.wire, opt, [](const std::string &what) { ADD_FAILURE() << what; });

    // The container allocator failing in turn, by the steps, then straight:
    // the container fails alike.
    for (unsigned long a = 1, done = !qv::is_container(row.type); !done && a < 1000; ++a) {
        SCOPED_TRACE("container allocation " + std::to_string(a));
        auto armed = [&](Value *v, bool straight) {
            strmap_calls = 0;
            strmap_fail_at = a;
            strmap_set_allocator(failing_realloc, std::free);
            const Pass p = pass(row, v, row.wire, AXDR_DECODE, !straight);
            done = strmap_calls < a;
            strmap_set_allocator(nullptr, nullptr);
            return p;
        };
        const long live = heap_live();
        {
            Value steps(row.type), v(row.type);
            const Pass sp = armed(&steps, false), p = armed(&v, true);
            EXPECT_TRUE(qv::equal(v, steps));
            EXPECT_EQ(p.pos, sp.pos);
            EXPECT_EQ(p.prims, sp.prims);
            EXPECT_EQ(p.r, done ? row.want : AXDR_FALSE);
        }
        EXPECT_EQ(heap_live(), live);
    }
    if (row.want != AXDR_TRUE)
        return;
    // A decode into a container no one initialised.
    Value poisoned(row.type);
    std::memset(&poisoned.u, 0xa5, sizeof poisoned.u);
    Bytes b = row.wire;
    EXPECT_EQ(mem(row, &poisoned, b, AXDR_DECODE).r, AXDR_TRUE);
    EXPECT_TRUE(qv::equal(poisoned, ref));
}

class Vectors : public testing::TestWithParam<int> {};

TEST_P(Vectors, EveryRowThroughEverySweep)
{
    const Type t = Type(GetParam());
    int rows = 0;
    g_straight_rows = g_plain_rows = 0;
    for (const Row &row : load_rows()) {
        if (row.type != t)
            continue;
        SCOPED_TRACE(row.name + ": " + to_hex(row.wire).substr(0, 120));
        sweep(row);
        ++rows;
    }
    EXPECT_GT(rows, 0);
    // Every type but the two single primitives has a straight path, unless
    // the library was built with steps only (then none has); of quilletc's,
    // those that hold a struct or enum of one size.
    // Generated filters are compiled here, not in libquillet: its build does not decide.
    if (!qv::is_generated(t)) {
        EXPECT_EQ(g_straight_rows > 0, straight_build() && t != qv::IN_ADDR && t != qv::RLIM);
        return;
    }
#ifdef QUILLET_GENERATED_TYPES
    EXPECT_EQ(g_straight_rows > 0, t != qv::G_LISTING && t != qv::G_TREE && t != qv::G_HANDLE && t != qv::G_NAME &&
                                       t != qv::G_CHAIN);
    // A memory stream's window is all there is: a bounded type goes straight
    // through it whatever its size, short or refused (a record holds an
    // unbounded string; only its points can; a struct of one size refuses
    // through the steps).
    if (t == qv::G_SHAPE || t == qv::G_OUTER || t == qv::G_POINTS) {
        EXPECT_EQ(g_straight_rows, g_plain_rows);
    }
#endif
}

INSTANTIATE_TEST_SUITE_P(Codecs, Vectors, testing::Range(0, int(qv::TYPE_COUNT)),
                         [](const testing::TestParamInfo<int> &p) { return std::string(qv::type_name(Type(p.param))); });

// keys groups of a key (klen bytes) and values of vlen; then tail.
Bytes entries(Type t, uint32_t keys, uint32_t values, size_t klen, size_t vlen, const Bytes &tail = {})
{
    Bytes w;
    put_u32(w, keys);
    for (uint32_t k = 0; k < keys; ++k) {
        std::string key = std::to_string(k);
        put_str(w, key + std::string(klen > key.size() ? klen - key.size() : 0, 'k'));
        if (t != qv::MAP)
            put_u32(w, values);
        for (uint32_t v = 0; v < values; ++v)
            put_str(w, std::string(vlen, 'v'));
    }
    w.insert(w.end(), tail.begin(), tail.end());
    return w;
}

// Two maps in one message, through a caller's own resumable filter. With
// free_first the caller frees the first through the stream before the
// second, which gives its share of the budget back.
struct TwoMaps {
    map_t m[2]{};
    bool free_first = false;
    ~TwoMaps() { map_destroy(&m[0]), map_destroy(&m[1]); }
};
int two_maps(axdr_stream_t *s, TwoMaps *t)
{
    const auto self = reinterpret_cast<axdr_self_t>(&two_maps);
    int state = 0; // map `state` due
    axdr_frame_t frame;
    int r = axdr_async_setup(s, self, &frame, &state, 0, nullptr);
    if (r != AXDR_TRUE)
        return r;
    while (state < 2 && (r = axdr_map_t(s, &t->m[state])) == AXDR_TRUE) {
        if (state++ == 0 && t->free_first) {
            s->x_op = AXDR_FREE;
            axdr_map_t(s, &t->m[0]);
            s->x_op = AXDR_DECODE;
        }
    }
    axdr_async_teardown(s, self, state, frame, r);
    return r;
}

// Hostile shapes under a budget B: at no instant does a decode hold more
// than 2 * B + 16 KiB (a moving realloc counts old and new), for every
// container of one message together; between calls the container stays
// capped, and FREE gives everything back.
TEST(Hostile, BudgetBoundsEverythingADecodeHoldsAtItsPeak)
{
    // Two maps of the most short keys one map takes alone under B, or a third of it.
    auto two = [&](size_t B, uint32_t div) {
        uint32_t lo = 1, hi = 1 << 15;
        for (uint32_t mid; mid = (lo + hi) / 2, lo + 1 < hi;) {
            Bytes w = entries(qv::MAP, mid, 1, 1, 0);
            Value v(qv::MAP);
            Stream s(axdr_mem_create(w.data(), w.size(), AXDR_DECODE));
            axdr_set_budget(s.get(), B);
            (qv::code(s.get(), &v) == AXDR_TRUE ? lo : hi) = mid;
        }
        return entries(qv::MAP, lo / div, 1, 1, 0, entries(qv::MAP, lo / div, 1, 1, 0));
    };
    // A long key, short values, then a long one: the key still counts.
    Bytes long_key = hex("00000001");
    put_str(long_key, std::string(3000, 'k'));
    put_u32(long_key, 101);
    for (int i = 0; i < 100; ++i)
        put_str(long_key, "v");
    put_str(long_key, std::string(3500, 'v'));
    const Type TWO = qv::TYPE_COUNT, TWO_FREED = Type(TWO + 1);
    const struct { const char *name; Type type; std::function<Bytes(size_t B)> wire; int want; size_t only_b = 0; }
        shapes[] = {
        {"one key, 200000 empty values", qv::MULTIMAP, [&](size_t) { return entries(qv::MULTIMAP, 1, 200000, 1, 0); }, AXDR_FALSE},
        {"one key, 60000 empty values", qv::ARRAYMAP, [&](size_t) { return entries(qv::ARRAYMAP, 1, 60000, 1, 0); }, AXDR_FALSE},
        {"200000 short keys", qv::MAP, [&](size_t) { return entries(qv::MAP, 200000, 1, 1, 0); }, AXDR_FALSE},
        {"count 2^31-2", qv::MAP, [](size_t) { return hex("7ffffffe 00000001 61000000 00000001"); }, AXDR_FALSE},
        {"value count 2^31-2", qv::MULTIMAP, [](size_t) { return hex("7ffffffe 00000001 61000000 7ffffffe"); }, AXDR_FALSE},
        {"one long entry", qv::MAP, [&](size_t) { return entries(qv::MAP, 1, 1, 3000, 3000); }, AXDR_TRUE},
        {"40 long entries", qv::MAP, [&](size_t) { return entries(qv::MAP, 40, 1, 3000, 3000); }, AXDR_FALSE},
        {"a value past B", qv::MULTIMAP, [&](size_t B) { return entries(qv::MULTIMAP, 1, 1, 1, B + 1); }, AXDR_FALSE},
        // Each map alone fits; both together do not, unless the first is freed.
        {"two full maps", TWO, [&](size_t B) { return two(B, 1); }, AXDR_FALSE},
        {"two full maps, the first freed", TWO_FREED, [&](size_t B) { return two(B, 1); }, AXDR_TRUE},
        {"two small maps", TWO, [&](size_t B) { return two(B, 3); }, AXDR_TRUE},
        // The strings an insertion copies count until it has copied them.
        {"key and value held while copied", qv::MAP, [&](size_t) { return entries(qv::MAP, 2, 1, 2000, 4000); }, AXDR_FALSE, 4096},
        {"key held to its last value", qv::MULTIMAP, [&](size_t) { return long_key; }, AXDR_FALSE, 4096},
        {"key held to its last value", qv::ARRAYMAP, [&](size_t) { return long_key; }, AXDR_FALSE, 4096},
    };
    for (const auto &sh : shapes)
        for (size_t B : {size_t{4096}, size_t{8192}, size_t{32768}}) {
            const Bytes wire = sh.wire(B);
            for (size_t piece : {size_t{0}, size_t{1}, size_t{7}, B}) {
                if (sh.only_b && sh.only_b != B)
                    continue;
                SCOPED_TRACE(testing::Message() << sh.name << ", B " << B << ", pieces of " << piece << " (0: memory)");
                Bytes mem = wire;
                const long live = heap_live();
                const size_t before = heap_peak_reset();
                size_t peak = 0;
                int r = AXDR_PENDING;
                bool capped = true;
                {
                    Value v(sh.type < TWO ? sh.type : qv::MAP);
                    TwoMaps t;
                    t.free_first = sh.type == TWO_FREED;
                    Stream s(piece ? axdr_incr_create(AXDR_DECODE, 0)
                                   : axdr_mem_create(mem.data(), mem.size(), AXDR_DECODE));
                    axdr_set_budget(s.get(), B);
                    for (size_t off = 0, n = 0; r == AXDR_PENDING; off += n) {
                        n = std::min({piece, wire.size() - off, B - axdr_unread(s.get())});
                        if (n)
                            ASSERT_EQ(axdr_feed(s.get(), wire.data() + off, n), 0);
                        else if (piece)
                            axdr_feed_end(s.get());
                        r = sh.type < TWO ? qv::code(s.get(), &v) : two_maps(s.get(), &t);
                        peak = std::max(peak, heap_peak_since_reset());
                        capped = capped && (r != AXDR_PENDING || v.u.map_t_v.limit != 0 || sh.type >= TWO);
                    }
                    EXPECT_EQ(v.u.map_t_v.limit, 0u) << "the container is the caller's, uncapped";
                    int n = 0; // the first map whole, the second begun
                    EXPECT_TRUE(sh.type < TWO || (map_key_count(&t.m[sh.type == TWO ? 0 : 1], &n) == 0 && n > 0 &&
                                                  map_footprint(&t.m[1]) > 0));
                }
                EXPECT_EQ(r, sh.want);
                EXPECT_TRUE(capped) << "a pending decode keeps its container capped";
                EXPECT_LE(peak - before, 2 * B + 16 * 1024);
                EXPECT_EQ(heap_live(), live);
            }
        }
}

// A contract build reports nothing to the budget. The runtime still bounds
// its input and the strings decoded by B + 12 KiB, given back as they are
// released: all but the container stays within 2 * B + 16 KiB, and one
// stream serves message after message without a reset.
TEST(Contract, BudgetCoversTheRuntimesShare)
{
    if (!QT_CONTRACT_BUILD)
        GTEST_SKIP() << "a contract build's promise";
    const size_t B = 4096;
    const Bytes big = entries(qv::MAP, 1, 1, B - 1, B - 1), many = entries(qv::MULTIMAP, 1, 100000, 1, 0),
                msg = entries(qv::MAP, 2, 1, 1, 1000);
    Bytes stream;
    const int messages = 40; // 80 KB of strings through a stream that may hold 16 KiB
    for (int m = 0; m < messages; ++m)
        stream.insert(stream.end(), msg.begin(), msg.end());
    const struct { const Bytes &wire; Type type; int messages, want; } cases[] = {
        {big, qv::MAP, 1, AXDR_TRUE}, {many, qv::MULTIMAP, 1, AXDR_FALSE}, {stream, qv::MAP, messages, AXDR_TRUE}};
    for (const auto &c : cases)
        for (size_t piece : {B, size_t{7}}) {
            SCOPED_TRACE(std::to_string(c.wire.size()) + " bytes in pieces of " + std::to_string(piece));
            const size_t before = heap_peak_reset();
            Value v(c.type);
            Stream s(axdr_incr_create(AXDR_DECODE, 0));
            axdr_set_budget(s.get(), B);
            int r = AXDR_PENDING, done = 0;
            for (size_t off = 0; r != AXDR_FALSE && done < c.messages;) {
                r = qv::code(s.get(), &v);
                if (r == AXDR_PENDING) {
                    const size_t n = std::min({piece, c.wire.size() - off, B - axdr_unread(s.get())});
                    ASSERT_GT(n, 0u);
                    ASSERT_EQ(axdr_feed(s.get(), c.wire.data() + off, n), 0);
                    off += n;
                    continue;
                }
                const size_t container = c.type == qv::MAP ? map_footprint(&v.u.map_t_v) : multimap_footprint(&v.u.multimap_t_v);
                EXPECT_LE(heap_peak_since_reset() - before - container, 2 * B + 16 * 1024);
                EXPECT_LE(container, 64 * (B + 12 * 1024)) << "strings and records of the values that fit";
                if (r == AXDR_TRUE && ++done < c.messages) {
                    v.release(); // not through s: the stream is told nothing
                    heap_peak_reset();
                }
            }
            EXPECT_EQ(r, c.want);
            EXPECT_EQ(done, c.want == AXDR_TRUE ? c.messages : 0);
        }
}

// Callers write x_op between calls. Whatever they write, buffers keep the
// bounds the stream was made with: a coding operation the stream was not
// made for gives FALSE and nothing faults (ASan watches), also after a
// reset or a partial drain, and while a decode waits for bytes.
TEST(Hostile, RewrittenOperationNeverFaults)
{
    const Bytes w = hex("00000002 00000001 61000000 00000002 00000001 78000000 00000002 797a0000"
                        "00000001 62000000 00000001 00000001 77000000");
    for (int made : {AXDR_ENCODE, AXDR_DECODE})
        for (int op = 0; op <= 7; ++op) {
            for (int after = 0; after < 6; ++after) { // memory or incremental; nothing, reset, drain
                SCOPED_TRACE(testing::Message() << "made " << made << ", x_op " << op << ", after " << after);
                Bytes buf = made == AXDR_DECODE ? w : Bytes(64);
                Stream s(after & 1 ? axdr_incr_create(made, 8) : axdr_mem_create(buf.data(), buf.size(), made));
                Value full(qv::MULTIMAP), fresh(qv::MULTIMAP);
                Bytes in = w;
                ASSERT_EQ(mem(Row{}, &full, in, AXDR_DECODE).r, AXDR_TRUE);
                const bool decodes = op == AXDR_DECODE || op == AXDR_DECODE_ALT;
                const bool encodes = op == AXDR_ENCODE || op == AXDR_ENCODE_ALT;
                // A decode may be left waiting for the rest of its first
                // word, holding nothing yet: a stray call drops its frames.
                const bool waiting = (after & 1) && made == AXDR_DECODE && after / 2 != 1 && (decodes || encodes);
                if ((after & 1) && made == AXDR_DECODE) {
                    ASSERT_EQ(axdr_feed(s.get(), w.data(), waiting ? 2 : 12), 0);
                }
                if (made == AXDR_ENCODE) // an encode holds nothing: leave it pending
                    qv::code(s.get(), &full);
                EXPECT_EQ(axdr_unread(s.get()), made == AXDR_DECODE ? (after & 1 ? (waiting ? 2u : 12u) : w.size()) : 0u);
                size_t held = 1; // what waits to be drained, only on incremental encode streams
                EXPECT_EQ(axdr_output(s.get(), &held) == nullptr && held == 0, made == AXDR_DECODE || !(after & 1));
                if (waiting) {
                    ASSERT_EQ(qv::code(s.get(), &fresh), AXDR_PENDING);
                }
                s->x_op = op;
                if (after / 2 == 1)
                    axdr_reset(s.get());
                Bytes out(3);
                if (after / 2 == 2)
                    axdr_drain(s.get(), out.data(), out.size());
                int r = qv::code(s.get(), decodes ? &fresh : &full);
                if ((decodes && made != AXDR_DECODE) || (encodes && made != AXDR_ENCODE) || op > 5) {
                    EXPECT_EQ(r, AXDR_FALSE);
                }
                if ((decodes && made == AXDR_DECODE && r != AXDR_TRUE) || (waiting && !decodes)) {
                    s->x_op = decodes ? op : AXDR_DECODE;
                    axdr_feed_end(s.get()); // unwind what the decode holds
                    qv::code(s.get(), &fresh);
                }
            }
        }
}

// A unit cut short and ended by FALSE, at its primitive or at the setup of
// the filter resuming it, is dropped: the next value starts afresh.
TEST(Streams, FalseEndsTheUnitInFlight)
{
    for (int kind : {AXDR_FAULT_PRIMITIVE, AXDR_FAULT_SETUP}) {
        Stream s(axdr_incr_create(AXDR_DECODE, 0));
        const Bytes head = hex("00000000 0000"), next = hex("0009 0000");
        struct rlimit rl{}; // a bare primitive for the primitive fault
        auto code = [&] {
            return kind == AXDR_FAULT_SETUP ? axdr_rlimit(s.get(), &rl) : axdr_rlim_t(s.get(), &rl.rlim_cur);
        };
        ASSERT_EQ(axdr_feed(s.get(), head.data(), 0) + axdr_feed(s.get(), head.data(), head.size()), 0);
        ASSERT_EQ(code(), AXDR_PENDING);
        axdr_fault_at(s.get(), kind, 1, AXDR_FALSE);
        ASSERT_EQ(code(), AXDR_FALSE);
        int v = 0;
        axdr_feed(s.get(), next.data(), 2);
        EXPECT_EQ(axdr_int(s.get(), &v), AXDR_PENDING);
        axdr_feed(s.get(), next.data() + 2, 2);
        EXPECT_EQ(axdr_int(s.get(), &v), AXDR_TRUE);
        EXPECT_EQ(v, 0x00090000) << "glued to the stale bytes";
    }
}

// A long string arriving in small pieces is taken as it comes: a waiting
// stream leaves at most 4 KiB of it unread. Once released, only small
// blocks stay kept for reuse.
TEST(Streams, LongStringsInSmallPiecesBufferLittle)
{
    Bytes w = hex("00000001 00000001 6b000000");
    put_str(w, std::string(9000, 'v'));
    heap_live(); // empties what is kept for reuse
    const size_t bytes = heap_peak_reset();
    {
        Value v(qv::MAP);
        Stream s(axdr_incr_create(AXDR_DECODE, 0));
        int r = AXDR_PENDING;
        size_t most = 0;
        for (size_t off = 0; off < w.size(); off += 7) {
            axdr_feed(s.get(), w.data() + off, std::min<size_t>(7, w.size() - off));
            r = qv::code(s.get(), &v);
            most = std::max(most, axdr_unread(s.get()));
        }
        EXPECT_EQ(r, AXDR_TRUE);
        EXPECT_LE(most, 4096u);
    }
    EXPECT_LE(heap_peak_reset() - bytes, 2 * 256u);
}

// Not an address, or a container another kind prepared: nothing is sent.
TEST(Refused, NotAnAddress)
{
    for (Type t : {qv::IPADDR, qv::IPCIDR, qv::MAP}) {
        Value v(t);
        ASSERT_EQ(t == qv::MAP ? arraymap_init(&v.u.arraymap_t_v) : 0, 0);
        Bytes out(64);
        int r = AXDR_TRUE;
        EXPECT_EQ(mem(Row{}, &v, out, AXDR_ENCODE).r, AXDR_FALSE);
        EXPECT_TRUE(out.empty());
        EXPECT_EQ(print<Value>(qv::code, &v, &r), "");
        EXPECT_EQ(r, t == qv::MAP ? AXDR_TRUE : AXDR_FALSE); // a map with no key it can walk
    }
}

int g_value_delta = 0; // added to what value_count reports

} // namespace

// Interposed over the container library: a value count off from the walk.
#define MISCOUNT(P)                                                                            \
    extern "C" int P##_value_count(const P##_value_cursor_t *vc)                               \
    {                                                                                          \
        static const auto real =                                                               \
            reinterpret_cast<int (*)(const P##_value_cursor_t *)>(dlsym(RTLD_NEXT, #P "_value_count")); \
        return real(vc) + g_value_delta;                                                       \
    }
MISCOUNT(arraymap)
MISCOUNT(multimap)

// A value walk shorter than the count fails the encode (the peer would take
// the next key for a value); a longer one is cut at the count. The print
// stops at the end of the walk whatever the count says.
TEST(Multi, EncodeFollowsTheCountOrFails)
{
    const Bytes w = hex("00000001 00000001 6b000000 00000002 00000001 61000000 00000001 62000000");
    for (Type t : {qv::ARRAYMAP, qv::MULTIMAP})
        for (int delta : {1, -1, -2, -3}) {
            SCOPED_TRACE(std::string(qv::type_name(t)) + " count off by " + std::to_string(delta));
            Value v(t);
            Bytes in = w;
            ASSERT_EQ(mem(Row{}, &v, in, AXDR_DECODE).r, AXDR_TRUE);
            Bytes got(64, 0xee);
            g_value_delta = delta;
            const auto run = mem(Row{}, &v, got, AXDR_ENCODE); // nothing written past the end
            int pr = AXDR_FALSE;
            const std::string text = print<Value>(qv::code, &v, &pr);
            g_value_delta = 0;
            EXPECT_TRUE(run.tail_kept);
            EXPECT_EQ(pr, AXDR_TRUE);
            EXPECT_EQ(text, delta > 0 ? "{\n  k = \"a\", \"b\"\n}\n" : text);
            EXPECT_EQ(run.r, delta == -1 || delta == -2 ? AXDR_TRUE : AXDR_FALSE);
            EXPECT_TRUE(delta != -1 || to_hex(got) == "00 00 00 01 00 00 00 01 6b 00 00 00 00 00 00 01 00 00 00 01 61 00 00 00");
            EXPECT_TRUE(delta != -2 || to_hex(got) == "00 00 00 01 00 00 00 01 6b 00 00 00 00 00 00 00");
        }
}

