// The text form that `encode` reads and `decode` writes.
//
// Lines end with '\n'; empty lines and lines starting with '#' are skipped.
// Containers take key=value lines, split at the first '=' that is not
// escaped; in keys and values a backslash starts an escape: \\ \n \r \t \=
// \# and \xHH (HH two hex digits, not 00). Written text is UTF-8: other
// bytes are written as \xHH. The single-valued types take one
// line, read as it is.
#ifndef QUILLET_TOOL_TEXT_FORM_H
#define QUILLET_TOOL_TEXT_FORM_H

#include <cstdio>
#include <string>
#include <string_view>

#include "type_table.h"

namespace tool {

struct TextError {
    unsigned line = 0; // 0: not about one line
    std::string what;
};

// Length of the well-formed UTF-8 sequence at p (0: none starts there).
size_t utf8_length(const unsigned char *p);

// Text quoted for a message: control bytes and quotes escaped, long text cut.
std::string quote(std::string_view s);

// Builds a value from its text as the text arrives, keeping no more than
// the line being received besides the value itself. The object belongs to
// the caller, who frees it whatever the outcome (a container is prepared
// on construction).
class TextBuilder {
public:
    TextBuilder(const Type &t, Object *o);
    bool ok() const { return ok_; }
    bool feed(const char *p, size_t n, TextError *e);
    bool finish(TextError *e);

private:
    bool line(std::string_view text, TextError *e);
    const Type &t_;
    Object *o_;
    bool ok_;
    unsigned no_ = 0;
    std::string partial_;       // a line whose end has not arrived
    std::string key_, value_;   // scratch for the pair being split
    std::string single_;        // single-valued types: their line
    unsigned single_no_ = 0;
};

// Writes the value in the text form; false when a value has no text or the
// output failed.
bool write_text(const Type &t, const Object &o, FILE *out);

} // namespace tool

#endif
