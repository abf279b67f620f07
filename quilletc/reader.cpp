// The reader: a lexer over the preprocessor's output (following its line
// markers back to the files as written) and a recursive-descent parser.
#include "reader.h"

#include <cctype>
#include <fstream>
#include <map>

namespace qc {
namespace {

enum class Tok { Ident, Number, Punct, Verbatim, End };

struct Token {
    Tok kind;
    std::string text;
    Pos pos;
};

// The preprocessor squeezes blanks, so a column is looked up in the line
// as written when that file can be read; else the column as read stands.
class Columns {
public:
    int find(const Pos &at, const std::string &text)
    {
        const std::vector<std::string> &lines = load(at.file);
        if (at.line < 1 || size_t(at.line) > lines.size())
            return at.col;
        const std::string &line = lines[size_t(at.line) - 1];
        size_t &from = cursor_[at.file + ":" + std::to_string(at.line)];
        const size_t hit = line.find(text, from);
        if (hit == std::string::npos)
            return at.col;
        from = hit + text.size();
        return int(hit) + 1;
    }

private:
    const std::vector<std::string> &load(const std::string &file)
    {
        auto it = files_.find(file);
        if (it != files_.end())
            return it->second;
        std::vector<std::string> &lines = files_[file];
        std::ifstream in(file);
        for (std::string l; std::getline(in, l);)
            lines.push_back(l);
        return lines;
    }
    std::map<std::string, std::vector<std::string>> files_;
    std::map<std::string, size_t> cursor_;
};

class Lexer {
public:
    Lexer(const std::string &text, const std::string &file) : s_(text) { pos_.file = file; pos_.line = 1; }

    Token next()
    {
        for (;;) {
            skip_blanks();
            if (i_ >= s_.size())
                return Token{Tok::End, "", here()};
            const char c = s_[i_];
            if (at_line_start_ && c == '#') {
                marker();
                continue;
            }
            if (at_line_start_ && c == '%') {
                Token t{Tok::Verbatim, "", here()};
                ++i_;
                while (i_ < s_.size() && s_[i_] != '\n')
                    t.text += s_[i_++];
                return t;
            }
            at_line_start_ = false;
            if (c == '/' && i_ + 1 < s_.size() && (s_[i_ + 1] == '*' || s_[i_ + 1] == '/')) {
                comment();
                continue;
            }
            Token t{Tok::Punct, "", here()};
            if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
                t.kind = Tok::Ident;
                while (i_ < s_.size() && (std::isalnum(static_cast<unsigned char>(s_[i_])) || s_[i_] == '_'))
                    t.text += s_[i_++];
            } else if (std::isdigit(static_cast<unsigned char>(c))) {
                t.kind = Tok::Number;
                while (i_ < s_.size() && std::isalnum(static_cast<unsigned char>(s_[i_])))
                    t.text += s_[i_++];
            } else if (c == '"') {
                t.kind = Tok::Number; // a string constant's value, kept as written
                t.text = "\"";
                ++i_;
                while (i_ < s_.size() && s_[i_] != '"' && s_[i_] != '\n') {
                    if (s_[i_] == '\\' && i_ + 1 < s_.size())
                        t.text += s_[i_++];
                    t.text += s_[i_++];
                }
                if (i_ >= s_.size() || s_[i_] != '"')
                    throw Error(t.pos, "unterminated string");
                t.text += s_[i_++];
            } else if (std::string("{}[]<>();,=:*-").find(c) != std::string::npos) {
                t.text = std::string(1, c);
                ++i_;
            } else {
                throw Error(t.pos, std::string("unexpected character '") + c + "'");
            }
            t.pos.col = columns_.find(t.pos, t.text);
            col_ += int(t.text.size());
            return t;
        }
    }

private:
    Pos here() const
    {
        Pos p = pos_;
        p.col = col_;
        return p;
    }

    void advance()
    {
        if (s_[i_] == '\n') {
            ++pos_.line;
            col_ = 1;
            at_line_start_ = true;
        } else {
            ++col_;
        }
        ++i_;
    }

    void skip_blanks()
    {
        while (i_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[i_])))
            advance();
    }

    void comment()
    {
        const Pos start = here();
        if (s_[i_ + 1] == '/') {
            while (i_ < s_.size() && s_[i_] != '\n')
                advance();
            return;
        }
        i_ += 2;
        col_ += 2;
        while (i_ + 1 < s_.size() && !(s_[i_] == '*' && s_[i_ + 1] == '/'))
            advance();
        if (i_ + 1 >= s_.size())
            throw Error(start, "unterminated comment");
        i_ += 2;
        col_ += 2;
    }

    // `# 12 "file" flags`: the next line is line 12 of file.
    void marker()
    {
        size_t e = s_.find('\n', i_);
        if (e == std::string::npos)
            e = s_.size();
        const std::string line = s_.substr(i_, e - i_);
        size_t p = 1;
        while (p < line.size() && line[p] == ' ')
            ++p;
        if (line.compare(p, 4, "line") == 0)
            p += 4;
        int n = 0;
        bool digits = false;
        while (p < line.size() && line[p] == ' ')
            ++p;
        while (p < line.size() && std::isdigit(static_cast<unsigned char>(line[p]))) {
            n = n * 10 + (line[p++] - '0');
            digits = true;
            if (n > 100000000)
                break;
        }
        if (!digits)
            throw Error(here(), "a preprocessor directive the preprocessor left behind");
        const size_t q1 = line.find('"', p), q2 = q1 == std::string::npos ? q1 : line.find('"', q1 + 1);
        if (q2 != std::string::npos)
            pos_.file = line.substr(q1 + 1, q2 - q1 - 1);
        i_ = e;
        if (i_ < s_.size())
            ++i_;
        pos_.line = n;
        col_ = 1;
        at_line_start_ = true;
    }

    const std::string &s_;
    size_t i_ = 0;
    Pos pos_;
    int col_ = 1;
    bool at_line_start_ = true;
    Columns columns_;
};

class Parser {
public:
    Parser(const std::string &text, const std::string &file) : lex_(text, file) { shift(); }

    std::vector<Def> definitions()
    {
        std::vector<Def> defs;
        while (tok_.kind != Tok::End) {
            if (tok_.kind == Tok::Verbatim) {
                Def &d = defs.emplace_back();
                d.kind = Kind::Verbatim;
                d.pos = tok_.pos;
                d.text = tok_.text;
                shift();
                continue;
            }
            defs.push_back(definition());
        }
        return defs;
    }

private:
    void shift() { tok_ = lex_.next(); }

    bool is(const char *text) const { return tok_.kind != Tok::Verbatim && tok_.text == text && tok_.kind != Tok::End; }

    std::string shown() const
    {
        if (tok_.kind == Tok::End)
            return "the end of the file";
        if (tok_.kind == Tok::Verbatim)
            return "a '%' line";
        return "'" + tok_.text + "'";
    }

    [[noreturn]] void fail(const std::string &what) const { throw Error(tok_.pos, what); }

    void expect(const char *text)
    {
        if (!is(text))
            fail(std::string("expected '") + text + "' before " + shown());
        shift();
    }

    std::string name(const char *what)
    {
        if (tok_.kind != Tok::Ident)
            fail(std::string("expected ") + what + " before " + shown());
        std::string n = tok_.text;
        shift();
        return n;
    }

    Value value()
    {
        Value v{tok_.pos, ""};
        if (is("-")) {
            v.text = "-";
            shift();
        }
        if (tok_.kind != Tok::Number && !(tok_.kind == Tok::Ident && v.text.empty()))
            fail("expected a number or a constant's name before " + shown());
        v.text += tok_.text;
        shift();
        return v;
    }

    Def definition()
    {
        Def d{};
        d.pos = tok_.pos;
        if (is("const")) {
            shift();
            d.kind = Kind::Const;
            d.pos = tok_.pos;
            d.name = name("the constant's name");
            expect("=");
            d.value = value();
        } else if (is("enum")) {
            shift();
            d.kind = Kind::Enum;
            d.pos = tok_.pos;
            d.name = name("the enum's name");
            d.enumerators = enum_body();
        } else if (is("struct")) {
            shift();
            d.kind = Kind::Struct;
            d.pos = tok_.pos;
            d.name = name("the struct's name");
            expect("{");
            do {
                d.fields.push_back(declaration());
                expect(";");
            } while (!is("}"));
            shift();
        } else if (is("union")) {
            shift();
            d.kind = Kind::Union;
            d.pos = tok_.pos;
            d.name = name("the union's name");
            union_body(d);
        } else if (is("typedef")) {
            shift();
            d.kind = Kind::Typedef;
            d.decl = declaration();
            d.name = d.decl.name;
            d.pos = d.decl.name_pos;
            if (d.decl.is_void())
                throw Error(d.decl.pos, "a typedef of void");
        } else if (is("program")) {
            shift();
            d.kind = Kind::Program;
            d.pos = tok_.pos;
            d.name = name("the program's name");
            program_body(d);
        } else {
            fail("expected a definition (const, enum, struct, union, typedef or program) before " + shown());
        }
        expect(";");
        return d;
    }

    std::vector<Enumerator> enum_body()
    {
        std::vector<Enumerator> out;
        expect("{");
        for (;;) {
            Enumerator e{tok_.pos, "", {}};
            e.name = name("an enumerator's name");
            if (is("=")) {
                shift();
                e.value = value();
            }
            out.push_back(e);
            if (!is(","))
                break;
            shift();
            if (is("}"))
                break;
        }
        expect("}");
        return out;
    }

    void union_body(Def &d)
    {
        expect("switch");
        expect("(");
        d.disc = declaration();
        if (d.disc.is_void() || d.disc.rel != Rel::Plain)
            throw Error(d.disc.pos, "a union's discriminant is a plain integer, bool or enum");
        expect(")");
        expect("{");
        bool seen_default = false;
        while (!is("}")) {
            Arm arm;
            if (is("default")) {
                if (seen_default)
                    fail("a second default arm");
                seen_default = true;
                shift();
                expect(":");
            } else {
                if (seen_default)
                    fail("a case after the default arm");
                if (!is("case"))
                    fail("expected 'case' or 'default' before " + shown());
                while (is("case")) {
                    shift();
                    arm.cases.push_back(value());
                    expect(":");
                }
            }
            arm.decl = declaration();
            expect(";");
            d.arms.push_back(arm);
        }
        if (d.arms.empty())
            fail("a union without arms");
        shift();
    }

    void program_body(Def &d)
    {
        expect("{");
        do {
            Version v;
            expect("version");
            v.name = name("the version's name");
            expect("{");
            do {
                // A result type, then NAME ( arguments ) = number.
                std::string last;
                while (!is("(")) {
                    if (tok_.kind == Tok::End || is(";") || is("}"))
                        fail("expected a procedure: type NAME(arguments) = number, before " + shown());
                    last = tok_.kind == Tok::Ident ? tok_.text : "";
                    shift();
                }
                if (last.empty())
                    fail("expected the procedure's name before '('");
                shift();
                while (!is(")")) {
                    if (tok_.kind == Tok::End || is(";") || is("{") || is("}"))
                        fail("expected ')' before " + shown());
                    shift();
                }
                shift();
                expect("=");
                v.procs.push_back(Proc{last, value()});
                expect(";");
            } while (!is("}"));
            shift();
            expect("=");
            v.number = value();
            expect(";");
            d.versions.push_back(v);
        } while (!is("}"));
        shift();
        expect("=");
        d.value = value();
    }

    // The type part of a declaration, as rpcgen spells it.
    void type_spec(Decl &dc)
    {
        dc.pos = tok_.pos;
        if (tok_.kind != Tok::Ident)
            fail("expected a type before " + shown());
        std::string t = tok_.text;
        shift();
        if (t == "quadruple")
            throw Error(dc.pos, "quadruple is not supported: C has no type that carries it on every target");
        if (t == "struct" || t == "union" || t == "enum") {
            dc.tag = t;
            dc.type = name("a type's name");
            return;
        }
        if (t == "unsigned") {
            if (is("int") || is("long") || is("char") || is("short") || is("hyper")) {
                t += " " + tok_.text;
                shift();
            } else {
                t = "unsigned int";
            }
        }
        dc.type = t;
    }

    Decl declaration()
    {
        Decl dc;
        type_spec(dc);
        if (dc.type == "void" && dc.tag.empty())
            return dc;
        const bool special = dc.tag.empty() && (dc.type == "string" || dc.type == "opaque");
        if (is("*")) {
            if (special)
                fail("a pointer to " + dc.type);
            shift();
            dc.rel = Rel::Pointer;
            dc.name_pos = tok_.pos;
            dc.name = name("a name");
            return dc;
        }
        dc.name_pos = tok_.pos;
        dc.name = name("a name");
        if (is("[")) {
            shift();
            dc.rel = Rel::Fixed;
            dc.size = value();
            expect("]");
            if (dc.type == "string")
                throw Error(dc.pos, "a string is declared with <>, not []");
        } else if (is("<")) {
            shift();
            dc.rel = Rel::Var;
            if (!is(">"))
                dc.size = value();
            expect(">");
        } else if (special) {
            throw Error(dc.pos, dc.type + " '" + dc.name + "' needs a size: [n] or <n>");
        }
        return dc;
    }

    Lexer lex_;
    Token tok_{Tok::End, "", {}};
};

} // namespace

std::vector<Def> read(const std::string &text, const std::string &file)
{
    Parser p(text, file);
    return p.definitions();
}

} // namespace qc
