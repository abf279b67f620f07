#include "type_table.h"

#include "text_form.h"

#include <arpa/inet.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace tool {
namespace {

template <class T, int (*F)(axdr_stream_t *, T *)> int as_filter(axdr_stream_t *s, void *obj)
{
    return F(s, static_cast<T *>(obj));
}

const Type types[] = {
    {"map_t", "key=value lines; each key once", Kind::map, as_filter<map_t, axdr_map_t>},
    {"arraymap_t", "key=value lines; a repeated key adds a value", Kind::arraymap,
     as_filter<arraymap_t, axdr_arraymap_t>},
    {"multimap_t", "key=value lines; a repeated key adds a value", Kind::multimap,
     as_filter<multimap_t, axdr_multimap_t>},
    {"in_addr", "an IPv4 address: 192.0.2.1", Kind::in4, as_filter<struct in_addr, axdr_in_addr>},
    {"in6_addr", "an IPv6 address: 2001:db8::1", Kind::in6,
     as_filter<struct in6_addr, axdr_in6_addr>},
    {"nu_macaddr_t", "a MAC address: 02:00:5e:10:00:01", Kind::mac,
     as_filter<nu_macaddr_t, axdr_nu_macaddr_t>},
    {"nu_ipaddr_t", "an IPv4 or IPv6 address", Kind::ip, as_filter<nu_ipaddr_t, axdr_nu_ipaddr_t>},
    {"nu_ipcidr_t", "address/prefix: 192.0.2.0/24, 2001:db8::/32", Kind::cidr,
     as_filter<nu_ipcidr_t, axdr_nu_ipcidr_t>},
    {"rlimit", "soft and hard limit: 1024 4096, 0 infinity", Kind::rlimit,
     as_filter<struct rlimit, axdr_rlimit>},
    {"rlim_t", "one limit: 1024, infinity", Kind::limit, as_filter<rlim_t, axdr_rlim_t>},
};

const char limit_form[] = "a number (0 to 18446744073709551615) or \"infinity\"";

} // namespace

const Type *types_begin() { return types; }
const Type *types_end() { return types + sizeof types / sizeof types[0]; }

const Type *find_type(const char *name)
{
    for (const Type &t : types)
        if (std::strcmp(t.name, name) == 0)
            return &t;
    return nullptr;
}

int container_init(const Type &t, Object *o)
{
    switch (t.kind) {
    case Kind::map:
        return map_init(&o->map);
    case Kind::arraymap:
        return arraymap_init(&o->arraymap);
    default:
        return multimap_init(&o->multimap);
    }
}

int container_insert(const Type &t, Object *o, const char *key, const char *value)
{
    switch (t.kind) {
    case Kind::map:
        if (map_get(&o->map, key))
            return 1;
        return map_insert_str(&o->map, key, value) == 0 ? 0 : -1;
    case Kind::arraymap:
        return arraymap_insert_str(&o->arraymap, key, value) == 0 ? 0 : -1;
    default:
        return multimap_insert_str(&o->multimap, key, value) == 0 ? 0 : -1;
    }
}

PairWalk::PairWalk(const Type &t, const Object &o) : kind_(t.kind), o_(o)
{
    int n = 0;
    switch (kind_) {
    case Kind::map:
        map_key_count(&o.map, &n);
        break;
    case Kind::arraymap:
        arraymap_key_count(&o.arraymap, &n);
        break;
    default:
        multimap_key_count(&o.multimap, &n);
        break;
    }
    empty_ = n == 0;
}

const char *PairWalk::next_key()
{
    bool first = !started_;
    started_ = true;
    first_value_ = true;
    switch (kind_) {
    case Kind::map:
        key_ = first ? map_first(&o_.map, &mc_) : map_next(&mc_);
        break;
    case Kind::arraymap:
        key_ = first ? arraymap_key_first(&o_.arraymap, &akc_) : arraymap_key_next(&akc_);
        break;
    default:
        key_ = first ? multimap_key_first(&o_.multimap, &mkc_) : multimap_key_next(&mkc_);
        break;
    }
    return key_;
}

const char *PairWalk::next_value()
{
    bool first = first_value_;
    first_value_ = false;
    switch (kind_) {
    case Kind::map:
        return first ? map_value(&mc_) : nullptr;
    case Kind::arraymap:
        return first ? arraymap_value_first(&o_.arraymap, key_, &avc_)
                     : arraymap_value_next(&avc_);
    default:
        return first ? multimap_value_first(&o_.multimap, key_, &mvc_)
                     : multimap_value_next(&mvc_);
    }
}

// Digits only: no sign, no blanks, no base prefix.
bool parse_limit(const std::string &text, rlim_t *out)
{
    if (text == "infinity") {
        *out = RLIM_INFINITY;
        return true;
    }
    if (text.empty())
        return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        unsigned d = static_cast<unsigned>(c - '0');
        if (v > (UINT64_MAX - d) / 10)
            return false;
        v = v * 10 + d;
    }
    *out = static_cast<rlim_t>(v);
    return true;
}

std::string limit_text(rlim_t v)
{
    return v == RLIM_INFINITY ? "infinity" : std::to_string(static_cast<uint64_t>(v));
}

bool scalar_parse(const Type &t, const std::string &text, Object *o, std::string *why)
{
    const char *s = text.c_str();
    const char *not_a = nullptr;
    switch (t.kind) {
    case Kind::in4:
        if (inet_pton(AF_INET, s, &o->in4) != 1)
            not_a = "not an IPv4 address";
        break;
    case Kind::in6:
        if (inet_pton(AF_INET6, s, &o->in6) != 1)
            not_a = "not an IPv6 address";
        break;
    case Kind::mac:
        if (nu_macaddr_from_str(s, &o->mac) != 0)
            not_a = "not a MAC address (aa:bb:cc:dd:ee:ff)";
        break;
    case Kind::ip:
        if (nu_ipaddr_from_str(s, &o->ip) != 0)
            not_a = "not an IPv4 or IPv6 address";
        break;
    case Kind::cidr:
        if (nu_cidr_from_str(s, &o->cidr) != 0)
            not_a = "not address/prefix";
        break;
    case Kind::limit:
        if (!parse_limit(text, &o->lim)) {
            *why = std::string("expected ") + limit_form + ", found " + quote(text);
            return false;
        }
        break;
    case Kind::rlimit: {
        size_t gap = text.find_first_of(" \t");
        size_t next = gap == std::string::npos ? gap : text.find_first_not_of(" \t", gap);
        if (gap == 0 || next == std::string::npos ||
            text.find_first_of(" \t", next) != std::string::npos) {
            *why = "expected two limits separated by blanks, found " + quote(text);
            return false;
        }
        std::string cur = text.substr(0, gap), max = text.substr(next);
        if (!parse_limit(cur, &o->rlim.rlim_cur)) {
            *why = std::string("soft limit: expected ") + limit_form + ", found " + quote(cur);
            return false;
        }
        if (!parse_limit(max, &o->rlim.rlim_max)) {
            *why = std::string("hard limit: expected ") + limit_form + ", found " + quote(max);
            return false;
        }
        break;
    }
    default:
        return false;
    }
    if (not_a) {
        *why = std::string(not_a) + ": " + quote(text);
        return false;
    }
    return true;
}

bool scalar_text(const Type &t, const Object &o, std::string *out)
{
    char buf[NU_IPCIDR_STRSIZE + INET6_ADDRSTRLEN];
    bool ok = true;
    switch (t.kind) {
    case Kind::in4:
        ok = inet_ntop(AF_INET, &o.in4, buf, sizeof buf) != nullptr;
        break;
    case Kind::in6:
        ok = inet_ntop(AF_INET6, &o.in6, buf, sizeof buf) != nullptr;
        break;
    case Kind::mac: {
        const uint8_t *m = o.mac.octet;
        std::snprintf(buf, sizeof buf, "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3],
                      m[4], m[5]);
        break;
    }
    case Kind::ip:
        ok = nu_ipaddr_to_str(&o.ip, buf, sizeof buf) == 0;
        break;
    case Kind::cidr:
        ok = nu_cidr_to_str(&o.cidr, buf, sizeof buf) == 0;
        break;
    case Kind::limit:
        *out = limit_text(o.lim);
        return true;
    case Kind::rlimit:
        *out = limit_text(o.rlim.rlim_cur) + " " + limit_text(o.rlim.rlim_max);
        return true;
    default:
        return false;
    }
    if (ok)
        *out = buf;
    return ok;
}

} // namespace tool
