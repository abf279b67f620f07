// The ten types behind one filter, so that tables and fuzzers can run every
// type through the same checks: a tagged value, its equality, and an
// independent reading of the wire that says what a decode must give.
#ifndef QUILLET_TESTS_VALUES_H
#define QUILLET_TESTS_VALUES_H

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <set>
#include <string>

#include "support.h"

namespace qv {

enum Type { IN_ADDR, IN6_ADDR, MACADDR, IPADDR, IPCIDR, RLIM, RLIMIT, MAP, ARRAYMAP, MULTIMAP, TYPE_COUNT };

inline const char *type_name(Type t)
{
    static const char *const names[] = {"in_addr",  "in6_addr", "nu_macaddr_t", "nu_ipaddr_t",
                                        "nu_ipcidr_t", "rlim_t", "rlimit",       "map_t",
                                        "arraymap_t",  "multimap_t"};
    return t < TYPE_COUNT ? names[t] : "?";
}

inline bool is_container(Type t) { return t == MAP || t == ARRAYMAP || t == MULTIMAP; }

// One object of any of the types. It starts zeroed, which every filter
// accepts as a decode target and every container as empty; the destructor
// frees what a decode left, through the filter's AXDR_FREE.
struct Value {
    Type type;
    union {
        in_addr a4;
        in6_addr a6;
        nu_macaddr_t mac;
        nu_ipaddr_t ip;
        nu_ipcidr_t cidr;
        rlim_t lim;
        struct rlimit lims;
        map_t map;
        arraymap_t amap;
        multimap_t mmap;
    } u;

    explicit Value(Type t) : type(t) { std::memset(&u, 0, sizeof u); }
    Value(const Value &) = delete;
    Value &operator=(const Value &) = delete;
    ~Value();
    int release();
};

inline int code(axdr_stream_t *s, Value *v)
{
    switch (v->type) {
    case IN_ADDR: return axdr_in_addr(s, &v->u.a4);
    case IN6_ADDR: return axdr_in6_addr(s, &v->u.a6);
    case MACADDR: return axdr_nu_macaddr_t(s, &v->u.mac);
    case IPADDR: return axdr_nu_ipaddr_t(s, &v->u.ip);
    case IPCIDR: return axdr_nu_ipcidr_t(s, &v->u.cidr);
    case RLIM: return axdr_rlim_t(s, &v->u.lim);
    case RLIMIT: return axdr_rlimit(s, &v->u.lims);
    case MAP: return axdr_map_t(s, &v->u.map);
    case ARRAYMAP: return axdr_arraymap_t(s, &v->u.amap);
    case MULTIMAP: return axdr_multimap_t(s, &v->u.mmap);
    default: return AXDR_FALSE;
    }
}

// Through axdr_free, as a caller releases a value without a stream.
inline Value::~Value() { axdr_free([](axdr_stream_t *s, void *v) { return code(s, static_cast<Value *>(v)); }, this); }

inline int Value::release()
{
    qt::Stream s(axdr_mem_create(nullptr, 0, AXDR_FREE));
    int r = code(s.get(), this);
    if (is_container(type))
        std::memset(&u, 0, sizeof u);
    return r;
}

// Same contents: the same printed text (records field by field, containers
// key by key and value by value in cursor order).
inline bool equal(const Value &a, const Value &b)
{
    int ra = AXDR_FALSE, rb = AXDR_FALSE;
    return a.type == b.type && qt::print<Value>(code, const_cast<Value *>(&a), &ra) ==
                                   qt::print<Value>(code, const_cast<Value *>(&b), &rb) && ra == rb;
}

// What a decode of some bytes must give, read from the wire without the
// runtime: `result` is AXDR_TRUE or AXDR_FALSE, or -1 where only the
// library can tell (a pair whose mask it refuses); `used` is what a TRUE
// decode consumes; `canonical` says the bytes are exactly what our encoder
// writes for the decoded value.
struct Expect {
    int result = AXDR_FALSE;
    size_t used = 0;
    bool canonical = false;
};

inline Expect expect(Type t, const uint8_t *p, size_t n, size_t budget = 0)
{
    Expect e;
    size_t off = 0;
    auto u32 = [&](uint32_t *v) {
        if (n - off < 4)
            return false;
        *v = uint32_t{p[off]} << 24 | uint32_t{p[off + 1]} << 16 | uint32_t{p[off + 2]} << 8 | p[off + 3];
        off += 4;
        return true;
    };
    // A count as a decoder takes it: a non-negative int.
    auto count = [&](uint32_t *v) { return u32(v) && *v <= INT32_MAX; };
    // An XDR string as the runtime accepts it: no NUL inside, zero padding.
    auto str = [&](std::string *out) {
        uint32_t len;
        if (!u32(&len) || (budget && len > budget))
            return false;
        size_t pad = (4 - (len & 3)) & 3;
        if (n - off < size_t{len} + pad || std::memchr(p + off, 0, len) ||
            std::count(p + off + len, p + off + len + pad, 0) != long(pad))
            return false;
        out->assign(reinterpret_cast<const char *>(p + off), len);
        off += len + pad;
        return true;
    };
    static const size_t words[] = {1, 4, 6, 4, 8, 2, 4};
    uint32_t keys, values, v;
    std::string k, x;
    std::set<std::string> seen;
    e.canonical = true;
    if (!is_container(t)) {
        for (size_t i = 0; i < words[t]; ++i) {
            if (!u32(&v))
                return e;
            e.canonical = e.canonical && (t != MACADDR || v <= 255); // low 8 bits kept
        }
        e.result = t == IPCIDR ? -1 : AXDR_TRUE;
    } else {
        if (!count(&keys))
            return e;
        for (uint32_t i = 0; i < keys; ++i) {
            if (!str(&k) || (t == MAP ? !str(&x) : !count(&values)))
                return e;
            if (t == MAP && !seen.insert(k).second)
                return e; // the map refuses a key it holds
            // A repeated key merges into the first, one without values is
            // dropped: both re-encode differently.
            if (t != MAP)
                e.canonical = e.canonical && seen.insert(k).second && values > 0;
            for (uint32_t j = 0; t != MAP && j < values; ++j)
                if (!str(&x))
                    return e;
        }
        // Under a budget a longer container may fill what it allows: only
        // the library can tell.
        e.result = budget && off > 512 ? -1 : AXDR_TRUE;
    }
    e.used = off;
    return e;
}

} // namespace qv

#endif
