// quilletc [-o DIR] [-p PREFIX] [-I DIR]... [-D NAME[=VALUE]]... FILE.x
// Writes DIR/NAME.h and DIR/NAME.c: the types of FILE.x laid out as rpcgen
// lays them out, and a resumable filter for each.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "model.h"
#include "reader.h"
#include "writer.h"

extern char **environ;

namespace {

struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

const char usage[] = "usage: quilletc [-o DIR] [-p PREFIX] [-I DIR]... [-D NAME[=VALUE]]... FILE.x\n";

// The file through the C preprocessor, with `symbol` defined as rpcgen
// defines it for the output being made.
std::string preprocess(const std::string &file, const std::vector<std::string> &flags, const char *symbol)
{
    std::vector<std::string> argv;
    const char *env = std::getenv("QUILLETC_CPP");
    std::istringstream words(env && *env ? env : "cpp");
    for (std::string w; words >> w;)
        argv.push_back(w);
    argv.push_back("-C");
    argv.push_back(std::string("-D") + symbol);
    argv.insert(argv.end(), flags.begin(), flags.end());
    argv.push_back(file);
    std::vector<char *> args;
    for (std::string &a : argv)
        args.push_back(a.data());
    args.push_back(nullptr);

    int fds[2];
    if (pipe(fds) != 0)
        throw Failure(std::string("pipe: ") + std::strerror(errno));
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
    posix_spawn_file_actions_addclose(&fa, fds[0]);
    pid_t pid;
    const int err = posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    close(fds[1]);
    if (err != 0) {
        close(fds[0]);
        throw Failure("cannot run the preprocessor '" + argv[0] + "': " + std::strerror(err));
    }
    std::string out;
    char buf[65536];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) != 0;) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            break;
        out.append(buf, size_t(n));
    }
    close(fds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    // 127: the spawned child could not run it (where spawning cannot tell).
    if (WIFEXITED(status) && WEXITSTATUS(status) == 127)
        throw Failure("cannot run the preprocessor '" + argv[0] + "'");
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw Failure("the preprocessor failed on " + file);
    return out;
}

// Both files land whole or not at all: each is written beside its place
// and renamed there once both are complete.
void publish(const std::vector<std::pair<std::string, std::string>> &files)
{
    std::vector<std::string> temps;
    auto drop = [&] {
        for (const std::string &t : temps)
            unlink(t.c_str());
    };
    for (const auto &[path, text] : files) {
        std::string tmpl = path + ".XXXXXX";
        const int fd = mkstemp(tmpl.data());
        if (fd < 0) {
            drop();
            throw Failure("cannot write " + path + ": " + std::strerror(errno));
        }
        temps.push_back(tmpl);
        size_t off = 0;
        while (off < text.size()) {
            const ssize_t n = write(fd, text.data() + off, text.size() - off);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                const int e = errno;
                close(fd);
                drop();
                throw Failure("cannot write " + path + ": " + std::strerror(e));
            }
            off += size_t(n);
        }
        fchmod(fd, S_IRUSR | S_IWUSR | S_IRGRP | S_IROTH);
        if (close(fd) != 0) {
            drop();
            throw Failure("cannot write " + path + ": " + std::strerror(errno));
        }
    }
    for (size_t i = 0; i < files.size(); ++i)
        if (rename(temps[i].c_str(), files[i].first.c_str()) != 0) {
            drop();
            throw Failure("cannot write " + files[i].first + ": " + std::strerror(errno));
        }
}

int run(int argc, char **argv)
{
    std::string dir = ".", prefix = "axdr_", input;
    std::vector<std::string> flags;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto operand = [&](const char *opt) {
            if (a.size() > 2)
                return a.substr(2);
            if (i + 1 >= argc)
                throw Failure(std::string("option ") + opt + " needs a value");
            return std::string(argv[++i]);
        };
        if (a == "-h" || a == "--help") {
            std::cout << usage;
            return 0;
        }
        if (a.compare(0, 2, "-o") == 0) {
            dir = operand("-o");
        } else if (a.compare(0, 2, "-p") == 0) {
            prefix = operand("-p");
        } else if (a.compare(0, 2, "-I") == 0 || a.compare(0, 2, "-D") == 0) {
            flags.push_back(a.substr(0, 2) + operand(a.substr(0, 2).c_str()));
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
    std::string base = input.substr(input.find_last_of('/') + 1);
    if (base.size() > 2 && base.compare(base.size() - 2, 2, ".x") == 0)
        base.resize(base.size() - 2);
    const qc::Names names{base, input.substr(input.find_last_of('/') + 1), prefix};

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
    } catch (const Failure &e) {
        std::cerr << "quilletc: " << e.what() << "\n";
    } catch (const std::exception &e) {
        std::cerr << "quilletc: internal error: " << e.what() << "\n";
    }
    return 1;
}
