// The model: the definitions resolved. Constants folded, every
// declaration's type found (typedefs followed), recursion and lists
// recognised, and everything the C types cannot hold refused.
#ifndef QUILLETC_MODEL_H
#define QUILLETC_MODEL_H

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "reader.h"

namespace qc {

// The XDR base types, and the names rpcgen takes for them.
enum class Base { None, Int, UInt, Long, ULong, Short, UShort, Char, UChar, Hyper, UHyper, Float, Double, Bool, String, Opaque, Void, Netobj };

// A declaration resolved.
struct Field {
    const Decl *decl = nullptr;
    Base base = Base::None;      // a base type, or None for a definition
    const Def *def = nullptr;    // the named definition
    bool external = false;       // a type this file does not define: its filter is elsewhere
    std::string ctype;           // the C name of the element type
    Rel rel = Rel::Plain;
    uint64_t size = 0;           // Fixed: the count; Var: the maximum
    bool bounded = false;        // Var: a maximum was given
    bool symbolic = false;       // the size is a constant this file does not define
};

struct Model {
    std::vector<Def> defs;
    std::map<const Decl *, Field> fields;
    std::map<std::string, int64_t> values;     // constants and enumerators
    std::map<const Def *, std::vector<int64_t>> enum_values;
    std::map<const Def *, std::vector<std::vector<int64_t>>> case_values; // per arm
    std::set<const Def *> recursive;  // reach themselves through pointers or arrays
    std::set<const Def *> owning;     // hold memory a decode allocates
    std::set<const Def *> lists;      // structs whose last field links the next one
    std::vector<std::string> externals; // types used but defined elsewhere, in order

    const Field &field(const Decl &d) const { return fields.at(&d); }
    // A typedef followed to what it names (a Field of rel Plain with def
    // set to a typedef is followed; anything else is returned as is).
    const Field &underlying(const Field &f) const;
    // The discriminant's enum definition, if any.
    const Def *enum_of(const Field &f) const;
};

Model build(std::vector<Def> defs);

} // namespace qc

#endif
