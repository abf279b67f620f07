// Address filters: IPv4, IPv6 and MAC addresses as fixed runs of XDR
// unsigned integers; the network utility library's addresses and pairs in
// IPv6 form on top of them.
#include <arpa/inet.h>
#include <cstdio>
#include <cstring>

#include <quillet/quillet.h>

namespace {

// An IP address word travels in network order on every host: on the
// big-endian target these are no-ops.
inline uint32_t word_to_wire(uint32_t w) { return ntohl(w); }
inline uint32_t word_from_wire(uint32_t v) { return htonl(v); }

// The element loop shared by the IPv6 and MAC filters: the resume state is
// the index of the next element; finished elements live in the object.
template <typename Elem, int N, int (*Prim)(axdr_stream_t *, Elem *), typename Load, typename Store>
int element_loop(axdr_stream_t *s, axdr_self_t self, Load load, Store store)
{
    int state = 0;
    axdr_frame_t frame;
    int r = axdr_async_setup(s, self, &frame, &state, 0, nullptr);
    if (r != AXDR_TRUE)
        return r;
    axdr_print_ctx_t pctx = 0;
    r = AXDR_TRUE;
    if (state < 0 || state > N)
        r = AXDR_FALSE; // never stored by this loop
    for (int i = state; r == AXDR_TRUE && i < N; i = state) {
        if (s->x_op == AXDR_PRINT) {
            char name[32];
            std::snprintf(name, sizeof name, "[%u]", static_cast<unsigned>(i));
            r = s->x_ops->x_print_element(s, name, i == 0, &pctx);
            if (r != AXDR_TRUE)
                break;
        }
        Elem copy = load(i);
        r = Prim(s, &copy);
        if (r != AXDR_TRUE)
            break; // state stays i: the element is redone, name included
        state = i + 1;
        store(i, copy);
    }
    axdr_async_teardown(s, self, state, frame, r);
    return r;
}

} // namespace

extern "C" {

int axdr_in_addr(axdr_stream_t *s, struct in_addr *a)
{
    uint32_t copy = word_to_wire(a->s_addr);
    int r = axdr_uint32_t(s, &copy);
    if (r == AXDR_TRUE)
        a->s_addr = word_from_wire(copy);
    return r;
}

int axdr_in6_addr(axdr_stream_t *s, struct in6_addr *a)
{
    // Word-wise through memcpy: in6_addr's word view is not portable.
    unsigned char *octets = a->s6_addr;
    return element_loop<uint32_t, 4, axdr_uint32_t>(
        s, reinterpret_cast<axdr_self_t>(&axdr_in6_addr),
        [octets](int i) {
            uint32_t w;
            std::memcpy(&w, octets + 4 * i, 4);
            return word_to_wire(w);
        },
        [octets](int i, uint32_t v) {
            uint32_t w = word_from_wire(v);
            std::memcpy(octets + 4 * i, &w, 4);
        });
}

int axdr_nu_macaddr_t(axdr_stream_t *s, nu_macaddr_t *mac)
{
    uint8_t *octet = mac->octet;
    return element_loop<unsigned int, 6, axdr_u_int>(
        s, reinterpret_cast<axdr_self_t>(&axdr_nu_macaddr_t),
        [octet](int i) { return static_cast<unsigned int>(octet[i]); },
        // A value above 255 keeps its low 8 bits.
        [octet](int i, unsigned int v) { octet[i] = static_cast<uint8_t>(v & 0xffu); });
}

} // extern "C"

// --- nu_ipaddr_t and nu_ipcidr_t -------------------------------------
// Both travel in IPv6 form through axdr_in6_addr. The converted value lives
// in the scratch area, so a resumed call sends or stores what the first call
// converted; the object is read in state 0 only and written in the last
// state only.

namespace {

bool encoding(const axdr_stream_t *s) { return s->x_op == AXDR_ENCODE || s->x_op == AXDR_ENCODE_ALT; }
bool decoding(const axdr_stream_t *s) { return s->x_op == AXDR_DECODE || s->x_op == AXDR_DECODE_ALT; }

} // namespace

extern "C" int axdr_nu_ipaddr_t(axdr_stream_t *s, nu_ipaddr_t *a)
{
    if (s->x_op == AXDR_PRINT) { // one text, no frame
        char text[NU_IPADDR_STRSIZE];
        if (nu_ipaddr_to_str(a, text, sizeof text) != 0)
            return AXDR_FALSE;
        return s->x_ops->x_print_value(s, text);
    }
    const auto self = reinterpret_cast<axdr_self_t>(&axdr_nu_ipaddr_t);
    struct in6_addr local{}; // the address in its wire form
    void *sp = &local;
    int state = 0;
    axdr_frame_t frame;
    int r = axdr_async_setup(s, self, &frame, &state, sizeof local, &sp);
    if (r != AXDR_TRUE)
        return r;
    auto *wire = static_cast<struct in6_addr *>(sp);
    switch (state) {
    case 0: // taking the address from the object
        if (encoding(s) && nu_ipaddr_to_in6addr(a, wire) != 0) {
            r = AXDR_FALSE;
            break;
        }
        state = 1;
        [[fallthrough]];
    case 1: // the sixteen octets
        r = axdr_in6_addr(s, wire);
        if (r != AXDR_TRUE)
            break;
        state = 2;
        [[fallthrough]];
    case 2: // storing what arrived
        if (decoding(s))
            r = nu_ipaddr_from_in6addr(wire, a) == 0 ? AXDR_TRUE : AXDR_FALSE;
        break;
    default: // a state this filter never stores
        r = AXDR_FALSE;
    }
    axdr_async_teardown(s, self, state, frame, r);
    return r;
}

extern "C" int axdr_nu_ipcidr_t(axdr_stream_t *s, nu_ipcidr_t *c)
{
    if (s->x_op == AXDR_PRINT) { // one text, no frame
        char text[NU_IPCIDR_STRSIZE];
        if (nu_cidr_to_str(c, text, sizeof text) != 0)
            return AXDR_FALSE;
        return s->x_ops->x_print_value(s, text);
    }
    const auto self = reinterpret_cast<axdr_self_t>(&axdr_nu_ipcidr_t);
    struct scratch {
        nu_ipaddr_t addr;
        nu_ipaddr_t mask;
    } local{};
    void *sp = &local;
    int state = 0;
    axdr_frame_t frame;
    int r = axdr_async_setup(s, self, &frame, &state, sizeof local, &sp);
    if (r != AXDR_TRUE)
        return r;
    auto *sc = static_cast<scratch *>(sp);
    switch (state) {
    case 0: // taking both halves from the object
        if (encoding(s) && (nu_cidr_get_addr(c, &sc->addr) != 0 ||
                            nu_cidr_get_mask(c, &sc->mask) != 0)) {
            r = AXDR_FALSE;
            break;
        }
        state = 1;
        [[fallthrough]];
    case 1: // the address
        r = axdr_nu_ipaddr_t(s, &sc->addr);
        if (r != AXDR_TRUE)
            break;
        state = 2;
        [[fallthrough]];
    case 2: // the mask
        r = axdr_nu_ipaddr_t(s, &sc->mask);
        if (r != AXDR_TRUE)
            break;
        state = 3;
        [[fallthrough]];
    case 3: // storing the pair
        if (decoding(s))
            r = nu_cidr_set(&sc->addr, &sc->mask, c) == 0 ? AXDR_TRUE : AXDR_FALSE;
        break;
    default: // a state this filter never stores
        r = AXDR_FALSE;
    }
    axdr_async_teardown(s, self, state, frame, r);
    return r;
}
