// The writer: C from the model. The header lays the types out as rpcgen
// does; the source holds one resumable filter per type.
#ifndef QUILLETC_WRITER_H
#define QUILLETC_WRITER_H

#include <string>

#include "model.h"

namespace qc {

struct Names {
    std::string base;   // the output files' name, without .h or .c
    std::string input;  // the .x file, for the header comment
    std::string prefix; // of every filter's name
};

std::string write_header(const Model &m, const Names &n);
std::string write_source(const Model &m, const Names &n);

} // namespace qc

#endif
