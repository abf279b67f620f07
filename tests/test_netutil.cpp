// The network address library: text forms, conversions and masks.

#include <netutil.h>

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cstring>
#include <string>

namespace {

// A value no operation produces, to see that a refused call left its
// destination alone.
template <class T> T poisoned()
{
    T v;
    std::memset(&v, 0xa5, sizeof v);
    return v;
}

template <class T> bool same_bytes(const T &a, const T &b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

nu_ipaddr_t addr(const char *text)
{
    nu_ipaddr_t a{};
    EXPECT_EQ(nu_ipaddr_from_str(text, &a), 0) << text;
    return a;
}

std::string text_of(const nu_ipaddr_t &a)
{
    char buf[NU_IPADDR_STRSIZE];
    if (nu_ipaddr_to_str(&a, buf, sizeof buf) != 0)
        return "<refused>";
    return buf;
}

std::string text_of(const nu_ipcidr_t &c)
{
    char buf[NU_IPCIDR_STRSIZE];
    if (nu_cidr_to_str(&c, buf, sizeof buf) != 0)
        return "<refused>";
    return buf;
}

// An AF_INET6 value holding the mapped form, which no constructor makes.
nu_ipaddr_t mapped_v6(uint8_t a, uint8_t b, uint8_t c, uint8_t d)
{
    nu_ipaddr_t v{};
    v.family = AF_INET6;
    v.octet[10] = v.octet[11] = 0xff;
    v.octet[12] = a, v.octet[13] = b, v.octet[14] = c, v.octet[15] = d;
    return v;
}

// Checks that to_str refuses every buffer one byte short and writes nothing
// at all then, and nothing past the size when it fits exactly.
template <class T, class F> void check_sizes(const T &value, F to_str, const std::string &want)
{
    char buf[128];
    const size_t need = want.size() + 1;
    for (size_t size : {size_t{0}, need - 1, need}) {
        std::memset(buf, '#', sizeof buf);
        const int r = to_str(&value, buf, size);
        if (size < need) {
            EXPECT_NE(r, 0) << want << " in " << size;
            EXPECT_EQ(std::string(buf, sizeof buf), std::string(sizeof buf, '#'));
        } else {
            ASSERT_EQ(r, 0) << want;
            EXPECT_EQ(std::string(buf), want);
            EXPECT_EQ(std::string(buf + need, sizeof buf - need), std::string(sizeof buf - need, '#'));
        }
    }
}

struct AddrText {
    const char *in;
    int family;
    const char *canonical;
};

const AddrText addr_texts[] = {
    {"0.0.0.0", AF_INET, "0.0.0.0"},
    {"192.0.2.1", AF_INET, "192.0.2.1"},
    {"255.255.255.255", AF_INET, "255.255.255.255"},
    {"10.200.0.99", AF_INET, "10.200.0.99"},
    {"::", AF_INET6, "::"},
    {"::1", AF_INET6, "::1"},
    {"1::", AF_INET6, "1::"},
    {"0:0:0:0:0:0:0:0", AF_INET6, "::"},
    {"2001:DB8::1", AF_INET6, "2001:db8::1"},
    {"2001:0db8:0000:0000:0000:0000:0000:0001", AF_INET6, "2001:db8::1"},
    {"2001:db8:0:0:1:0:0:1", AF_INET6, "2001:db8::1:0:0:1"},     // first of equal runs
    {"2001:0:0:1:0:0:0:1", AF_INET6, "2001:0:0:1::1"},           // longest run
    {"0:0:0:1:0:0:0:0", AF_INET6, "0:0:0:1::"},                  // longest run at the end
    {"fe80:0:0:0:1:0:0:0", AF_INET6, "fe80::1:0:0:0"},
    {"2001:db8::1:1:1:1:1", AF_INET6, "2001:db8:0:1:1:1:1:1"},   // a lone zero stays
    {"1:0:2:0:3:0:4:0", AF_INET6, "1:0:2:0:3:0:4:0"},
    {"1:2:3:4:5:6:7::", AF_INET6, "1:2:3:4:5:6:7:0"},
    {"::2:3:4:5:6:7:8", AF_INET6, "0:2:3:4:5:6:7:8"},
    {"1:2:3:4:5:6:7:8", AF_INET6, "1:2:3:4:5:6:7:8"},
    {"00ab:0Cd:e::F", AF_INET6, "ab:cd:e::f"},
    {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", AF_INET6, "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"},
    {"::192.0.2.1", AF_INET6, "::c000:201"},                     // only the mapped form is dotted
    {"64:ff9b::192.0.2.33", AF_INET6, "64:ff9b::c000:221"},
    {"1:2:3:4:5:6:1.2.3.4", AF_INET6, "1:2:3:4:5:6:102:304"},
    {"::ffff:0:192.0.2.1", AF_INET6, "::ffff:0:c000:201"},
    {"::ffff:192.0.2.1", AF_INET, "192.0.2.1"},                  // mapped is IPv4
    {"::FFFF:c000:0201", AF_INET, "192.0.2.1"},
    {"0:0:0:0:0:ffff:0.0.0.0", AF_INET, "0.0.0.0"},
};

TEST(NetutilText, AddressRoundTrips)
{
    for (const auto &t : addr_texts) {
        SCOPED_TRACE(t.in);
        const nu_ipaddr_t a = addr(t.in);
        EXPECT_EQ(nu_ipaddr_family(&a), t.family);
        EXPECT_EQ(text_of(a), t.canonical);
        const nu_ipaddr_t again = addr(t.canonical);
        EXPECT_EQ(nu_ipaddr_cmp(&a, &again), 0);
        check_sizes(a, nu_ipaddr_to_str, t.canonical);
    }
}

TEST(NetutilText, MappedIPv6ValuePrintsDotted)
{
    const nu_ipaddr_t a = mapped_v6(255, 255, 255, 255);
    EXPECT_EQ(text_of(a), "::ffff:255.255.255.255");
    check_sizes(a, nu_ipaddr_to_str, "::ffff:255.255.255.255");
}

TEST(NetutilText, RefusedAddressesLeaveDestination)
{
    const char *bad[] = {
        "", " 192.0.2.1", "192.0.2.1 ", "192.0.2.1\n", "192.0.2", "192.0.2.1.5", "192.0.2.256",
        "192.0.02.1", "192.0.2.01", "+1.2.3.4", "1.2.3.+4", "1.2.3.-4", "0x1.2.3.4", "1.2.3.0x4",
        "1..2.3", ".1.2.3", "1.2.3.", "1234.1.1.1", "192.0.2.1/24", "3232235521", "1.2.3.4.",
        ":", ":::", ":1::", "1::2:", "::1:", "1:2:3:4:5:6:7", "1:2:3:4:5:6:7:8:9", "1::2::3",
        "12345::", "g::1", "::-1", "::+1", "fe80::1%eth0", "[::1]", "1:2:3:4:5:6:7:8::",
        "::1:2:3:4:5:6:7:8", "1:2:3:4:5:6:7::8", "1:2:3:4:5:6:7:1.2.3.4", "::1.2.3",
        "::1.2.3.4:5", "::1.2.3.4.5", "::ffff:1.2.3.04", "::ffff:1.2.3.256", "1.2.3.4::",
        "::ffff:1.2.3.4/96", "1:2:3:4:5:6:1.2.3.4:8", " ::1", "::1 ", "0x::1",
    };
    for (const char *text : bad) {
        SCOPED_TRACE(text);
        nu_ipaddr_t a = poisoned<nu_ipaddr_t>();
        EXPECT_NE(nu_ipaddr_from_str(text, &a), 0);
        EXPECT_TRUE(same_bytes(a, poisoned<nu_ipaddr_t>()));
    }
    nu_ipaddr_t a = poisoned<nu_ipaddr_t>();
    EXPECT_NE(nu_ipaddr_from_str(nullptr, &a), 0);
    EXPECT_TRUE(same_bytes(a, poisoned<nu_ipaddr_t>()));
}

struct CidrText {
    const char *in;
    const char *canonical;
    const char *addr;
    const char *mask;
};

const CidrText cidr_texts[] = {
    {"192.0.2.0/24", "192.0.2.0/24", "192.0.2.0", "255.255.255.0"},
    {"192.0.2.77/24", "192.0.2.77/24", "192.0.2.77", "255.255.255.0"}, // host bits kept
    {"192.0.2.1/32", "192.0.2.1/32", "192.0.2.1", "255.255.255.255"},
    {"0.0.0.0/0", "0.0.0.0/0", "0.0.0.0", "0.0.0.0"},
    {"10.0.0.0/9", "10.0.0.0/9", "10.0.0.0", "255.128.0.0"},
    {"::ffff:10.0.0.0/8", "10.0.0.0/8", "10.0.0.0", "255.0.0.0"},
    {"2001:DB8:0:0::1/64", "2001:db8::1/64", "2001:db8::1", "ffff:ffff:ffff:ffff::"},
    {"2001:db8::/33", "2001:db8::/33", "2001:db8::", "ffff:ffff:8000::"},
    {"::/0", "::/0", "::", "::"},
    {"::1/128", "::1/128", "::1", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"},
};

TEST(NetutilText, PairRoundTrips)
{
    for (const auto &t : cidr_texts) {
        SCOPED_TRACE(t.in);
        nu_ipcidr_t c{};
        ASSERT_EQ(nu_cidr_from_str(t.in, &c), 0);
        EXPECT_EQ(text_of(c), t.canonical);
        nu_ipaddr_t a, m;
        ASSERT_EQ(nu_cidr_get_addr(&c, &a), 0);
        ASSERT_EQ(nu_cidr_get_mask(&c, &m), 0);
        EXPECT_EQ(text_of(a), t.addr);
        EXPECT_EQ(text_of(m), t.mask);
        // Rebuilding the pair from its halves gives the same pair.
        nu_ipcidr_t again = poisoned<nu_ipcidr_t>();
        ASSERT_EQ(nu_cidr_set(&a, &m, &again), 0);
        EXPECT_EQ(text_of(again), t.canonical);
        check_sizes(c, nu_cidr_to_str, t.canonical);
    }
    nu_ipcidr_t widest{};
    ASSERT_EQ(nu_cidr_from_str("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff/128", &widest), 0);
    check_sizes(widest, nu_cidr_to_str, "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff/128");
}

TEST(NetutilText, RefusedPairsLeaveDestination)
{
    const char *bad[] = {
        "192.0.2.0", "192.0.2.0/", "192.0.2.0/33", "192.0.2.0/024", "192.0.2.0/00", "192.0.2.0/+24",
        "192.0.2.0/-1", "192.0.2.0/24 ", "192.0.2.0 /24", "192.0.2.0/ 24", "192.0.2.0/2a",
        "192.0.2.0/0x18", "192.0.2.0/24/1", "/24", "192.0.2/24", "2001:db8::/129", "2001:db8::/1000",
        "::ffff:10.0.0.0/104", "2001:db8::%1/64", "",
    };
    for (const char *text : bad) {
        SCOPED_TRACE(text);
        nu_ipcidr_t c = poisoned<nu_ipcidr_t>();
        EXPECT_NE(nu_cidr_from_str(text, &c), 0);
        EXPECT_TRUE(same_bytes(c, poisoned<nu_ipcidr_t>()));
    }
}

TEST(NetutilText, MacAddresses)
{
    const struct {
        const char *in, *canonical;
        uint8_t octet[6];
    } good[] = {
        {"00:1a:2b:3c:4d:5e", "00:1a:2b:3c:4d:5e", {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e}},
        {"AA:bB:Cc:DD:ee:FF", "aa:bb:cc:dd:ee:ff", {0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff}},
        {"00:00:00:00:00:00", "00:00:00:00:00:00", {0, 0, 0, 0, 0, 0}},
    };
    for (const auto &t : good) {
        SCOPED_TRACE(t.in);
        nu_macaddr_t m{};
        ASSERT_EQ(nu_macaddr_from_str(t.in, &m), 0);
        EXPECT_EQ(std::memcmp(m.octet, t.octet, 6), 0);
        check_sizes(m, nu_macaddr_to_str, t.canonical);
    }
    const char *bad[] = {
        "", "0:1a:2b:3c:4d:5e", "00:1a:2b:3c:4d", "00:1a:2b:3c:4d:5e:", "00-1a-2b-3c-4d-5e",
        "001a.2b3c.4d5e", "00:1a:2b:3c:4d:5g", " 00:1a:2b:3c:4d:5e", "00:1a:2b:3c:4d:5e0",
        "00:1a:2b:3c:4d::5", "+0:1a:2b:3c:4d:5e", "00:1a:2b:3c:4d:5e ",
    };
    for (const char *text : bad) {
        SCOPED_TRACE(text);
        nu_macaddr_t m = poisoned<nu_macaddr_t>();
        EXPECT_NE(nu_macaddr_from_str(text, &m), 0);
        EXPECT_TRUE(same_bytes(m, poisoned<nu_macaddr_t>()));
    }
}

// --- IPv6 form --------------------------------------------------------

in6_addr in6(std::initializer_list<int> octets)
{
    in6_addr a{};
    int i = 0;
    for (int o : octets)
        a.s6_addr[i++] = static_cast<uint8_t>(o);
    return a;
}

TEST(NetutilIn6, AddressesKeepTheirFamily)
{
    const struct {
        const char *text;
        in6_addr form;
    } table[] = {
        {"192.0.2.1", in6({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 192, 0, 2, 1})},
        {"0.0.0.0", in6({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 0, 0, 0, 0})},
        {"255.255.255.0", in6({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 255, 255, 255, 0})},
        {"::", in6({})},
        {"::1", in6({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1})},
        {"::192.0.2.1", in6({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 192, 0, 2, 1})},
        {"::ffff:0:192.0.2.1", in6({0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 0, 0, 192, 0, 2, 1})},
        {"::fffe:192.0.2.1", in6({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xfe, 192, 0, 2, 1})},
        {"2001:db8::1", in6({0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1})},
    };
    for (const auto &t : table) {
        SCOPED_TRACE(t.text);
        const nu_ipaddr_t a = addr(t.text);
        in6_addr form = poisoned<in6_addr>();
        ASSERT_EQ(nu_ipaddr_to_in6addr(&a, &form), 0);
        EXPECT_TRUE(same_bytes(form, t.form));
        nu_ipaddr_t back = poisoned<nu_ipaddr_t>();
        ASSERT_EQ(nu_ipaddr_from_in6addr(&form, &back), 0);
        EXPECT_EQ(nu_ipaddr_family(&back), nu_ipaddr_family(&a));
        EXPECT_EQ(nu_ipaddr_cmp(&back, &a), 0);
        EXPECT_EQ(text_of(back), text_of(a));
    }
}

TEST(NetutilIn6, RefusesWhatWouldNotComeBack)
{
    nu_ipaddr_t unspec{};
    nu_ipaddr_t odd = addr("192.0.2.1");
    odd.family = 99;
    const nu_ipaddr_t bad[] = {unspec, odd, mapped_v6(192, 0, 2, 1)};
    for (const auto &a : bad) {
        in6_addr form = poisoned<in6_addr>();
        EXPECT_NE(nu_ipaddr_to_in6addr(&a, &form), 0);
        EXPECT_TRUE(same_bytes(form, poisoned<in6_addr>()));
    }
    EXPECT_EQ(nu_ipaddr_family(&unspec), AF_UNSPEC);
    EXPECT_EQ(nu_ipaddr_family(&odd), AF_UNSPEC);
    EXPECT_EQ(text_of(odd), "<refused>");
}

TEST(NetutilIn6, InAddrRoundTrip)
{
    in_addr v4;
    const uint8_t octets[4] = {192, 0, 2, 1};
    std::memcpy(&v4.s_addr, octets, 4);
    nu_ipaddr_t a = poisoned<nu_ipaddr_t>();
    ASSERT_EQ(nu_ipaddr_from_inaddr(&v4, &a), 0);
    EXPECT_EQ(text_of(a), "192.0.2.1");
    const nu_ipaddr_t parsed = addr("192.0.2.1");
    EXPECT_TRUE(same_bytes(a, parsed)); // spare octets cleared
    in_addr out{};
    ASSERT_EQ(nu_ipaddr_to_inaddr(&a, &out), 0);
    EXPECT_EQ(out.s_addr, v4.s_addr);
    const nu_ipaddr_t v6 = addr("::1");
    in_addr untouched = poisoned<in_addr>();
    EXPECT_NE(nu_ipaddr_to_inaddr(&v6, &untouched), 0);
    EXPECT_TRUE(same_bytes(untouched, poisoned<in_addr>()));
}

TEST(NetutilIn6, Ordering)
{
    const nu_ipaddr_t v4a = addr("10.0.0.1"), v4b = addr("10.0.0.2"), v6 = addr("::1");
    EXPECT_LT(nu_ipaddr_cmp(&v4a, &v4b), 0);
    EXPECT_GT(nu_ipaddr_cmp(&v4b, &v4a), 0);
    EXPECT_NE(nu_ipaddr_cmp(&v4a, &v6), 0);
    EXPECT_EQ(nu_ipaddr_cmp(&v4a, &v4a), 0);
    // The mapped IPv6 value is not the IPv4 address.
    const nu_ipaddr_t m = mapped_v6(10, 0, 0, 1);
    EXPECT_NE(nu_ipaddr_cmp(&m, &v4a), 0);
}

// --- masks ------------------------------------------------------------

TEST(NetutilMask, Contiguity)
{
    const struct {
        const char *mask;
        int prefix; // -1: not a prefix mask
    } table[] = {
        {"0.0.0.0", 0}, {"128.0.0.0", 1}, {"254.0.0.0", 7}, {"255.0.0.0", 8}, {"255.255.255.0", 24},
        {"255.255.255.254", 31}, {"255.255.255.255", 32}, {"255.0.255.0", -1}, {"0.255.255.255", -1},
        {"255.255.255.1", -1}, {"255.254.255.0", -1}, {"127.0.0.0", -1}, {"255.255.0.128", -1},
        {"::", 0}, {"8000::", 1}, {"ffff:fffe::", 31}, {"ffff:ffff::", 32},
        {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:fffe", 127}, {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", 128},
        {"ffff:0:ffff::", -1}, {"::1", -1}, {"7fff::", -1}, {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:fffd", -1},
        {"fff0::1", -1},
    };
    for (const auto &t : table) {
        SCOPED_TRACE(t.mask);
        const nu_ipaddr_t m = addr(t.mask);
        const nu_ipaddr_t a = addr(nu_ipaddr_family(&m) == AF_INET ? "192.0.2.1" : "2001:db8::1");
        unsigned prefix = 777;
        nu_ipcidr_t c = poisoned<nu_ipcidr_t>();
        if (t.prefix < 0) {
            EXPECT_NE(nu_ipaddr_mask_prefix(&m, &prefix), 0);
            EXPECT_EQ(prefix, 777u);
            EXPECT_NE(nu_cidr_set(&a, &m, &c), 0);
            EXPECT_TRUE(same_bytes(c, poisoned<nu_ipcidr_t>()));
            continue;
        }
        ASSERT_EQ(nu_ipaddr_mask_prefix(&m, &prefix), 0);
        EXPECT_EQ(prefix, static_cast<unsigned>(t.prefix));
        ASSERT_EQ(nu_cidr_set(&a, &m, &c), 0);
        unsigned got = 0;
        ASSERT_EQ(nu_cidr_get_prefix(&c, &got), 0);
        EXPECT_EQ(got, prefix);
        nu_ipaddr_t m2{};
        ASSERT_EQ(nu_cidr_get_mask(&c, &m2), 0);
        EXPECT_EQ(nu_ipaddr_cmp(&m2, &m), 0);
    }
}

TEST(NetutilMask, EveryPrefixRoundTrips)
{
    for (int family : {AF_INET, AF_INET6}) {
        const unsigned bits = family == AF_INET ? 32 : 128;
        for (unsigned p = 0; p <= bits; ++p) {
            nu_ipaddr_t m{};
            ASSERT_EQ(nu_ipaddr_make_mask(family, p, &m), 0);
            unsigned back = 999;
            ASSERT_EQ(nu_ipaddr_mask_prefix(&m, &back), 0) << p;
            EXPECT_EQ(back, p);
            int ones = 0;
            for (uint8_t o : m.octet)
                ones += __builtin_popcount(o);
            EXPECT_EQ(ones, static_cast<int>(p));
        }
        nu_ipaddr_t m = poisoned<nu_ipaddr_t>();
        EXPECT_NE(nu_ipaddr_make_mask(family, bits + 1, &m), 0);
        EXPECT_TRUE(same_bytes(m, poisoned<nu_ipaddr_t>()));
    }
    nu_ipaddr_t m{};
    EXPECT_NE(nu_ipaddr_make_mask(AF_UNSPEC, 0, &m), 0);
}

TEST(NetutilMask, FamiliesMustAgree)
{
    const nu_ipaddr_t v4 = addr("192.0.2.1"), v6 = addr("2001:db8::1");
    const nu_ipaddr_t m4 = addr("255.255.255.0"), m6 = addr("ffff:ffff::");
    nu_ipaddr_t unspec{};
    const struct {
        const nu_ipaddr_t *a, *m;
    } bad[] = {{&v4, &m6}, {&v6, &m4}, {&unspec, &m4}, {&v4, &unspec}};
    for (const auto &t : bad) {
        nu_ipcidr_t c = poisoned<nu_ipcidr_t>();
        EXPECT_NE(nu_cidr_set(t.a, t.m, &c), 0);
        EXPECT_TRUE(same_bytes(c, poisoned<nu_ipcidr_t>()));
    }
    nu_ipcidr_t c = poisoned<nu_ipcidr_t>();
    EXPECT_NE(nu_cidr_set_prefix(&v4, 33, &c), 0);
    EXPECT_NE(nu_cidr_set_prefix(&v6, 129, &c), 0);
    EXPECT_TRUE(same_bytes(c, poisoned<nu_ipcidr_t>()));
    ASSERT_EQ(nu_cidr_set_prefix(&v6, 48, &c), 0);
    EXPECT_EQ(text_of(c), "2001:db8::1/48");
}

TEST(NetutilMask, DamagedPairsAreRefused)
{
    nu_ipcidr_t c{};
    ASSERT_EQ(nu_cidr_from_str("192.0.2.0/24", &c), 0);
    c.prefix = 33;
    nu_ipaddr_t a = poisoned<nu_ipaddr_t>();
    unsigned p = 5;
    EXPECT_NE(nu_cidr_get_addr(&c, &a), 0);
    EXPECT_NE(nu_cidr_get_mask(&c, &a), 0);
    EXPECT_NE(nu_cidr_get_prefix(&c, &p), 0);
    EXPECT_EQ(text_of(c), "<refused>");
    EXPECT_TRUE(same_bytes(a, poisoned<nu_ipaddr_t>()));
    EXPECT_EQ(p, 5u);
    c.prefix = 24;
    c.addr.family = AF_UNSPEC;
    EXPECT_NE(nu_cidr_get_addr(&c, &a), 0);
    EXPECT_EQ(text_of(c), "<refused>");
}

} // namespace
