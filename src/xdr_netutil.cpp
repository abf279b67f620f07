// Address filters: IPv4, IPv6 and MAC addresses as fixed runs of XDR
// unsigned integers; the network utility library's addresses and pairs in
// IPv6 form on top of them.
#include <arpa/inet.h>
#include <cstdio>
#include <cstring>

#include <quillet/quillet.h>

#include "straight.h"

namespace {

// An IP address word travels in network order on every host: on the
// big-endian target these are no-ops.
inline uint32_t word_to_wire(uint32_t w) { return ntohl(w); }
inline uint32_t word_from_wire(uint32_t v) { return htonl(v); }

// Word i of an IPv6 address as the primitive takes it, and back.
// Word-wise through memcpy: in6_addr's word view is not portable.
inline uint32_t in6_word(const unsigned char *octets, int i)
{
    uint32_t w;
    std::memcpy(&w, octets + 4 * i, 4);
    return word_to_wire(w);
}
inline void set_in6_word(unsigned char *octets, int i, uint32_t v)
{
    const uint32_t w = word_from_wire(v);
    std::memcpy(octets + 4 * i, &w, 4);
}

// A MAC octet as the primitive takes it, and back: a value above 255 keeps
// its low 8 bits.
inline unsigned int mac_word(const uint8_t *octet, int i) { return octet[i]; }
inline void set_mac_word(uint8_t *octet, int i, unsigned int v) { octet[i] = static_cast<uint8_t>(v & 0xffu); }

#if !QUILLET_CONTRACT
// N words between the elements (load, store) and the window at p, the way
// the stream was made for; p holds them all.
template <int N, typename Load, typename Store>
inline void words_straight(axdr_stream_t *s, unsigned char *p, Load load, Store store)
{
    if (s->x_mode == AXDR_DECODE) {
        for (int i = 0; i < N; i++)
            store(i, axdr_load32_(p + 4 * i));
    } else {
        for (int i = 0; i < N; i++)
            axdr_store32_(p + 4 * i, load(i));
    }
}

// An address in IPv6 form moved straight through, as axdr_in6_addr moves
// it, when its 16 bytes are in the window; NULL otherwise. nskip counts
// the frames of the filters it stands for.
[[gnu::noinline]] unsigned char *in6_straight(axdr_stream_t *s, unsigned char *octets, unsigned nskip)
{
    unsigned char *p = axdr_take_unit_(s, 16, 4, nskip);
    if (p)
        words_straight<4>(
            s, p, [octets](int i) { return in6_word(octets, i); },
            [octets](int i, uint32_t v) { set_in6_word(octets, i, v); });
    return p;
}
#endif

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
    int r = axdr_uint32_t_fast(s, &copy);
    if (r == AXDR_TRUE)
        a->s_addr = word_from_wire(copy);
    return r;
}

int axdr_in6_addr(axdr_stream_t *s, struct in6_addr *a)
{
    unsigned char *octets = a->s6_addr;
#if !QUILLET_CONTRACT
    if (in6_straight(s, octets, 1))
        return AXDR_TRUE;
#endif
    return element_loop<uint32_t, 4, axdr_uint32_t_fast>(
        s, reinterpret_cast<axdr_self_t>(&axdr_in6_addr),
        [octets](int i) { return in6_word(octets, i); },
        [octets](int i, uint32_t v) { set_in6_word(octets, i, v); });
}

int axdr_nu_macaddr_t(axdr_stream_t *s, nu_macaddr_t *mac)
{
    uint8_t *octet = mac->octet;
    auto load = [octet](int i) { return mac_word(octet, i); };
    auto store = [octet](int i, unsigned int v) { set_mac_word(octet, i, v); };
#if !QUILLET_CONTRACT
    if (unsigned char *p = axdr_take_unit_(s, 24, 6, 1)) {
        words_straight<6>(s, p, load, store);
        return AXDR_TRUE;
    }
#endif
    return element_loop<unsigned int, 6, axdr_u_int_fast>(
        s, reinterpret_cast<axdr_self_t>(&axdr_nu_macaddr_t), load, store);
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

// The conversions, for the steps and the straight paths alike.
bool address_out(const nu_ipaddr_t *a, struct in6_addr *wire) { return nu_ipaddr_to_in6addr(a, wire) == 0; }
int address_in(const struct in6_addr *wire, nu_ipaddr_t *a)
{
    return nu_ipaddr_from_in6addr(wire, a) == 0 ? AXDR_TRUE : AXDR_FALSE;
}
bool pair_out(const nu_ipcidr_t *c, nu_ipaddr_t *addr, nu_ipaddr_t *mask)
{
    return nu_cidr_get_addr(c, addr) == 0 && nu_cidr_get_mask(c, mask) == 0;
}
int pair_in(const nu_ipaddr_t *addr, const nu_ipaddr_t *mask, nu_ipcidr_t *c)
{
    return nu_cidr_set(addr, mask, c) == 0 ? AXDR_TRUE : AXDR_FALSE;
}

#if !QUILLET_CONTRACT
// An address straight through when its 16 bytes are in the window (room):
// as axdr_nu_ipaddr_t codes it, nskip counting its frame and those of the
// filters it stands for; take_steps when the window is short or the
// address has no IPv6 form.
[[gnu::noinline]] int address_straight(axdr_stream_t *s, nu_ipaddr_t *a, size_t room, unsigned nskip)
{
    struct in6_addr wire{}; // read only on encode, where it is filled first
    if (room < 16)
        return take_steps;
    if (s->x_mode == AXDR_ENCODE) {
        if (!address_out(a, &wire))
            return take_steps;
        in6_straight(s, wire.s6_addr, nskip);
        return AXDR_TRUE;
    }
    in6_straight(s, wire.s6_addr, nskip);
    return address_in(&wire, a);
}
#endif

} // namespace

extern "C" int axdr_nu_ipaddr_t(axdr_stream_t *s, nu_ipaddr_t *a)
{
    if (s->x_op == AXDR_PRINT) { // one text, no frame
        char text[NU_IPADDR_STRSIZE];
        if (nu_ipaddr_to_str(a, text, sizeof text) != 0)
            return AXDR_FALSE;
        return s->x_ops->x_print_value(s, text);
    }
#if !QUILLET_CONTRACT
    const int straight = address_straight(s, a, axdr_room_(s), 2);
    if (straight != take_steps)
        return straight;
#endif
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
        if (encoding(s) && !address_out(a, wire)) {
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
            r = address_in(wire, a);
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
    struct scratch {
        nu_ipaddr_t addr;
        nu_ipaddr_t mask;
    } local{};
#if !QUILLET_CONTRACT
    // Both halves in the window: each as axdr_nu_ipaddr_t codes it, the
    // first standing for this frame too. A pair that would fail on encode
    // takes the steps, which fail before sending anything.
    if (const size_t room = axdr_room_(s); room >= 32) {
        if (s->x_mode == AXDR_ENCODE) {
            struct in6_addr wa, wm;
            if (pair_out(c, &local.addr, &local.mask) && address_out(&local.addr, &wa) &&
                address_out(&local.mask, &wm)) {
                in6_straight(s, wa.s6_addr, 3);
                in6_straight(s, wm.s6_addr, 2);
                return AXDR_TRUE;
            }
        } else {
            int r = address_straight(s, &local.addr, room, 3);
            if (r == AXDR_TRUE)
                r = address_straight(s, &local.mask, room - 16, 2);
            return r == AXDR_TRUE ? pair_in(&local.addr, &local.mask, c) : r;
        }
    }
#endif
    const auto self = reinterpret_cast<axdr_self_t>(&axdr_nu_ipcidr_t);
    void *sp = &local;
    int state = 0;
    axdr_frame_t frame;
    int r = axdr_async_setup(s, self, &frame, &state, sizeof local, &sp);
    if (r != AXDR_TRUE)
        return r;
    auto *sc = static_cast<scratch *>(sp);
    switch (state) {
    case 0: // taking both halves from the object
        if (encoding(s) && !pair_out(c, &sc->addr, &sc->mask)) {
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
            r = pair_in(&sc->addr, &sc->mask, c);
        break;
    default: // a state this filter never stores
        r = AXDR_FALSE;
    }
    axdr_async_teardown(s, self, state, frame, r);
    return r;
}
