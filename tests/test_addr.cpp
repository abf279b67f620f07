// IPv4, IPv6 and MAC address filters: wire bytes in network order on every
// host, every resume point, print names and resumed prints.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include "support.h"

using namespace qt;

namespace {

in_addr v4(const char *text)
{
    in_addr a{};
    EXPECT_EQ(inet_pton(AF_INET, text, &a), 1);
    return a;
}

in6_addr v6(const char *text)
{
    in6_addr a{};
    EXPECT_EQ(inet_pton(AF_INET6, text, &a), 1);
    return a;
}

nu_macaddr_t mac(std::initializer_list<uint8_t> o)
{
    nu_macaddr_t m{};
    std::copy(o.begin(), o.end(), m.octet);
    return m;
}

// Runs f on a fresh object of type T per operation code, returning bytes.
template <class T> void expect_wire(Filter<T> f, T value, const char *wire)
{
    Bytes want = hex(wire), got;
    for (int op : {AXDR_ENCODE, AXDR_ENCODE_ALT}) {
        ASSERT_EQ(encode_mem<T>(f, &value, got, 1 << 10, op), AXDR_TRUE);
        EXPECT_EQ(to_hex(got), to_hex(want));
    }
    for (int op : {AXDR_DECODE, AXDR_DECODE_ALT}) {
        T back;
        std::memset(&back, 0x5a, sizeof back);
        size_t used = 0;
        ASSERT_EQ(decode_mem<T>(f, &back, want, &used, op), AXDR_TRUE);
        EXPECT_EQ(used, want.size());
        EXPECT_EQ(0, std::memcmp(&back, &value, sizeof value));
    }
    for (size_t w : {1, 2, 3, 7}) {
        ASSERT_EQ(encode_windowed<T>(f, &value, w, got), AXDR_TRUE);
        EXPECT_EQ(to_hex(got), to_hex(want));
    }
    for (size_t k = 0; k <= want.size(); ++k) {
        T back{};
        ASSERT_EQ(decode_pieces<T>(f, &back, want, split_at(k)), AXDR_TRUE);
        EXPECT_EQ(0, std::memcmp(&back, &value, sizeof value));
    }
}

} // namespace

TEST(AddressWire, NetworkOrderOnEveryHost)
{
    expect_wire<in_addr>(axdr_in_addr, v4("192.0.2.1"), "c0 00 02 01");
    expect_wire<in_addr>(axdr_in_addr, v4("255.0.0.1"), "ff 00 00 01");
    expect_wire<in6_addr>(axdr_in6_addr, v6("2001:db8::1:2"),
                          "20 01 0d b8 00 00 00 00 00 00 00 00 00 01 00 02");
    expect_wire<in6_addr>(axdr_in6_addr, v6("::ffff:192.0.2.1"),
                          "00 00 00 00 00 00 00 00 00 00 ff ff c0 00 02 01");
    expect_wire<nu_macaddr_t>(axdr_nu_macaddr_t, mac({0x00, 0x11, 0x22, 0x33, 0x44, 0x55}),
                              "00 00 00 00 00 00 00 11 00 00 00 22 00 00 00 33 00 00 00 44 00 00 00 55");
    expect_wire<nu_macaddr_t>(axdr_nu_macaddr_t, mac({0xff, 0xfe, 0, 1, 0x80, 0x7f}),
                              "00 00 00 ff 00 00 00 fe 00 00 00 00 00 00 00 01 00 00 00 80 00 00 00 7f");
}

TEST(AddressWire, MacElementAboveByteKeepsLowBits)
{
    Bytes w = hex("00 00 01 ff 00 00 00 01 ff ff ff 02 00 00 00 03 00 00 00 04 00 00 01 00");
    nu_macaddr_t m{};
    ASSERT_EQ(decode_mem<nu_macaddr_t>(axdr_nu_macaddr_t, &m, w), AXDR_TRUE);
    nu_macaddr_t want = mac({0xff, 1, 2, 3, 4, 0});
    EXPECT_EQ(0, std::memcmp(&m, &want, sizeof m));
}

TEST(AddressResume, PendingAtEachWordStoresOnlyFinishedWords)
{
    in6_addr value = v6("2001:db8:1:2:3:4:5:6");
    Bytes wire;
    ASSERT_EQ(encode_mem<in6_addr>(axdr_in6_addr, &value, wire), AXDR_TRUE);
    for (unsigned long k = 1; k <= 4; ++k) {
        for (int res : {AXDR_PENDING, AXDR_FALSE}) {
            SCOPED_TRACE("word " + std::to_string(k) + " result " + std::to_string(res));
            in6_addr got;
            std::memset(&got, 0xab, sizeof got);
            Stream s(axdr_mem_create(wire.data(), wire.size(), AXDR_DECODE));
            axdr_fault_at(s.get(), AXDR_FAULT_PRIMITIVE, k, res);
            ASSERT_EQ(axdr_in6_addr(s.get(), &got), res);
            // Words before k arrived, the rest is untouched.
            for (size_t i = 0; i < 16; ++i)
                EXPECT_EQ(got.s6_addr[i], i < 4 * (k - 1) ? value.s6_addr[i] : 0xab) << i;
            if (res == AXDR_PENDING) {
                ASSERT_EQ(axdr_in6_addr(s.get(), &got), AXDR_TRUE);
                EXPECT_EQ(0, std::memcmp(&got, &value, sizeof got));
                EXPECT_EQ(axdr_getpos(s.get()), 16u); // nothing read twice
            }
        }
    }
}

TEST(AddressResume, EncodeByteFaultsAndSetupFaults)
{
    nu_macaddr_t m = mac({1, 2, 3, 4, 5, 6});
    Bytes want;
    ASSERT_EQ(encode_mem<nu_macaddr_t>(axdr_nu_macaddr_t, &m, want), AXDR_TRUE);
    for (unsigned long n = 1; n <= want.size(); ++n) {
        Bytes buf(want.size(), 0xee);
        Stream s(axdr_mem_create(buf.data(), buf.size(), AXDR_ENCODE));
        axdr_fault_at(s.get(), AXDR_FAULT_BYTE, n, AXDR_PENDING);
        int calls = 0;
        ASSERT_EQ(until_done<nu_macaddr_t>(axdr_nu_macaddr_t, s.get(), &m, &calls), AXDR_TRUE);
        EXPECT_EQ(calls, 2);
        EXPECT_EQ(buf, want) << "byte " << n;
    }
    for (int res : {AXDR_FALSE, AXDR_PENDING}) {
        in6_addr a = v6("::1"), before = a;
        Bytes buf(16);
        Stream s(axdr_mem_create(buf.data(), buf.size(), AXDR_DECODE));
        axdr_fault_at(s.get(), AXDR_FAULT_SETUP, 1, res);
        EXPECT_EQ(axdr_in6_addr(s.get(), &a), res);
        EXPECT_EQ(axdr_getpos(s.get()), 0u);
        EXPECT_EQ(0, std::memcmp(&a, &before, sizeof a));
    }
}

TEST(AddressResume, InAddrFailureLeavesAddressUnchanged)
{
    Bytes w = hex("c0 00 02 01");
    for (int res : {AXDR_FALSE, AXDR_PENDING}) {
        in_addr a = v4("10.0.0.1");
        Stream s(axdr_mem_create(w.data(), w.size(), AXDR_DECODE));
        axdr_fault_at(s.get(), AXDR_FAULT_BYTE, 3, res);
        EXPECT_EQ(axdr_in_addr(s.get(), &a), res);
        EXPECT_EQ(a.s_addr, v4("10.0.0.1").s_addr);
        if (res == AXDR_PENDING) {
            EXPECT_EQ(axdr_in_addr(s.get(), &a), AXDR_TRUE);
            EXPECT_EQ(a.s_addr, v4("192.0.2.1").s_addr);
        }
    }
}

TEST(AddressFree, TouchesNothing)
{
    in6_addr a = v6("2001:db8::7"), b = a;
    EXPECT_EQ(free_obj<in6_addr>(axdr_in6_addr, &a), AXDR_TRUE);
    EXPECT_EQ(0, std::memcmp(&a, &b, sizeof a));
    nu_macaddr_t m = mac({9, 8, 7, 6, 5, 4}), n = m;
    EXPECT_EQ(free_obj<nu_macaddr_t>(axdr_nu_macaddr_t, &m), AXDR_TRUE);
    EXPECT_EQ(0, std::memcmp(&m, &n, sizeof m));
}

TEST(AddressPrint, ElementNamesAndNumbers)
{
    in_addr a = v4("192.0.2.1");
    EXPECT_EQ(print<in_addr>(axdr_in_addr, &a), "3221225985\n");
    in6_addr b = v6("2001:db8::1");
    EXPECT_EQ(print<in6_addr>(axdr_in6_addr, &b),
              "{\n  [0] = 536939960\n  [1] = 0\n  [2] = 0\n  [3] = 1\n}\n");
    nu_macaddr_t m = mac({0, 0x11, 0x22, 0x33, 0x44, 0x55});
    EXPECT_EQ(print<nu_macaddr_t>(axdr_nu_macaddr_t, &m),
              "{\n  [0] = 0\n  [1] = 17\n  [2] = 34\n  [3] = 51\n  [4] = 68\n  [5] = 85\n}\n");
}

TEST(AddressPrint, ResumedPrintRepeatsOnlyTheElementInProgress)
{
    in6_addr b = v6("2001:db8::1");
    struct Row {
        int kind;
        unsigned long n;
        int res;
        const char *trace;
    } rows[] = {
        // The primitive of element 1 pends: "[1]" is started again, flag 0.
        {AXDR_FAULT_PRIMITIVE, 2, AXDR_PENDING,
         "element [0] 1 = 1|uint32 536939960 = 1|element [1] 0 = 1|uint32 0 = pending|"
         "element [1] 0 = 1|uint32 0 = 1|element [2] 0 = 1|uint32 0 = 1|element [3] 0 = 1|uint32 1 = 1|"},
        // The element call for "[2]" fails: no primitive for it.
        {AXDR_FAULT_PRINT, 3, AXDR_FALSE,
         "element [0] 1 = 1|uint32 536939960 = 1|element [1] 0 = 1|uint32 0 = 1|element [2] 0 = 0|"},
    };
    for (const Row &row : rows) {
        Stream s(axdr_print_create(nullptr));
        axdr_trace_enable(s.get(), 1);
        axdr_fault_at(s.get(), row.kind, row.n, row.res);
        int r = until_done<in6_addr>(axdr_in6_addr, s.get(), &b);
        EXPECT_EQ(r, row.res == AXDR_FALSE ? AXDR_FALSE : AXDR_TRUE);
        std::string trace = axdr_trace(s.get()), calls;
        // Keep the print and primitive calls, one per '|'.
        size_t pos = 0;
        for (size_t nl; (nl = trace.find('\n', pos)) != std::string::npos; pos = nl + 1) {
            std::string line = trace.substr(pos, nl - pos);
            if (line.rfind("setup", 0) != 0 && line.rfind("teardown", 0) != 0)
                calls += line + "|";
        }
        EXPECT_EQ(calls, row.trace);
        if (row.res == AXDR_FALSE) {
            EXPECT_NE(trace.find("teardown 0 2 = 0"), std::string::npos) << trace;
        }
    }
}

TEST(AddressCodes, AbovePrintArePassedToThePrimitives)
{
    Bytes buf(32);
    in6_addr a = v6("::1");
    nu_macaddr_t m = mac({1, 2, 3, 4, 5, 6});
    in_addr b = v4("1.2.3.4");
    for (int op : {6, 99}) {
        Stream s(axdr_mem_create(buf.data(), buf.size(), op));
        EXPECT_EQ(axdr_in6_addr(s.get(), &a), AXDR_FALSE);
        EXPECT_EQ(axdr_nu_macaddr_t(s.get(), &m), AXDR_FALSE);
        EXPECT_EQ(axdr_in_addr(s.get(), &b), AXDR_FALSE);
        EXPECT_EQ(axdr_saved_frames(s.get()), 0u);
    }
}
