#include "commands.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <axdr_runtime.h>

#include "json_out.h"
#include "text_form.h"

namespace tool {
namespace {

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

struct StreamGuard {
    axdr_stream_t *s;
    ~StreamGuard() { axdr_destroy(s); }
};

// The one way to release what a finished transfer left in the object: the
// same stream, switched to AXDR_FREE, and the same filter once more.
void release(const Type &t, axdr_stream_t *s, Object *obj)
{
    s->x_op = AXDR_FREE;
    t.filter(s, obj);
}

// Where the unit that made a decode of `bytes` fail begins. The stream's
// position at the failure depends on how the bytes arrived (a string
// refused for a NUL stops after the bytes already taken; a count refused
// by the filter after the whole count), so the decode is run again over all
// of them at once: first to count the primitive calls, then stopped just
// before the last one, which is the unit that failed.
uint64_t failed_unit_start(const Type &t, std::string &bytes)
{
    unsigned long calls = 0;
    uint64_t pos = 0;
    for (int pass = 0; pass < 2; ++pass) {
        StreamGuard s{axdr_mem_create(bytes.data(), bytes.size(), AXDR_DECODE)};
        if (!s.s)
            return 0;
        // Armed, every call goes through the counting path.
        axdr_fault_at(s.s, AXDR_FAULT_PRIMITIVE, pass == 0 ? ULONG_MAX : calls, AXDR_FALSE);
        Object obj;
        std::memset(&obj, 0, sizeof obj);
        t.filter(s.s, &obj);
        calls = axdr_fault_count(s.s, AXDR_FAULT_PRIMITIVE);
        pos = axdr_getpos(s.s);
        axdr_fault_clear(s.s);
        release(t, s.s, &obj);
        if (calls == 0)
            break;
    }
    return pos;
}

// Whether bytes that end inside a value are only cut short, judged on all
// of them at once: how they arrived must not decide whether a unit they
// already hold (a string that showed a NUL byte) is malformed.
bool only_cut_short(const Type &t, const std::string &bytes)
{
    StreamGuard s{axdr_incr_create(AXDR_DECODE, 0)};
    if (!s.s || axdr_feed(s.s, bytes.data(), bytes.size()) != 0)
        return true;
    Object obj;
    std::memset(&obj, 0, sizeof obj);
    const bool pending = is_pending(t.filter(s.s, &obj));
    axdr_feed_end(s.s);
    if (pending)
        t.filter(s.s, &obj); // unwinds
    release(t, s.s, &obj);
    return pending;
}

bool show(const Type &t, Object *obj, Show how)
{
    bool ok;
    if (how == Show::text) {
        ok = write_text(t, *obj, stdout);
    } else if (how == Show::json) {
        ok = write_json(t, *obj, stdout);
    } else if (t.container() && PairWalk(t, *obj).empty()) {
        // The print operation says nothing for no elements.
        ok = std::fputs("{}\n", stdout) >= 0;
    } else {
        StreamGuard p{axdr_print_create(stdout)};
        ok = p.s && t.filter(p.s, obj) == AXDR_TRUE && axdr_print_finish(p.s) == 0;
    }
    return std::fflush(stdout) == 0 && ok;
}

} // namespace

int cmd_decode(const Type &t, const char *path, size_t chunk, Show how)
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
    std::string seen; // what arrived, to find where a malformed unit begins

    // Feed each piece as it arrives and let the filter go on with it; at the
    // end of input, one more call unwinds a value that is still incomplete.
    int r = AXDR_PENDING;
    bool ended = false;
    while (is_pending(r) && !ended) {
        ssize_t n = in.read(buf.data(), buf.size());
        if (n > 0 && axdr_feed(s.s, buf.data(), static_cast<size_t>(n)) != 0) {
            std::fprintf(stderr, "quillet: out of memory\n");
            n = -1;
        }
        if (n < 0) {
            // Unwind the pending chain so that nothing it holds is lost.
            axdr_feed_end(s.s);
            t.filter(s.s, &obj);
            release(t, s.s, &obj);
            return exit_usage;
        }
        if (n == 0) {
            axdr_feed_end(s.s);
            ended = true;
        } else {
            seen.append(buf.data(), static_cast<size_t>(n));
        }
        r = t.filter(s.s, &obj);
    }
    if (r != AXDR_TRUE) {
        release(t, s.s, &obj);
        const bool cut = ended && only_cut_short(t, seen);
        unsigned long long pos = cut ? seen.size() : failed_unit_start(t, seen);
        std::fprintf(stderr, "quillet: %s: decoding stopped at byte offset %llu: %s\n", t.name,
                     pos, cut ? "input ends inside the value" : "malformed value");
        return exit_data;
    }

    // One value and nothing after it: extra bytes mean a wrong type or file.
    unsigned long long pos = axdr_getpos(s.s);
    bool extra = axdr_unread(s.s) > 0;
    while (!extra && !ended) {
        ssize_t n = in.read(buf.data(), buf.size());
        if (n < 0) {
            release(t, s.s, &obj);
            return exit_usage;
        }
        extra = n > 0;
        ended = n == 0;
    }
    seen = std::string();
    int status = 0;
    if (extra) {
        std::fprintf(stderr, "quillet: %s: decoding stopped at byte offset %llu: "
                             "bytes follow the value\n", t.name, pos);
        status = exit_data;
    } else if (!show(t, &obj, how)) {
        std::fprintf(stderr, "quillet: %s: cannot write the value\n", t.name);
        status = exit_usage;
    }
    release(t, s.s, &obj);
    return status;
}

int cmd_encode(const Type &t, const char *path, size_t window)
{
    Input in;
    if (!in.open(path))
        return exit_usage;
    StreamGuard s{axdr_incr_create(AXDR_ENCODE, window)};
    if (!s.s) {
        std::fprintf(stderr, "quillet: out of memory\n");
        return exit_usage;
    }
    Object obj;
    std::memset(&obj, 0, sizeof obj);

    // The value is built line by line as the text arrives: the text itself
    // is never held whole.
    TextBuilder text(t, &obj);
    TextError err;
    bool built = text.ok();
    if (!built)
        err.what = "cannot create the container";
    std::vector<char> buf(64 * 1024);
    while (built) {
        ssize_t n = in.read(buf.data(), buf.size());
        if (n < 0) {
            release(t, s.s, &obj);
            return exit_usage;
        }
        built = n == 0 ? text.finish(&err) : text.feed(buf.data(), static_cast<size_t>(n), &err);
        if (n == 0)
            break;
    }
    if (!built) {
        if (err.line)
            std::fprintf(stderr, "quillet: %s: %s: line %u: %s\n", t.name, in.name, err.line,
                         err.what.c_str());
        else
            std::fprintf(stderr, "quillet: %s: %s: %s\n", t.name, in.name, err.what.c_str());
        release(t, s.s, &obj);
        return exit_data;
    }

    // The stream holds at most `window` bytes: each pending status means
    // "drain me, then call again with the same arguments".
    int r = AXDR_PENDING;
    bool written = true;
    while (is_pending(r) && written) {
        r = t.filter(s.s, &obj);
        size_t len;
        const void *out = axdr_output(s.s, &len);
        written = write_all(STDOUT_FILENO, out, len);
        axdr_output_consume(s.s, len);
    }
    if (is_pending(r))
        axdr_reset(s.s); // an encode holds nothing of its own to unwind
    // What the text built is the caller's own: free it the same way as a
    // decoded value (the containers' free operation destroys them).
    release(t, s.s, &obj);
    if (!written)
        return exit_usage;
    if (r != AXDR_TRUE) {
        std::fprintf(stderr, "quillet: %s: cannot encode the value\n", t.name);
        return exit_data;
    }
    return 0;
}

} // namespace tool
