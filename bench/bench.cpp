// Our filters against classic XDR (libtirpc) on identical wire data, in one
// process, ending with a table of ratios taken from this run's medians.
//
//   bench [--smoke] [--iterations=N] [--one-process] [google benchmark flags]
// Each benchmark runs in a process of its own, forked from the same state
// once the wire data is made, so that no row runs on the heap an earlier
// row left behind (the large containers' rows depend on it).
// --iterations=N runs each benchmark exactly N times, for instruction counts
// (valgrind --tool=callgrind): the difference of two such runs divided by
// the extra iterations is the cost of one.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include <regex>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

#include <rpc/xdr.h>

#include <axdr_runtime.h>
#include <quillet/quillet.h>

#include "ideal.h"

namespace {

using Bytes = std::vector<uint8_t>;

void put_u32(Bytes &b, uint32_t v)
{
    for (int sh = 24; sh >= 0; sh -= 8)
        b.push_back(static_cast<uint8_t>(v >> sh));
}

void put_str(Bytes &b, const std::string &s)
{
    put_u32(b, static_cast<uint32_t>(s.size()));
    b.insert(b.end(), s.begin(), s.end());
    while (b.size() % 4)
        b.push_back(0);
}

std::string random_text(std::mt19937 &rng, size_t n)
{
    static const char alphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::string s(n, ' ');
    for (char &c : s)
        c = alphabet[rng() % (sizeof alphabet - 1)];
    return s;
}

// --- data sets -------------------------------------------------------------

struct MapData {
    std::vector<std::pair<std::string, std::string>> entries;
    Bytes wire;
};

const MapData &map_data(int n)
{
    static std::map<int, MapData> cache;
    MapData &d = cache[n];
    if (d.wire.empty()) {
        std::mt19937 rng(static_cast<unsigned>(n));
        put_u32(d.wire, static_cast<uint32_t>(n));
        for (int i = 0; i < n; ++i) {
            // Unique keys of 10 characters, values of 24.
            char key[16];
            std::snprintf(key, sizeof key, "%c%09d", 'a' + i % 26, i);
            d.entries.emplace_back(key, random_text(rng, 24));
            put_str(d.wire, d.entries.back().first);
            put_str(d.wire, d.entries.back().second);
        }
    }
    return d;
}

struct MultiData {
    std::vector<std::pair<std::string, std::vector<std::string>>> keys;
    Bytes wire;
};

const MultiData &multi_data()
{
    static MultiData d;
    if (d.wire.empty()) {
        std::mt19937 rng(7);
        put_u32(d.wire, 1024);
        for (int i = 0; i < 1024; ++i) {
            char key[16];
            std::snprintf(key, sizeof key, "m%09d", i);
            d.keys.emplace_back(key, std::vector<std::string>());
            put_str(d.wire, key);
            put_u32(d.wire, 4);
            for (int j = 0; j < 4; ++j) {
                d.keys.back().second.push_back(random_text(rng, 16));
                put_str(d.wire, d.keys.back().second.back());
            }
        }
    }
    return d;
}

// Keys of 128 bytes that all share one 32-bit FNV-1a hash (the unkeyed hash
// the containers once used, whose final mix is a bijection): a birthday
// search finds two 8-byte blocks that meet from the same state, and 16 such
// pairs in a row give 2^16 keys. Against random keys of the same length.
constexpr int n_flood = 50000;

std::vector<std::string> fnv_multicollision()
{
    std::mt19937_64 rng(5);
    uint32_t h = 2166136261u;
    std::vector<std::pair<uint64_t, uint64_t>> pairs;
    std::vector<std::pair<uint32_t, uint64_t>> seen(1u << 17); // state, block
    while (pairs.size() < 16) {
        for (auto &[state, block] : seen) {
            block = 0x4141414141414141ull | (rng() & 0x1f1f1f1f1f1f1f1full); // letters
            state = h;
            for (int i = 0; i < 8; ++i)
                state = (state ^ static_cast<uint8_t>(block >> (8 * i))) * 16777619u;
        }
        std::sort(seen.begin(), seen.end());
        for (size_t i = 1; i < seen.size(); ++i)
            if (seen[i].first == seen[i - 1].first && seen[i].second != seen[i - 1].second) {
                pairs.push_back({seen[i].second, seen[i - 1].second});
                h = seen[i].first;
                break;
            }
    }
    std::vector<std::string> keys;
    for (int n = 0; n < n_flood; ++n) {
        std::string k;
        for (int i = 0; i < 16; ++i) {
            const uint64_t b = n >> i & 1 ? pairs[i].second : pairs[i].first;
            for (int j = 0; j < 8; ++j)
                k.push_back(static_cast<char>(b >> (8 * j)));
        }
        keys.push_back(k);
    }
    return keys;
}

const Bytes &flood_wire(bool colliding)
{
    static Bytes wire[2];
    Bytes &w = wire[colliding];
    if (w.empty()) {
        std::mt19937 rng(9);
        std::vector<std::string> keys;
        if (colliding)
            keys = fnv_multicollision();
        else
            for (int i = 0; i < n_flood; ++i)
                keys.push_back(random_text(rng, 128));
        put_u32(w, n_flood);
        for (const std::string &k : keys) {
            put_str(w, k);
            put_str(w, random_text(rng, 8));
        }
    }
    return w;
}

constexpr int n_small = 100000;

struct AddrData {
    std::vector<in6_addr> in6;
    std::vector<struct rlimit> rl;
    Bytes in6_wire, rl_wire;
};

const AddrData &addr_data()
{
    static AddrData d;
    if (d.in6.empty()) {
        std::mt19937 rng(11);
        for (int i = 0; i < n_small; ++i) {
            in6_addr a;
            for (uint8_t &o : a.s6_addr)
                o = static_cast<uint8_t>(rng());
            d.in6.push_back(a);
            d.in6_wire.insert(d.in6_wire.end(), a.s6_addr, a.s6_addr + 16);
            struct rlimit r;
            r.rlim_cur = rng() % 100000;
            r.rlim_max = i % 7 ? r.rlim_cur * 4 : RLIM_INFINITY;
            d.rl.push_back(r);
            for (uint64_t v : {uint64_t{r.rlim_cur}, uint64_t{r.rlim_max}}) {
                put_u32(d.rl_wire, static_cast<uint32_t>(v >> 32));
                put_u32(d.rl_wire, static_cast<uint32_t>(v));
            }
        }
    }
    return d;
}

// --- helpers ---------------------------------------------------------------

struct OurStream {
    axdr_stream_t *s;
    OurStream(Bytes &buf, int op) : s(axdr_mem_create(buf.data(), buf.size(), op)) {}
    ~OurStream() { axdr_destroy(s); }
};

void check(bool ok, benchmark::State &st, const char *what)
{
    if (!ok)
        st.SkipWithError(what);
}

// --- maps ------------------------------------------------------------------

// Decodes wire into a fresh map_t per iteration, through our filter.
void decode_map_wire(benchmark::State &st, Bytes wire)
{
    OurStream s(wire, AXDR_DECODE);
    for (auto _ : st) {
        axdr_reset(s.s);
        map_t m{};
        check(axdr_map_t(s.s, &m) == AXDR_TRUE, st, "decode");
        map_destroy(&m);
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * wire.size()));
}

void map_decode_ours(benchmark::State &st, int n) { decode_map_wire(st, map_data(n).wire); }

void map_decode_tirpc(benchmark::State &st, int n)
{
    Bytes wire = map_data(n).wire;
    for (auto _ : st) {
        XDR x;
        xdrmem_create(&x, reinterpret_cast<char *>(wire.data()), static_cast<u_int>(wire.size()), XDR_DECODE);
        int count = 0;
        bool ok = xdr_int(&x, &count);
        std::unordered_map<std::string, std::string> m;
        m.reserve(static_cast<size_t>(count));
        for (int i = 0; ok && i < count; ++i) {
            char *k = nullptr, *v = nullptr;
            ok = xdr_string(&x, &k, ~0u) && xdr_string(&x, &v, ~0u);
            if (ok)
                m.emplace(k, v);
            free(k);
            free(v);
        }
        check(ok, st, "decode");
        benchmark::DoNotOptimize(m);
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * wire.size()));
}

// The map that d's wire bytes encode.
map_t filled_map(const MapData &d)
{
    map_t m{};
    map_init(&m);
    for (const auto &e : d.entries)
        map_insert_str(&m, e.first.c_str(), e.second.c_str());
    return m;
}

void map_encode_ours(benchmark::State &st, int n)
{
    const MapData &d = map_data(n);
    map_t m = filled_map(d);
    Bytes out(d.wire.size());
    OurStream s(out, AXDR_ENCODE);
    for (auto _ : st) {
        axdr_reset(s.s);
        check(axdr_map_t(s.s, &m) == AXDR_TRUE, st, "encode");
    }
    check(out == d.wire, st, "bytes differ");
    map_destroy(&m);
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * out.size()));
}

void map_encode_tirpc(benchmark::State &st, int n)
{
    const MapData &d = map_data(n);
    std::unordered_map<std::string, std::string> m(d.entries.begin(), d.entries.end());
    Bytes out(d.wire.size());
    XDR x;
    xdrmem_create(&x, reinterpret_cast<char *>(out.data()), static_cast<u_int>(out.size()), XDR_ENCODE);
    for (auto _ : st) {
        xdr_setpos(&x, 0);
        int count = static_cast<int>(m.size());
        bool ok = xdr_int(&x, &count);
        for (auto &e : m) {
            char *k = const_cast<char *>(e.first.c_str());
            char *v = const_cast<char *>(e.second.c_str());
            ok = ok && xdr_string(&x, &k, ~0u) && xdr_string(&x, &v, ~0u);
        }
        check(ok, st, "encode");
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * out.size()));
}

void map_decode_flood(benchmark::State &st, bool colliding) { decode_map_wire(st, flood_wire(colliding)); }

// The 65536-entry map through the incremental stream, fed in pieces.
void map_decode_pieces(benchmark::State &st, size_t piece)
{
    const Bytes &wire = map_data(65536).wire;
    axdr_stream_t *s = axdr_incr_create(AXDR_DECODE, 0);
    for (auto _ : st) {
        axdr_reset(s);
        map_t m{};
        int r = AXDR_PENDING;
        size_t step = piece ? piece : wire.size();
        for (size_t off = 0; off < wire.size() && r == AXDR_PENDING; off += step) {
            size_t n = wire.size() - off < step ? wire.size() - off : step;
            axdr_feed(s, wire.data() + off, n);
            r = axdr_map_t(s, &m);
        }
        check(r == AXDR_TRUE, st, "decode");
        map_destroy(&m);
    }
    axdr_destroy(s);
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * wire.size()));
}

// --- multimap --------------------------------------------------------------

void multi_decode_ours(benchmark::State &st)
{
    Bytes wire = multi_data().wire;
    OurStream s(wire, AXDR_DECODE);
    for (auto _ : st) {
        axdr_reset(s.s);
        multimap_t m{};
        check(axdr_multimap_t(s.s, &m) == AXDR_TRUE, st, "decode");
        multimap_destroy(&m);
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * wire.size()));
}

void multi_decode_tirpc(benchmark::State &st)
{
    Bytes wire = multi_data().wire;
    for (auto _ : st) {
        XDR x;
        xdrmem_create(&x, reinterpret_cast<char *>(wire.data()), static_cast<u_int>(wire.size()), XDR_DECODE);
        int keys = 0;
        bool ok = xdr_int(&x, &keys);
        std::unordered_map<std::string, std::vector<std::string>> m;
        m.reserve(static_cast<size_t>(keys));
        for (int i = 0; ok && i < keys; ++i) {
            char *k = nullptr;
            int nv = 0;
            ok = xdr_string(&x, &k, ~0u) && xdr_int(&x, &nv);
            std::vector<std::string> *vals = ok ? &m[k] : nullptr;
            for (int j = 0; ok && j < nv; ++j) {
                char *v = nullptr;
                ok = xdr_string(&x, &v, ~0u);
                if (ok)
                    vals->emplace_back(v);
                free(v);
            }
            free(k);
        }
        check(ok, st, "decode");
        benchmark::DoNotOptimize(m);
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * wire.size()));
}

// --- addresses and limits ----------------------------------------------------

void in6_encode_ours(benchmark::State &st)
{
    AddrData d = addr_data();
    Bytes out(d.in6_wire.size());
    OurStream s(out, AXDR_ENCODE);
    for (auto _ : st) {
        axdr_reset(s.s);
        bool ok = true;
        for (in6_addr &a : d.in6)
            ok &= axdr_in6_addr(s.s, &a) == AXDR_TRUE;
        check(ok, st, "encode");
    }
    check(out == d.in6_wire, st, "bytes differ");
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * out.size()));
}

bool tirpc_in6(XDR *x, in6_addr *a)
{
    // Four words in network order, as a classic filter would send them.
    for (int i = 0; i < 4; ++i) {
        uint32_t w;
        std::memcpy(&w, a->s6_addr + 4 * i, 4);
        uint32_t v = ntohl(w);
        if (!xdr_uint32_t(x, &v))
            return false;
        w = htonl(v);
        std::memcpy(a->s6_addr + 4 * i, &w, 4);
    }
    return true;
}

void in6_encode_tirpc(benchmark::State &st)
{
    AddrData d = addr_data();
    Bytes out(d.in6_wire.size());
    XDR x;
    xdrmem_create(&x, reinterpret_cast<char *>(out.data()), static_cast<u_int>(out.size()), XDR_ENCODE);
    for (auto _ : st) {
        xdr_setpos(&x, 0);
        bool ok = true;
        for (in6_addr &a : d.in6)
            ok &= tirpc_in6(&x, &a);
        check(ok, st, "encode");
    }
    check(out == d.in6_wire, st, "bytes differ");
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * out.size()));
}

void in6_decode_ours(benchmark::State &st)
{
    Bytes wire = addr_data().in6_wire;
    std::vector<in6_addr> got(n_small);
    OurStream s(wire, AXDR_DECODE);
    for (auto _ : st) {
        axdr_reset(s.s);
        bool ok = true;
        for (in6_addr &a : got)
            ok &= axdr_in6_addr(s.s, &a) == AXDR_TRUE;
        check(ok, st, "decode");
        benchmark::DoNotOptimize(got.data());
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * wire.size()));
}

void in6_decode_tirpc(benchmark::State &st)
{
    Bytes wire = addr_data().in6_wire;
    std::vector<in6_addr> got(n_small);
    XDR x;
    xdrmem_create(&x, reinterpret_cast<char *>(wire.data()), static_cast<u_int>(wire.size()), XDR_DECODE);
    for (auto _ : st) {
        xdr_setpos(&x, 0);
        bool ok = true;
        for (in6_addr &a : got)
            ok &= tirpc_in6(&x, &a);
        check(ok, st, "decode");
        benchmark::DoNotOptimize(got.data());
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * wire.size()));
}

void rlimit_encode_ours(benchmark::State &st)
{
    AddrData d = addr_data();
    Bytes out(d.rl_wire.size());
    OurStream s(out, AXDR_ENCODE);
    for (auto _ : st) {
        axdr_reset(s.s);
        bool ok = true;
        for (struct rlimit &r : d.rl)
            ok &= axdr_rlimit(s.s, &r) == AXDR_TRUE;
        check(ok, st, "encode");
    }
    check(out == d.rl_wire, st, "bytes differ");
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * out.size()));
}

bool tirpc_rlimit(XDR *x, struct rlimit *r)
{
    uint64_t cur = r->rlim_cur, max = r->rlim_max;
    bool ok = xdr_uint64_t(x, &cur) && xdr_uint64_t(x, &max);
    r->rlim_cur = cur;
    r->rlim_max = max;
    return ok;
}

void rlimit_encode_tirpc(benchmark::State &st)
{
    AddrData d = addr_data();
    Bytes out(d.rl_wire.size());
    XDR x;
    xdrmem_create(&x, reinterpret_cast<char *>(out.data()), static_cast<u_int>(out.size()), XDR_ENCODE);
    for (auto _ : st) {
        xdr_setpos(&x, 0);
        bool ok = true;
        for (struct rlimit &r : d.rl)
            ok &= tirpc_rlimit(&x, &r);
        check(ok, st, "encode");
    }
    check(out == d.rl_wire, st, "bytes differ");
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * out.size()));
}

void rlimit_decode_ours(benchmark::State &st)
{
    Bytes wire = addr_data().rl_wire;
    std::vector<struct rlimit> got(n_small);
    OurStream s(wire, AXDR_DECODE);
    for (auto _ : st) {
        axdr_reset(s.s);
        bool ok = true;
        for (struct rlimit &r : got)
            ok &= axdr_rlimit(s.s, &r) == AXDR_TRUE;
        check(ok, st, "decode");
        benchmark::DoNotOptimize(got.data());
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * wire.size()));
}

void rlimit_decode_tirpc(benchmark::State &st)
{
    Bytes wire = addr_data().rl_wire;
    std::vector<struct rlimit> got(n_small);
    XDR x;
    xdrmem_create(&x, reinterpret_cast<char *>(wire.data()), static_cast<u_int>(wire.size()), XDR_DECODE);
    for (auto _ : st) {
        xdr_setpos(&x, 0);
        bool ok = true;
        for (struct rlimit &r : got)
            ok &= tirpc_rlimit(&x, &r);
        check(ok, st, "decode");
        benchmark::DoNotOptimize(got.data());
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * wire.size()));
}

// The limit: copying the same wire bytes.
void copy_bytes(benchmark::State &st, const Bytes *wire)
{
    Bytes out(wire->size());
    for (auto _ : st) {
        std::memcpy(out.data(), wire->data(), wire->size());
        benchmark::ClobberMemory();
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * wire->size()));
}

// --- the ideal loops (ideal.h): the limit for these containers ------------

void map_decode_ideal(benchmark::State &st, int n)
{
    const Bytes &wire = map_data(n).wire;
    for (auto _ : st) {
        map_t m{};
        check(ideal_map_decode(wire.data(), wire.size(), &m) == 1, st, "decode");
        map_destroy(&m);
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * wire.size()));
}

void map_encode_ideal(benchmark::State &st, int n)
{
    const MapData &d = map_data(n);
    map_t m = filled_map(d);
    Bytes out(d.wire.size());
    for (auto _ : st) {
        check(ideal_map_encode(&m, out.data(), out.size()) == out.size(), st, "encode");
        benchmark::ClobberMemory();
    }
    check(out == d.wire, st, "bytes differ");
    map_destroy(&m);
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * out.size()));
}

void multi_decode_ideal(benchmark::State &st)
{
    const Bytes &wire = multi_data().wire;
    for (auto _ : st) {
        multimap_t m{};
        check(ideal_multimap_decode(wire.data(), wire.size(), &m) == 1, st, "decode");
        multimap_destroy(&m);
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * wire.size()));
}

// --- the ratio table -------------------------------------------------------

class Collector : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> median; // name -> CPU time per iteration (steadier than wall time on a shared machine)

    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &r : runs) {
            if (r.error_occurred)
                continue;
            std::string name = r.run_name.str();
            if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median")
                median[name] = r.GetAdjustedCPUTime();
            else if (r.run_type == Run::RT_Iteration && !median.count(name))
                median[name] = r.GetAdjustedCPUTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

// Runs each benchmark that the filter selects in a child of this process
// and gathers the children's medians into c.
void run_isolated(const std::vector<std::string> &names, Collector &c)
{
    const std::string filter = benchmark::GetBenchmarkFilter();
    const std::regex selected(filter.empty() || filter == "all" ? "." : filter);
    bool first = true;
    for (const std::string &name : names) {
        if (!std::regex_search(name, selected))
            continue;
        int fds[2];
        if (pipe(fds) != 0)
            return;
        std::fflush(stdout);
        std::fflush(stderr);
        const pid_t pid = fork();
        if (pid == 0) {
            close(fds[0]);
            Collector child;
            std::ostringstream quiet;
            if (!first)
                child.SetErrorStream(&quiet); // the machine's description once
            benchmark::RunSpecifiedBenchmarks(&child, "^" + name + "$");
            std::fflush(stdout);
            for (const auto &[n, t] : child.median)
                dprintf(fds[1], "%s %.17g\n", n.c_str(), t);
            _exit(0);
        }
        close(fds[1]);
        std::string got;
        char buf[512];
        for (ssize_t k; (k = read(fds[0], buf, sizeof buf)) > 0;)
            got.append(buf, static_cast<size_t>(k));
        close(fds[0]);
        if (pid > 0)
            waitpid(pid, nullptr, 0);
        std::istringstream lines(got);
        std::string n;
        for (double t; lines >> n >> t;)
            c.median[n] = t;
        first = false;
    }
}

void print_ratios(const Collector &c)
{
    auto t = [&](const std::string &n) {
        auto it = c.median.find(n);
        return it == c.median.end() ? 0.0 : it->second;
    };
    struct Row {
        const char *label;
        std::string num, den; // ratio = time(den) / time(num): throughput of num over den
        double target;
    } rows[] = {
        {"map decode+insert 16, ours/libtirpc", "map_decode/ours/16", "map_decode/tirpc/16", 2.5},
        {"map decode+insert 1024, ours/libtirpc", "map_decode/ours/1024", "map_decode/tirpc/1024", 2.5},
        {"map decode+insert 65536, ours/libtirpc", "map_decode/ours/65536", "map_decode/tirpc/65536", 2.5},
        {"map encode 16, ours/libtirpc", "map_encode/ours/16", "map_encode/tirpc/16", 1.8},
        {"map encode 1024, ours/libtirpc", "map_encode/ours/1024", "map_encode/tirpc/1024", 1.8},
        {"map encode 65536, ours/libtirpc", "map_encode/ours/65536", "map_encode/tirpc/65536", 1.8},
        {"multimap decode+insert, ours/libtirpc", "multimap_decode/ours", "multimap_decode/tirpc", 2.5},
        {"in6_addr encode, ours/libtirpc", "in6_encode/ours", "in6_encode/tirpc", 2.0},
        {"in6_addr decode, ours/libtirpc", "in6_decode/ours", "in6_decode/tirpc", 2.0},
        {"rlimit encode, ours/libtirpc", "rlimit_encode/ours", "rlimit_encode/tirpc", 2.0},
        {"rlimit decode, ours/libtirpc", "rlimit_decode/ours", "rlimit_decode/tirpc", 2.0},
        {"map decode+insert 16, ours/ideal", "map_decode/ours/16", "map_decode/ideal/16", 0.85},
        {"map decode+insert 1024, ours/ideal", "map_decode/ours/1024", "map_decode/ideal/1024", 0.85},
        {"map decode+insert 65536, ours/ideal", "map_decode/ours/65536", "map_decode/ideal/65536", 0.85},
        {"map encode 16, ours/ideal", "map_encode/ours/16", "map_encode/ideal/16", 0.85},
        {"map encode 1024, ours/ideal", "map_encode/ours/1024", "map_encode/ideal/1024", 0.85},
        {"map encode 65536, ours/ideal", "map_encode/ours/65536", "map_encode/ideal/65536", 0.85},
        {"multimap decode+insert, ours/ideal", "multimap_decode/ours", "multimap_decode/ideal", 0.85},
        {"map decode 65536, ours/memcpy", "map_decode/ours/65536", "memcpy/map65536", 0},
        {"map encode 65536, ours/memcpy", "map_encode/ours/65536", "memcpy/map65536", 0},
        {"multimap decode, ours/memcpy", "multimap_decode/ours", "memcpy/multimap", 0},
        {"in6_addr decode, ours/memcpy", "in6_decode/ours", "memcpy/in6", 0},
        {"rlimit decode, ours/memcpy", "rlimit_decode/ours", "memcpy/rlimit", 0},
        {"map decode in 1500-byte pieces / whole", "map_pieces/1500", "map_pieces/whole", 0.95},
        {"map decode one byte at a time / whole", "map_pieces/1", "map_pieces/whole", 0.15},
        // at most 1.2 times the time of random keys
        {"map decode 50k keys, colliding/random", "map_flood/colliding", "map_flood/random", 1 / 1.2},
    };
    std::printf("\n%-44s %9s %8s\n", "ratio (throughput)", "measured", "target");
    for (const Row &r : rows) {
        double num = t(r.num), den = t(r.den);
        if (num <= 0 || den <= 0) {
            std::printf("%-44s %9s\n", r.label, "n/a");
            continue;
        }
        char target[16] = "";
        if (r.target > 0)
            std::snprintf(target, sizeof target, ">= %.3g", r.target);
        std::printf("%-44s %8.2fx %8s%s\n", r.label, den / num, target,
                    r.target > 0 && den / num < r.target ? "  (below)" : "");
    }
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<char *> args(argv, argv + argc);
    bool smoke = false, one_process = false;
    long fixed = 0;
    std::vector<char *> rest;
    for (char *a : args) {
        if (std::strcmp(a, "--smoke") == 0)
            smoke = true;
        else if (std::strncmp(a, "--iterations=", 13) == 0)
            fixed = std::atol(a + 13);
        else if (std::strcmp(a, "--one-process") == 0)
            one_process = true;
        else
            rest.push_back(a);
    }
    static char reps[] = "--benchmark_repetitions=5";
    static char agg[] = "--benchmark_report_aggregates_only=true";
    static char quick_reps[] = "--benchmark_repetitions=1";
    static char quick_time[] = "--benchmark_min_time=0.001";
    if (fixed > 0) {
        rest.insert(rest.begin() + 1, quick_reps);
    } else if (smoke) {
        rest.insert(rest.begin() + 1, quick_time);
        rest.insert(rest.begin() + 1, quick_reps);
    } else {
        rest.insert(rest.begin() + 1, agg);
        rest.insert(rest.begin() + 1, reps);
    }
    int n = static_cast<int>(rest.size());
    benchmark::Initialize(&n, rest.data());

    std::vector<benchmark::internal::Benchmark *> registered;
    std::vector<std::string> names;
    auto reg = [&](const std::string &name, auto fn, auto... arg) {
        registered.push_back(benchmark::RegisterBenchmark(name.c_str(), fn, arg...));
        names.push_back(name);
    };
    for (int size : {16, 1024, 65536}) {
        std::string s = std::to_string(size);
        reg("map_decode/ours/" + s, map_decode_ours, size);
        reg("map_decode/tirpc/" + s, map_decode_tirpc, size);
        reg("map_encode/ours/" + s, map_encode_ours, size);
        reg("map_encode/tirpc/" + s, map_encode_tirpc, size);
        reg("map_decode/ideal/" + s, map_decode_ideal, size);
        reg("map_encode/ideal/" + s, map_encode_ideal, size);
    }
    reg("multimap_decode/ours", multi_decode_ours);
    reg("multimap_decode/tirpc", multi_decode_tirpc);
    reg("multimap_decode/ideal", multi_decode_ideal);
    reg("in6_encode/ours", in6_encode_ours);
    reg("in6_encode/tirpc", in6_encode_tirpc);
    reg("in6_decode/ours", in6_decode_ours);
    reg("in6_decode/tirpc", in6_decode_tirpc);
    reg("rlimit_encode/ours", rlimit_encode_ours);
    reg("rlimit_encode/tirpc", rlimit_encode_tirpc);
    reg("rlimit_decode/ours", rlimit_decode_ours);
    reg("rlimit_decode/tirpc", rlimit_decode_tirpc);
    reg("memcpy/map65536", copy_bytes, &map_data(65536).wire);
    reg("memcpy/multimap", copy_bytes, &multi_data().wire);
    reg("memcpy/in6", copy_bytes, &addr_data().in6_wire);
    reg("memcpy/rlimit", copy_bytes, &addr_data().rl_wire);
    reg("map_pieces/whole", map_decode_pieces, size_t{0});
    reg("map_pieces/1500", map_decode_pieces, size_t{1500});
    reg("map_pieces/1", map_decode_pieces, size_t{1});
    reg("map_flood/colliding", map_decode_flood, true);
    reg("map_flood/random", map_decode_flood, false);

    for (benchmark::internal::Benchmark *b : registered)
        if (fixed > 0)
            b->Iterations(fixed);
    Collector c;
    // Instruction counts need one process (callgrind follows no fork).
    if (fixed > 0 || one_process) {
        benchmark::RunSpecifiedBenchmarks(&c);
    } else {
        // Every data set made before the first fork: the children start alike.
        map_data(16), map_data(1024), flood_wire(true), flood_wire(false);
        run_isolated(names, c);
    }
    print_ratios(c);
    benchmark::Shutdown();
    return 0;
}
