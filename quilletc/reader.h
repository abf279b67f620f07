// The reader: the XDR language as rpcgen reads it (after the C
// preprocessor), into definitions that keep where each part was written.
#ifndef QUILLETC_READER_H
#define QUILLETC_READER_H

#include <stdexcept>
#include <string>
#include <vector>

namespace qc {

struct Pos {
    std::string file;
    int line = 0;
    int col = 0;
};

// Bad input: reported as "file:line:column: message".
struct Error : std::runtime_error {
    Error(const Pos &p, const std::string &msg)
        : std::runtime_error(p.file + ":" + std::to_string(p.line) + ":" + std::to_string(p.col) + ": " + msg)
    {
    }
};

// A value as written: a number or a constant's name.
struct Value {
    Pos pos;
    std::string text;
};

enum class Rel { Plain, Pointer, Fixed, Var };

// `type name`, `type *name`, `type name[size]`, `type name<max>`, `void`.
struct Decl {
    Pos pos;
    std::string type; // a base type's canonical name ("unsigned int"), or a name
    std::string tag;  // "struct", "union" or "enum" when written before the name
    std::string name;
    Pos name_pos;
    Rel rel = Rel::Plain;
    Value size;       // Fixed: the size; Var: the maximum (empty: none)
    bool is_void() const { return type == "void"; }
};

struct Enumerator {
    Pos pos;
    std::string name;
    Value value; // empty: the previous one's plus one
};

struct Arm {
    std::vector<Value> cases; // empty: the default arm
    Decl decl;
};

struct Proc {
    std::string name;
    Value number;
};

struct Version {
    std::string name;
    Value number;
    std::vector<Proc> procs;
};

enum class Kind { Const, Enum, Struct, Union, Typedef, Program, Verbatim };

struct Def {
    Kind kind;
    Pos pos;
    std::string name;
    Value value;                 // Const, Program
    std::vector<Enumerator> enumerators;
    std::vector<Decl> fields;    // Struct
    Decl disc;                   // Union: the discriminant
    std::vector<Arm> arms;       // Union, default last if any
    Decl decl;                   // Typedef
    std::vector<Version> versions;
    std::string text;            // Verbatim: a `%` line's text
};

// Reads preprocessed text; `file` names it until a line marker says
// otherwise. `source` maps a file to its original lines, for columns.
std::vector<Def> read(const std::string &text, const std::string &file);

} // namespace qc

#endif
