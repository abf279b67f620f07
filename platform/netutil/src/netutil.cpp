// Network address types. Exported functions never call one another: each
// goes through the file-local helpers, so that a program interposing one
// operation does not change what the others do.

#include <netutil.h>

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

constexpr int ok = 0;
constexpr int refused = -1;

// The first twelve octets of an IPv4-mapped IPv6 address.
constexpr uint8_t mapped_head[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

bool is_addr(const nu_ipaddr_t *a)
{
    return a != nullptr && (a->family == AF_INET || a->family == AF_INET6);
}

size_t octets_of(unsigned family) { return family == AF_INET ? 4 : 16; }
unsigned bits_of(unsigned family) { return family == AF_INET ? 32 : 128; }

bool is_mapped(const uint8_t *o) { return std::memcmp(o, mapped_head, sizeof mapped_head) == 0; }

void set_v4(nu_ipaddr_t *dst, const uint8_t *o4)
{
    nu_ipaddr_t a{};
    a.family = AF_INET;
    std::memcpy(a.octet, o4, 4);
    *dst = a;
}

// An IPv6 value, made IPv4 when it is in the mapped form.
void set_v6(nu_ipaddr_t *dst, const uint8_t *o16)
{
    if (is_mapped(o16)) {
        set_v4(dst, o16 + 12);
        return;
    }
    nu_ipaddr_t a{};
    a.family = AF_INET6;
    std::memcpy(a.octet, o16, 16);
    *dst = a;
}

// Copies an address, clearing the octets its family does not use.
nu_ipaddr_t clean_copy(const nu_ipaddr_t *a)
{
    nu_ipaddr_t c{};
    c.family = a->family;
    std::memcpy(c.octet, a->octet, octets_of(a->family));
    return c;
}

bool mask_prefix(const nu_ipaddr_t *m, unsigned *prefix)
{
    unsigned n = 0;
    bool ended = false; // a zero bit has been seen
    for (size_t i = 0; i < octets_of(m->family); ++i) {
        const unsigned o = m->octet[i];
        if (ended) {
            if (o != 0)
                return false;
        } else if (o == 0xff) {
            n += 8;
        } else {
            const unsigned inv = ~o & 0xffu; // 0...01...1 for a prefix octet
            if ((inv & (inv + 1)) != 0)
                return false;
            while (o & (0x80u >> (n % 8)))
                ++n;
            ended = true;
        }
    }
    *prefix = n;
    return true;
}

nu_ipaddr_t make_mask(unsigned family, unsigned prefix)
{
    nu_ipaddr_t m{};
    m.family = static_cast<uint16_t>(family);
    for (unsigned i = 0; i < prefix / 8; ++i)
        m.octet[i] = 0xff;
    if (prefix % 8 != 0)
        m.octet[prefix / 8] = static_cast<uint8_t>(0xff00u >> (prefix % 8));
    return m;
}

bool cidr_ok(const nu_ipcidr_t *c)
{
    return c != nullptr && is_addr(&c->addr) && c->prefix <= bits_of(c->addr.family);
}

// --- text out ---------------------------------------------------------

// Appends decimal v to out; returns the new end.
char *put_dec(char *out, unsigned v)
{
    char digits[10];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    while (n > 0)
        *out++ = digits[--n];
    return out;
}

char *put_hex16(char *out, unsigned v)
{
    static constexpr char hex[] = "0123456789abcdef";
    bool started = false;
    for (int shift = 12; shift >= 0; shift -= 4) {
        const unsigned d = (v >> shift) & 0xf;
        if (d != 0 || started || shift == 0) {
            *out++ = hex[d];
            started = true;
        }
    }
    return out;
}

char *put_v4(char *out, const uint8_t *o)
{
    for (int i = 0; i < 4; ++i) {
        if (i != 0)
            *out++ = '.';
        out = put_dec(out, o[i]);
    }
    return out;
}

char *put_v6(char *out, const uint8_t *o)
{
    if (is_mapped(o)) {
        std::memcpy(out, "::ffff:", 7);
        return put_v4(out + 7, o + 12);
    }
    unsigned g[8];
    for (int i = 0; i < 8; ++i)
        g[i] = static_cast<unsigned>(o[2 * i]) << 8 | o[2 * i + 1];
    // The longest run of two or more zero groups; the first on a tie.
    int best = -1, best_len = 1;
    for (int i = 0; i < 8;) {
        if (g[i] != 0) {
            ++i;
            continue;
        }
        int j = i;
        while (j < 8 && g[j] == 0)
            ++j;
        if (j - i > best_len) {
            best = i;
            best_len = j - i;
        }
        i = j;
    }
    for (int i = 0; i < 8;) {
        if (i == best) {
            *out++ = ':';
            *out++ = ':';
            i += best_len;
            continue;
        }
        if (i != 0 && i != best + best_len)
            *out++ = ':';
        out = put_hex16(out, g[i]);
        ++i;
    }
    return out;
}

char *put_addr(char *out, const nu_ipaddr_t *a)
{
    return a->family == AF_INET ? put_v4(out, a->octet) : put_v6(out, a->octet);
}

// Hands text[0..len) to the caller's buffer only if it fits with its NUL.
int deliver(const char *text, size_t len, char *buf, size_t size)
{
    if (buf == nullptr || len >= size)
        return refused;
    std::memcpy(buf, text, len);
    buf[len] = '\0';
    return ok;
}

// --- text in ----------------------------------------------------------

int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Decimal [p, end) of one to three digits, no leading zero, at most max.
bool parse_small_dec(const char *p, const char *end, unsigned max, unsigned *v)
{
    const ptrdiff_t n = end - p;
    if (n < 1 || n > 3 || (n > 1 && *p == '0'))
        return false;
    unsigned x = 0;
    for (; p != end; ++p) {
        if (!is_digit(*p))
            return false;
        x = x * 10 + static_cast<unsigned>(*p - '0');
    }
    if (x > max)
        return false;
    *v = x;
    return true;
}

bool parse_v4(const char *p, const char *end, uint8_t *out)
{
    uint8_t o[4];
    for (int i = 0; i < 4; ++i) {
        const char *q = p;
        while (q != end && *q != '.')
            ++q;
        if ((i < 3) == (q == end)) // three dots, the last part ends the text
            return false;
        unsigned v;
        if (!parse_small_dec(p, q, 255, &v))
            return false;
        o[i] = static_cast<uint8_t>(v);
        p = q + (i < 3 ? 1 : 0);
    }
    std::memcpy(out, o, 4);
    return true;
}

bool parse_v6(const char *p, const char *end, uint8_t *out)
{
    uint8_t head[16], tail[16];
    size_t nh = 0, nt = 0; // octets before and after "::"
    bool gap = false;
    if (end - p >= 2 && p[0] == ':' && p[1] == ':') {
        gap = true;
        p += 2;
    }
    while (p != end) {
        uint8_t *dst = gap ? tail : head;
        size_t &n = gap ? nt : nh;
        const char *q = p;
        while (q != end && *q != ':' && *q != '.')
            ++q;
        if (q != end && *q == '.') {
            // A dotted quad is the last 32 bits and ends the text.
            if (nh + nt > 12 || !parse_v4(p, end, dst + n))
                return false;
            n += 4;
            break;
        }
        if (q - p < 1 || q - p > 4 || nh + nt >= 16)
            return false;
        unsigned v = 0;
        for (const char *c = p; c != q; ++c) {
            const int d = hex_value(*c);
            if (d < 0)
                return false;
            v = v << 4 | static_cast<unsigned>(d);
        }
        dst[n++] = static_cast<uint8_t>(v >> 8);
        dst[n++] = static_cast<uint8_t>(v);
        if (q == end)
            break;
        p = q + 1; // past ':'
        if (p != end && *p == ':') {
            if (gap)
                return false;
            gap = true;
            ++p;
        } else if (p == end) {
            return false; // a single trailing colon
        }
    }
    // "::" stands for at least one zero group.
    if (gap ? nh + nt > 14 : nh != 16)
        return false;
    uint8_t o[16] = {};
    std::memcpy(o, head, nh);
    std::memcpy(o + 16 - nt, tail, nt);
    std::memcpy(out, o, 16);
    return true;
}

bool parse_addr(const char *p, const char *end, nu_ipaddr_t *dst)
{
    if (std::memchr(p, ':', static_cast<size_t>(end - p)) != nullptr) {
        uint8_t o[16];
        if (!parse_v6(p, end, o))
            return false;
        set_v6(dst, o);
        return true;
    }
    uint8_t o[4];
    if (!parse_v4(p, end, o))
        return false;
    set_v4(dst, o);
    return true;
}

} // namespace

int nu_ipaddr_family(const nu_ipaddr_t *a)
{
    return is_addr(a) ? a->family : AF_UNSPEC;
}

int nu_ipaddr_cmp(const nu_ipaddr_t *a, const nu_ipaddr_t *b)
{
    if (a->family != b->family)
        return a->family < b->family ? -1 : 1;
    return std::memcmp(a->octet, b->octet, octets_of(a->family));
}

int nu_ipaddr_from_inaddr(const struct in_addr *src, nu_ipaddr_t *dst)
{
    if (src == nullptr || dst == nullptr)
        return refused;
    uint8_t o[4];
    std::memcpy(o, &src->s_addr, 4);
    set_v4(dst, o);
    return ok;
}

int nu_ipaddr_to_inaddr(const nu_ipaddr_t *src, struct in_addr *dst)
{
    if (!is_addr(src) || src->family != AF_INET || dst == nullptr)
        return refused;
    std::memcpy(&dst->s_addr, src->octet, 4);
    return ok;
}

int nu_ipaddr_to_in6addr(const nu_ipaddr_t *src, struct in6_addr *dst)
{
    if (!is_addr(src) || dst == nullptr)
        return refused;
    uint8_t o[16];
    if (src->family == AF_INET) {
        std::memcpy(o, mapped_head, 12);
        std::memcpy(o + 12, src->octet, 4);
    } else {
        if (is_mapped(src->octet))
            return refused;
        std::memcpy(o, src->octet, 16);
    }
    std::memcpy(dst->s6_addr, o, 16);
    return ok;
}

int nu_ipaddr_from_in6addr(const struct in6_addr *src, nu_ipaddr_t *dst)
{
    if (src == nullptr || dst == nullptr)
        return refused;
    set_v6(dst, src->s6_addr);
    return ok;
}

int nu_ipaddr_to_str(const nu_ipaddr_t *src, char *buf, size_t size)
{
    if (!is_addr(src))
        return refused;
    char text[NU_IPADDR_STRSIZE];
    const char *end = put_addr(text, src);
    return deliver(text, static_cast<size_t>(end - text), buf, size);
}

int nu_ipaddr_from_str(const char *text, nu_ipaddr_t *dst)
{
    if (text == nullptr || dst == nullptr)
        return refused;
    nu_ipaddr_t a;
    if (!parse_addr(text, text + std::strlen(text), &a))
        return refused;
    *dst = a;
    return ok;
}

int nu_ipaddr_make_mask(int family, unsigned prefix, nu_ipaddr_t *dst)
{
    if ((family != AF_INET && family != AF_INET6) || dst == nullptr ||
        prefix > bits_of(static_cast<unsigned>(family)))
        return refused;
    *dst = make_mask(static_cast<unsigned>(family), prefix);
    return ok;
}

int nu_ipaddr_mask_prefix(const nu_ipaddr_t *mask, unsigned *prefix)
{
    unsigned n;
    if (!is_addr(mask) || prefix == nullptr || !mask_prefix(mask, &n))
        return refused;
    *prefix = n;
    return ok;
}

int nu_cidr_get_addr(const nu_ipcidr_t *src, nu_ipaddr_t *dst)
{
    if (!cidr_ok(src) || dst == nullptr)
        return refused;
    *dst = clean_copy(&src->addr);
    return ok;
}

int nu_cidr_get_mask(const nu_ipcidr_t *src, nu_ipaddr_t *dst)
{
    if (!cidr_ok(src) || dst == nullptr)
        return refused;
    *dst = make_mask(src->addr.family, src->prefix);
    return ok;
}

int nu_cidr_get_prefix(const nu_ipcidr_t *src, unsigned *dst)
{
    if (!cidr_ok(src) || dst == nullptr)
        return refused;
    *dst = src->prefix;
    return ok;
}

int nu_cidr_set(const nu_ipaddr_t *addr, const nu_ipaddr_t *mask, nu_ipcidr_t *dst)
{
    unsigned n;
    if (!is_addr(addr) || !is_addr(mask) || addr->family != mask->family ||
        dst == nullptr || !mask_prefix(mask, &n))
        return refused;
    nu_ipcidr_t c{};
    c.addr = clean_copy(addr);
    c.prefix = static_cast<uint8_t>(n);
    *dst = c;
    return ok;
}

int nu_cidr_set_prefix(const nu_ipaddr_t *addr, unsigned prefix, nu_ipcidr_t *dst)
{
    if (!is_addr(addr) || dst == nullptr || prefix > bits_of(addr->family))
        return refused;
    nu_ipcidr_t c{};
    c.addr = clean_copy(addr);
    c.prefix = static_cast<uint8_t>(prefix);
    *dst = c;
    return ok;
}

int nu_cidr_to_str(const nu_ipcidr_t *src, char *buf, size_t size)
{
    if (!cidr_ok(src))
        return refused;
    char text[NU_IPCIDR_STRSIZE];
    char *end = put_addr(text, &src->addr);
    *end++ = '/';
    end = put_dec(end, src->prefix);
    return deliver(text, static_cast<size_t>(end - text), buf, size);
}

int nu_cidr_from_str(const char *text, nu_ipcidr_t *dst)
{
    if (text == nullptr || dst == nullptr)
        return refused;
    const char *end = text + std::strlen(text);
    const char *slash = static_cast<const char *>(std::memchr(text, '/', static_cast<size_t>(end - text)));
    nu_ipcidr_t c{};
    unsigned prefix;
    if (slash == nullptr || !parse_addr(text, slash, &c.addr) ||
        !parse_small_dec(slash + 1, end, bits_of(c.addr.family), &prefix))
        return refused;
    c.prefix = static_cast<uint8_t>(prefix);
    *dst = c;
    return ok;
}

int nu_macaddr_to_str(const nu_macaddr_t *src, char *buf, size_t size)
{
    static constexpr char hex[] = "0123456789abcdef";
    if (src == nullptr)
        return refused;
    char text[NU_MACADDR_STRSIZE];
    char *p = text;
    for (int i = 0; i < 6; ++i) {
        if (i != 0)
            *p++ = ':';
        *p++ = hex[src->octet[i] >> 4];
        *p++ = hex[src->octet[i] & 0xf];
    }
    return deliver(text, static_cast<size_t>(p - text), buf, size);
}

int nu_macaddr_from_str(const char *text, nu_macaddr_t *dst)
{
    if (text == nullptr || dst == nullptr || std::strlen(text) != 17)
        return refused;
    nu_macaddr_t m;
    for (int i = 0; i < 6; ++i) {
        const char *p = text + 3 * i;
        const int hi = hex_value(p[0]), lo = hex_value(p[1]);
        if (hi < 0 || lo < 0 || (i < 5 && p[2] != ':'))
            return refused;
        m.octet[i] = static_cast<uint8_t>(hi << 4 | lo);
    }
    *dst = m;
    return ok;
}
