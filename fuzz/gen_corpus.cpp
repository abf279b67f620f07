// Writes the fuzzers' seed corpora: values of every type encoded by our own
// filters, plus a few hand-made hostile forms, each behind a handful of
// schedule headers (see harness.h). Usage: gen_corpus DIR (fuzz/corpus).
#include <arpa/inet.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "harness.h"

namespace {

using qt::Bytes;
using qv::Value;

struct Header {
    const char *label;
    uint8_t flags, prim, setup, byte, budget;
    Bytes pieces;
};

// Whole pieces; one byte at a time with pending at every other primitive
// and every fourth setup; random-ish pieces, ALT codes and a budget; an
// early end of input with a lazy caller.
const Header kHeaders[] = {
    {"whole", 0x70, 0, 0, 0, 0, {0}},
    {"bytes", 0x00, 14, 12, 0, 0, {}},
    {"pieces", 0x33, 3, 0, 5, 40, {3, 1, 7, 2}},
    {"early", 0x1c, 5, 2, 0, 0, {5}},
};

bool write_file(const std::string &path, const Bytes &b)
{
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = std::fwrite(b.data(), 1, b.size(), f) == b.size();
    return std::fclose(f) == 0 && ok;
}

int failures = 0;

void seed(const std::string &dir, const qf::Family &fam, qv::Type t, const char *name,
          const Bytes &wire)
{
    size_t index = 0;
    while (fam.types[index] != t)
        ++index;
    for (const Header &h : kHeaders) {
        Bytes b = {static_cast<uint8_t>(index), h.flags, h.prim, h.setup, h.byte, h.budget,
                   static_cast<uint8_t>(h.pieces.size())};
        b.insert(b.end(), h.pieces.begin(), h.pieces.end());
        b.insert(b.end(), wire.begin(), wire.end());
        std::string path = dir + "/" + fam.name + "/" + qv::type_name(t) + "-" + name + "-" + h.label;
        if (!write_file(path, b)) {
            std::fprintf(stderr, "gen_corpus: cannot write %s\n", path.c_str());
            ++failures;
        }
    }
}

// Encodes v with our filter and seeds the result.
void seed_value(const std::string &dir, const qf::Family &fam, const char *name, Value &v)
{
    Bytes wire;
    if (qt::encode_mem<Value>(qv::code, &v, wire, 4096) != AXDR_TRUE) {
        std::fprintf(stderr, "gen_corpus: %s %s does not encode\n", qv::type_name(v.type), name);
        ++failures;
        return;
    }
    seed(dir, fam, v.type, name, wire);
}

nu_ipaddr_t ip(const char *text)
{
    nu_ipaddr_t a{};
    if (nu_ipaddr_from_str(text, &a) != 0)
        ++failures;
    return a;
}

void addr(const std::string &dir, const qf::Family &fam)
{
    Value a4(qv::IN_ADDR);
    inet_pton(AF_INET, "192.0.2.1", &a4.u.a4);
    seed_value(dir, fam, "v4", a4);
    Value a6(qv::IN6_ADDR);
    inet_pton(AF_INET6, "2001:db8::1", &a6.u.a6);
    seed_value(dir, fam, "v6", a6);
    Value mac(qv::MACADDR);
    for (uint8_t i = 0; i < 6; ++i)
        mac.u.mac.octet[i] = static_cast<uint8_t>(0x11 * i);
    seed_value(dir, fam, "mac", mac);
    Bytes wide; // elements above 255 keep their low 8 bits
    for (uint32_t v : {0x1ffu, 0u, 0xffffffffu, 1u, 256u, 255u})
        qt::put_u32(wide, v);
    seed(dir, fam, qv::MACADDR, "wide", wide);
}

void netrl(const std::string &dir, const qf::Family &fam)
{
    for (const char *text : {"192.0.2.1", "2001:db8::1"}) {
        Value v(qv::IPADDR);
        v.u.ip = ip(text);
        seed_value(dir, fam, text[0] == '1' ? "v4" : "v6", v);
    }
    struct {
        const char *name, *addr;
        unsigned prefix;
    } pairs[] = {{"v4", "192.0.2.7", 24}, {"v6", "2001:db8::9", 32}};
    for (const auto &p : pairs) {
        Value v(qv::IPCIDR);
        nu_ipaddr_t a = ip(p.addr);
        if (nu_cidr_set_prefix(&a, p.prefix, &v.u.cidr) != 0)
            ++failures;
        seed_value(dir, fam, p.name, v);
    }
    Bytes bad_mask; // ::ffff:192.0.2.1 with a mask of holes
    for (uint32_t w : {0u, 0u, 0xffffu, 0xc0000201u, 0u, 0u, 0xffffu, 0xff00ff00u})
        qt::put_u32(bad_mask, w);
    seed(dir, fam, qv::IPCIDR, "holes", bad_mask);
    Value lim(qv::RLIM);
    lim.u.lim = 1024;
    seed_value(dir, fam, "1024", lim);
    Value lims(qv::RLIMIT);
    lims.u.lims = {1024, RLIM_INFINITY};
    seed_value(dir, fam, "soft", lims);
}

void containers(const std::string &dir, const qf::Family &fam)
{
    Value empty(qv::MAP);
    map_init(&empty.u.map);
    seed_value(dir, fam, "empty", empty);
    Value m(qv::MAP);
    map_init(&m.u.map);
    map_insert_str(&m.u.map, "host", "example");
    map_insert_str(&m.u.map, "a b", "tab\there");
    map_insert_str(&m.u.map, "", "empty key");
    seed_value(dir, fam, "three", m);

    Value am(qv::ARRAYMAP);
    arraymap_init(&am.u.amap);
    arraymap_insert_str(&am.u.amap, "a", "x");
    arraymap_insert_str(&am.u.amap, "a", "y");
    arraymap_insert_str(&am.u.amap, "dns", "192.0.2.53");
    seed_value(dir, fam, "two", am);
    Value mm(qv::MULTIMAP);
    multimap_init(&mm.u.mmap);
    multimap_insert_str(&mm.u.mmap, "k", "v");
    multimap_insert_str(&mm.u.mmap, "k", "v");
    multimap_insert_str(&mm.u.mmap, "route", "0.0.0.0/0");
    seed_value(dir, fam, "two", mm);

    // Hand-made: a repeated map key, a key with no values, a huge count
    // with little data, a value count of -1.
    Bytes dup;
    qt::put_u32(dup, 2);
    for (int i = 0; i < 2; ++i) {
        qt::put_str(dup, "k");
        qt::put_str(dup, i ? "second" : "first");
    }
    seed(dir, fam, qv::MAP, "dup", dup);
    Bytes novalues;
    qt::put_u32(novalues, 2);
    qt::put_str(novalues, "none");
    qt::put_u32(novalues, 0);
    qt::put_str(novalues, "one");
    qt::put_u32(novalues, 1);
    qt::put_str(novalues, "v");
    seed(dir, fam, qv::ARRAYMAP, "novalues", novalues);
    Bytes huge;
    qt::put_u32(huge, 0x7fffffff);
    qt::put_str(huge, "k");
    qt::put_u32(huge, 1);
    qt::put_str(huge, "v");
    seed(dir, fam, qv::MULTIMAP, "huge", huge);
    Bytes negative;
    qt::put_u32(negative, 1);
    qt::put_str(negative, "k");
    qt::put_u32(negative, 0xffffffff);
    seed(dir, fam, qv::ARRAYMAP, "negative", negative);
}

} // namespace

int main(int argc, char **argv)
{
    std::string dir = argc > 1 ? argv[1] : "fuzz/corpus";
    mkdir(dir.c_str(), 0755);
    for (const qf::Family &fam : qf::kFamilies)
        mkdir((dir + "/" + fam.name).c_str(), 0755);
    addr(dir, qf::kFamilies[0]);
    containers(dir, qf::kFamilies[1]);
    netrl(dir, qf::kFamilies[2]);
    return failures ? 1 : 0;
}
