// quilletc's reader and model: what bad input is told, where, and what the
// model makes of the language's corners.
#include <gtest/gtest.h>

#include "model.h"
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

TEST(Quilletc, BadInputIsToldWhereAndWhy)
{
    const struct {
        const char *src, *msg;
    } bad[] = {
        {"struct s {\n  quadruple q;\n};", "2:3: quadruple is not supported"},
        {"const A = B;", "1:11: unknown constant 'B'"},
        {"const A = B;\nconst B = A;", "2:11: constant 'A' is defined through itself"},
        {"const A = 1;\nconst A = 2;", "2:7: 'A' is defined twice"},
        {"struct rec { int a; int a; };", "1:25: field 'a' is declared twice"},
        {"typedef axdr_foo bar;", "1:9: 'axdr_foo' is a name the generated C uses itself"},
        {"typedef int _axdr_x;", "1:13: '_axdr_x' is a name the generated C uses itself"},
        {"typedef string str<MAXLEN>;\nunion u switch (int k) { case MAXLEN: int a; };", "2:31: unknown constant 'MAXLEN'"},
        {"struct rec { int a; rec b; };", "1:8: 'rec' contains itself"},
        {"typedef int a[0];", "1:15: the size '0' is 0, outside 1 to 4294967295"},
        {"typedef int a<4294967296>;", "1:15: the maximum '4294967296' is 4294967296"},
        {"typedef int a[1073741823];", "1:15: an array of more than 1073741822 elements"},
        {"typedef int a[1073741822];", ""},
        {"struct axdr_x { int a; };", "1:8: 'axdr_x' is a name the generated C uses itself"},
        {"typedef opaque o;", "1:9: opaque 'o' needs a size"},
        {"typedef string s[3];", "1:9: a string is declared with <>"},
        {"typedef string *s;", "1:16: a pointer to string"},
        {"struct rec { int a }", "1:20: expected ';' before '}'"},
        {"struct rec { int a; }", "1:22: expected ';' before the end of the file"},
        {"struct rec { void; };", "1:14: void is only a union arm"},
        {"union u switch (string s<>) { case 1: int a; };", "1:17: a union's discriminant is a plain integer, bool or enum"},
        {"union u switch (float f) { case 1: int a; };", "1:17: a union's discriminant is an int"},
        {"union u switch (int k) { case 1: int a; case 1: int b; };", "1:46: case 1 is given twice"},
        {"union u switch (bool b) { case 2: int a; };", "1:32: case 2 is not a value of the discriminant"},
        {"union u switch (int k) { case 2147483648: int a; };", "1:31: case 2147483648 is not a value of the discriminant"},
        {"enum en { A = 1 };\nunion u switch (en k) { case 2: int a; };", "2:30: case 2 is not a value of enum en"},
        {"union u switch (int k) { default: void; default: void; };", "1:41: a second default arm"},
        {"enum en { A = 0x80000000 };", "1:15: enumerator 'A' is outside the 32-bit range"},
        {"const state = 1;", "1:7: 'state' is a name the generated C uses itself"},
        {"typedef int int;", "1:13: 'int' is a base type's name"},
        {"typedef int u_int;", "1:13: 'u_int' is a base type's name"},
        {"struct rec { struct t x; };\nunion t switch (int k) { default: void; };", "1:14: 't' is not a struct"},
        {"struct rec { int @; };", "1:18: unexpected character '@'"},
        {"/* open", "1:1: unterminated comment"},
        {"// c\n/**/ const A = B;", "2:16: unknown constant 'B'"},
        {"program P { version V { int F(int) = 1; } = 1; version W { int F(int) = 2; } = 2; } = 9;",
         "1:73: procedure 'F' has another number in an earlier version"},
        {"const A = 1; /* to the end */", ""},
        {"const A = 099;", "1:11: '099' is not a number this tool can hold"},
        {"program P { version V { void F(void) = 1; } = 1; } = 9;\nconst A = P;\ntypedef int a[A];", ""},
        {"struct rec { int a; };\nfoo", "2:1: expected a definition"},
    };
    for (const auto &b : bad) {
        SCOPED_TRACE(b.src);
        const std::string got = compile(b.src);
        const std::string want = *b.msg ? std::string("t.x:") + b.msg : "";
        EXPECT_EQ(*b.msg ? got.substr(0, want.size()) : got, want);
    }
}

// Positions follow the preprocessor's line markers back to the file.
TEST(Quilletc, LineMarkersNameTheFileAsWritten)
{
    EXPECT_EQ(compile("# 1 \"t.x\"\nconst A = 1;\n  # 17 \"inc.x\" 1\nconst A = 2;"), "inc.x:17:7: 'A' is defined twice");
    EXPECT_EQ(compile("#line 20 \"l.x\"\nconst A = 1;\nconst A = 2;"), "l.x:21:7: 'A' is defined twice");
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
