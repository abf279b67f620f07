// The model: folds constants, resolves types, finds recursion and lists.
#include "model.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <functional>

namespace qc {
namespace {

struct BaseName {
    const char *xdr;
    Base base;
    const char *c; // nullptr: the name itself
};

// The base types, and the C names that rpcgen takes as base types too.
const BaseName base_names[] = {
    {"int", Base::Int, "int"},
    {"unsigned int", Base::UInt, "u_int"},
    {"long", Base::Long, "long"},
    {"unsigned long", Base::ULong, "u_long"},
    {"short", Base::Short, "short"},
    {"unsigned short", Base::UShort, "u_short"},
    {"char", Base::Char, "char"},
    {"unsigned char", Base::UChar, "u_char"},
    {"hyper", Base::Hyper, "quad_t"},
    {"unsigned hyper", Base::UHyper, "u_quad_t"},
    {"float", Base::Float, "float"},
    {"double", Base::Double, "double"},
    {"bool", Base::Bool, "bool_t"},
    {"string", Base::String, "char"},
    {"opaque", Base::Opaque, "char"},
    {"void", Base::Void, "void"},
    {"u_int", Base::UInt, nullptr},
    {"u_long", Base::ULong, nullptr},
    {"u_short", Base::UShort, nullptr},
    {"u_char", Base::UChar, nullptr},
    {"bool_t", Base::Bool, nullptr},
    {"int32_t", Base::Int, nullptr},
    {"uint32_t", Base::UInt, nullptr},
    {"u_int32_t", Base::UInt, nullptr},
    {"int64_t", Base::Hyper, nullptr},
    {"uint64_t", Base::UHyper, nullptr},
    {"u_int64_t", Base::UHyper, nullptr},
    {"quad_t", Base::Hyper, nullptr},
    {"u_quad_t", Base::UHyper, nullptr},
    {"netobj", Base::Netobj, nullptr},
};

class Builder {
public:
    explicit Builder(Model &m) : m_(m) {}

    void run()
    {
        for (const Def &d : m_.defs)
            declare(d);
        for (const Def &d : m_.defs)
            fold(d);
        for (const Def &d : m_.defs)
            resolve(d);
        for (const Def &d : m_.defs)
            shape(d);
        for (const Def &d : m_.defs)
            if (d.kind == Kind::Union)
                cases(d);
    }

private:
    // A name of the generated code's own, or of C's, would not compile.
    static void check_name(const std::string &n, const Pos &at)
    {
        static const std::set<std::string> taken = {
            "s", "v", "r", "self", "frame", "state", "pctx", "npctx", "sp", "c", "n", "i", "e", "count", "cur",
            "after", "auto", "break", "case", "const", "continue", "default", "do", "else", "extern", "for",
            "goto", "if", "inline", "register", "restrict", "return", "signed", "sizeof", "static", "switch",
            "volatile", "while", "NULL", "TRUE", "FALSE"};
        if (taken.count(n) || n.compare(0, 5, "axdr_") == 0 || n.compare(0, 5, "AXDR_") == 0 ||
            n.compare(0, 6, "_axdr_") == 0)
            throw Error(at, "'" + n + "' is a name the generated C uses itself");
    }

    void declare(const Def &d)
    {
        if (d.kind == Kind::Verbatim)
            return;
        if (d.kind != Kind::Program)
            check_name(d.name, d.pos);
        if (d.kind == Kind::Struct || d.kind == Kind::Union || d.kind == Kind::Enum || d.kind == Kind::Typedef) {
            for (const BaseName &b : base_names)
                if (d.name == b.xdr)
                    throw Error(d.pos, "'" + d.name + "' is a base type's name");
            if (!types_.emplace(d.name, &d).second)
                throw Error(d.pos, "'" + d.name + "' is defined twice");
        }
        std::vector<std::pair<std::string, Pos>> names;
        if (d.kind == Kind::Const)
            names.push_back({d.name, d.pos});
        for (const Enumerator &e : d.enumerators)
            names.push_back({e.name, e.pos});
        if (d.kind == Kind::Program) {
            names.push_back({d.name, d.pos});
            for (const Version &v : d.versions)
                names.push_back({v.name, v.number.pos});
        }
        for (auto &[n, p] : names) {
            check_name(n, p);
            if (!consts_.emplace(n, &d).second)
                throw Error(p, "'" + n + "' is defined twice");
        }
    }

    // A number as C reads it (decimal, 0x hex, 0 octal), or a constant.
    int64_t number(const Value &v, std::vector<std::string> &busy)
    {
        if (!v.text.empty() && v.text[0] == '"')
            throw Error(v.pos, "a string where a number is needed");
        const bool neg = !v.text.empty() && v.text[0] == '-';
        const std::string t = neg ? v.text.substr(1) : v.text;
        int64_t x;
        if (!t.empty() && std::isdigit(static_cast<unsigned char>(t[0]))) {
            errno = 0;
            char *end = nullptr;
            const unsigned long long u = std::strtoull(t.c_str(), &end, 0);
            if (errno || *end || u > uint64_t{INT64_MAX})
                throw Error(v.pos, "'" + v.text + "' is not a number this tool can hold");
            x = static_cast<int64_t>(u);
        } else {
            x = constant(t, v.pos, busy);
        }
        return neg ? -x : x;
    }

    int64_t constant(const std::string &name, const Pos &at, std::vector<std::string> &busy)
    {
        auto known = m_.values.find(name);
        if (known != m_.values.end())
            return known->second;
        if (name == "TRUE" || name == "FALSE")
            return name == "TRUE";
        auto it = consts_.find(name);
        if (it == consts_.end())
            throw Error(at, "unknown constant '" + name + "'");
        for (const std::string &b : busy)
            if (b == name)
                throw Error(at, "constant '" + name + "' is defined through itself");
        busy.push_back(name);
        fold(*it->second, &busy);
        busy.pop_back();
        return m_.values.at(name);
    }

    int64_t value(const Value &v)
    {
        std::vector<std::string> busy;
        return number(v, busy);
    }

    void fold(const Def &d, std::vector<std::string> *busy = nullptr)
    {
        std::vector<std::string> mine;
        std::vector<std::string> &b = busy ? *busy : mine;
        if (d.kind == Kind::Const && !d.value.text.empty() && d.value.text[0] == '"')
            return; // a string constant: the header's only
        if (d.kind == Kind::Const && !m_.values.count(d.name)) {
            b.push_back(d.name);
            m_.values[d.name] = number(d.value, b);
            b.pop_back();
        } else if (d.kind == Kind::Enum && !m_.enum_values.count(&d)) {
            std::vector<int64_t> vals;
            int64_t next = 0;
            for (const Enumerator &e : d.enumerators) {
                b.push_back(e.name);
                const int64_t x = e.value.text.empty() ? next : number(e.value, b);
                b.pop_back();
                if (x < INT32_MIN || x > INT32_MAX)
                    throw Error(e.value.text.empty() ? e.pos : e.value.pos, "enumerator '" + e.name + "' is outside the 32-bit range");
                m_.values[e.name] = x;
                vals.push_back(x);
                next = x + 1;
            }
            m_.enum_values[&d] = vals;
        } else if (d.kind == Kind::Program && !m_.values.count(d.name)) {
            m_.values[d.name] = number(d.value, b);
            for (const Version &v : d.versions) {
                m_.values[v.name] = number(v.number, b);
                for (const Proc &p : v.procs)
                    number(p.number, b);
            }
        }
    }

    // A size or maximum; a name this file does not define (a C header
    // defines it, as rpcgen allows) is kept as written, unchecked.
    uint64_t size(const Value &v, const char *what, bool zero_ok, bool *symbolic = nullptr)
    {
        const bool name = !v.text.empty() && (std::isalpha(static_cast<unsigned char>(v.text[0])) || v.text[0] == '_');
        if (symbolic && name && !consts_.count(v.text) && v.text != "TRUE" && v.text != "FALSE") {
            *symbolic = true;
            return 0;
        }
        const int64_t x = value(v);
        if (x < (zero_ok ? 0 : 1) || x > int64_t{UINT32_MAX})
            throw Error(v.pos, std::string(what) + " '" + v.text + "' is " + std::to_string(x) + ", outside " +
                                   (zero_ok ? "0" : "1") + " to 4294967295");
        return uint64_t(x);
    }

    void field(const Decl &dc, bool void_ok)
    {
        Field f;
        f.decl = &dc;
        f.rel = dc.rel;
        if (dc.is_void()) {
            if (!void_ok)
                throw Error(dc.pos, "void is only a union arm");
            f.base = Base::Void;
            m_.fields[&dc] = f;
            return;
        }
        for (const BaseName &b : base_names)
            if (dc.tag.empty() && dc.type == b.xdr) {
                f.base = b.base;
                f.ctype = b.c ? b.c : b.xdr;
            }
        if (f.base == Base::None) {
            auto it = types_.find(dc.type);
            if (it == types_.end()) {
                // As rpcgen takes it: defined elsewhere, with its filter.
                check_name(dc.type, dc.pos);
                f.external = true;
                f.ctype = dc.type;
                if (std::find(m_.externals.begin(), m_.externals.end(), dc.type) == m_.externals.end())
                    m_.externals.push_back(dc.type);
                if (f.rel == Rel::Fixed || f.rel == Rel::Var)
                    f.size = f.rel == Rel::Fixed ? size(dc.size, "the size", false, &f.symbolic)
                             : dc.size.text.empty() ? UINT32_MAX
                                                    : size(dc.size, "the maximum", true, &f.symbolic);
                f.bounded = f.rel == Rel::Var && !dc.size.text.empty();
                m_.fields[&dc] = f;
                return;
            }
            f.def = it->second;
            const char *kinds[] = {"", "enum", "struct", "union", ""};
            if (!dc.tag.empty() && dc.tag != kinds[int(f.def->kind)])
                throw Error(dc.pos, "'" + dc.type + "' is not a " + dc.tag);
            f.ctype = dc.type;
        }
        if (f.rel == Rel::Fixed) {
            f.size = size(dc.size, "the size", false, &f.symbolic);
            if (f.base != Base::Opaque && f.size > 0x3ffffffe) // walked in int states, two an element
                throw Error(dc.size.pos, "an array of more than 1073741822 elements");
        }
        if (f.rel == Rel::Var && !dc.size.text.empty()) {
            f.size = size(dc.size, "the maximum", true, &f.symbolic);
            f.bounded = true;
        }
        if (f.rel == Rel::Var && !f.bounded)
            f.size = UINT32_MAX;
        if ((f.base == Base::String) && f.rel != Rel::Var)
            throw Error(dc.pos, "a string is declared with <>");
        m_.fields[&dc] = f;
    }

    void resolve(const Def &d)
    {
        switch (d.kind) {
        case Kind::Struct: {
            std::set<std::string> seen;
            for (const Decl &f : d.fields) {
                if (!seen.insert(f.name).second && !f.is_void())
                    throw Error(f.name_pos, "field '" + f.name + "' is declared twice");
                field(f, false);
            }
            break;
        }
        case Kind::Union:
            field(d.disc, false);
            for (const Arm &a : d.arms)
                field(a.decl, true);
            break;
        case Kind::Typedef:
            field(d.decl, false);
            break;
        default:
            break;
        }
    }

    void cases(const Def &d)
    {
        {
            const Field &disc = m_.underlying(m_.field(d.disc));
            const Def *en = disc.def && disc.def->kind == Kind::Enum ? disc.def : nullptr;
            const bool ok = disc.rel == Rel::Plain &&
                            (en || disc.base == Base::Int || disc.base == Base::UInt || disc.base == Base::Bool);
            if (!ok)
                throw Error(d.disc.pos, "a union's discriminant is an int, unsigned int, bool or enum");
            std::set<int64_t> seen;
            std::set<std::string> names{d.disc.name};
            std::vector<std::vector<int64_t>> per_arm;
            for (const Arm &a : d.arms) {
                if (!a.decl.is_void() && !names.insert(a.decl.name).second)
                    throw Error(a.decl.name_pos, "arm '" + a.decl.name + "' is declared twice");
                std::vector<int64_t> vals;
                for (const Value &v : a.cases) {
                    const int64_t x = value(v);
                    if (!seen.insert(x).second)
                        throw Error(v.pos, "case " + v.text + " is given twice");
                    const bool fits = disc.base == Base::UInt ? x >= 0 && x <= int64_t{UINT32_MAX}
                                    : disc.base == Base::Bool ? x == 0 || x == 1
                                                              : x >= INT32_MIN && x <= INT32_MAX;
                    if (!fits)
                        throw Error(v.pos, "case " + v.text + " is not a value of the discriminant");
                    if (en) {
                        const std::vector<int64_t> &ev = m_.enum_values.at(en);
                        if (std::find(ev.begin(), ev.end(), x) == ev.end())
                            throw Error(v.pos, "case " + v.text + " is not a value of enum " + en->name);
                    }
                    vals.push_back(x);
                }
                per_arm.push_back(vals);
            }
            m_.case_values[&d] = per_arm;
        }
    }

    // The definitions a definition reaches directly, and whether by value
    // (its C type contains theirs).
    std::vector<std::pair<const Def *, bool>> edges(const Def &d) const
    {
        std::vector<std::pair<const Def *, bool>> out;
        auto add = [&](const Decl &dc) {
            const Field &f = m_.field(dc);
            if (f.def)
                out.push_back({f.def, f.rel == Rel::Plain || f.rel == Rel::Fixed});
        };
        for (const Decl &f : d.fields)
            add(f);
        for (const Arm &a : d.arms)
            add(a.decl);
        if (d.kind == Kind::Union)
            add(d.disc);
        if (d.kind == Kind::Typedef)
            add(d.decl);
        return out;
    }

    bool reaches(const Def *from, const Def *to, bool by_value_only, std::set<const Def *> &seen) const
    {
        for (auto [next, by_value] : edges(*from)) {
            if (by_value_only && !by_value)
                continue;
            if (next == to)
                return true;
            if (seen.insert(next).second && reaches(next, to, by_value_only, seen))
                return true;
        }
        return false;
    }

    void shape(const Def &d)
    {
        if (d.kind != Kind::Struct && d.kind != Kind::Union && d.kind != Kind::Typedef)
            return;
        std::set<const Def *> seen;
        if (reaches(&d, &d, true, seen))
            throw Error(d.pos, "'" + d.name + "' contains itself: only a pointer or a <> array may lead back to it");
        seen.clear();
        if (reaches(&d, &d, false, seen))
            m_.recursive.insert(&d);
        if (owns(d))
            m_.owning.insert(&d);
        if (d.kind == Kind::Struct) {
            const Field &last = m_.field(d.fields.back());
            const Field &u = m_.underlying(last);
            const bool ptr = last.rel == Rel::Pointer ? last.def == &d
                                                       : u.rel == Rel::Pointer && u.def == &d && last.def != nullptr;
            if (ptr)
                m_.lists.insert(&d);
        }
    }

    bool owns(const Def &d) const
    {
        std::set<const Def *> seen{&d};
        std::function<bool(const Def &)> walk = [&](const Def &x) {
            std::vector<const Decl *> decls;
            for (const Decl &f : x.fields)
                decls.push_back(&f);
            for (const Arm &a : x.arms)
                decls.push_back(&a.decl);
            if (x.kind == Kind::Typedef)
                decls.push_back(&x.decl);
            for (const Decl *dc : decls) {
                const Field &f = m_.field(*dc);
                if (f.rel == Rel::Pointer || f.base == Base::String || f.base == Base::Netobj || f.external ||
                    f.rel == Rel::Var)
                    return true;
                if (f.def && seen.insert(f.def).second && walk(*f.def))
                    return true;
            }
            return false;
        };
        return walk(d);
    }

    Model &m_;
    std::map<std::string, const Def *> types_;
    std::map<std::string, const Def *> consts_;
};

} // namespace

const Field &Model::underlying(const Field &f) const
{
    const Field *p = &f;
    for (int guard = 0; guard < 1000 && p->rel == Rel::Plain && p->def && p->def->kind == Kind::Typedef; ++guard)
        p = &field(p->def->decl);
    return *p;
}

const Def *Model::enum_of(const Field &f) const
{
    const Field &u = underlying(f);
    return u.def && u.def->kind == Kind::Enum ? u.def : nullptr;
}

Model build(std::vector<Def> defs)
{
    Model m;
    m.defs = std::move(defs);
    Builder(m).run();
    return m;
}

} // namespace qc
