// quillet: turns text into the XDR bytes of one of the library's types, and
// decodes such bytes back into text, JSON or the print operation's form. A
// user's tool and a worked example of the caller's side of the resumable
// filters: input is fed as it arrives and output drained as it is produced.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "commands.h"

#ifndef QUILLET_VERSION
#error "QUILLET_VERSION comes from the build"
#endif

namespace {

using namespace tool;

void usage(FILE *f)
{
    std::fprintf(f,
        "usage: quillet print [--chunk N] TYPE [FILE]\n"
        "       quillet decode [--json] [--chunk N] TYPE [FILE]\n"
        "       quillet encode [--window N] TYPE [FILE]\n"
        "       quillet types | --help | --version\n"
        "\n"
        "print   decodes one XDR value of TYPE from FILE (or standard input, also\n"
        "        for '-') and prints it with the print operation. Input is read\n"
        "        N bytes at a time at most (default 4096) and decoded as it\n"
        "        arrives. Input that ends inside the value, a malformed value, or\n"
        "        bytes after it are refused with the byte offset: the end of the\n"
        "        input, where the failing unit begins, or where the value ends.\n"
        "decode  decodes as print does and writes the value in the text form that\n"
        "        encode reads, or with --json as one JSON value.\n"
        "encode  reads the text form of a value of TYPE and writes its XDR bytes to\n"
        "        standard output, through an output window of N bytes (default\n"
        "        4096).\n"
        "Options may follow TYPE and FILE; --chunk=N is --chunk N; -- ends the\n"
        "options.\n"
        "\n"
        "Text: lines end with '\\n'; empty lines and lines starting with '#' are\n"
        "ignored. Nothing is trimmed: blanks and '\\r' belong to the text. In\n"
        "key=value lines the first '=' splits; in keys and values a backslash\n"
        "escapes: \\\\ \\n \\r \\t \\= \\# \\xHH. The single-valued types take exactly\n"
        "one line.\n"
        "\n"
        "TYPE    text form\n");
    for (const Type *t = types_begin(); t != types_end(); ++t)
        std::fprintf(f, "  %-13s %s\n", t->name, t->form);
    std::fprintf(f,
        "\n"
        "Exit status: 0 done, 1 bad input (bytes or text), 2 bad command line or a\n"
        "failure to read, write or allocate.\n");
}

// Decimal digits only, from 1 to 2^24.
bool parse_size(const char *text, size_t *out)
{
    size_t v = 0;
    if (!*text)
        return false;
    for (const char *p = text; *p; ++p) {
        if (*p < '0' || *p > '9')
            return false;
        v = v * 10 + static_cast<size_t>(*p - '0');
        if (v > (1u << 24))
            return false;
    }
    if (v == 0)
        return false;
    *out = v;
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        usage(stderr);
        return exit_usage;
    }
    const std::string cmd = argv[1];
    if (cmd == "--help" || cmd == "-h" || cmd == "help") {
        usage(stdout);
        return 0;
    }
    if (cmd == "--version") {
        std::printf("quillet %s\n", QUILLET_VERSION);
        return 0;
    }
    if (cmd == "types") {
        for (const Type *t = types_begin(); t != types_end(); ++t)
            std::printf("%-13s %s\n", t->name, t->form);
        return 0;
    }
    if (cmd != "print" && cmd != "decode" && cmd != "encode") {
        std::fprintf(stderr, "quillet: unknown command '%s' (try --help)\n", argv[1]);
        return exit_usage;
    }

    // GNU forms: options anywhere among the operands, --opt=value as well
    // as --opt value, and -- ending the options.
    size_t size = 4096;
    Show how = cmd == "decode" ? Show::text : Show::print;
    const char *size_opt = cmd == "encode" ? "--window" : "--chunk";
    const size_t size_len = std::strlen(size_opt);
    std::vector<const char *> operands;
    bool options = true;
    for (int i = 2; i < argc; ++i) {
        const char *a = argv[i];
        if (!options || std::strncmp(a, "--", 2) != 0) {
            operands.push_back(a);
        } else if (std::strcmp(a, "--") == 0) {
            options = false;
        } else if (cmd == "decode" && std::strcmp(a, "--json") == 0) {
            how = Show::json;
        } else if (std::strncmp(a, size_opt, size_len) == 0 && (a[size_len] == '\0' || a[size_len] == '=')) {
            const char *value = a[size_len] == '=' ? a + size_len + 1 : i + 1 < argc ? argv[++i] : nullptr;
            if (!value || !parse_size(value, &size)) {
                std::fprintf(stderr, "quillet: %s takes a size from 1 to 16777216\n", size_opt);
                return exit_usage;
            }
        } else {
            std::fprintf(stderr, "quillet: %s: unknown option '%s'\n", cmd.c_str(), a);
            return exit_usage;
        }
    }
    if (operands.empty() || operands.size() > 2) {
        std::fprintf(stderr, "quillet: %s: %s (try --help)\n", cmd.c_str(),
                     operands.empty() ? "no TYPE given" : "more than TYPE and FILE given");
        return exit_usage;
    }
    const Type *t = find_type(operands[0]);
    if (!t) {
        std::fprintf(stderr, "quillet: unknown type '%s' (see quillet types)\n", operands[0]);
        return exit_usage;
    }
    const char *path = operands.size() > 1 ? operands[1] : nullptr;
    return cmd == "encode" ? cmd_encode(*t, path, size) : cmd_decode(*t, path, size, how);
}
