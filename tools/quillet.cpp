// quillet: turns text into the XDR bytes of one of the library's types, and
// decodes and prints such bytes. A user's tool and a worked example of the
// caller's side of the resumable filters: input is fed as it arrives and
// output drained as it is produced.
#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <axdr_runtime.h>
#include <quillet/quillet.h>

#ifndef QUILLET_VERSION
#error "QUILLET_VERSION comes from the build"
#endif

namespace {

// Exit codes: 1 for bad input data or text, 2 for a wrong command line or a
// failure of the system (reading, writing, memory).
constexpr int exit_data = 1;
constexpr int exit_usage = 2;

// Every object the tool handles; zeroed before use.
union Object {
    map_t map;
    arraymap_t arraymap;
    multimap_t multimap;
    struct in_addr in4;
    struct in6_addr in6;
    nu_macaddr_t mac;
    nu_ipaddr_t ip;
    nu_ipcidr_t cidr;
    struct rlimit rlim;
    rlim_t lim;
};

struct Line {
    unsigned no; // 1-based, counting every line of the input
    std::string text;
};

struct TextError {
    unsigned line = 0;
    std::string what;
};

// The lines that carry text, and the number of the line after the last.
struct Text {
    std::vector<Line> lines;
    unsigned end = 1;
};

using Parser = bool (*)(const Text &, Object *, TextError *);

struct Type {
    const char *name;
    const char *form; // the text form, for --help and types
    int (*filter)(axdr_stream_t *, void *);
    Parser parse;
};

template <class T, int (*F)(axdr_stream_t *, T *)> int as_filter(axdr_stream_t *s, void *obj)
{
    return F(s, static_cast<T *>(obj));
}

// Text quoted for a message: control bytes and quotes escaped, long text cut.
std::string quote(const std::string &s)
{
    std::string out = "\"";
    size_t n = 0;
    for (unsigned char c : s) {
        if (++n > 60) {
            out += "...";
            break;
        }
        if (c < 0x20 || c == 0x7f || c == '"' || c == '\\') {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\x%02x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

bool fail(TextError *e, unsigned line, std::string what)
{
    e->line = line;
    e->what = std::move(what);
    return false;
}

// --- text forms --------------------------------------------------------

// key=value lines: the first '=' splits, nothing is trimmed.
template <class M, int (*Init)(M *), int (*Insert)(M *, const char *, const char *),
          int (*Destroy)(M *), bool Unique>
bool parse_pairs(const Text &text, M *m, TextError *e)
{
    if (Init(m) != 0)
        return fail(e, 0, "cannot create the container");
    for (const Line &l : text.lines) {
        size_t eq = l.text.find('=');
        if (eq == std::string::npos) {
            Destroy(m);
            return fail(e, l.no, "expected key=value, found " + quote(l.text));
        }
        std::string key = l.text.substr(0, eq);
        if constexpr (Unique) {
            if (map_get(m, key.c_str())) {
                Destroy(m);
                return fail(e, l.no, "key " + quote(key) + " repeated");
            }
        }
        if (Insert(m, key.c_str(), l.text.c_str() + eq + 1) != 0) {
            Destroy(m);
            return fail(e, l.no, "cannot insert key " + quote(key));
        }
    }
    return true;
}

// The one line of a single-valued type.
const Line *single(const Text &text, TextError *e, const char *what)
{
    const std::vector<Line> &lines = text.lines;
    if (lines.empty()) {
        fail(e, text.end, std::string("expected ") + what + ", found end of input");
        return nullptr;
    }
    if (lines.size() > 1) {
        fail(e, lines[1].no, "more than one value (the first is on line " +
                                 std::to_string(lines[0].no) + ")");
        return nullptr;
    }
    return &lines[0];
}

bool parse_in_addr(const Text &lines, Object *o, TextError *e)
{
    const Line *l = single(lines, e, "an IPv4 address");
    if (!l)
        return false;
    if (inet_pton(AF_INET, l->text.c_str(), &o->in4) != 1)
        return fail(e, l->no, "not an IPv4 address: " + quote(l->text));
    return true;
}

bool parse_in6_addr(const Text &lines, Object *o, TextError *e)
{
    const Line *l = single(lines, e, "an IPv6 address");
    if (!l)
        return false;
    if (inet_pton(AF_INET6, l->text.c_str(), &o->in6) != 1)
        return fail(e, l->no, "not an IPv6 address: " + quote(l->text));
    return true;
}

bool parse_mac(const Text &lines, Object *o, TextError *e)
{
    const Line *l = single(lines, e, "a MAC address");
    if (!l)
        return false;
    if (nu_macaddr_from_str(l->text.c_str(), &o->mac) != 0)
        return fail(e, l->no, "not a MAC address (aa:bb:cc:dd:ee:ff): " + quote(l->text));
    return true;
}

bool parse_ipaddr(const Text &lines, Object *o, TextError *e)
{
    const Line *l = single(lines, e, "an IP address");
    if (!l)
        return false;
    if (nu_ipaddr_from_str(l->text.c_str(), &o->ip) != 0)
        return fail(e, l->no, "not an IPv4 or IPv6 address: " + quote(l->text));
    return true;
}

bool parse_cidr(const Text &lines, Object *o, TextError *e)
{
    const Line *l = single(lines, e, "address/prefix");
    if (!l)
        return false;
    if (nu_cidr_from_str(l->text.c_str(), &o->cidr) != 0)
        return fail(e, l->no, "not address/prefix: " + quote(l->text));
    return true;
}

// A decimal number without sign or blanks, or "infinity".
bool parse_limit(const std::string &text, rlim_t *out)
{
    if (text == "infinity") {
        *out = RLIM_INFINITY;
        return true;
    }
    if (text.empty())
        return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        unsigned d = static_cast<unsigned>(c - '0');
        if (v > (UINT64_MAX - d) / 10)
            return false;
        v = v * 10 + d;
    }
    *out = static_cast<rlim_t>(v);
    return true;
}

const char limit_form[] = "a number (0 to 18446744073709551615) or \"infinity\"";

bool parse_rlim(const Text &lines, Object *o, TextError *e)
{
    const Line *l = single(lines, e, "a limit");
    if (!l)
        return false;
    if (!parse_limit(l->text, &o->lim))
        return fail(e, l->no, std::string("expected ") + limit_form + ", found " + quote(l->text));
    return true;
}

bool parse_rlimit(const Text &lines, Object *o, TextError *e)
{
    const Line *l = single(lines, e, "two limits");
    if (!l)
        return false;
    const std::string &t = l->text;
    size_t gap = t.find_first_of(" \t");
    size_t next = gap == std::string::npos ? gap : t.find_first_not_of(" \t", gap);
    if (gap == 0 || next == std::string::npos ||
        t.find_first_of(" \t", next) != std::string::npos)
        return fail(e, l->no, "expected two limits separated by blanks, found " + quote(t));
    std::string cur = t.substr(0, gap), max = t.substr(next);
    if (!parse_limit(cur, &o->rlim.rlim_cur))
        return fail(e, l->no, std::string("soft limit: expected ") + limit_form + ", found " +
                                  quote(cur));
    if (!parse_limit(max, &o->rlim.rlim_max))
        return fail(e, l->no, std::string("hard limit: expected ") + limit_form + ", found " +
                                  quote(max));
    return true;
}

const Type types[] = {
    {"map_t", "key=value lines; each key once",
     as_filter<map_t, axdr_map_t>,
     [](const Text &l, Object *o, TextError *e) {
         return parse_pairs<map_t, map_init, map_insert_str, map_destroy, true>(l, &o->map, e);
     }},
    {"arraymap_t", "key=value lines; a repeated key adds a value",
     as_filter<arraymap_t, axdr_arraymap_t>,
     [](const Text &l, Object *o, TextError *e) {
         return parse_pairs<arraymap_t, arraymap_init, arraymap_insert_str, arraymap_destroy,
                            false>(l, &o->arraymap, e);
     }},
    {"multimap_t", "key=value lines; a repeated key adds a value",
     as_filter<multimap_t, axdr_multimap_t>,
     [](const Text &l, Object *o, TextError *e) {
         return parse_pairs<multimap_t, multimap_init, multimap_insert_str, multimap_destroy,
                            false>(l, &o->multimap, e);
     }},
    {"in_addr", "an IPv4 address: 192.0.2.1", as_filter<struct in_addr, axdr_in_addr>,
     parse_in_addr},
    {"in6_addr", "an IPv6 address: 2001:db8::1", as_filter<struct in6_addr, axdr_in6_addr>,
     parse_in6_addr},
    {"nu_macaddr_t", "a MAC address: 02:00:5e:10:00:01",
     as_filter<nu_macaddr_t, axdr_nu_macaddr_t>, parse_mac},
    {"nu_ipaddr_t", "an IPv4 or IPv6 address", as_filter<nu_ipaddr_t, axdr_nu_ipaddr_t>,
     parse_ipaddr},
    {"nu_ipcidr_t", "address/prefix: 192.0.2.0/24, 2001:db8::/32",
     as_filter<nu_ipcidr_t, axdr_nu_ipcidr_t>, parse_cidr},
    {"rlimit", "soft and hard limit: 1024 4096, 0 infinity",
     as_filter<struct rlimit, axdr_rlimit>, parse_rlimit},
    {"rlim_t", "one limit: 1024, infinity", as_filter<rlim_t, axdr_rlim_t>, parse_rlim},
};

const Type *find_type(const char *name)
{
    for (const Type &t : types)
        if (std::strcmp(t.name, name) == 0)
            return &t;
    return nullptr;
}

// --- input and output -----------------------------------------------------

bool is_pending(int r) { return r != AXDR_TRUE && r != AXDR_FALSE; }

struct Input {
    int fd = STDIN_FILENO;
    bool owned = false;
    const char *name = "standard input";
    bool open(const char *path)
    {
        if (!path || std::strcmp(path, "-") == 0)
            return true;
        name = path;
        fd = ::open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            std::fprintf(stderr, "quillet: %s: %s\n", path, std::strerror(errno));
            return false;
        }
        owned = true;
        return true;
    }
    ~Input()
    {
        if (owned)
            ::close(fd);
    }
    // Bytes read, 0 at the end, -1 on an error (reported).
    ssize_t read(void *buf, size_t max)
    {
        for (;;) {
            ssize_t n = ::read(fd, buf, max);
            if (n >= 0 || errno != EINTR) {
                if (n < 0)
                    std::fprintf(stderr, "quillet: %s: %s\n", name, std::strerror(errno));
                return n;
            }
        }
    }
};

bool write_all(int fd, const void *data, size_t len)
{
    const char *p = static_cast<const char *>(data);
    while (len) {
        ssize_t n = ::write(fd, p, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            std::fprintf(stderr, "quillet: standard output: %s\n", std::strerror(errno));
            return false;
        }
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

// Lines of the text, without their '\n'; empty lines and '#' comments dropped.
bool split_lines(const std::string &text, Text *out, TextError *e)
{
    unsigned no = 0;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        ++no;
        std::string line = text.substr(at, end - at);
        at = end + 1;
        if (line.find('\0') != std::string::npos)
            return fail(e, no, "NUL byte in the text");
        if (!line.empty() && line[0] != '#')
            out->lines.push_back({no, std::move(line)});
    }
    out->end = no + 1;
    return true;
}

// --- commands ---------------------------------------------------------------

struct StreamGuard {
    axdr_stream_t *s;
    ~StreamGuard() { axdr_destroy(s); }
};

void free_object(const Type &t, Object *obj)
{
    StreamGuard fs{axdr_mem_create(nullptr, 0, AXDR_FREE)};
    if (fs.s)
        t.filter(fs.s, obj);
}

int cmd_print(const Type &t, const char *path, size_t chunk)
{
    Input in;
    if (!in.open(path))
        return exit_usage;
    StreamGuard s{axdr_incr_create(AXDR_DECODE, 0)};
    if (!s.s) {
        std::fprintf(stderr, "quillet: out of memory\n");
        return exit_usage;
    }
    Object obj;
    std::memset(&obj, 0, sizeof obj);
    std::vector<char> buf(chunk);

    // Feed each piece as it arrives and let the filter go on with it; at the
    // end of input, one more call unwinds a value that is still incomplete.
    int r = AXDR_PENDING;
    bool ended = false;
    while (is_pending(r) && !ended) {
        ssize_t n = in.read(buf.data(), buf.size());
        if (n < 0) {
            // Unwind the pending chain so that nothing it holds is lost.
            axdr_feed_end(s.s);
            t.filter(s.s, &obj);
            free_object(t, &obj);
            return exit_usage;
        }
        if (n == 0) {
            axdr_feed_end(s.s);
            ended = true;
        } else if (axdr_feed(s.s, buf.data(), static_cast<size_t>(n)) != 0) {
            std::fprintf(stderr, "quillet: out of memory\n");
            axdr_feed_end(s.s);
            t.filter(s.s, &obj);
            free_object(t, &obj);
            return exit_usage;
        }
        r = t.filter(s.s, &obj);
    }
    unsigned long long pos = axdr_getpos(s.s);
    if (r != AXDR_TRUE) {
        std::fprintf(stderr, "quillet: %s: decoding stopped at byte offset %llu: %s\n", t.name,
                     pos, ended ? "input ends inside the value" : "malformed value");
        free_object(t, &obj);
        return exit_data;
    }

    // One value and nothing after it: extra bytes mean a wrong type or file.
    bool extra = axdr_unread(s.s) > 0;
    while (!extra && !ended) {
        ssize_t n = in.read(buf.data(), buf.size());
        if (n < 0) {
            free_object(t, &obj);
            return exit_usage;
        }
        extra = n > 0;
        ended = n == 0;
    }
    if (extra) {
        std::fprintf(stderr, "quillet: %s: decoding stopped at byte offset %llu: "
                             "bytes follow the value\n", t.name, pos);
        free_object(t, &obj);
        return exit_data;
    }

    StreamGuard p{axdr_print_create(stdout)};
    r = p.s ? t.filter(p.s, &obj) : AXDR_FALSE;
    bool printed = r == AXDR_TRUE && axdr_print_finish(p.s) == 0 && std::fflush(stdout) == 0;
    free_object(t, &obj);
    if (!printed) {
        std::fprintf(stderr, "quillet: %s: cannot print the value\n", t.name);
        return exit_usage;
    }
    return 0;
}

int cmd_encode(const Type &t, const char *path, size_t window)
{
    Input in;
    if (!in.open(path))
        return exit_usage;
    std::string text;
    char buf[4096];
    for (;;) {
        ssize_t n = in.read(buf, sizeof buf);
        if (n < 0)
            return exit_usage;
        if (n == 0)
            break;
        text.append(buf, static_cast<size_t>(n));
    }

    Object obj;
    std::memset(&obj, 0, sizeof obj);
    Text lines;
    TextError err;
    if (!split_lines(text, &lines, &err) || !t.parse(lines, &obj, &err)) {
        if (err.line)
            std::fprintf(stderr, "quillet: %s: %s: line %u: %s\n", t.name, in.name, err.line,
                         err.what.c_str());
        else
            std::fprintf(stderr, "quillet: %s: %s: %s\n", t.name, in.name, err.what.c_str());
        return exit_data;
    }

    // The stream holds at most `window` bytes: each pending status means
    // "drain me, then call again with the same arguments".
    StreamGuard s{axdr_incr_create(AXDR_ENCODE, window)};
    int r = s.s ? AXDR_PENDING : AXDR_FALSE;
    bool written = true;
    while (s.s && is_pending(r) && written) {
        r = t.filter(s.s, &obj);
        size_t len;
        const void *out = axdr_output(s.s, &len);
        written = write_all(STDOUT_FILENO, out, len);
        axdr_output_consume(s.s, len);
    }
    if (is_pending(r))
        axdr_reset(s.s); // an encode holds nothing of its own to unwind
    // What the parser built is the caller's own: free it the same way as a
    // decoded value (the containers' free operation destroys them).
    free_object(t, &obj);
    if (!written)
        return exit_usage;
    if (r != AXDR_TRUE) {
        std::fprintf(stderr, "quillet: %s: cannot encode the value\n", t.name);
        return exit_data;
    }
    return 0;
}

void usage(FILE *f)
{
    std::fprintf(f,
        "usage: quillet print [--chunk N] TYPE [FILE]\n"
        "       quillet encode [--window N] TYPE [FILE]\n"
        "       quillet types | --help | --version\n"
        "\n"
        "print   decodes one XDR value of TYPE from FILE (or standard input, also\n"
        "        for '-') and prints it. Input is read N bytes at a time at most\n"
        "        (default 4096) and decoded as it arrives. Input that ends inside\n"
        "        the value, a malformed value, or bytes after it are refused with\n"
        "        the byte offset where decoding stopped.\n"
        "encode  reads the text form of a value of TYPE and writes its XDR bytes to\n"
        "        standard output, through an output window of N bytes (default\n"
        "        4096).\n"
        "\n"
        "Text: lines end with '\\n'; empty lines and lines starting with '#' are\n"
        "ignored. Nothing is trimmed: blanks and '\\r' belong to the text. In\n"
        "key=value lines the first '=' splits: a key holds no '=' nor starts with\n"
        "'#', a value may hold '=' but no newline. The single-valued types take\n"
        "exactly one line.\n"
        "\n"
        "TYPE    text form\n");
    for (const Type &t : types)
        std::fprintf(f, "  %-13s %s\n", t.name, t.form);
    std::fprintf(f,
        "\n"
        "Exit status: 0 done, 1 bad input (bytes or text), 2 bad command line or a\n"
        "failure to read, write or allocate.\n");
}

bool parse_size(const char *text, size_t *out)
{
    char *end;
    errno = 0;
    unsigned long long v = std::strtoull(text, &end, 10);
    if (errno || end == text || *end || text[0] == '-' || v == 0 || v > (1u << 24))
        return false;
    *out = static_cast<size_t>(v);
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
        for (const Type &t : types)
            std::printf("%-13s %s\n", t.name, t.form);
        return 0;
    }
    if (cmd != "print" && cmd != "encode") {
        std::fprintf(stderr, "quillet: unknown command '%s' (try --help)\n", argv[1]);
        return exit_usage;
    }

    size_t size = 4096;
    int i = 2;
    const char *opt = cmd == "print" ? "--chunk" : "--window";
    if (i < argc && std::strcmp(argv[i], opt) == 0) {
        if (i + 1 >= argc || !parse_size(argv[i + 1], &size)) {
            std::fprintf(stderr, "quillet: %s takes a size from 1 to 16777216\n", opt);
            return exit_usage;
        }
        i += 2;
    }
    if (i >= argc || argc - i > 2) {
        usage(stderr);
        return exit_usage;
    }
    const Type *t = find_type(argv[i]);
    if (!t) {
        std::fprintf(stderr, "quillet: unknown type '%s' (see quillet types)\n", argv[i]);
        return exit_usage;
    }
    const char *path = i + 1 < argc ? argv[i + 1] : nullptr;
    return cmd == "print" ? cmd_print(*t, path, size) : cmd_encode(*t, path, size);
}
