// The ten types behind one filter, so that tables and fuzzers can run every
// type through the same checks: a tagged value, its equality (containers
// are walked with their cursors), and an independent reading of the wire
// that says what a decode of given bytes must give.
#ifndef QUILLET_TESTS_VALUES_H
#define QUILLET_TESTS_VALUES_H

#include <cstring>
#include <set>
#include <string>

#include "support.h"

namespace qv {

enum Type {
    IN_ADDR,
    IN6_ADDR,
    MACADDR,
    IPADDR,
    IPCIDR,
    RLIM,
    RLIMIT,
    MAP,
    ARRAYMAP,
    MULTIMAP,
    TYPE_COUNT
};

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
    ~Value() { release(); }
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

inline int Value::release()
{
    int r = qt::free_obj<Value>(code, this);
    if (is_container(type))
        std::memset(&u, 0, sizeof u);
    return r;
}

namespace detail {

inline bool same_str(const char *a, const char *b)
{
    return (a == nullptr) == (b == nullptr) && (!a || std::strcmp(a, b) == 0);
}

// Walks two containers of one kind key by key and value by value.
template <class C, class KC, class VC, const char *(*KeyFirst)(const C *, KC *),
          const char *(*KeyNext)(KC *), const char *(*ValFirst)(const C *, const char *, VC *),
          const char *(*ValNext)(VC *)>
bool same_multi(const C *a, const C *b)
{
    KC ka, kb;
    const char *x = KeyFirst(a, &ka), *y = KeyFirst(b, &kb);
    for (; x && y; x = KeyNext(&ka), y = KeyNext(&kb)) {
        if (std::strcmp(x, y) != 0)
            return false;
        VC va, vb;
        const char *v = ValFirst(a, x, &va), *w = ValFirst(b, y, &vb);
        for (; v && w; v = ValNext(&va), w = ValNext(&vb))
            if (std::strcmp(v, w) != 0)
                return false;
        if (v || w)
            return false;
    }
    return !x && !y;
}

inline bool same_map(const map_t *a, const map_t *b)
{
    map_cursor_t ca, cb;
    const char *x = map_first(a, &ca), *y = map_first(b, &cb);
    for (; x && y; x = map_next(&ca), y = map_next(&cb))
        if (std::strcmp(x, y) != 0 || !same_str(map_value(&ca), map_value(&cb)))
            return false;
    return !x && !y;
}

} // namespace detail

// Same contents: the fields of a record, or the same keys and values in the
// same cursor order.
inline bool equal(const Value &a, const Value &b)
{
    if (a.type != b.type)
        return false;
    switch (a.type) {
    case IN_ADDR: return a.u.a4.s_addr == b.u.a4.s_addr;
    case IN6_ADDR: return std::memcmp(&a.u.a6, &b.u.a6, sizeof a.u.a6) == 0;
    case MACADDR: return std::memcmp(&a.u.mac, &b.u.mac, sizeof a.u.mac) == 0;
    case IPADDR:
        return a.u.ip.family == b.u.ip.family &&
               std::memcmp(a.u.ip.octet, b.u.ip.octet, sizeof a.u.ip.octet) == 0;
    case IPCIDR:
        return a.u.cidr.addr.family == b.u.cidr.addr.family &&
               std::memcmp(a.u.cidr.addr.octet, b.u.cidr.addr.octet, 16) == 0 &&
               a.u.cidr.prefix == b.u.cidr.prefix;
    case RLIM: return a.u.lim == b.u.lim;
    case RLIMIT:
        return a.u.lims.rlim_cur == b.u.lims.rlim_cur && a.u.lims.rlim_max == b.u.lims.rlim_max;
    case MAP: return detail::same_map(&a.u.map, &b.u.map);
    case ARRAYMAP:
        return detail::same_multi<arraymap_t, arraymap_key_cursor_t, arraymap_value_cursor_t,
                                  arraymap_key_first, arraymap_key_next, arraymap_value_first,
                                  arraymap_value_next>(&a.u.amap, &b.u.amap);
    case MULTIMAP:
        return detail::same_multi<multimap_t, multimap_key_cursor_t, multimap_value_cursor_t,
                                  multimap_key_first, multimap_key_next, multimap_value_first,
                                  multimap_value_next>(&a.u.mmap, &b.u.mmap);
    default: return false;
    }
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

class WireReader {
public:
    WireReader(const uint8_t *p, size_t n, size_t budget) : p_(p), n_(n), budget_(budget) {}

    bool u32(uint32_t *v)
    {
        if (n_ - off_ < 4)
            return false;
        *v = uint32_t{p_[off_]} << 24 | uint32_t{p_[off_ + 1]} << 16 |
             uint32_t{p_[off_ + 2]} << 8 | p_[off_ + 3];
        off_ += 4;
        return true;
    }
    bool i32(int32_t *v)
    {
        uint32_t u;
        if (!u32(&u))
            return false;
        std::memcpy(v, &u, sizeof u);
        return true;
    }
    // An XDR string as the runtime accepts it: no NUL inside, zero padding.
    bool str(std::string *out)
    {
        uint32_t len;
        if (!u32(&len) || (budget_ && len > budget_))
            return false;
        size_t pad = (4 - (len & 3)) & 3;
        if (n_ - off_ < size_t{len} + pad)
            return false;
        const uint8_t *d = p_ + off_;
        if (std::memchr(d, 0, len))
            return false;
        for (size_t i = 0; i < pad; ++i)
            if (d[len + i])
                return false;
        out->assign(reinterpret_cast<const char *>(d), len);
        off_ += len + pad;
        return true;
    }
    size_t used() const { return off_; }

private:
    const uint8_t *p_;
    size_t n_;
    size_t off_ = 0;
    size_t budget_;
};

inline Expect expect(Type t, const uint8_t *p, size_t n, size_t budget = 0)
{
    Expect e;
    WireReader w(p, n, budget);
    auto fixed = [&](size_t words) {
        uint32_t v;
        e.canonical = true;
        for (size_t i = 0; i < words; ++i) {
            if (!w.u32(&v))
                return;
            if (t == MACADDR && v > 255)
                e.canonical = false; // kept as its low 8 bits
        }
        e.result = t == IPCIDR ? -1 : AXDR_TRUE;
        e.used = w.used();
    };
    switch (t) {
    case IN_ADDR: fixed(1); break;
    case IN6_ADDR: fixed(4); break;
    case MACADDR: fixed(6); break;
    case IPADDR: fixed(4); break;
    case IPCIDR: fixed(8); break;
    case RLIM: fixed(2); break;
    case RLIMIT: fixed(4); break;
    case MAP: {
        int32_t count;
        if (!w.i32(&count) || count < 0)
            break;
        std::set<std::string> keys;
        bool dup = false;
        for (int32_t i = 0; i < count; ++i) {
            std::string k, v;
            if (!w.str(&k) || !w.str(&v))
                return e;
            dup = dup || !keys.insert(k).second;
            if (dup)
                return e; // the map refuses a key it holds
        }
        e.result = AXDR_TRUE;
        e.used = w.used();
        e.canonical = true; // keys iterate in the order they arrived
        break;
    }
    case ARRAYMAP:
    case MULTIMAP: {
        int32_t count;
        if (!w.i32(&count) || count < 0)
            break;
        std::set<std::string> keys;
        bool canonical = true;
        for (int32_t i = 0; i < count; ++i) {
            std::string k, v;
            int32_t nv;
            if (!w.str(&k) || !w.i32(&nv) || nv < 0)
                return e;
            // A repeated key merges into the first, one without values is
            // dropped: both re-encode differently.
            canonical = canonical && keys.insert(k).second && nv > 0;
            for (int32_t j = 0; j < nv; ++j)
                if (!w.str(&v))
                    return e;
        }
        e.result = AXDR_TRUE;
        e.used = w.used();
        e.canonical = canonical;
        break;
    }
    default: break;
    }
    return e;
}

} // namespace qv

#endif
