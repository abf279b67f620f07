// quilletc's reader and model: what bad input is told, where, and what the
// model makes of the language's corners.
#include <gtest/gtest.h>

#include <fstream>

#include "model.h"
#include "support.h"
#include "reader.h"
#include "writer.h"

namespace {

std::string compile(const std::string &src)
{
    try {
        const qc::Model m = qc::build(qc::read(src, "t.x"));
        const qc::Names n{"t", "t.x", "axdr_"};
        qc::write_header(m, n);
        qc::write_source(m, n);
    } catch (const qc::Error &e) {
        return e.what();
    }
    return "";
}

// tests/quilletc/errors.tsv: what bad input is told, where (line markers
// name the file as written), and input that compiles.
TEST(Quilletc, BadInputIsToldWhereAndWhy)
{
    std::ifstream in(QUILLET_SOURCE_DIR "/tests/quilletc/errors.tsv");
    int rows = 0;
    for (std::string line; std::getline(in, line);) {
        const size_t tab = line.find('\t');
        if (tab == std::string::npos)
            continue; // a comment
        const std::string src = qt::unescape(line.substr(0, tab)), want = line.substr(tab + 1), got = compile(src);
        EXPECT_EQ(want.empty() ? got : got.substr(0, want.size()), want) << src;
        ++rows;
    }
    EXPECT_EQ(rows, 42);
}

// The RPC headers must name the basic types before ours do, even when the
// file includes them after a definition: C99 refuses bool_t named twice.
TEST(Quilletc, RpcHeadersComeBeforeOurTypes)
{
    const qc::Model m = qc::build(qc::read("const A = 1;\n%#include <rpc/types.h>\nstruct p { int a; };", "t.x"));
    const std::string h = qc::write_header(m, {"t", "t.x", "axdr_"});
    const size_t rpc = h.find("#include <rpc/types.h>"), ours = h.find("#include <axdr_types.h>");
    ASSERT_NE(rpc, std::string::npos);
    EXPECT_LT(rpc, ours);
}

TEST(Quilletc, ModelFindsListsRecursionAndMemory)
{
    const qc::Model m = qc::build(qc::read(R"(
        struct node { int id; node *next; };
        typedef struct link *linkp;
        struct link { int v; linkp next; };
        struct tree { tree *left; tree *right; int v; };
        struct flat { int a; opaque o[4]; };
        struct holder { flat f; string s<>; };
        struct kids { kids k<>; };
        union u switch (bool b) { case TRUE: flat f; case FALSE: void; };
    )", "t.x"));
    // A definition's marks: L a list, R recursive, O owns what a decode allocates.
    auto marks = [&](const std::string &name) {
        std::string got;
        for (const qc::Def &d : m.defs)
            if (d.name == name)
                got = std::string(m.lists.count(&d) ? "L" : "") + (m.recursive.count(&d) ? "R" : "") +
                      (m.owning.count(&d) ? "O" : "");
        return got;
    };
    const std::pair<const char *, const char *> want[] = {{"node", "LRO"}, {"link", "LRO"}, {"linkp", "RO"},
                                                           {"tree", "RO"},  {"flat", ""},    {"holder", "O"},
                                                           {"kids", "RO"},  {"u", ""}};
    for (const auto &[name, w] : want)
        EXPECT_EQ(marks(name), w) << name;
}

} // namespace
