// The string-map containers, checked against a plain model of what each
// insertion should have done.

#include <strmap.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace {

using Entries = std::vector<std::pair<std::string, std::vector<std::string>>>;

// What a container should hold: keys in first-insertion order, each with its
// values in insertion order. Returns whether the container should accept.
bool model_insert(Entries &e, bool unique, const std::string &k, const std::string &v)
{
    for (auto &[key, values] : e)
        if (key == k) {
            if (unique)
                return false;
            values.push_back(v);
            return true;
        }
    e.push_back({k, {v}});
    return true;
}

struct MapOps {
    using C = map_t;
    static constexpr bool unique = true;
    static int init(C *m) { return map_init(m); }
    static int destroy(C *m) { return map_destroy(m); }
    static int insert(C *m, const char *k, const char *v) { return map_insert_str(m, k, v); }
    static int sethashsize(C *m, uint32_t n) { return map_sethashsize(m, n); }
    static uint32_t hashsize(const C *m) { return map_hashsize(m); }
    static int key_count(const C *m, int *n) { return map_key_count(m, n); }
    static Entries snapshot(const C *m)
    {
        Entries e;
        map_cursor_t c;
        for (const char *k = map_first(m, &c); k; k = map_next(&c)) {
            EXPECT_STREQ(map_key(&c), k);
            e.push_back({k, {map_value(&c)}});
            EXPECT_STREQ(map_get(m, k), map_value(&c));
        }
        EXPECT_EQ(map_key(&c), nullptr);
        EXPECT_EQ(map_next(&c), nullptr);
        return e;
    }
};

struct ArraymapOps {
    using C = arraymap_t;
    static constexpr bool unique = false;
    static int init(C *m) { return arraymap_init(m); }
    static int destroy(C *m) { return arraymap_destroy(m); }
    static int insert(C *m, const char *k, const char *v) { return arraymap_insert_str(m, k, v); }
    static int sethashsize(C *m, uint32_t n) { return arraymap_sethashsize(m, n); }
    static uint32_t hashsize(const C *m) { return arraymap_hashsize(m); }
    static int key_count(const C *m, int *n) { return arraymap_key_count(m, n); }
    static Entries snapshot(const C *m)
    {
        Entries e;
        arraymap_key_cursor_t kc;
        for (const char *k = arraymap_key_first(m, &kc); k; k = arraymap_key_next(&kc)) {
            EXPECT_STREQ(arraymap_key_elem(&kc), k);
            std::vector<std::string> values;
            arraymap_value_cursor_t vc;
            for (const char *v = arraymap_value_first(m, k, &vc); v; v = arraymap_value_next(&vc)) {
                EXPECT_EQ(arraymap_value_index(&vc), static_cast<int>(values.size()));
                EXPECT_STREQ(arraymap_value_at(m, k, static_cast<int>(values.size())), v);
                values.push_back(v);
            }
            EXPECT_EQ(arraymap_value_count(&vc), static_cast<int>(values.size()));
            EXPECT_EQ(arraymap_value_index(&vc), static_cast<int>(values.size()));
            e.push_back({k, values});
        }
        return e;
    }
};

struct MultimapOps {
    using C = multimap_t;
    static constexpr bool unique = false;
    static int init(C *m) { return multimap_init(m); }
    static int destroy(C *m) { return multimap_destroy(m); }
    static int insert(C *m, const char *k, const char *v) { return multimap_insert_str(m, k, v); }
    static int sethashsize(C *m, uint32_t n) { return multimap_sethashsize(m, n); }
    static uint32_t hashsize(const C *m) { return multimap_hashsize(m); }
    static int key_count(const C *m, int *n) { return multimap_key_count(m, n); }
    static Entries snapshot(const C *m)
    {
        Entries e;
        multimap_key_cursor_t kc;
        for (const char *k = multimap_key_first(m, &kc); k; k = multimap_key_next(&kc)) {
            EXPECT_STREQ(multimap_key_elem(&kc), k);
            std::vector<std::string> values;
            multimap_value_cursor_t vc;
            for (const char *v = multimap_value_first(m, k, &vc); v; v = multimap_value_next(&vc))
                values.push_back(v);
            EXPECT_EQ(multimap_value_count(&vc), static_cast<int>(values.size()));
            e.push_back({k, values});
        }
        return e;
    }
};

// Snapshot plus the count the container reports, which must match the walk.
template <typename Ops>
Entries contents(const typename Ops::C *m)
{
    Entries e = Ops::snapshot(m);
    int n = -1;
    EXPECT_EQ(Ops::key_count(m, &n), 0);
    EXPECT_EQ(n, static_cast<int>(e.size()));
    return e;
}

std::string random_string(std::mt19937 &rng, size_t maxlen, const char *alphabet)
{
    const size_t alen = std::strlen(alphabet);
    std::string s(rng() % (maxlen + 1), ' ');
    for (char &ch : s)
        ch = alphabet[rng() % alen];
    return s;
}

template <typename Ops>
class Containers : public testing::Test {};
using AllOps = testing::Types<MapOps, ArraymapOps, MultimapOps>;
TYPED_TEST_SUITE(Containers, AllOps);

TYPED_TEST(Containers, RandomInsertsMatchTheModel)
{
    using Ops = TypeParam;
    // Short keys over a small alphabet collide often (duplicates, shared
    // buckets); presizing or not must not change the result.
    for (uint32_t presize : {0u, 64u, 16384u}) {
        SCOPED_TRACE(presize);
        std::mt19937 rng(presize + 7);
        typename Ops::C m;
        ASSERT_EQ(Ops::init(&m), 0);
        if (presize) {
            ASSERT_EQ(Ops::sethashsize(&m, presize), 0);
        }
        Entries model;
        for (int i = 0; i < 4000; i++) {
            const std::string k = random_string(rng, 4, "abc"), v = random_string(rng, 6, "xyz\x7f");
            const bool accept = model_insert(model, Ops::unique, k, v);
            ASSERT_EQ(Ops::insert(&m, k.c_str(), v.c_str()) == 0, accept) << k;
        }
        EXPECT_EQ(contents<Ops>(&m), model);
        EXPECT_GE(Ops::hashsize(&m), model.size());
        EXPECT_EQ(Ops::destroy(&m), 0);
        EXPECT_TRUE(contents<Ops>(&m).empty());
    }
}

TYPED_TEST(Containers, ManyDistinctKeysKeepInsertionOrder)
{
    using Ops = TypeParam;
    typename Ops::C m{};
    Entries model;
    for (int i = 0; i < 20000; i++) {
        const std::string k = "key" + std::to_string(i * 7919 % 20011), v = std::to_string(i);
        ASSERT_EQ(Ops::insert(&m, k.c_str(), v.c_str()), 0);
        model.push_back({k, {v}});
    }
    EXPECT_EQ(contents<Ops>(&m), model);
    EXPECT_EQ(Ops::hashsize(&m), 32768u);
    Ops::destroy(&m);
}

TYPED_TEST(Containers, HashSizeIsAPowerOfTwoSetBeforeInsertion)
{
    using Ops = TypeParam;
    const struct {
        uint32_t size;
        int ok;
    } cases[] = {{0, 0}, {3, 0}, {96, 0}, {1u << 31, 0}, {0xffffffffu, 0}, {1, 1}, {64, 1},
                 {16384, 1}, {1u << 30, sizeof(size_t) > 4}}; // 4 GiB of buckets
    for (const auto &c : cases) {
        SCOPED_TRACE(c.size);
        typename Ops::C m{};
        ASSERT_EQ(Ops::init(&m), 0);
        EXPECT_EQ(Ops::hashsize(&m), 0u);
        EXPECT_EQ(Ops::sethashsize(&m, c.size) == 0, c.ok == 1);
        EXPECT_EQ(Ops::hashsize(&m), c.ok ? c.size : 0u);
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
    EXPECT_EQ(contents<Ops>(&m).size(), 65u);
    Ops::destroy(&m);
}

TYPED_TEST(Containers, InitAndDestroyLifecycle)
{
    using Ops = TypeParam;
    typename Ops::C m{}; // zeroed: usable without init
    EXPECT_EQ(Ops::insert(&m, "k", "v"), 0);
    const Entries one{{"k", {"v"}}};
    EXPECT_EQ(contents<Ops>(&m), one);
    EXPECT_EQ(Ops::destroy(&m), 0);
    EXPECT_EQ(Ops::destroy(&m), 0);
    EXPECT_TRUE(contents<Ops>(&m).empty());
    // Prepared again and again while empty, with a hash size asked for in
    // between: nothing to leak, and the size goes back to the default.
    ASSERT_EQ(Ops::init(&m), 0);
    ASSERT_EQ(Ops::sethashsize(&m, 256), 0);
    ASSERT_EQ(Ops::init(&m), 0);
    EXPECT_EQ(Ops::hashsize(&m), 0u);
    EXPECT_EQ(Ops::insert(&m, "", ""), 0);
    const Entries empty_strings{{"", {""}}};
    EXPECT_EQ(contents<Ops>(&m), empty_strings);
    Ops::destroy(&m);
    // Uninitialised memory, even one that looks like a live container.
    for (int fill : {0xa5, 0xff}) {
        std::memset(&m, fill, sizeof m);
        ASSERT_EQ(Ops::init(&m), 0);
        EXPECT_TRUE(contents<Ops>(&m).empty());
    }
    ASSERT_EQ(Ops::insert(&m, "k", "v"), 0);
    const typename Ops::C live = m;
    ASSERT_EQ(Ops::init(&m), 0);
    EXPECT_TRUE(contents<Ops>(&m).empty());
    m = live;
    Ops::destroy(&m);
}

TYPED_TEST(Containers, RefusesNullsAndForeignContainers)
{
    using Ops = TypeParam;
    typename Ops::C m{};
    int n;
    EXPECT_NE(Ops::insert(&m, nullptr, "v"), 0);
    EXPECT_NE(Ops::insert(&m, "k", nullptr), 0);
    EXPECT_NE(Ops::insert(nullptr, "k", "v"), 0);
    EXPECT_NE(Ops::init(nullptr), 0);
    EXPECT_NE(Ops::destroy(nullptr), 0);
    EXPECT_NE(Ops::sethashsize(nullptr, 64), 0);
    EXPECT_NE(Ops::key_count(&m, nullptr), 0);
    EXPECT_NE(Ops::key_count(nullptr, &n), 0);
    EXPECT_TRUE(contents<Ops>(&m).empty());
    // A container prepared as another kind is not taken for this one.
    arraymap_t other;
    ASSERT_EQ(arraymap_init(&other), 0);
    static_assert(sizeof other == sizeof m);
    typename Ops::C foreign;
    std::memcpy(&foreign, &other, sizeof foreign);
    const int refused = Ops::insert(&foreign, "k", "v");
    const bool same_kind = std::is_same_v<Ops, ArraymapOps>;
    EXPECT_EQ(refused != 0, !same_kind);
    if (refused == 0)
        Ops::destroy(&foreign);
}

TYPED_TEST(Containers, StringsStayPutAndMayBeReinserted)
{
    using Ops = TypeParam;
    typename Ops::C m{};
    const std::string big(100000, 'b'); // larger than any string chunk
    ASSERT_EQ(Ops::insert(&m, "first", big.c_str()), 0);
    Entries before = contents<Ops>(&m);
    typename Ops::C copy{};
    // Insert the container's own strings into itself and into another while
    // the arena grows: the sources must not move underneath.
    for (int i = 0; i < 3000; i++) {
        const std::string k = "k" + std::to_string(i);
        ASSERT_EQ(Ops::insert(&m, k.c_str(), k.c_str()), 0);
    }
    Entries all = contents<Ops>(&m);
    for (const auto &[k, vs] : all)
        for (const auto &v : vs)
            ASSERT_EQ(Ops::insert(&copy, k.c_str(), v.c_str()), 0);
    EXPECT_EQ(contents<Ops>(&copy), all);
    EXPECT_EQ(all.front(), before.front());
    Ops::destroy(&copy);
    Ops::destroy(&m);
}

// An allocator that fails its n-th call and counts what is live.
struct FailingAlloc {
    static inline long calls, fail_at, live;
    static void *re(void *p, size_t n)
    {
        if (++calls == fail_at)
            return nullptr;
        void *q = std::realloc(p, n);
        if (q && !p)
            live++;
        return q;
    }
    static void fr(void *p)
    {
        live--;
        std::free(p);
    }
};

TYPED_TEST(Containers, AllocationFailuresRefuseTheOperationOnly)
{
    using Ops = TypeParam;
    // Every allocation point fails in turn: table, buckets, arrays, chunks,
    // a large string, growth.
    std::vector<std::pair<std::string, std::string>> ops;
    for (int i = 0; i < 70; i++)
        ops.push_back({"k" + std::to_string(i % 50), std::string(i == 60 ? 5000 : i % 7, 'v')});
    bool failed_somewhere = true;
    for (long n = 1; failed_somewhere; n++) {
        SCOPED_TRACE(n);
        FailingAlloc::calls = FailingAlloc::live = 0;
        FailingAlloc::fail_at = n;
        strmap_set_allocator(FailingAlloc::re, FailingAlloc::fr);
        typename Ops::C m{};
        Entries model;
        ASSERT_EQ(Ops::sethashsize(&m, 32), 0);
        for (const auto &[k, v] : ops) {
            Entries after = model;
            const bool accept = model_insert(after, Ops::unique, k, v);
            const long before = FailingAlloc::calls;
            if (Ops::insert(&m, k.c_str(), v.c_str()) == 0) {
                ASSERT_TRUE(accept);
                model = std::move(after);
            } else if (accept) {
                ASSERT_TRUE(before < n && FailingAlloc::calls >= n)
                    << "refused without a failed allocation";
            }
        }
        EXPECT_EQ(contents<Ops>(&m), model);
        EXPECT_GE(Ops::hashsize(&m), 32u);
        Ops::destroy(&m);
        EXPECT_EQ(FailingAlloc::live, 0);
        failed_somewhere = FailingAlloc::calls >= n;
        strmap_set_allocator(nullptr, nullptr);
    }
}

TEST(Arraymap, ValueCursorPositions)
{
    arraymap_t m{};
    for (const char *v : {"x", "y", "x"})
        ASSERT_EQ(arraymap_insert_str(&m, "a", v), 0);
    ASSERT_EQ(arraymap_insert_str(&m, "b", "z"), 0);
    arraymap_value_cursor_t vc;
    EXPECT_STREQ(arraymap_value_first(&m, "a", &vc), "x");
    EXPECT_EQ(arraymap_value_count(&vc), 3);
    const char *expect[] = {"y", "x", nullptr, nullptr};
    for (int i = 0; i < 4; i++) {
        EXPECT_EQ(arraymap_value_index(&vc), i < 3 ? i : 3);
        const char *v = arraymap_value_next(&vc);
        EXPECT_EQ(v ? std::string(v) : "<null>", expect[i] ? expect[i] : "<null>");
    }
    EXPECT_EQ(arraymap_value_index(&vc), 3); // stays at the count past the end
    EXPECT_EQ(arraymap_value_at(&m, "a", 3), nullptr);
    EXPECT_EQ(arraymap_value_at(&m, "a", -1), nullptr);
    EXPECT_EQ(arraymap_value_first(&m, "absent", &vc), nullptr);
    EXPECT_EQ(arraymap_value_count(&vc), 0);
    EXPECT_EQ(arraymap_value_index(&vc), 0);
    EXPECT_EQ(arraymap_value_next(&vc), nullptr);
    EXPECT_EQ(arraymap_value_first(&m, nullptr, &vc), nullptr);
    arraymap_destroy(&m);
}

TEST(Map, DuplicateKeyKeepsTheFirstValue)
{
    map_t m{};
    ASSERT_EQ(map_insert_str(&m, "k", "one"), 0);
    EXPECT_NE(map_insert_str(&m, "k", "two"), 0);
    EXPECT_STREQ(map_get(&m, "k"), "one");
    EXPECT_EQ(map_get(&m, "K"), nullptr);
    EXPECT_EQ(map_get(&m, nullptr), nullptr);
    map_cursor_t c;
    EXPECT_STREQ(map_first(&m, &c), "k");
    EXPECT_EQ(map_next(&c), nullptr);
    EXPECT_EQ(map_value(&c), nullptr);
    map_destroy(&m);
    EXPECT_EQ(map_first(&m, &c), nullptr);
}

} // namespace
