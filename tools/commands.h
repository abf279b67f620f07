// The tool's commands. Each returns the exit status.
#ifndef QUILLET_TOOL_COMMANDS_H
#define QUILLET_TOOL_COMMANDS_H

#include <cstddef>

#include "type_table.h"

namespace tool {

// Exit codes: 1 for bad input data or text, 2 for a wrong command line or a
// failure of the system (reading, writing, memory).
constexpr int exit_data = 1;
constexpr int exit_usage = 2;

// How a decoded value is shown: the filter's print operation, the text
// form, or JSON.
enum class Show { print, text, json };

int cmd_decode(const Type &t, const char *path, size_t chunk, Show how);
int cmd_encode(const Type &t, const char *path, size_t window);

} // namespace tool

#endif
