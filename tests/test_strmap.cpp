// The string-map containers, checked against a plain model of what each
// insertion should have done.
#include <strmap.h>

#include "../platform/strmap/src/strmap_testing.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <numeric>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace {

using Entries = std::vector<std::pair<std::string, std::vector<std::string>>>;

// Keys in first-insertion order, each with its values in insertion order.
// Returns whether the container should accept.
bool model_insert(Entries &e, bool unique, const std::string &k, const std::string &v)
{
    for (auto &[key, values] : e)
        if (key == k) {
            if (!unique)
                values.push_back(v);
            return !unique;
        }
    e.push_back({k, {v}});
    return true;
}

// What every container kind offers, under its own prefix.
#define STRMAP_OPS(P, T, UNIQUE)                                                                   \
    using C = T;                                                                                   \
    static constexpr bool unique = UNIQUE;                                                         \
    static int init(C *m) { return P##_init(m); }                                                  \
    static int destroy(C *m) { return P##_destroy(m); }                                            \
    static int insert(C *m, const char *k, const char *v) { return P##_insert_str(m, k, v); }      \
    static int sethashsize(C *m, uint32_t n) { return P##_sethashsize(m, n); }                     \
    static uint32_t hashsize(const C *m) { return P##_hashsize(m); }                               \
    static int key_count(const C *m, int *n) { return P##_key_count(m, n); }                       \
    static size_t footprint(const C *m) { return P##_footprint(m); }                               \
    static int setlimit(C *m, size_t n) { return P##_setlimit(m, n); }

struct MapOps {
    STRMAP_OPS(map, map_t, true)
    static Entries snapshot(const C *m)
    {
        Entries e;
        map_cursor_t c;
        for (const char *k = map_first(m, &c); k; k = map_next(&c))
            e.push_back({k, {map_get(m, k)}});
        EXPECT_EQ(map_get(m, nullptr), nullptr); // the CLI's duplicate check reads absent keys
        return e;
    }
};

struct ArraymapOps {
    STRMAP_OPS(arraymap, arraymap_t, false)
    static Entries snapshot(const C *m)
    {
        Entries e;
        arraymap_key_cursor_t kc;
        for (const char *k = arraymap_key_first(m, &kc); k; k = arraymap_key_next(&kc)) {
            e.push_back({k, {}});
            arraymap_value_cursor_t vc;
            for (const char *v = arraymap_value_first(m, k, &vc); v; v = arraymap_value_next(&vc)) {
                EXPECT_STREQ(arraymap_value_at(m, k, static_cast<int>(e.back().second.size())), v);
                e.back().second.push_back(v);
            }
            EXPECT_EQ(arraymap_value_at(m, k, static_cast<int>(e.back().second.size())), nullptr);
        }
        arraymap_value_cursor_t none;
        EXPECT_TRUE(!arraymap_value_first(m, nullptr, &none) && !arraymap_value_count(&none) &&
                    !arraymap_value_index(&none) && !arraymap_value_next(&none));
        return e;
    }
};

// The walk, and the count the container reports, which must match it.
template <typename Ops> Entries contents(const typename Ops::C *m)
{
    Entries e = Ops::snapshot(m);
    int n = -1;
    EXPECT_EQ(Ops::key_count(m, &n), 0);
    EXPECT_EQ(n, static_cast<int>(e.size()));
    return e;
}

// An allocator that fails its n-th call (none at 0) and tracks the bytes
// live by requested size, which the footprint must equal.
struct FailingAlloc {
    static inline long calls, fail_at;
    static inline size_t bytes;
    static inline std::map<void *, size_t> sizes;
    static void *re(void *p, size_t n)
    {
        void *q = ++calls == fail_at ? nullptr : std::realloc(p, n);
        if (q) {
            bytes += n - (p ? sizes[p] : 0);
            sizes.erase(p);
            sizes[q] = n;
        }
        return q;
    }
    static void fr(void *p)
    {
        bytes -= p ? sizes[p] : 0;
        sizes.erase(p);
        std::free(p);
    }
    explicit FailingAlloc(long n)
    {
        calls = bytes = 0;
        fail_at = n;
        strmap_set_allocator(re, fr);
    }
    ~FailingAlloc() { strmap_set_allocator(nullptr, nullptr); }
};

template <typename Ops> class Containers : public testing::Test {};
// Multimaps share the arraymap's code; their codec's tests walk them.
using AllOps = testing::Types<MapOps, ArraymapOps>;
TYPED_TEST_SUITE(Containers, AllOps);

TYPED_TEST(Containers, HashSizeIsAPowerOfTwoSetBeforeInsertion)
{
    using Ops = TypeParam;
    const struct { uint32_t size; bool ok; } cases[] = {
        {0, false}, {3, false}, {96, false}, {1u << 31, false}, {0xffffffffu, false}, {1, true}, {64, true},
        {16384, true}, {1u << 30, sizeof(size_t) > 4}}; // 4 GiB of buckets
    for (const auto &c : cases) {
        typename Ops::C m{};
        EXPECT_EQ(Ops::sethashsize(&m, c.size) == 0, c.ok) << c.size;
        EXPECT_EQ(Ops::hashsize(&m), c.ok ? c.size : 0u) << c.size;
        Ops::destroy(&m);
    }
    // Grown only once the keys outnumber the buckets; fixed once filled.
    typename Ops::C m{};
    ASSERT_EQ(Ops::sethashsize(&m, 64), 0);
    for (int i = 0; i < 65; i++) {
        EXPECT_EQ(Ops::hashsize(&m), 64u);
        ASSERT_EQ(Ops::insert(&m, std::to_string(i).c_str(), ""), 0);
    }
    EXPECT_EQ(Ops::hashsize(&m), 128u);
    EXPECT_NE(Ops::sethashsize(&m, 1024), 0);
    EXPECT_EQ(Ops::hashsize(&m), 128u);
    Ops::destroy(&m);
}

TYPED_TEST(Containers, LifecycleNullsAndForeignContainers)
{
    using Ops = TypeParam;
    typename Ops::C m{}; // zeroed: usable without init
    int n;
    EXPECT_EQ(Ops::insert(&m, "", ""), 0);
    for (int r : {Ops::insert(&m, nullptr, "v"), Ops::insert(&m, "k", nullptr), Ops::insert(nullptr, "k", "v"),
                  Ops::init(nullptr), Ops::destroy(nullptr), Ops::sethashsize(nullptr, 64),
                  Ops::key_count(&m, nullptr), Ops::key_count(nullptr, &n)})
        EXPECT_NE(r, 0);
    EXPECT_EQ(contents<Ops>(&m), (Entries{{"", {""}}}));
    { // A small container is one allocation: 16 entries of 64 bytes.
        FailingAlloc alloc(0);
        typename Ops::C small{};
        for (int i = 0; i < 16; i++)
            ASSERT_EQ(Ops::insert(&small, std::to_string(100 + i).c_str(), std::string(59, 'v').c_str()), 0);
        EXPECT_EQ(FailingAlloc::calls, 1);
        Ops::destroy(&small);
    }
    // A copy of a live container is prepared afresh (the codec sweep
    // decodes into poisoned memory), and init drops a size asked for while
    // empty.
    const typename Ops::C live = m;
    ASSERT_EQ(Ops::init(&m), 0);
    EXPECT_TRUE(contents<Ops>(&m).empty());
    m = live;
    EXPECT_EQ(Ops::destroy(&m), 0);
    EXPECT_EQ(Ops::destroy(&m), 0);
    EXPECT_TRUE(contents<Ops>(&m).empty());
    ASSERT_EQ(Ops::sethashsize(&m, 256), 0);
    ASSERT_EQ(Ops::init(&m), 0);
    EXPECT_EQ(Ops::hashsize(&m), 0u);
    // A container prepared as another kind is not taken for this one.
    arraymap_t other;
    ASSERT_EQ(arraymap_init(&other), 0);
    std::memcpy(&m, &other, sizeof m);
    const bool same_kind = std::is_same_v<Ops, ArraymapOps>;
    EXPECT_EQ(Ops::insert(&m, "k", "v") == 0, same_kind);
    if (same_kind)
        Ops::destroy(&m);
}

TYPED_TEST(Containers, AllocationFailuresRefuseTheOperationOnly)
{
    using Ops = TypeParam;
    // Every allocation point fails in turn: table, buckets, arrays, chunks,
    // a large string, growth. The large string comes early and is larger
    // than any chunk: it must stay put while the arena grows. Keys repeat
    // and outgrow the buckets; the codec vectors pin the order of a walk.
    bool failed_somewhere = true;
    for (long n = 1; failed_somewhere; n++) {
        SCOPED_TRACE(n);
        FailingAlloc alloc(n);
        typename Ops::C m{};
        Entries model;
        ASSERT_EQ(Ops::sethashsize(&m, 32), 0);
        for (int i = 0; i < 70; i++) {
            const std::string k = std::string("k").append(std::to_string(i % 50));
            const std::string v(i == 1 ? 100000 : i % 7, 'v');
            Entries after = model;
            const bool accept = model_insert(after, Ops::unique, k, v);
            const long before = FailingAlloc::calls;
            if (Ops::insert(&m, k.c_str(), v.c_str()) == 0) {
                ASSERT_TRUE(accept);
                model = std::move(after);
            } else if (accept) {
                ASSERT_TRUE(before < n && FailingAlloc::calls >= n) << "refused without a failed allocation";
            }
            ASSERT_EQ(Ops::footprint(&m), FailingAlloc::bytes);
        }
        EXPECT_EQ(contents<Ops>(&m), model);
        Ops::destroy(&m);
        EXPECT_EQ(FailingAlloc::bytes, 0u);
        failed_somewhere = FailingAlloc::calls >= n;
    }
}

TYPED_TEST(Containers, CapHoldsAndRefusalsChangeNothing)
{
    using Ops = TypeParam;
    // same_key: many values under one key (distinct keys for a map).
    struct Case { size_t cap; uint32_t hashsize; bool same_key; size_t vlen; };
    std::vector<Case> cases = {{4096, 0, false, 0}, {4096, 1u << 24, false, 0}, {700, 0, true, 0},
                               {20000, 16384, false, 300}, {1072, 0, false, 0}}; // 1072: grows buckets near the cap
    for (size_t cap = 200; cap < 1200; cap += 3) // the arrays and the chunk refused at every point
        cases.push_back({cap, 0, false, 0});
    for (const auto &c : cases) {
        SCOPED_TRACE(c.cap);
        FailingAlloc alloc(0);
        typename Ops::C m{};
        ASSERT_FALSE(c.hashsize && Ops::sethashsize(&m, c.hashsize));
        ASSERT_EQ(Ops::setlimit(&m, c.cap), 0);
        const std::string v(c.vlen, 'v');
        for (int i = 0;; i++) {
            ASSERT_LT(i, 100000);
            const std::string k = c.same_key && !Ops::unique ? "k" : std::to_string(i);
            const Entries before = contents<Ops>(&m);
            const size_t fp = Ops::footprint(&m);
            const int r = Ops::insert(&m, k.c_str(), v.c_str());
            ASSERT_LE(Ops::footprint(&m), c.cap);
            ASSERT_EQ(Ops::footprint(&m), FailingAlloc::bytes);
            if (r != 0) {
                EXPECT_EQ(contents<Ops>(&m), before);
                EXPECT_EQ(Ops::footprint(&m), fp);
                // Refused only when one more entry (records, chunk header,
                // strings) could not fit, beside an array that moves.
                EXPECT_GT(2 * fp + 80 + k.size() + v.size(), c.cap);
                break;
            }
        }
        // Buckets take at most a quarter of the cap, and as many as fit.
        EXPECT_LE(uint64_t{Ops::hashsize(&m)} * 4, c.cap / 4);
        EXPECT_TRUE(!c.hashsize || uint64_t{Ops::hashsize(&m)} * 8 > c.cap / 4);
        ASSERT_EQ(Ops::setlimit(&m, 0), 0); // without the cap, insertion goes on
        ASSERT_EQ(Ops::insert(&m, "more", v.c_str()), 0);
        EXPECT_EQ(Ops::footprint(&m), FailingAlloc::bytes);
        Ops::destroy(&m);
        EXPECT_EQ(Ops::footprint(&m), 0u);
        EXPECT_EQ(FailingAlloc::bytes, 0u);
    }
}

// Keys that share one unkeyed FNV-1a hash (each block of a pair leads
// from the same state to the same state): they must still spread.
TYPED_TEST(Containers, KeysBuiltToCollideSpreadOverTheBuckets)
{
    using Ops = TypeParam;
    const char *pairs[4][2] = {{"YQQOWWK_", "I]KMAY]Y"}, {"EM[IAKIA", "E]]_COC]"},
                               {"YE_ES]IW", "S[EUKQI]"}, {"GME_MWYI", "WQ[[Q_YG"}};
    typename Ops::C m{};
    ASSERT_EQ(Ops::sethashsize(&m, 1024), 0);
    for (unsigned bits = 0; bits < 16; bits++) {
        std::string k;
        for (int i = 0; i < 4; i++)
            k += pairs[i][bits >> i & 1];
        ASSERT_EQ(Ops::insert(&m, k.c_str(), ""), 0);
    }
    EXPECT_LE(strmap_testing_longest_chain(m.t), 3u);
    EXPECT_EQ(strmap_testing_longest_chain(nullptr), 0u);
    Ops::destroy(&m);
}

// Reference vectors of the keyed function (key 00..0f, input 00..n-1).
TEST(Hash, ReferenceVectors)
{
#if UINTPTR_MAX > 0xffffffffu // SipHash-1-3, low 32 bits
    const uint32_t vectors[] = {0x050fc4dc, 0x7d57ca93, 0x4dc7d44d, 0xe7ddf7fb, 0x88d38328, 0x49533b67,
                                0xc59f22a7, 0x9bb11140, 0x8d299a8e, 0x6c063de4, 0x92ff097f, 0xf94dc352,
                                0x57b4d9a2, 0x1229ffa7, 0xc0f95d34, 0x2a519956, 0x7d908b66};
#else // HalfSipHash-1-3
    const uint32_t vectors[] = {0x5814c896, 0xe7e864ca, 0xbc4b0e30, 0x01539939, 0x7e059ea6, 0x88e3d89b,
                                0xa0080b65, 0x9d38d9d6, 0x577999b1, 0xc839caed, 0xe4fa32cf, 0x959246ee,
                                0x6b28096c, 0x66dd9cd6, 0x16658a7c, 0xd0257b04, 0x8b31d501};
#endif
    unsigned char in[17];
    std::iota(in, in + 17, 0);
    for (size_t n = 0; n < 17; n++)
        EXPECT_EQ(strmap_testing_hash(in, in, n), vectors[n]) << n;
}

// The secret changes every key's hash, and so does each new table.
TEST(Hash, KeyedPerProcessAndPerTable)
{
    const unsigned char a[16] = {1}, b[16] = {2};
    auto hashes = [](const unsigned char *fix) {
        if (fix)
            strmap_testing_fix_key(fix);
        map_t m{};
        EXPECT_EQ(map_insert_str(&m, "k", "v"), 0);
        std::vector<uint32_t> h;
        for (const char *k : {"", "k", "0123456789", "a key longer than a few words"})
            h.push_back(strmap_testing_table_hash(m.t, k));
        map_destroy(&m);
        return h;
    };
    const auto first = hashes(a), next_table = hashes(nullptr), again = hashes(a), other = hashes(b);
    EXPECT_EQ(again, first);
    for (size_t i = 0; i < first.size(); i++) {
        EXPECT_NE(next_table[i], first[i]) << i;
        EXPECT_NE(other[i], first[i]) << i;
    }
}

int g_random_errno = 0; // getrandom fails with this while set
unsigned long g_random_calls = 0;

// Whether making a table called getrandom.
bool table_draws()
{
    const unsigned long before = g_random_calls;
    map_t m{};
    EXPECT_EQ(map_insert_str(&m, "k", "v"), 0);
    map_destroy(&m);
    return g_random_calls != before;
}

// A child of fork draws a secret of its own at its first table. With
// getrandom failing, /dev/urandom is strong where getrandom does not exist;
// otherwise the secret is drawn again at each table until getrandom answers.
TEST(Hash, SecretRedrawnAfterForkAndWhileWeak)
{
    table_draws();
    EXPECT_FALSE(table_draws()) << "a strong secret is drawn once";
    for (int err : {EAGAIN, ENOSYS, EPERM}) {
        const pid_t pid = fork();
        if (pid == 0) {
            g_random_errno = err;
            bool ok = table_draws() && table_draws() == (err != ENOSYS);
            g_random_errno = 0;
            _exit(ok && table_draws() == (err != ENOSYS) && !table_draws() ? 0 : 1);
        }
        int status = -1;
        EXPECT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "getrandom failing with " << err;
    }
}

} // namespace

// Interposed over the C library's for the container library.
extern "C" ssize_t getrandom(void *buf, size_t len, unsigned int flags)
{
    static const auto real = reinterpret_cast<ssize_t (*)(void *, size_t, unsigned int)>(
        dlsym(RTLD_NEXT, "getrandom"));
    ++g_random_calls;
    if (g_random_errno) {
        errno = g_random_errno;
        return -1;
    }
    return real(buf, len, flags);
}
