// The network address library: text forms, conversions and masks.
#include <netutil.h>

#include <gtest/gtest.h>
#include <sys/socket.h>

#include "support.h"

using namespace qt;

namespace {

// A value no operation produces, to see that a refused call left its
// destination alone.
template <class T> T poisoned()
{
    T v;
    std::memset(&v, 0xa5, sizeof v);
    return v;
}

template <class T> bool same_bytes(const T &a, const T &b) { return std::memcmp(&a, &b, sizeof a) == 0; }

nu_ipaddr_t addr(const char *text)
{
    nu_ipaddr_t a{};
    EXPECT_EQ(nu_ipaddr_from_str(text, &a), 0) << text;
    return a;
}

template <class T> std::string text_of(const T &v, int (*to_str)(const T *, char *, size_t))
{
    char buf[128];
    return to_str(&v, buf, sizeof buf) ? "<refused>" : buf;
}

// to_str refuses every buffer one byte short and writes nothing then, and
// nothing past the size when it fits exactly.
template <class T> void check_sizes(const T &value, int (*to_str)(const T *, char *, size_t), const std::string &want)
{
    const size_t need = want.size() + 1;
    for (size_t size : {size_t{0}, need - 1, need}) {
        char buf[128];
        std::memset(buf, '#', sizeof buf);
        EXPECT_EQ(to_str(&value, buf, size) == 0, size == need) << want << " in " << size;
        const size_t kept = size == need ? need : 0;
        EXPECT_EQ(std::string(buf, kept), size == need ? want + '\0' : "");
        EXPECT_EQ(std::string(buf + kept, sizeof buf - kept), std::string(sizeof buf - kept, '#'));
    }
}

// Parses and checks that each bad text is refused and leaves its destination.
template <class T> void expect_refused(int (*from_str)(const char *, T *), std::initializer_list<const char *> bad)
{
    for (const char *text : bad) {
        T v = poisoned<T>();
        EXPECT_NE(from_str(text, &v), 0) << (text ? text : "(null)");
        EXPECT_TRUE(same_bytes(v, poisoned<T>())) << (text ? text : "(null)");
    }
}

} // namespace

TEST(NetutilText, Addresses)
{
    const struct { const char *in, *canonical; } table[] = {
        {"0.0.0.0", "0.0.0.0"}, {"192.0.2.1", "192.0.2.1"}, {"255.255.255.255", "255.255.255.255"},
        {"10.200.0.99", "10.200.0.99"}, {"::", "::"}, {"::1", "::1"}, {"1::", "1::"}, {"0:0:0:0:0:0:0:0", "::"},
        {"2001:DB8::1", "2001:db8::1"}, {"2001:0db8:0000:0000:0000:0000:0000:0001", "2001:db8::1"},
        {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1"}, {"fe80:0:0:0:1:0:0:0", "fe80::1:0:0:0"}, // first of equal runs
        {"2001:0:0:1:0:0:0:1", "2001:0:0:1::1"}, {"0:0:0:1:0:0:0:0", "0:0:0:1::"}, // the longest run, also at the end
        {"2001:db8::1:1:1:1:1", "2001:db8:0:1:1:1:1:1"}, {"1:0:2:0:3:0:4:0", "1:0:2:0:3:0:4:0"}, // a lone zero stays
        {"1:2:3:4:5:6:7::", "1:2:3:4:5:6:7:0"}, {"::2:3:4:5:6:7:8", "0:2:3:4:5:6:7:8"},
        {"1:2:3:4:5:6:7:8", "1:2:3:4:5:6:7:8"}, {"00ab:0Cd:e::F", "ab:cd:e::f"},
        {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"},
        {"::192.0.2.1", "::c000:201"}, {"64:ff9b::192.0.2.33", "64:ff9b::c000:221"}, // only the mapped form is dotted
        {"1:2:3:4:5:6:1.2.3.4", "1:2:3:4:5:6:102:304"}, {"::ffff:0:192.0.2.1", "::ffff:0:c000:201"},
        {"::ffff:192.0.2.1", "192.0.2.1"}, {"::FFFF:c000:0201", "192.0.2.1"}, // mapped is IPv4
        {"0:0:0:0:0:ffff:0.0.0.0", "0.0.0.0"},
    };
    for (const auto &t : table) {
        SCOPED_TRACE(t.in);
        const nu_ipaddr_t a = addr(t.in), again = addr(t.canonical);
        EXPECT_EQ(nu_ipaddr_family(&a), std::strchr(t.canonical, ':') ? AF_INET6 : AF_INET);
        EXPECT_EQ(nu_ipaddr_cmp(&a, &again), 0);
        check_sizes(a, nu_ipaddr_to_str, t.canonical);
    }
    // An AF_INET6 value holding the mapped form, which no parse makes.
    nu_ipaddr_t mapped = addr("::ffff:255.255.255.255");
    mapped.family = AF_INET6;
    std::memcpy(mapped.octet, hex("00000000 00000000 0000ffff ffffffff").data(), 16);
    check_sizes(mapped, nu_ipaddr_to_str, "::ffff:255.255.255.255");
    expect_refused(nu_ipaddr_from_str, {
        nullptr, "", " 192.0.2.1", "192.0.2.1 ", "192.0.2.1\n", "192.0.2", "192.0.2.1.5", "192.0.2.256",
        "192.0.02.1", "192.0.2.01", "+1.2.3.4", "1.2.3.+4", "1.2.3.-4", "0x1.2.3.4", "1.2.3.0x4",
        "1..2.3", ".1.2.3", "1.2.3.", "1234.1.1.1", "192.0.2.1/24", "3232235521", "1.2.3.4.",
        ":", ":::", ":1::", "1::2:", "::1:", "1:2:3:4:5:6:7", "1:2:3:4:5:6:7:8:9", "1::2::3",
        "12345::", "g::1", "::-1", "::+1", "fe80::1%eth0", "[::1]", "1:2:3:4:5:6:7:8::",
        "::1:2:3:4:5:6:7:8", "1:2:3:4:5:6:7::8", "1:2:3:4:5:6:7:1.2.3.4", "::1.2.3",
        "::1.2.3.4:5", "::1.2.3.4.5", "::ffff:1.2.3.04", "::ffff:1.2.3.256", "1.2.3.4::",
        "::ffff:1.2.3.4/96", "1:2:3:4:5:6:1.2.3.4:8", " ::1", "::1 ", "0x::1", "192.0.2.1a", "::ffff:1.2.3.4a",
    });
}

TEST(NetutilText, PairsAndMacs)
{
    // The halves and their reassembly are what the codec sweep checks.
    const struct { const char *in, *canonical; } pairs[] = {
        {"192.0.2.0/24", "192.0.2.0/24"}, {"192.0.2.77/24", "192.0.2.77/24"}, // host bits kept
        {"192.0.2.1/32", "192.0.2.1/32"}, {"0.0.0.0/0", "0.0.0.0/0"}, {"10.0.0.0/9", "10.0.0.0/9"},
        {"::ffff:10.0.0.0/8", "10.0.0.0/8"}, {"2001:DB8:0:0::1/64", "2001:db8::1/64"},
        {"2001:db8::/33", "2001:db8::/33"}, {"::/0", "::/0"}, {"::1/128", "::1/128"},
        {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff/128", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff/128"},
    };
    for (const auto &t : pairs) {
        nu_ipcidr_t c{};
        ASSERT_EQ(nu_cidr_from_str(t.in, &c), 0) << t.in;
        check_sizes(c, nu_cidr_to_str, t.canonical);
    }
    expect_refused(nu_cidr_from_str, {
        "192.0.2.0", "192.0.2.0/", "192.0.2.0/33", "192.0.2.0/024", "192.0.2.0/00", "192.0.2.0/+24",
        "192.0.2.0/-1", "192.0.2.0/24 ", "192.0.2.0 /24", "192.0.2.0/ 24", "192.0.2.0/2a",
        "192.0.2.0/0x18", "192.0.2.0/24/1", "/24", "192.0.2/24", "2001:db8::/129", "2001:db8::/1000",
        "::ffff:10.0.0.0/104", "2001:db8::%1/64", "",
    });
    const struct { const char *in, *canonical, *octets; } macs[] = {
        {"00:1a:2b:3c:4d:5e", "00:1a:2b:3c:4d:5e", "001a2b3c4d5e"},
        {"AA:bB:Cc:DD:ee:FF", "aa:bb:cc:dd:ee:ff", "aabbccddeeff"},
        {"00:00:00:00:00:00", "00:00:00:00:00:00", "000000000000"},
    };
    for (const auto &t : macs) {
        nu_macaddr_t m{};
        ASSERT_EQ(nu_macaddr_from_str(t.in, &m), 0) << t.in;
        EXPECT_EQ(to_hex(Bytes(m.octet, m.octet + 6)), to_hex(hex(t.octets)));
        check_sizes(m, nu_macaddr_to_str, t.canonical);
    }
    expect_refused(nu_macaddr_from_str, {
        "", "0:1a:2b:3c:4d:5e", "00:1a:2b:3c:4d", "00:1a:2b:3c:4d:5e:", "00-1a-2b-3c-4d-5e",
        "001a.2b3c.4d5e", "00:1a:2b:3c:4d:5g", " 00:1a:2b:3c:4d:5e", "00:1a:2b:3c:4d:5e0",
        "00:1a:2b:3c:4d::5", "+0:1a:2b:3c:4d:5e", "00:1a:2b:3c:4d:5e ", "00:1a:2b:3c:4d-5e",
    });
}

// The forms that convert are covered by the codec sweep of vectors.tsv.
TEST(NetutilIn6, ConversionsKeepTheFamily)
{
    // What would not come back is refused: no family, an unknown one, and
    // an AF_INET6 value holding the mapped form.
    nu_ipaddr_t unspec{}, odd = addr("192.0.2.1"), mapped = addr("::1");
    odd.family = 99;
    mapped.octet[10] = mapped.octet[11] = 0xff;
    for (const nu_ipaddr_t &a : {unspec, odd, mapped}) {
        in6_addr form = poisoned<in6_addr>();
        EXPECT_NE(nu_ipaddr_to_in6addr(&a, &form), 0);
        EXPECT_TRUE(same_bytes(form, poisoned<in6_addr>()));
    }
    EXPECT_EQ(nu_ipaddr_family(&odd), AF_UNSPEC);
    EXPECT_EQ(text_of(odd, nu_ipaddr_to_str), "<refused>");
    // in_addr: spare octets cleared; IPv6 refused.
    in_addr v4, out = poisoned<in_addr>();
    std::memcpy(&v4.s_addr, hex("c0000201").data(), 4);
    nu_ipaddr_t a = poisoned<nu_ipaddr_t>();
    ASSERT_EQ(nu_ipaddr_from_inaddr(&v4, &a), 0);
    EXPECT_TRUE(same_bytes(a, addr("192.0.2.1")));
    EXPECT_NE(nu_ipaddr_to_inaddr(&mapped, &out), 0);
    EXPECT_TRUE(same_bytes(out, poisoned<in_addr>()));
    ASSERT_EQ(nu_ipaddr_to_inaddr(&a, &out), 0);
    EXPECT_EQ(out.s_addr, v4.s_addr);
    // Ordering: by value, and a mapped IPv6 value is not its IPv4 address.
    const nu_ipaddr_t lo = addr("0.0.0.1"), hi = addr("0.0.0.2");
    EXPECT_LT(nu_ipaddr_cmp(&lo, &hi), 0);
    EXPECT_GT(nu_ipaddr_cmp(&hi, &lo), 0);
    EXPECT_NE(nu_ipaddr_cmp(&mapped, &lo), 0);
}

TEST(NetutilMask, PrefixesAndPairs)
{
    const struct { const char *mask; int prefix; } table[] = { // prefix -1: not a prefix mask
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
        const int family = nu_ipaddr_family(&m);
        const nu_ipaddr_t a = addr(family == AF_INET ? "192.0.2.1" : "2001:db8::1");
        unsigned prefix = 777, got = 0;
        nu_ipcidr_t c = poisoned<nu_ipcidr_t>();
        nu_ipaddr_t made = poisoned<nu_ipaddr_t>();
        EXPECT_EQ(nu_ipaddr_mask_prefix(&m, &prefix) == 0, t.prefix >= 0);
        EXPECT_EQ(nu_cidr_set(&a, &m, &c) == 0, t.prefix >= 0);
        if (t.prefix < 0) {
            EXPECT_EQ(prefix, 777u);
            EXPECT_TRUE(same_bytes(c, poisoned<nu_ipcidr_t>()));
            continue;
        }
        EXPECT_EQ(prefix, static_cast<unsigned>(t.prefix));
        ASSERT_EQ(nu_cidr_get_prefix(&c, &got), 0);
        EXPECT_EQ(got, prefix);
        ASSERT_EQ(nu_ipaddr_make_mask(family, prefix, &made), 0);
        EXPECT_TRUE(same_bytes(made, m));
    }
    for (int family : {AF_INET, AF_INET6, AF_UNSPEC}) {
        const unsigned over = family == AF_INET ? 33 : family == AF_INET6 ? 129 : 0;
        nu_ipaddr_t m = poisoned<nu_ipaddr_t>();
        EXPECT_NE(nu_ipaddr_make_mask(family, over, &m), 0);
        EXPECT_TRUE(same_bytes(m, poisoned<nu_ipaddr_t>()));
    }
    // The families must agree; the prefix must fit the family.
    const nu_ipaddr_t v4 = addr("192.0.2.1"), v6 = addr("2001:db8::1"), unspec{};
    const nu_ipaddr_t m4 = addr("255.255.255.0");
    nu_ipcidr_t c = poisoned<nu_ipcidr_t>();
    EXPECT_NE(nu_cidr_set(&unspec, &m4, &c), 0); // mixed families: the codec vectors
    EXPECT_NE(nu_cidr_set(&v4, &unspec, &c), 0);
    EXPECT_NE(nu_cidr_set_prefix(&v4, 33, &c), 0);
    EXPECT_NE(nu_cidr_set_prefix(&v6, 129, &c), 0);
    EXPECT_TRUE(same_bytes(c, poisoned<nu_ipcidr_t>()));
    ASSERT_EQ(nu_cidr_set_prefix(&v6, 48, &c), 0);
    EXPECT_EQ(text_of(c, nu_cidr_to_str), "2001:db8::1/48");
    // A damaged pair is refused by every reader.
    ASSERT_EQ(nu_cidr_set_prefix(&v4, 24, &c), 0);
    c.prefix = 33;
    nu_ipaddr_t a = poisoned<nu_ipaddr_t>();
    unsigned p = 5;
    EXPECT_NE(nu_cidr_get_addr(&c, &a), 0);
    EXPECT_NE(nu_cidr_get_mask(&c, &a), 0);
    EXPECT_NE(nu_cidr_get_prefix(&c, &p), 0);
    EXPECT_EQ(text_of(c, nu_cidr_to_str), "<refused>");
    EXPECT_TRUE(same_bytes(a, poisoned<nu_ipaddr_t>()));
    EXPECT_EQ(p, 5u);
    c.prefix = 24;
    c.addr.family = AF_UNSPEC;
    EXPECT_NE(nu_cidr_get_addr(&c, &a), 0);
    EXPECT_EQ(text_of(c, nu_cidr_to_str), "<refused>");
}
