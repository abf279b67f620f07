// The JSON form `decode --json` writes: one value per run.
//
// Strings are written as UTF-8. A byte that does not belong to a well-formed
// UTF-8 sequence is written as the escape \udcXX, XX being the byte (0x80 to
// 0xff): such lone surrogates never stand for a character of well-formed
// text, so the original bytes come back exactly (Python: decode the JSON,
// then s.encode("utf-8", "surrogateescape")).
#ifndef QUILLET_TOOL_JSON_OUT_H
#define QUILLET_TOOL_JSON_OUT_H

#include <cstdio>
#include <string>

#include "type_table.h"

namespace tool {

void append_json_string(std::string *out, const char *s);

// Writes the value and a newline; false when a value has no text or the
// output failed.
bool write_json(const Type &t, const Object &o, FILE *out);

} // namespace tool

#endif
