// Every type of one corpus file (the table in corpus.h) through our
// generated filters, on inputs made alike on every target (biased units,
// random bytes, mutations of accepted values), each judged by drive.h; a
// few values of each type go through the resumption sweep. The outcomes
// fold into a digest that must match digests.tsv, holding the 32-bit
// big-endian target to the native bytes. Natively, rpcgen's filters over
// libtirpc judge each input too: where they accept, ours must (unless a
// documented bound of ours refuses) with the same bytes, and they decode
// what ours accepts back to it.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include <axdr_types.h>

#include "drive.h"

static int failures = 0;
static const char *g_type = "";

void qc::fail(const std::string &what, const Bytes &in)
{
    if (++failures <= 20)
        std::fprintf(stderr, "FAIL %s: %s\n  input %s\n", g_type, what.c_str(),
                     qt::to_hex(Bytes(in.begin(), in.begin() + long(std::min<size_t>(in.size(), 96)))).c_str());
}

namespace {

using namespace qc;

// The resumption sweep over one value's canonical bytes (tests/support.h).
void sweep(const qc_type &t, const Bytes &w)
{
    // No cuts: quadratic in the size, and the codec vectors have them.
    const qt::Sweep opt{.cuts = false, .closes = true, .frames_own_nothing = true};
    qt::sweep<Obj>(t.code, t, w, opt, [&](const std::string &what) { fail("sweep: " + what, w); });
}

// Inputs: biased units (counts, tags, booleans, text and padding are
// mostly small or well formed, so that deep values are reached), raw
// bytes, or values grown unit by unit.
// texts: mostly counted texts and small numbers; small: only those.
void put_unit(Bytes &b, Rng &r, bool texts, bool small = false)
{
    uint32_t v;
    switch (texts ? r.below(2) * 4 + r.below(2) : r.below(small ? 5 : 10)) {
    case 0: case 1: case 2: v = r.below(3); break;
    case 3: v = r.below(24); break;
    case 4: { // a counted text with its padding
        const uint32_t len = r.below(12);
        qt::put_u32(b, len);
        for (uint32_t j = 0; j < (len + 3) / 4 * 4; ++j)
            b.push_back(j < len ? static_cast<uint8_t>('a' + r.below(26)) : 0);
        return;
    }
    case 5: v = 0x61626364 + (r.below(26) << 24); break; // text
    case 6: v = 0x41000000 | (r.below(2) ? 0x420000 : 0); break; // text, then padding
    case 7: v = r.below(2) ? 0xffffffffu : 0x80000000u; break;
    default: v = static_cast<uint32_t>(r.next()); break;
    }
    qt::put_u32(b, v);
}

// A value grown unit by unit: a unit that our decoder refuses is drawn
// again, and after 8 refusals the unit before it too, so that types whose
// values random units rarely make (many strings, deep unions) are reached.
// rpcgen's filter still judges what comes out.
Bytes grow(const qc_type &t, Rng &r)
{
    Bytes b;
    std::vector<size_t> sizes; // of the units in b
    std::unique_ptr<Obj> o(new Obj(t));
    qt::Stream s(axdr_incr_create(AXDR_DECODE, 0));
    int res = AXDR_PENDING;
    for (int runs = 0, tries = 0; sizes.size() < 64 && runs < 400; ++runs) {
        Bytes u;
        put_unit(u, r, false, true);
        axdr_feed(s.get(), u.data(), u.size());
        res = o->t.code(s.get(), o->p);
        if (res != AXDR_FALSE) {
            b.insert(b.end(), u.begin(), u.end());
            sizes.push_back(u.size());
            tries = 0;
            if (res == AXDR_TRUE)
                break;
            continue;
        }
        if (++tries == 8 && !sizes.empty()) { // a dead end: back one unit
            b.resize(b.size() - sizes.back());
            sizes.pop_back();
            tries = 0;
        }
        // Start again without the unit. A prefix that pended unit by unit
        // may be refused whole (a NUL in a string seen before its end):
        // then back further.
        for (res = AXDR_FALSE; res == AXDR_FALSE;) {
            o.reset(new Obj(t));
            s.reset(axdr_incr_create(AXDR_DECODE, 0));
            axdr_feed(s.get(), b.data(), b.size());
            res = o->t.code(s.get(), o->p);
            if (res == AXDR_FALSE) {
                b.resize(b.size() - sizes.back());
                sizes.pop_back();
            }
        }
    }
    if (res == AXDR_PENDING) { // unwind the decode before its stream goes
        axdr_feed_end(s.get());
        o->t.code(s.get(), o->p);
    }
    return b;
}

Bytes make_input(const qc_type &t, Rng &r, int i)
{
    Bytes b;
    if (i % 4 == 3) {
        for (uint32_t k = r.below(64); k; --k)
            b.push_back(static_cast<uint8_t>(r.next()));
        return b;
    }
    if (i % 4 == 2)
        return grow(t, r);
    const uint32_t units = i % 8 == 1 ? r.below(1024) : r.below(96);
    for (uint32_t k = 0; k < units; ++k)
        put_unit(b, r, i % 8 == 5);
    return b;
}

Bytes mutate(Rng &r, Bytes b)
{
    if (b.empty())
        return b;
    const size_t at = r.below(static_cast<uint32_t>(b.size())) & ~size_t{3};
    switch (r.below(5)) {
    case 0: b[r.below(static_cast<uint32_t>(b.size()))] ^= static_cast<uint8_t>(1u << r.below(8)); break;
    case 1: b.resize(r.below(static_cast<uint32_t>(b.size()))); break;
    case 2:
        if (at + 4 <= b.size()) {
            static const uint32_t odd[] = {0, 1, 2, 3, 0xffffffffu, 0x80000000u, 0x7fffffffu, 256};
            Bytes u;
            qt::put_u32(u, odd[r.below(8)]);
            std::copy(u.begin(), u.end(), b.begin() + long(at));
        }
        break;
    case 3: b.insert(b.begin() + long(at), b.begin() + long(at), b.begin() + long(std::min(at + 4, b.size()))); break;
    default: b.erase(b.begin() + long(at), b.begin() + long(std::min(at + 4, b.size()))); break;
    }
    return b;
}

struct Counts {
    size_t inputs = 0, both = 0, neither = 0, ours_only = 0, rpc_only = 0, native_extra = 0;
    std::map<std::string, size_t> why;
};

#ifdef QC_RPC
// Why ours refused a value that rpcgen's filter keeps as it came: "depth"
// past the nesting bound, "enum" or "bool" after a word read whole, else
// the last primitive's trace line, which no bound of ours explains.
std::string refusal(const qc_type &t, const Bytes &in)
{
    Bytes b = in;
    qt::Stream s(axdr_mem_create(b.data(), b.size(), AXDR_DECODE));
    axdr_trace_enable(s.get(), 1);
    t.code(s.get(), Obj(t).p); // the decoded value is not wanted: only its trace
    std::istringstream lines(axdr_trace(s.get()));
    std::string last = "?";
    unsigned depth = 0;
    for (std::string line; std::getline(lines, line);) {
        const std::string word = line.substr(0, line.find(' '));
        if (word == "setup")
            depth = std::max(depth, unsigned(std::strtoul(line.c_str() + 6, nullptr, 10)));
        else if (word != "teardown" && word != "element" && word != "value")
            last = line;
        if (last == line && line.size() > 4 && line.compare(line.size() - 4, 4, " = 0") == 0)
            break;
    }
    if (depth + 1 >= AXDR_NEST_MAX)
        return "depth";
    // A word read whole, then refused: signed, an enum's range; unsigned,
    // a bool other than 0 or 1 (rpcgen's inline code keeps those as sent).
    long v = 0;
    int res = 0;
    if (std::sscanf(last.c_str(), "int %ld = %d", &v, &res) == 2 && res == 1)
        return "enum";
    if (std::sscanf(last.c_str(), "u_int %ld = %d", &v, &res) == 2 && res == 1 && v > 1)
        return "bool";
    return last;
}
#endif

// One input through every check; returns our canonical bytes when we
// accept it (empty otherwise).
Bytes check(const qc_type &t, size_t ti, const Bytes &in, Counts &all, uint64_t *digest, bool extra)
{
    // The splits come from the input alone: how far a refused decode gets
    // may differ between targets, and must not move the inputs after it.
    Rng rng{fnv(0x84222325cbf29ce4u, in.data(), in.size())};
    Counts scratch; // an extra input counts only as one
    Counts &c = extra ? scratch : all;
    (void)ti;
    size_t used = 0;
    Bytes canon;
    canon.reserve(in.size() + 64); // before counting: it outlives the decodes
    const long live = qt::heap_live();
    const int r = judge(t, in, rng, true, used, canon);
    if (qt::heap_live() != live)
        fail("a decode leaks", in);
    if (!extra) {
        ++c.inputs;
        // Where a refusal happens is the runtime's to choose: only its result counts.
        const uint64_t took = r == AXDR_TRUE ? used : 0;
        *digest = fnv(fnv(fnv(*digest, in.data(), in.size()), uint64_t(r) << 32 | took), canon.data(), canon.size());
        if (std::getenv("QC_DUMP")) // to compare two targets line by line
            std::printf("%s %d %zu %s\n", t.name, r, used, qt::to_hex(in).c_str());
    } else {
        ++all.native_extra;
    }
#ifdef QC_RPC
    Bytes out(in.size() + 64);
    size_t rused = 0, rlen = 0;
    int ra = qc_rpc_recode(ti, in.data(), in.size(), &rused, out.data(), out.size(), &rlen);
    out.resize(rlen);
    if (ra < 0)
        fail("rpcgen's filter cannot re-encode what it decoded", in);
    if (ra > 0 && r == AXDR_TRUE) {
        ++c.both;
        if (rused != used || out != canon)
            fail("ours and rpcgen's take or re-encode other bytes", in);
    } else if (ra > 0) {
        // Our bounds that rpcgen's filters do not keep (docs/writing-filters.md):
        // "normalised": bytes rpcgen takes but re-encodes otherwise (a bool
        // or presence word other than 0 or 1, non-zero padding, a NUL in a
        // string, a narrow integer out of range), where ours takes rpcgen's
        // re-encoding; "enum", "bool" and "depth" as refusal() tells them.
        ++c.rpc_only;
        std::string why;
        if (out != Bytes(in.begin(), in.begin() + long(rused)))
            why = !extra && !check(t, ti, out, all, digest, true).empty() ? "normalised" : refusal(t, out);
        else
            why = refusal(t, in);
        ++c.why[why];
        if (why != "normalised" && why != "enum" && why != "bool" && why != "depth")
            fail("rpcgen's filter accepts, ours refuses at: " + why, in);
    } else if (r == AXDR_TRUE) {
        ++c.ours_only;
        fail("ours accepts what rpcgen's filter refuses", in);
    } else {
        ++c.neither;
    }
    if (r == AXDR_TRUE) {
        Bytes back(canon.size() + 64);
        ra = qc_rpc_recode(ti, canon.data(), canon.size(), &rused, back.data(), back.size(), &rlen);
        back.resize(rlen);
        if (ra != 1 || rused != canon.size() || back != canon)
            fail("rpcgen's filter does not decode our bytes back to them", canon);
    }
#else
    (r == AXDR_TRUE ? c.both : c.neither)++;
#endif
    return canon;
}

// digests.tsv: <file> <hash of the .x file> <digest>, one line per file.
int compare_digest(const char *file, uint64_t xhash, uint64_t digest)
{
    char line[128];
    std::snprintf(line, sizeof line, "%s\t%016" PRIx64 "\t%016" PRIx64, file, xhash, digest);
    std::printf("%s\n", line);
    std::ifstream in(QC_DIGESTS);
    for (std::string l; std::getline(in, l);) {
        if (l.rfind(std::string(file) + "\t", 0) != 0)
            continue;
        if (l == line)
            return 0;
        if (std::strtoull(l.c_str() + std::strlen(file) + 1, nullptr, 16) != xhash) {
            std::printf("SKIPPED: %s.x is not the one digests.tsv was made from\n", file);
            return 0;
        }
        break;
    }
    std::fprintf(stderr, "FAIL the outcomes differ from digests.tsv (scripts/corpus-digests.sh writes it "
                         "from a native build)\n");
    return 1;
}

uint64_t file_hash(const char *path)
{
    std::ifstream in(path, std::ios::binary);
    std::string s((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return fnv(0xcbf29ce484222325u, s.data(), s.size());
}

} // namespace

extern "C" const qc_file QC_TABLE;

int main()
{
    // QC_INPUTS: more or fewer inputs per type (the digest then is not checked).
    const size_t raw = std::getenv("QC_INPUTS") ? std::strtoul(std::getenv("QC_INPUTS"), nullptr, 10) : 256;
    Counts c;
    uint64_t digest = 0xcbf29ce484222325u;
    std::string never; // types no input reached a value of
    for (size_t ti = 0; ti < QC_TABLE.count; ++ti) {
        const qc_type &t = QC_TABLE.types[ti];
        g_type = t.name;
        const uint64_t seed = fnv(0xcbf29ce484222325u, t.name, std::strlen(t.name));
        Rng rng{seed};
        std::vector<Bytes> seeds;
        std::set<Bytes> seen;
        const size_t before = c.both;
        for (size_t i = 0; i < raw; ++i) {
            Rng own{fnv(seed, i)}; // one per input, as above
            Bytes canon = check(t, ti, make_input(t, own, int(i)), c, &digest, false);
            if (!canon.empty() && seen.insert(canon).second && seeds.size() < 16)
                seeds.push_back(canon);
        }
        for (size_t s = 0; s < seeds.size(); ++s)
            for (int m = 0; m < 4; ++m)
                check(t, ti, mutate(rng, seeds[s]), c, &digest, false);
        for (size_t s = 0; s < seeds.size() && s < 2; ++s) {
            const long live = qt::heap_live();
            if (seeds[s].size() <= 512)
                sweep(t, seeds[s]);
            if (qt::heap_live() != live)
                fail("the sweep leaks", seeds[s]);
        }
        digest = fnv(digest, seeds.size());
        if (c.both == before)
            never += std::string(never.empty() ? "" : " ") + t.name;
    }
    std::string why;
    for (const auto &w : c.why)
        why += (why.empty() ? "" : ", ") + w.first + " " + std::to_string(w.second);
    std::printf("%s: %zu types, %zu inputs: accepted by both %zu, refused by both %zu, ours only %zu, "
                "rpcgen only %zu (%s); %zu rpcgen re-encodings besides\n",
                QC_FILE, QC_TABLE.count, c.inputs, c.both, c.neither, c.ours_only, c.rpc_only,
                why.empty() ? "-" : why.c_str(), c.native_extra);
    if (!never.empty())
        std::printf("no value accepted by both for: %s\n", never.c_str());
#ifdef QC_DIGEST_DIFFERS
    const bool compared = false;
    std::printf("NOTE: the digest is not compared on this target: %s\n", QC_DIGEST_DIFFERS);
#else
    const bool compared = !std::getenv("QC_INPUTS");
#endif
    if (compared)
        failures += compare_digest(QC_FILE, file_hash(QC_X), digest);
    return failures ? 1 : 0;
}
