// quilletc [-o DIR] [-p PREFIX] [-I DIR]... [-D NAME[=VALUE]]... FILE.x
// Writes DIR/NAME.h and DIR/NAME.c: the types of FILE.x laid out as rpcgen
// lays them out, and a resumable filter for each.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "model.h"
#include "reader.h"
#include "writer.h"

namespace {

struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

const char usage[] = "usage: quilletc [-o DIR] [-p PREFIX] [-I DIR]... [-D NAME[=VALUE]]... FILE.x\n";

// One word for the shell, whatever it holds.
std::string quoted(const std::string &w)
{
    std::string q = "'";
    for (char c : w)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// The file through the C preprocessor, with `symbol` defined as rpcgen
// defines it for the output being made. QUILLETC_CPP is a command: the
// shell splits it, so it may carry options.
std::string preprocess(const std::string &file, const std::vector<std::string> &flags, const char *symbol)
{
    const char *env = std::getenv("QUILLETC_CPP");
    const std::string prog = env && *env ? env : "cpp";
    std::string cmd = prog + " -C -D" + symbol;
    for (const std::string &f : flags)
        cmd.append(" ").append(quoted(f));
    cmd.append(" ").append(quoted(file));
    std::FILE *p = popen(cmd.c_str(), "r");
    if (!p)
        throw Failure(std::string("cannot run the preprocessor: ") + std::strerror(errno));
    std::string out;
    char buf[65536];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) != 0;)
        out.append(buf, n);
    const int status = pclose(p);
    // 127: the shell could not run it.
    if (WIFEXITED(status) && WEXITSTATUS(status) == 127)
        throw Failure("cannot run the preprocessor '" + prog + "'");
    if (status != 0)
        throw Failure("the preprocessor failed on " + file);
    return out;
}

// Both files land whole or not at all: each is written beside its place
// and renamed there once both are complete.
void publish(const std::vector<std::pair<std::string, std::string>> &files)
{
    std::vector<std::string> temps;
    auto fail = [&](const std::string &path) {
        const int e = errno;
        for (const std::string &t : temps)
            unlink(t.c_str());
        throw Failure("cannot write " + path + ": " + std::strerror(e));
    };
    for (const auto &[path, text] : files) {
        std::string tmpl = path + ".XXXXXX";
        const int fd = mkstemp(tmpl.data());
        if (fd < 0)
            fail(path);
        temps.push_back(tmpl);
        fchmod(fd, S_IRUSR | S_IWUSR | S_IRGRP | S_IROTH);
        std::FILE *f = fdopen(fd, "w");
        if (!f)
            fail(path);
        const bool wrote = std::fwrite(text.data(), 1, text.size(), f) == text.size();
        if ((std::fclose(f) != 0) | !wrote)
            fail(path);
    }
    for (size_t i = 0; i < files.size(); ++i)
        if (rename(temps[i].c_str(), files[i].first.c_str()) != 0)
            fail(files[i].first);
}

int run(int argc, char **argv)
{
    std::string dir = ".", prefix = "axdr_", input;
    std::vector<std::string> flags;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i], opt = a.substr(0, 2);
        auto operand = [&] {
            if (a.size() > 2)
                return a.substr(2);
            if (++i == argc)
                throw Failure("option " + a + " needs a value");
            return std::string(argv[i]);
        };
        if (a == "-h" || a == "--help") {
            std::cout << usage;
            return 0;
        }
        if (opt == "-o") {
            dir = operand();
        } else if (opt == "-p") {
            prefix = operand();
        } else if (opt == "-I" || opt == "-D") {
            flags.push_back(opt + operand());
        } else if (a.size() > 1 && a[0] == '-') {
            throw Failure("unknown option " + a + "\n" + usage);
        } else if (input.empty()) {
            input = a;
        } else {
            throw Failure(std::string("one input file only\n") + usage);
        }
    }
    if (input.empty())
        throw Failure(std::string("no input file\n") + usage);
    if (prefix.empty() || !(std::isalpha(static_cast<unsigned char>(prefix[0])) || prefix[0] == '_'))
        throw Failure("the prefix must start a C name");
    if (access(input.c_str(), R_OK) != 0)
        throw Failure("cannot read " + input + ": " + std::strerror(errno));
    const std::string file = input.substr(input.find_last_of('/') + 1);
    const std::string base = file.size() > 2 && file.ends_with(".x") ? file.substr(0, file.size() - 2) : file;
    const qc::Names names{base, file, prefix};

    const qc::Model header_model = qc::build(qc::read(preprocess(input, flags, "RPC_HDR"), input));
    const std::string h = qc::write_header(header_model, names);
    const qc::Model source_model = qc::build(qc::read(preprocess(input, flags, "RPC_XDR"), input));
    const std::string c = qc::write_source(source_model, names);
    publish({{dir + "/" + base + ".h", h}, {dir + "/" + base + ".c", c}});
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    try {
        return run(argc, argv);
    } catch (const qc::Error &e) {
        std::cerr << e.what() << "\n";
    } catch (const std::exception &e) { // ours, or the C++ library's (out of memory)
        std::cerr << "quilletc: " << e.what() << "\n";
    }
    return 1;
}
