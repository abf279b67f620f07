// Generic addresses and address/mask pairs: wire bytes in IPv6 form, the
// family kept across the wire, resumes at every level of a pair, failing
// conversions, free and print.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include "support.h"

using namespace qt;

// --- interposed conversions -------------------------------------------
// The test executable exports these, so the filters call them; each fails
// on demand and otherwise forwards to the library.

namespace {

enum Conv { TO_IN6, FROM_IN6, TO_STR, GET_ADDR, GET_MASK, SET, CIDR_TO_STR, N_CONV };

struct Hooks {
    unsigned failing = 0; // bit per Conv
    int calls[N_CONV] = {};
} hooks;

bool fails(Conv c)
{
    ++hooks.calls[c];
    return (hooks.failing >> c) & 1u;
}

template <class F> F next_of(const char *name)
{
    void *p = dlsym(RTLD_NEXT, name);
    EXPECT_NE(p, nullptr) << name;
    F f;
    static_assert(sizeof f == sizeof p);
    std::memcpy(&f, &p, sizeof f);
    return f;
}

#define FORWARD(name, ...)                                                \
    static const auto next = next_of<decltype(&name)>(#name);             \
    return next(__VA_ARGS__)

} // namespace

extern "C" {

int nu_ipaddr_to_in6addr(const nu_ipaddr_t *src, struct in6_addr *dst)
{
    if (fails(TO_IN6))
        return -1;
    FORWARD(nu_ipaddr_to_in6addr, src, dst);
}

int nu_ipaddr_from_in6addr(const struct in6_addr *src, nu_ipaddr_t *dst)
{
    if (fails(FROM_IN6))
        return -1;
    FORWARD(nu_ipaddr_from_in6addr, src, dst);
}

int nu_ipaddr_to_str(const nu_ipaddr_t *src, char *buf, size_t size)
{
    if (fails(TO_STR))
        return -1;
    FORWARD(nu_ipaddr_to_str, src, buf, size);
}

int nu_cidr_get_addr(const nu_ipcidr_t *src, nu_ipaddr_t *dst)
{
    if (fails(GET_ADDR))
        return -1;
    FORWARD(nu_cidr_get_addr, src, dst);
}

int nu_cidr_get_mask(const nu_ipcidr_t *src, nu_ipaddr_t *dst)
{
    if (fails(GET_MASK))
        return -1;
    FORWARD(nu_cidr_get_mask, src, dst);
}

int nu_cidr_set(const nu_ipaddr_t *addr, const nu_ipaddr_t *mask, nu_ipcidr_t *dst)
{
    if (fails(SET))
        return -1;
    FORWARD(nu_cidr_set, addr, mask, dst);
}

int nu_cidr_to_str(const nu_ipcidr_t *src, char *buf, size_t size)
{
    if (fails(CIDR_TO_STR))
        return -1;
    FORWARD(nu_cidr_to_str, src, buf, size);
}

} // extern "C"

namespace {

nu_ipaddr_t ip(const char *text)
{
    nu_ipaddr_t a{};
    EXPECT_EQ(nu_ipaddr_from_str(text, &a), 0) << text;
    return a;
}

nu_ipcidr_t net(const char *text)
{
    nu_ipcidr_t c{};
    EXPECT_EQ(nu_cidr_from_str(text, &c), 0) << text;
    return c;
}

template <class T> T poisoned()
{
    T v;
    std::memset(&v, 0xa5, sizeof v);
    return v;
}

template <class T> bool same(const T &a, const T &b) { return std::memcmp(&a, &b, sizeof a) == 0; }

std::string text(const nu_ipaddr_t &a)
{
    char buf[NU_IPADDR_STRSIZE] = "?";
    nu_ipaddr_to_str(&a, buf, sizeof buf);
    return buf;
}

std::string text(const nu_ipcidr_t &c)
{
    char buf[NU_IPCIDR_STRSIZE] = "?";
    nu_cidr_to_str(&c, buf, sizeof buf);
    return buf;
}

// The trace without frame lines, one call per '|'.
std::string calls_of(const axdr_stream_t *s)
{
    std::string trace = axdr_trace(s), out;
    size_t pos = 0;
    for (size_t nl; (nl = trace.find('\n', pos)) != std::string::npos; pos = nl + 1) {
        std::string line = trace.substr(pos, nl - pos);
        if (line.rfind("setup", 0) != 0 && line.rfind("teardown", 0) != 0)
            out += line + "|";
    }
    return out;
}

class Ip : public ::testing::Test {
protected:
    void SetUp() override { hooks = Hooks{}; }
    void TearDown() override { hooks = Hooks{}; }
};

// Encodes and decodes value through every feeding pattern; the decoded
// value must equal it byte for byte, family included.
template <class T> void expect_wire(Filter<T> f, T value, const Bytes &want)
{
    Bytes got;
    for (int op : {int{AXDR_ENCODE}, int{AXDR_ENCODE_ALT}}) {
        ASSERT_EQ(encode_mem<T>(f, &value, got, 256, op), AXDR_TRUE);
        EXPECT_EQ(to_hex(got), to_hex(want));
    }
    for (int op : {int{AXDR_DECODE}, int{AXDR_DECODE_ALT}}) {
        T back = poisoned<T>();
        size_t used = 0;
        ASSERT_EQ(decode_mem<T>(f, &back, want, &used, op), AXDR_TRUE);
        EXPECT_EQ(used, want.size());
        EXPECT_TRUE(same(back, value)) << text(back);
    }
    for (size_t w : {1, 3, 4, 5}) {
        ASSERT_EQ(encode_windowed<T>(f, &value, w, got), AXDR_TRUE);
        EXPECT_EQ(to_hex(got), to_hex(want)) << "window " << w;
    }
    for (size_t k = 0; k <= want.size(); ++k) {
        T back = poisoned<T>();
        ASSERT_EQ(decode_pieces<T>(f, &back, want, split_at(k)), AXDR_TRUE);
        EXPECT_TRUE(same(back, value)) << "split at " << k;
    }
    T back = poisoned<T>();
    ASSERT_EQ(decode_pieces<T>(f, &back, want, random_pieces(want.size(), 7, 5)), AXDR_TRUE);
    EXPECT_TRUE(same(back, value));
}

const char *const v4_mapped_head = "00 00 00 00 00 00 00 00 00 00 ff ff ";

} // namespace

TEST_F(Ip, AddressWireAndFamily)
{
    const struct {
        const char *addr;
        std::string wire;
    } rows[] = {
        {"192.0.2.1", std::string(v4_mapped_head) + "c0 00 02 01"},
        {"0.0.0.0", std::string(v4_mapped_head) + "00 00 00 00"},
        {"2001:db8::1", "20 01 0d b8 00 00 00 00 00 00 00 00 00 00 00 01"},
        {"::", "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"},
        {"::192.0.2.1", "00 00 00 00 00 00 00 00 00 00 00 00 c0 00 02 01"},
        {"::ffff:0:192.0.2.1", "00 00 00 00 00 00 00 00 ff ff 00 00 c0 00 02 01"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.addr);
        expect_wire<nu_ipaddr_t>(axdr_nu_ipaddr_t, ip(row.addr), hex(row.wire.c_str()));
    }
}

TEST_F(Ip, PairWire)
{
    const struct {
        const char *pair;
        std::string wire;
    } rows[] = {
        {"192.0.2.0/24", std::string(v4_mapped_head) + "c0 00 02 00 " + v4_mapped_head + "ff ff ff 00"},
        {"192.0.2.77/32", std::string(v4_mapped_head) + "c0 00 02 4d " + v4_mapped_head + "ff ff ff ff"},
        {"0.0.0.0/0", std::string(v4_mapped_head) + "00 00 00 00 " + v4_mapped_head + "00 00 00 00"},
        {"2001:db8::/33", "20 01 0d b8 00 00 00 00 00 00 00 00 00 00 00 00 "
                          "ff ff ff ff 80 00 00 00 00 00 00 00 00 00 00 00"},
        {"::/0", "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
                 "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.pair);
        expect_wire<nu_ipcidr_t>(axdr_nu_ipcidr_t, net(row.pair), hex(row.wire.c_str()));
    }
}

// Every fault of a pair's decode: at each 32-bit word, at each byte, at
// each of the five setups (pair, address, its words, mask, its words).
TEST_F(Ip, PairDecodeResumesAtEveryLevel)
{
    nu_ipcidr_t value = net("192.0.2.0/24");
    Bytes wire;
    ASSERT_EQ(encode_mem<nu_ipcidr_t>(axdr_nu_ipcidr_t, &value, wire), AXDR_TRUE);
    ASSERT_EQ(wire.size(), 32u);
    const struct {
        int kind;
        unsigned long events;
    } kinds[] = {{AXDR_FAULT_PRIMITIVE, 8}, {AXDR_FAULT_BYTE, 32}, {AXDR_FAULT_SETUP, 5}};
    for (const auto &k : kinds) {
        for (unsigned long n = 1; n <= k.events; ++n) {
            for (int res : {AXDR_PENDING, AXDR_FALSE}) {
                SCOPED_TRACE("kind " + std::to_string(k.kind) + " event " + std::to_string(n) +
                             " result " + std::to_string(res));
                nu_ipcidr_t got = poisoned<nu_ipcidr_t>();
                Stream s(axdr_mem_create(wire.data(), wire.size(), AXDR_DECODE));
                axdr_fault_at(s.get(), k.kind, n, res);
                ASSERT_EQ(axdr_nu_ipcidr_t(s.get(), &got), res);
                EXPECT_TRUE(same(got, poisoned<nu_ipcidr_t>())); // written only at the end
                EXPECT_EQ(hooks.calls[SET], 0);
                if (k.kind == AXDR_FAULT_PRIMITIVE && res == AXDR_PENDING) {
                    EXPECT_EQ(axdr_saved_frames(s.get()), 3u); // pair, address, words
                }
                if (res == AXDR_PENDING) {
                    ASSERT_EQ(axdr_nu_ipcidr_t(s.get(), &got), AXDR_TRUE);
                    EXPECT_TRUE(same(got, value)) << text(got);
                    EXPECT_EQ(axdr_getpos(s.get()), 32u); // nothing read twice
                    EXPECT_EQ(hooks.calls[SET], 1);
                    EXPECT_EQ(hooks.calls[FROM_IN6], 2);
                }
                EXPECT_EQ(axdr_saved_frames(s.get()), 0u);
                hooks = Hooks{};
            }
        }
    }
}

// A resumed encode sends what the first call converted, even if the object
// changed in between; nothing is sent twice.
TEST_F(Ip, ResumedEncodeSendsTheFirstConversion)
{
    nu_ipcidr_t first = net("192.0.2.0/24");
    Bytes want;
    ASSERT_EQ(encode_mem<nu_ipcidr_t>(axdr_nu_ipcidr_t, &first, want), AXDR_TRUE);
    for (int kind : {int{AXDR_FAULT_PRIMITIVE}, int{AXDR_FAULT_BYTE}}) {
        for (unsigned long n = 1; n <= (kind == AXDR_FAULT_BYTE ? 32u : 8u); ++n) {
            SCOPED_TRACE("kind " + std::to_string(kind) + " event " + std::to_string(n));
            hooks = Hooks{};
            nu_ipcidr_t c = first;
            Bytes buf(64, 0xee);
            Stream s(axdr_mem_create(buf.data(), buf.size(), AXDR_ENCODE));
            axdr_fault_at(s.get(), kind, n, AXDR_PENDING);
            ASSERT_EQ(axdr_nu_ipcidr_t(s.get(), &c), AXDR_PENDING);
            c = net("2001:db8::/64");
            ASSERT_EQ(axdr_nu_ipcidr_t(s.get(), &c), AXDR_TRUE);
            ASSERT_EQ(axdr_getpos(s.get()), 32u);
            EXPECT_EQ(to_hex(Bytes(buf.begin(), buf.begin() + 32)), to_hex(want));
            EXPECT_EQ(hooks.calls[GET_ADDR], 1);
            EXPECT_EQ(hooks.calls[GET_MASK], 1);
            EXPECT_EQ(hooks.calls[TO_IN6], 2);
        }
    }
}

// Each conversion failing: FALSE, with the stream and the object as stated.
TEST_F(Ip, FailingConversions)
{
    nu_ipaddr_t addr = ip("192.0.2.1");
    nu_ipcidr_t pair = net("192.0.2.0/24");
    Bytes addr_wire, pair_wire;
    ASSERT_EQ(encode_mem<nu_ipaddr_t>(axdr_nu_ipaddr_t, &addr, addr_wire), AXDR_TRUE);
    ASSERT_EQ(encode_mem<nu_ipcidr_t>(axdr_nu_ipcidr_t, &pair, pair_wire), AXDR_TRUE);
    const struct {
        const char *what;
        Conv failing;
        bool on_pair;
        int op;
        uint64_t moved; // bytes through the stream before FALSE
        Conv not_called;
    } rows[] = {
        {"address to IPv6 form", TO_IN6, false, AXDR_ENCODE, 0, N_CONV},
        {"address from IPv6 form", FROM_IN6, false, AXDR_DECODE, 16, N_CONV},
        {"pair's address", GET_ADDR, true, AXDR_ENCODE, 0, GET_MASK},
        {"pair's mask", GET_MASK, true, AXDR_ENCODE, 0, TO_IN6},
        {"pair's address half to IPv6 form", TO_IN6, true, AXDR_ENCODE_ALT, 0, N_CONV},
        {"pair's address half from IPv6 form", FROM_IN6, true, AXDR_DECODE, 16, SET},
        {"pair set", SET, true, AXDR_DECODE_ALT, 32, N_CONV},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        hooks = Hooks{};
        hooks.failing = 1u << row.failing;
        const bool dec = row.op == AXDR_DECODE || row.op == AXDR_DECODE_ALT;
        Bytes buf = dec ? (row.on_pair ? pair_wire : addr_wire) : Bytes(64, 0xee);
        Stream s(axdr_mem_create(buf.data(), buf.size(), row.op));
        if (row.on_pair) {
            nu_ipcidr_t c = dec ? poisoned<nu_ipcidr_t>() : pair;
            const nu_ipcidr_t before = c;
            EXPECT_EQ(axdr_nu_ipcidr_t(s.get(), &c), AXDR_FALSE);
            EXPECT_TRUE(same(c, before));
        } else {
            nu_ipaddr_t a = dec ? poisoned<nu_ipaddr_t>() : addr;
            const nu_ipaddr_t before = a;
            EXPECT_EQ(axdr_nu_ipaddr_t(s.get(), &a), AXDR_FALSE);
            EXPECT_TRUE(same(a, before));
        }
        EXPECT_EQ(axdr_getpos(s.get()), row.moved);
        EXPECT_EQ(hooks.calls[row.failing], 1);
        if (row.not_called != N_CONV) {
            EXPECT_EQ(hooks.calls[row.not_called], 0);
        }
        EXPECT_EQ(axdr_saved_frames(s.get()), 0u);
    }
}

// Values the library itself refuses, end to end.
TEST_F(Ip, RefusedValues)
{
    const struct {
        const char *what;
        std::string wire;
    } pairs[] = {
        {"mask with a hole", std::string(v4_mapped_head) + "c0 00 02 00 " + v4_mapped_head + "ff 00 ff 00"},
        {"IPv6 mask on an IPv4 address",
         std::string(v4_mapped_head) + "c0 00 02 00 ff ff ff ff 00 00 00 00 00 00 00 00 00 00 00 00"},
        {"IPv4 mask on an IPv6 address",
         "20 01 0d b8 00 00 00 00 00 00 00 00 00 00 00 00 " + std::string(v4_mapped_head) + "ff ff ff 00"},
    };
    for (const auto &row : pairs) {
        SCOPED_TRACE(row.what);
        nu_ipcidr_t c = poisoned<nu_ipcidr_t>();
        size_t used = 0;
        EXPECT_EQ(decode_mem<nu_ipcidr_t>(axdr_nu_ipcidr_t, &c, hex(row.wire.c_str()), &used), AXDR_FALSE);
        EXPECT_EQ(used, 32u);
        EXPECT_TRUE(same(c, poisoned<nu_ipcidr_t>()));
    }
    // Not an address: nothing goes out.
    nu_ipaddr_t bad{};
    Bytes out;
    EXPECT_EQ(encode_mem<nu_ipaddr_t>(axdr_nu_ipaddr_t, &bad, out), AXDR_FALSE);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(print<nu_ipaddr_t>(axdr_nu_ipaddr_t, &bad), "");
}

TEST_F(Ip, FreeTouchesNothing)
{
    nu_ipaddr_t a = poisoned<nu_ipaddr_t>();
    nu_ipcidr_t c = poisoned<nu_ipcidr_t>();
    EXPECT_EQ(free_obj<nu_ipaddr_t>(axdr_nu_ipaddr_t, &a), AXDR_TRUE);
    EXPECT_EQ(free_obj<nu_ipcidr_t>(axdr_nu_ipcidr_t, &c), AXDR_TRUE);
    EXPECT_TRUE(same(a, poisoned<nu_ipaddr_t>()));
    EXPECT_TRUE(same(c, poisoned<nu_ipcidr_t>()));
    for (int n : hooks.calls)
        EXPECT_EQ(n, 0);
}

TEST_F(Ip, HighCodesGoToThePrimitives)
{
    nu_ipaddr_t a = ip("192.0.2.1");
    nu_ipcidr_t c = net("192.0.2.0/24");
    Bytes buf(64);
    Stream s(axdr_mem_create(buf.data(), buf.size(), 6));
    EXPECT_EQ(axdr_nu_ipaddr_t(s.get(), &a), AXDR_FALSE);
    EXPECT_EQ(axdr_nu_ipcidr_t(s.get(), &c), AXDR_FALSE);
    EXPECT_EQ(axdr_saved_frames(s.get()), 0u);
    EXPECT_TRUE(same(a, ip("192.0.2.1")));
    EXPECT_TRUE(same(c, net("192.0.2.0/24")));
    for (int n : hooks.calls)
        EXPECT_EQ(n, 0);
}

TEST_F(Ip, PrintsOneText)
{
    nu_ipaddr_t a4 = ip("192.0.2.1"), a6 = ip("2001:db8:0:0:1::1:0");
    nu_ipcidr_t c4 = net("192.0.2.0/24"), c6 = net("2001:db8::/48");
    EXPECT_EQ(print<nu_ipaddr_t>(axdr_nu_ipaddr_t, &a4), "\"192.0.2.1\"\n");
    EXPECT_EQ(print<nu_ipaddr_t>(axdr_nu_ipaddr_t, &a6), "\"2001:db8::1:0:1:0\"\n");
    EXPECT_EQ(print<nu_ipcidr_t>(axdr_nu_ipcidr_t, &c4), "\"192.0.2.0/24\"\n");
    EXPECT_EQ(print<nu_ipcidr_t>(axdr_nu_ipcidr_t, &c6), "\"2001:db8::/48\"\n");

    // One value call, no element, no frame; a pending value is redone
    // from the conversion.
    for (int res : {AXDR_TRUE, AXDR_PENDING, AXDR_FALSE}) {
        SCOPED_TRACE(res);
        hooks = Hooks{};
        Stream s(axdr_print_create(nullptr));
        axdr_trace_enable(s.get(), 1);
        if (res != AXDR_TRUE)
            axdr_fault_at(s.get(), AXDR_FAULT_PRINT, 1, res);
        int calls = 0;
        EXPECT_EQ(until_done<nu_ipcidr_t>(axdr_nu_ipcidr_t, s.get(), &c4, &calls),
                  res == AXDR_FALSE ? AXDR_FALSE : AXDR_TRUE);
        const std::string want_first = std::string("value \"192.0.2.0/24\" = ") +
                                       (res == AXDR_TRUE ? "1" : res == AXDR_FALSE ? "0" : "pending") + "|";
        EXPECT_EQ(std::string(axdr_trace(s.get())).find("setup"), std::string::npos);
        EXPECT_EQ(calls_of(s.get()),
                  res == AXDR_PENDING ? want_first + "value \"192.0.2.0/24\" = 1|" : want_first);
        EXPECT_EQ(hooks.calls[CIDR_TO_STR], calls);
    }

    // A failing conversion prints nothing.
    for (Conv c : {TO_STR, CIDR_TO_STR}) {
        hooks = Hooks{};
        hooks.failing = 1u << c;
        Stream s(axdr_print_create(nullptr));
        axdr_trace_enable(s.get(), 1);
        const int r = c == TO_STR ? axdr_nu_ipaddr_t(s.get(), &a4) : axdr_nu_ipcidr_t(s.get(), &c4);
        EXPECT_EQ(r, AXDR_FALSE);
        EXPECT_STREQ(axdr_trace(s.get()), "");
        EXPECT_STREQ(axdr_print_text(s.get(), nullptr), "");
    }
}
