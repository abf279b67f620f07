// Shared by the container codec tests: a plain model of a container's
// contents, its wire form built by hand, and one traits struct per
// container so that the same checks run over all three.
#ifndef QUILLET_TESTS_CONTAINER_SUPPORT_H
#define QUILLET_TESTS_CONTAINER_SUPPORT_H

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "support.h"

namespace ct {

using qt::Bytes;
// Keys in walk order, each with its values in walk order.
using Entries = std::vector<std::pair<std::string, std::vector<std::string>>>;

struct MapT {
    using C = map_t;
    static constexpr bool multi = false;
    static constexpr qt::Filter<C> filter = axdr_map_t;
    static int insert(C *m, const char *k, const char *v) { return map_insert_str(m, k, v); }
    static uint32_t hashsize(const C *m) { return map_hashsize(m); }
    static Entries snapshot(const C *m)
    {
        Entries e;
        map_cursor_t c;
        for (const char *k = map_first(m, &c); k; k = map_next(&c))
            e.push_back({k, {map_value(&c)}});
        return e;
    }
};

struct ArraymapT {
    using C = arraymap_t;
    static constexpr bool multi = true;
    static constexpr qt::Filter<C> filter = axdr_arraymap_t;
    static constexpr const char *prefix = "arraymap";
    static int insert(C *m, const char *k, const char *v) { return arraymap_insert_str(m, k, v); }
    static uint32_t hashsize(const C *m) { return arraymap_hashsize(m); }
    static Entries snapshot(const C *m)
    {
        Entries e;
        arraymap_key_cursor_t kc;
        for (const char *k = arraymap_key_first(m, &kc); k; k = arraymap_key_next(&kc)) {
            e.push_back({k, {}});
            arraymap_value_cursor_t vc;
            for (const char *v = arraymap_value_first(m, k, &vc); v; v = arraymap_value_next(&vc))
                e.back().second.push_back(v);
        }
        return e;
    }
};

struct MultimapT {
    using C = multimap_t;
    static constexpr bool multi = true;
    static constexpr qt::Filter<C> filter = axdr_multimap_t;
    static constexpr const char *prefix = "multimap";
    static int insert(C *m, const char *k, const char *v) { return multimap_insert_str(m, k, v); }
    static uint32_t hashsize(const C *m) { return multimap_hashsize(m); }
    static Entries snapshot(const C *m)
    {
        Entries e;
        multimap_key_cursor_t kc;
        for (const char *k = multimap_key_first(m, &kc); k; k = multimap_key_next(&kc)) {
            e.push_back({k, {}});
            multimap_value_cursor_t vc;
            for (const char *v = multimap_value_first(m, k, &vc); v; v = multimap_value_next(&vc))
                e.back().second.push_back(v);
        }
        return e;
    }
};

// A container that the codec's free operation releases at scope end.
template <class T> struct Box {
    typename T::C c{};
    Box() = default;
    explicit Box(const Entries &e)
    {
        for (const auto &[k, vs] : e)
            for (const auto &v : vs)
                EXPECT_EQ(T::insert(&c, k.c_str(), v.c_str()), 0);
    }
    Box(const Box &) = delete;
    Box &operator=(const Box &) = delete;
    ~Box() { clear(); }
    void clear() { EXPECT_EQ(qt::free_obj<typename T::C>(T::filter, &c), AXDR_TRUE); }
    Entries contents() const { return T::snapshot(&c); }
    typename T::C *get() { return &c; }
};

// Hand-made wire pieces.
inline Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes b;
    for (const Bytes &p : parts)
        b.insert(b.end(), p.begin(), p.end());
    return b;
}
inline Bytes u32(uint32_t v)
{
    Bytes b;
    qt::put_u32(b, v);
    return b;
}
inline Bytes str(const std::string &s)
{
    Bytes b;
    qt::put_str(b, s);
    return b;
}

// What a decoder wrote to standard error: nothing, or one warnx line (the
// program name, then the message).
inline void expect_warning(const std::string &err, const std::string &message)
{
    if (message.empty()) {
        EXPECT_EQ(err, "");
        return;
    }
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    const std::string tail = ": " + message + "\n";
    EXPECT_TRUE(err.size() > tail.size() && err.compare(err.size() - tail.size(), tail.size(), tail) == 0)
        << err;
}

// The wire form of e: the map's pairs, or the multi-valued groups.
template <class T> Bytes wire(const Entries &e)
{
    Bytes b;
    qt::put_u32(b, static_cast<uint32_t>(e.size()));
    for (const auto &[k, vs] : e) {
        qt::put_str(b, k);
        if (T::multi)
            qt::put_u32(b, static_cast<uint32_t>(vs.size()));
        for (const auto &v : vs)
            qt::put_str(b, v);
    }
    return b;
}

// Strings of 0 to 5 bytes cover every padding length.
inline std::string random_string(std::mt19937 &rng)
{
    static const char chars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 _-";
    std::string s(rng() % 6, ' ');
    for (char &c : s)
        c = chars[rng() % (sizeof chars - 1)];
    return s;
}

// n distinct random keys; one value each, or one to three for a multi.
inline Entries random_entries(std::mt19937 &rng, size_t n, bool multi)
{
    Entries e;
    std::set<std::string> seen;
    while (e.size() < n) {
        std::string k = random_string(rng);
        if (!seen.insert(k).second)
            continue;
        std::vector<std::string> vs(multi ? 1 + rng() % 3 : 1);
        for (auto &v : vs)
            v = random_string(rng);
        e.push_back({k, vs});
    }
    return e;
}

// The insertions of e, key by key, in order.
inline std::vector<std::pair<std::string, std::string>> flatten(const Entries &e)
{
    std::vector<std::pair<std::string, std::string>> out;
    for (const auto &[k, vs] : e)
        for (const auto &v : vs)
            out.push_back({k, v});
    return out;
}

// Whether got is what the first n insertions of want give.
inline bool is_prefix(const Entries &got, const Entries &want)
{
    auto g = flatten(got), w = flatten(want);
    return g.size() <= w.size() && std::equal(g.begin(), g.end(), w.begin());
}

// The print and primitive lines of a trace, '|'-separated, without results
// of setup and teardown.
inline std::string calls_of(const char *trace)
{
    std::string t = trace, out;
    size_t pos = 0;
    for (size_t nl; (nl = t.find('\n', pos)) != std::string::npos; pos = nl + 1) {
        std::string line = t.substr(pos, nl - pos);
        if (line.rfind("setup", 0) != 0 && line.rfind("teardown", 0) != 0)
            out += line + "|";
    }
    return out;
}

// The function that the interposed name hides.
template <class F> F next_symbol(const char *name)
{
    void *p = dlsym(RTLD_NEXT, name);
    if (!p)
        std::abort();
    return reinterpret_cast<F>(p);
}

// Makes an interposed container operation fail on its n-th call (counted
// from arming; 0: never) or return something else.
struct Knob {
    long calls = 0;
    long fail_at = 0;
    int delta = 0; // added to a count the operation reports
    bool fire() // fail_at -1: every call
    {
        ++calls;
        return fail_at < 0 || (fail_at != 0 && calls == fail_at);
    }
};

// Arms a knob for one scope.
struct Arm {
    Knob &k;
    Arm(Knob &knob, long fail_at, int delta = 0) : k(knob) { k = Knob{0, fail_at, delta}; }
    ~Arm() { k = Knob{}; }
};


// --- checks shared by the three codecs ---------------------------------

// Encoding e gives want, through a memory stream with either code and
// through small output windows; decoding want gives back e, whole, byte by
// byte, split at every offset (small inputs) and in random pieces.
template <class T> void check_wire(const Entries &e, const Bytes &want, bool every_split = true)
{
    Box<T> in(e);
    Bytes got;
    for (int op : {AXDR_ENCODE, AXDR_ENCODE_ALT}) {
        ASSERT_EQ(qt::encode_mem<typename T::C>(T::filter, in.get(), got, want.size() + 64, op), AXDR_TRUE);
        ASSERT_EQ(qt::to_hex(got), qt::to_hex(want)) << "op " << op;
    }
    for (size_t w : {1, 2, 3, 7}) {
        ASSERT_EQ(qt::encode_windowed<typename T::C>(T::filter, in.get(), w, got), AXDR_TRUE);
        ASSERT_EQ(got, want) << "window " << w;
    }
    for (int op : {AXDR_DECODE, AXDR_DECODE_ALT}) {
        Box<T> out;
        size_t used = 0;
        ASSERT_EQ(qt::decode_mem<typename T::C>(T::filter, out.get(), want, &used, op), AXDR_TRUE);
        EXPECT_EQ(used, want.size());
        ASSERT_EQ(out.contents(), e) << "op " << op;
    }
    std::vector<std::vector<size_t>> feeds{qt::bytewise(want.size()),
                                           qt::random_pieces(want.size(), 1),
                                           qt::random_pieces(want.size(), 2, 5)};
    if (every_split)
        for (size_t k = 1; k < want.size(); ++k)
            feeds.push_back(qt::split_at(k));
    for (const auto &pieces : feeds) {
        Box<T> out;
        size_t used = 0;
        ASSERT_EQ(qt::decode_pieces<typename T::C>(T::filter, out.get(), want, pieces, &used), AXDR_TRUE);
        EXPECT_EQ(used, want.size());
        ASSERT_EQ(out.contents(), e) << pieces.size() << " pieces";
    }
}

// Events of kind that a clean encode of obj, or decode of buf into a fresh
// container, makes.
template <class T> unsigned long events(typename T::C *obj, int op, Bytes buf, int kind)
{
    Box<T> fresh;
    qt::Stream s(axdr_mem_create(buf.data(), buf.size(), op));
    EXPECT_EQ(T::filter(s.get(), op == AXDR_DECODE ? fresh.get() : obj), AXDR_TRUE);
    return axdr_fault_count(s.get(), kind);
}

// A pending status at the n-th primitive, setup or byte, for every n: the
// caller calls again and the result is the same as without it, with no
// byte sent or read twice and nothing inserted twice (a multi-valued
// container would show a repeated value). FALSE there instead leaves a
// prefix of the insertions, and a prefix of the bytes, and leaks nothing.
template <class T> void check_faults(const Entries &e)
{
    Box<T> in(e);
    const Bytes want = wire<T>(e);
    for (int kind : {AXDR_FAULT_PRIMITIVE, AXDR_FAULT_SETUP, AXDR_FAULT_BYTE}) {
        const unsigned long enc = events<T>(in.get(), AXDR_ENCODE, Bytes(want.size()), kind);
        const unsigned long dec = events<T>(in.get(), AXDR_DECODE, want, kind);
        ASSERT_GT(enc, 0u);
        for (int res : {AXDR_PENDING, AXDR_FALSE}) {
            for (unsigned long n = 1; n <= enc; ++n) {
                SCOPED_TRACE("encode, kind " + std::to_string(kind) + " n " + std::to_string(n) +
                             " result " + std::to_string(res));
                Bytes buf(want.size(), 0xee);
                qt::Stream s(axdr_mem_create(buf.data(), buf.size(), AXDR_ENCODE));
                axdr_fault_at(s.get(), kind, n, res);
                int calls = 0;
                const int r = qt::until_done<typename T::C>(T::filter, s.get(), in.get(), &calls);
                const size_t pos = static_cast<size_t>(axdr_getpos(s.get()));
                if (res == AXDR_PENDING) {
                    ASSERT_EQ(r, AXDR_TRUE);
                    ASSERT_EQ(calls, 2);
                    ASSERT_EQ(pos, want.size());
                    ASSERT_EQ(buf, want);
                } else {
                    ASSERT_EQ(r, AXDR_FALSE);
                    ASSERT_LT(pos, want.size());
                    ASSERT_TRUE(std::equal(buf.begin(), buf.begin() + static_cast<long>(pos), want.begin()));
                }
                ASSERT_EQ(axdr_saved_frames(s.get()), 0u);
            }
            for (unsigned long n = 1; n <= dec; ++n) {
                SCOPED_TRACE("decode, kind " + std::to_string(kind) + " n " + std::to_string(n) +
                             " result " + std::to_string(res));
                Bytes buf = want;
                Box<T> out;
                qt::Stream s(axdr_mem_create(buf.data(), buf.size(), AXDR_DECODE));
                axdr_fault_at(s.get(), kind, n, res);
                int calls = 0;
                const int r = qt::until_done<typename T::C>(T::filter, s.get(), out.get(), &calls);
                if (res == AXDR_PENDING) {
                    ASSERT_EQ(r, AXDR_TRUE);
                    ASSERT_EQ(calls, 2);
                    ASSERT_EQ(axdr_getpos(s.get()), want.size());
                    ASSERT_EQ(out.contents(), e);
                } else {
                    ASSERT_EQ(r, AXDR_FALSE);
                    ASSERT_TRUE(is_prefix(out.contents(), e));
                }
                ASSERT_EQ(axdr_saved_frames(s.get()), 0u);
            }
        }
    }
}

// Input that ends after every prefix of the wire: the decode pends, then
// fails once the end is marked, keeping a prefix of the insertions and
// releasing whatever string it held (LeakSanitizer checks).
template <class T> void check_truncated(const Entries &e)
{
    const Bytes want = wire<T>(e);
    for (size_t k = 0; k < want.size(); ++k) {
        SCOPED_TRACE(k);
        Box<T> out;
        qt::Stream s(axdr_incr_create(AXDR_DECODE, 0));
        ASSERT_EQ(axdr_feed(s.get(), want.data(), k), 0);
        ASSERT_EQ(T::filter(s.get(), out.get()), AXDR_PENDING);
        axdr_feed_end(s.get());
        ASSERT_EQ(T::filter(s.get(), out.get()), AXDR_FALSE);
        ASSERT_EQ(axdr_saved_frames(s.get()), 0u);
        ASSERT_TRUE(is_prefix(out.contents(), e));
    }
}

// The print calls of a container, and a pending status or FALSE at each of
// them: the status comes back at once, and the next print starts over from
// the first key.
template <class T> void check_print(const Entries &e, const std::string &want_calls)
{
    Box<T> in(e);
    qt::Stream s(axdr_print_create(nullptr));
    axdr_trace_enable(s.get(), 1);
    ASSERT_EQ(T::filter(s.get(), in.get()), AXDR_TRUE);
    const std::string calls = calls_of(axdr_trace(s.get()));
    ASSERT_EQ(calls, want_calls);
    const unsigned long n_calls = axdr_fault_count(s.get(), AXDR_FAULT_PRINT);
    for (int res : {AXDR_PENDING, AXDR_FALSE}) {
        for (unsigned long n = 1; n <= n_calls; ++n) {
            SCOPED_TRACE("print call " + std::to_string(n) + " result " + std::to_string(res));
            qt::Stream p(axdr_print_create(nullptr));
            axdr_trace_enable(p.get(), 1);
            axdr_fault_at(p.get(), AXDR_FAULT_PRINT, n, res);
            ASSERT_EQ(T::filter(p.get(), in.get()), res);
            std::string first = calls_of(axdr_trace(p.get()));
            // Everything up to the failing call, which is the last.
            const std::string failed = res == AXDR_PENDING ? "pending|" : "0|";
            ASSERT_EQ(first.substr(0, first.size() - failed.size()),
                      calls.substr(0, first.size() - failed.size()));
            ASSERT_EQ(first.substr(first.size() - failed.size()), failed);
            ASSERT_EQ(std::count(first.begin(), first.end(), '|'), static_cast<long>(n));
            axdr_trace_clear(p.get());
            ASSERT_EQ(T::filter(p.get(), in.get()), AXDR_TRUE);
            ASSERT_EQ(calls_of(axdr_trace(p.get())), calls);
        }
    }
}

} // namespace ct

#endif
