// Test helpers: drive filters over the runtime's streams with different
// feeding patterns and collect bytes and text.
#ifndef QUILLET_TESTS_SUPPORT_H
#define QUILLET_TESTS_SUPPORT_H

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <axdr_runtime.h>
#include <quillet/quillet.h>

#if defined(__SANITIZE_ADDRESS__)
#define QT_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QT_ASAN 1
#endif
#endif

namespace qt {

// Heap blocks (bytes under ASan) live now: back at its value once
// everything allocated since has been freed.
long heap_live();
// The most heap bytes in use since the last reset, which returns the bytes
// in use then (under ASan both are the bytes in use now).
size_t heap_peak_since_reset();
size_t heap_peak_reset();

using Bytes = std::vector<uint8_t>;

struct StreamDeleter {
    void operator()(axdr_stream_t *s) const { axdr_destroy(s); }
};
using Stream = std::unique_ptr<axdr_stream_t, StreamDeleter>;

template <class T> using Filter = int (*)(axdr_stream_t *, T *);

// "00 0a ff" -> bytes.
inline Bytes hex(const char *text)
{
    std::string digits;
    for (const char *p = text; *p; ++p)
        digits += std::isxdigit(static_cast<unsigned char>(*p)) ? std::string(1, *p) : "";
    Bytes out;
    for (size_t i = 0; i + 1 < digits.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return out;
}

inline std::string to_hex(const Bytes &b)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (uint8_t x : b) {
        if (!s.empty())
            s.push_back(' ');
        s.push_back(digits[x >> 4]);
        s.push_back(digits[x & 15]);
    }
    return s;
}

// XDR building blocks for hand-made wire data.
inline void put_u32(Bytes &b, uint32_t v)
{
    for (int sh = 24; sh >= 0; sh -= 8)
        b.push_back(static_cast<uint8_t>(v >> sh));
}
inline void put_str(Bytes &b, const std::string &s)
{
    put_u32(b, static_cast<uint32_t>(s.size()));
    size_t at = b.size();
    b.resize(at + ((s.size() + 3) & ~size_t{3}), 0); // data and zero padding
    if (!s.empty())
        std::memcpy(b.data() + at, s.data(), s.size());
}

// splitmix64: the same numbers on every target.
struct Rng {
    uint64_t s;
    uint64_t next()
    {
        uint64_t z = (s += 0x9e3779b97f4a7c15u);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
        return z ^ (z >> 31);
    }
    uint32_t below(uint32_t n) { return n ? static_cast<uint32_t>(next() % n) : 0; }
};

// A fault to inject: kind, at the n-th event (0: none), with result res;
// every: at every n-th primitive and (n + 1)-th setup.
struct Fault { int kind = AXDR_FAULT_PRIMITIVE; unsigned long n = 0; int res = AXDR_PENDING; bool every = false; };

// Arms a budget and f; returns the events of f's kind so far.
inline unsigned long arm(axdr_stream_t *s, Fault f, size_t budget = 0)
{
    axdr_set_budget(s, budget);
    if (f.every) {
        axdr_fault_every(s, AXDR_FAULT_PRIMITIVE, f.n, f.res);
        axdr_fault_every(s, AXDR_FAULT_SETUP, f.n + 1, f.res);
    } else if (f.n) {
        axdr_fault_at(s, f.kind, f.n, f.res);
    }
    return axdr_fault_count(s, f.kind);
}

// Calls f again while it pends (any status but TRUE and FALSE), up to
// `tries` more times, as a caller whose stream needs no feeding does after
// an injected pending status.
template <class T> int again(Filter<T> f, axdr_stream_t *s, T *obj, int r, int tries = 100000)
{
    for (; tries > 0 && r != AXDR_TRUE && r != AXDR_FALSE; --tries)
        r = f(s, obj);
    return r;
}

// What a run left: its result and the one before the end of input, the
// bytes coded, the frames still saved, the events of the fault's kind, and
// whether a memory stream's buffer past what was written is untouched.
struct Run {
    int r = AXDR_PENDING, before_end = AXDR_PENDING;
    size_t used = 0, frames = 0;
    unsigned long events = 0;
    bool tail_kept = true;
};

inline void ended(Run &out, axdr_stream_t *s, Fault f, unsigned long base)
{
    out.used = static_cast<size_t>(axdr_getpos(s));
    out.frames = axdr_saved_frames(s);
    out.events = axdr_fault_count(s, f.kind) - base;
}

// op over buf on a memory stream, called until it ends; buf keeps what was
// coded.
template <class T> Run run_mem(Filter<T> f, T *obj, Bytes &buf, int op, Fault flt = {}, size_t budget = 0)
{
    Run out;
    const Bytes was = buf;
    Stream s(axdr_mem_create(buf.data(), buf.size(), op));
    const unsigned long base = arm(s.get(), flt, budget);
    out.r = out.before_end = again(f, s.get(), obj, f(s.get(), obj));
    ended(out, s.get(), flt, base);
    out.tail_kept = std::equal(buf.begin() + long(out.used), buf.end(), was.begin() + long(out.used));
    buf.resize(out.used);
    return out;
}

// run(f) with no fault armed, which counts the events of f's kind, then
// with f at each of them in turn.
template <class F> void each_event(Fault f, F run)
{
    f.n = 0;
    const unsigned long events = run(f).events;
    for (f.n = 1; f.n <= events; ++f.n)
        run(f);
}

// A decode of wire fed in pieces: `first` bytes (0: as the rest), then
// `piece` each (0: sizes drawn from rng), up to stop, each within the
// budget; called after each piece, and `tries` more times while it pends;
// then, if it still pends, the end of input.
template <class T> Run run_incr(Filter<T> f, T *obj, const Bytes &wire, size_t first, size_t piece, size_t stop,
                                Fault flt = {}, size_t budget = 0, int tries = 1, Rng *rng = nullptr)
{
    Run out;
    Stream s(axdr_incr_create(AXDR_DECODE, 0));
    const unsigned long base = arm(s.get(), flt, budget);
    for (size_t off = 0; off < stop && out.r != AXDR_TRUE && out.r != AXDR_FALSE;) {
        size_t n = off == 0 && first ? first : piece ? piece : 1 + rng->below(static_cast<uint32_t>(stop - off));
        n = std::min(n, stop - off);
        if (budget)
            n = std::min(n, budget - axdr_unread(s.get()));
        if (axdr_feed(s.get(), wire.data() + off, n) != 0)
            break; // an allocation failed: give up
        off += n;
        out.r = again(f, s.get(), obj, f(s.get(), obj), tries);
    }
    out.before_end = out.r;
    if (out.r != AXDR_TRUE && out.r != AXDR_FALSE) {
        axdr_feed_end(s.get());
        out.r = again(f, s.get(), obj, f(s.get(), obj), tries);
    }
    ended(out, s.get(), flt, base);
    return out;
}

// Encodes through an incremental stream whose window holds `window` bytes,
// draining it each time the filter pends.
template <class T> int encode_windowed(Filter<T> f, T *obj, size_t window, Bytes &out)
{
    out.clear();
    Stream s(axdr_incr_create(AXDR_ENCODE, window));
    int r = AXDR_PENDING;
    uint8_t buf[4096];
    for (int n = 0; r != AXDR_TRUE && r != AXDR_FALSE && n < 10000000; ++n) {
        r = f(s.get(), obj);
        for (size_t got; (got = axdr_drain(s.get(), buf, sizeof buf)) > 0;)
            out.insert(out.end(), buf, buf + got);
    }
    return r;
}

// Prints obj into a text buffer, closing what is left open; a text that
// could not be finished makes the result FALSE.
template <class T> std::string print(Filter<T> f, T *obj, int *result = nullptr, Fault flt = {},
                                     unsigned long *events = nullptr)
{
    Stream s(axdr_print_create(nullptr));
    const unsigned long base = arm(s.get(), flt);
    int r = again(f, s.get(), obj, f(s.get(), obj));
    if (events)
        *events = axdr_fault_count(s.get(), flt.kind) - base;
    if (axdr_print_finish(s.get()) != 0 && r == AXDR_TRUE)
        r = AXDR_FALSE;
    if (result)
        *result = r;
    return axdr_print_text(s.get(), nullptr);
}

} // namespace qt

#endif
