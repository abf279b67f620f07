// Test helpers: drive filters over the runtime's streams with different
// feeding patterns and collect bytes and text.
#ifndef QUILLET_TESTS_SUPPORT_H
#define QUILLET_TESTS_SUPPORT_H

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <axdr_runtime.h>
#include <quillet/quillet.h>

#include "../platform/axdr/src/internal.h" // to spoil a kept state

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
    std::string s;
    for (uint8_t x : b)
        s += std::string(s.empty() ? "" : " ") + "0123456789abcdef"[x >> 4] + "0123456789abcdef"[x & 15];
    return s;
}

// A table cell's text: backslash-n a line break, backslash-x any other x.
inline std::string unescape(const std::string &cell)
{
    std::string s;
    for (size_t i = 0; i < cell.size(); ++i)
        s += cell[i] != '\\' ? cell[i] : cell[++i] == 'n' ? '\n' : cell[i];
    return s;
}

// Its arguments' texts, joined: say("split at ", k).
template <class... A> std::string say(const A &...a)
{
    std::ostringstream out;
    (out << ... << a);
    return out.str();
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
    b.insert(b.end(), s.begin(), s.end());
    b.resize((b.size() + 3) & ~size_t{3}, 0); // zero padding
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
// bytes coded, the frames still saved (and the most after any piece fed),
// the events of the fault's kind, and whether a memory stream's buffer past
// what was written is untouched.
struct Run {
    int r = AXDR_PENDING, before_end = AXDR_PENDING;
    size_t used = 0, frames = 0, most_frames = 0;
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
        out.most_frames = std::max(out.most_frames, axdr_saved_frames(s.get()));
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
// draining it each time the filter pends; most_frames: the most it kept.
template <class T> int encode_windowed(Filter<T> f, T *obj, size_t window, Bytes &out, size_t *most_frames = nullptr)
{
    out.clear();
    Stream s(axdr_incr_create(AXDR_ENCODE, window));
    int r = AXDR_PENDING;
    uint8_t buf[4096];
    for (int n = 0; r != AXDR_TRUE && r != AXDR_FALSE && n < 10000000; ++n) {
        r = f(s.get(), obj);
        if (most_frames)
            *most_frames = std::max(*most_frames, axdr_saved_frames(s.get()));
        for (size_t got; (got = axdr_drain(s.get(), buf, sizeof buf)) > 0;)
            out.insert(out.end(), buf, buf + got);
    }
    return r;
}

// Prints obj into a text buffer, closing what is left open; a text that
// could not be finished makes the result FALSE, and so does one left open
// where the filter must close what it opens (quilletc's do).
template <class T> std::string print(Filter<T> f, T *obj, int *result = nullptr, Fault flt = {},
                                     unsigned long *events = nullptr, bool closes = false)
{
    Stream s(axdr_print_create(nullptr));
    const unsigned long base = arm(s.get(), flt);
    int r = again(f, s.get(), obj, f(s.get(), obj));
    if (events)
        *events = axdr_fault_count(s.get(), flt.kind) - base;
    const std::string before = axdr_print_text(s.get(), nullptr);
    if ((axdr_print_finish(s.get()) != 0 || (closes && before != axdr_print_text(s.get(), nullptr))) &&
        r == AXDR_TRUE)
        r = AXDR_FALSE;
    if (result)
        *result = r;
    return axdr_print_text(s.get(), nullptr);
}


// Same value: the same printed text and result.
template <class T> bool same(Filter<T> f, T *a, T *b)
{
    int ra = AXDR_FALSE, rb = AXDR_FALSE;
    return print(f, a, &ra) == print(f, b, &rb) && ra == rb;
}

// What the sweep is told about one input beyond its filter and bytes.
struct Sweep {
    int want = AXDR_TRUE;
    size_t budget = 0;
    bool canonical = true;      // the input is what the encoder writes for its value
    bool cuts = true;           // faults with the input's first piece cut anywhere
    bool whole_or_nothing = false; // a FALSE decode leaves the object as it was
    bool exact_print = true;    // a resumed print prints nothing twice
    bool free_keeps = false;    // FREE leaves the value as it was
    bool closes = false;        // the filter closes what it prints
    bool frames_own_nothing = false; // no kept frame holds what only it frees
    std::function<void(void *)> scrub = nullptr; // clears a value once it is being sent
};
using Report = std::function<void(const std::string &)>;

// The resumption sweep over an input w whose decode gives opt.want, for a
// filter f of the objects O(arg) makes: every split (0: a byte at a
// time), ALT codes, pending at every primitive and second setup, the end
// of input after every byte, pending and FALSE at every primitive, setup,
// byte and allocation; for a value, encode (ALT too) with the same faults
// and through small windows, print with faults, codes above print, FREE.
// Nothing leaks, no frame outlives a decode.
template <class O, class A, class T> void sweep(Filter<T> f, const A &arg, const Bytes &w, const Sweep &opt,
                                                const Report &fail)
{
    const size_t n = w.size();
    auto mem = [&](T *v, Bytes &b, int op, Fault flt = {}, size_t budget = 0) {
        return run_mem<T>(f, v, b, op, flt, budget);
    };
    auto decode = [&](T *v, int op = AXDR_DECODE, Fault flt = {}) {
        Bytes b = w;
        return mem(v, b, op, flt, opt.budget);
    };
    auto incr = [&](T *v, size_t first, size_t piece, size_t stop, Fault flt = {}) {
        return run_incr<T>(f, v, w, std::max<size_t>(first, 1), piece, stop, flt, opt.budget, flt.every ? 10000 : 1);
    };
    // body(what) leaves the heap as it found it.
    auto no_leak = [&](const std::string &what, auto body) {
        const long live = heap_live();
        body(what);
        if (heap_live() != live)
            fail(what + ": leaks");
    };
    O ref(arg);
    if (decode(ref.get()).r != opt.want)
        return fail("the input decodes otherwise");
    // A decode into a fresh object, checked; same: it must give ref.
    auto fresh = [&](const std::string &what, int want, bool check_same, auto run_on) {
        no_leak(what, [&](const std::string &) {
            O v(arg), zero(arg);
            const Run run = run_on(v);
            if (run.frames != 0 || run.r != want || (want == AXDR_TRUE && run.before_end != AXDR_TRUE))
                fail(say(what, ": result ", run.r, ", frames ", run.frames));
            if (check_same && !same(f, v.get(), ref.get()))
                fail(what + ": another value");
            if (!check_same && opt.whole_or_nothing && !same(f, v.get(), zero.get()))
                fail(what + ": a value written before it is whole");
        });
    };
    for (size_t k = 0; k <= n + 2; ++k)
        fresh(say("split at ", k), opt.want, true, [&](O &v) {
            return k == n + 1 ? decode(v.get(), AXDR_DECODE_ALT)
                   : k > n    ? incr(v.get(), n, n, n, Fault{AXDR_FAULT_PRIMITIVE, 1, AXDR_PENDING, true})
                              : incr(v.get(), k, k ? n : 1, n);
        });
    for (size_t k = 0; k < n; ++k)
        fresh(say("end after ", k), AXDR_FALSE, false, [&](O &v) {
            const Run run = incr(v.get(), 1, 1, k);
            if (v.release() != AXDR_TRUE)
                fail("FREE of a cut value fails");
            return run;
        });
    // Any status but TRUE and FALSE is pending: 77 at a byte. A failed
    // allocation is never pending.
    for (int kind : {AXDR_FAULT_PRIMITIVE, AXDR_FAULT_SETUP, AXDR_FAULT_BYTE, AXDR_FAULT_ALLOC})
        for (int res : {kind == AXDR_FAULT_BYTE ? 77 : AXDR_PENDING, AXDR_FALSE})
            for (size_t k = 0; (kind != AXDR_FAULT_ALLOC || res == AXDR_FALSE) && k <= n; ++k) {
                // k < n: the first k bytes, then the rest (allocations and bytes)
                if (k < n && (!opt.cuts || res != AXDR_FALSE || kind == AXDR_FAULT_PRIMITIVE || kind == AXDR_FAULT_SETUP))
                    continue;
                each_event({kind, 0, res}, [&](Fault flt) {
                    Run run;
                    const bool refused = flt.n && res == AXDR_FALSE;
                    fresh(say("fault ", kind, " at ", flt.n, ", result ", res, ", cut ", k),
                          refused ? AXDR_FALSE : opt.want, !refused, [&](O &v) {
                              return run = k < n ? incr(v.get(), k, n, n, flt) : decode(v.get(), AXDR_DECODE, flt);
                          });
                    return run;
                });
            }
    // A kept state the filter never stores (memory gone bad; no state is
    // negative) is refused at once, and what was decoded so far is still
    // freed. Only the innermost frame, unless no frame holds what only it
    // frees: an outer one refused drops the inner ones.
    for (size_t k = 1; k < n && !opt.budget; ++k)
        for (int bad : {-1, -(1 << 28)})
            for (size_t d = 0, saved = 1; d < saved; ++d)
                no_leak(say("state ", bad, " kept at byte ", k), [&](const std::string &what) {
                    O v(arg);
                    Stream s(axdr_incr_create(AXDR_DECODE, 0));
                    axdr_feed(s.get(), w.data(), k);
                    const int first = f(s.get(), v.get());
                    saved = first == AXDR_TRUE || first == AXDR_FALSE ? 0 : axdr_saved_frames(s.get());
                    if (saved == 0)
                        return; // nothing kept to spoil
                    d = opt.frames_own_nothing ? d : saved - 1; // else the innermost, and no other
                    reinterpret_cast<axdr::Stream *>(s.get())->frames[d].state = bad;
                    const auto at = axdr_getpos(s.get());
                    axdr_feed(s.get(), w.data() + k, n - k);
                    axdr_feed_end(s.get());
                    if (again(f, s.get(), v.get(), f(s.get(), v.get())) != AXDR_FALSE || axdr_getpos(s.get()) != at)
                        fail(say(what, ", depth ", d, ": not refused"));
                });
    if (opt.want != AXDR_TRUE)
        return;

    Bytes enc(2 * n + 64), alt(2 * n + 64);
    if (mem(ref.get(), enc, AXDR_ENCODE).r != AXDR_TRUE || mem(ref.get(), alt, AXDR_ENCODE_ALT).r != AXDR_TRUE ||
        alt != enc || (opt.canonical && enc != w))
        return fail("the value encodes otherwise: " + to_hex(enc));
    O back(arg);
    Bytes e = enc;
    if (mem(back.get(), e, AXDR_DECODE).r != AXDR_TRUE || !same(f, back.get(), ref.get()))
        fail("the value's encoding decodes otherwise");
    for (size_t win = 1; win <= 9; ++win)
        if (encode_windowed<T>(f, ref.get(), win, e) != AXDR_TRUE || e != enc)
            fail(say("window ", win, " encodes otherwise"));
    // Pending (77 too) resumes to the same bytes, FALSE leaves a prefix of them.
    for (int kind : {AXDR_FAULT_PRIMITIVE, AXDR_FAULT_SETUP, AXDR_FAULT_BYTE, AXDR_FAULT_ALLOC})
        for (int res : {AXDR_PENDING, 77, AXDR_FALSE}) {
            if ((kind == AXDR_FAULT_ALLOC && res != AXDR_FALSE) || (res == 77 && kind != AXDR_FAULT_BYTE))
                continue;
            each_event({kind, 0, res}, [&](Fault flt) {
                Bytes out(enc.size() + 4, 0xee);
                const Run run = mem(ref.get(), out, AXDR_ENCODE, flt);
                const std::string at = say("encode fault ", kind, " at ", flt.n);
                if (flt.n && (!run.tail_kept || run.r != (res == AXDR_FALSE ? AXDR_FALSE : AXDR_TRUE) ||
                              !std::equal(out.begin(), out.end(), enc.begin()) ||
                              (out.size() == enc.size()) != (run.r == AXDR_TRUE)))
                    fail(say(at, ": result ", run.r, ", ", to_hex(out)));
                // Pending again while the first or second level is being
                // restored (the deeper saved levels must stay saved), and the
                // object scrubbed (a value is sent as first converted).
                for (unsigned long nth = 1; flt.n && res != AXDR_FALSE && kind != AXDR_FAULT_SETUP && nth <= 2; ++nth) {
                    O v(arg);
                    decode(v.get());
                    out.assign(enc.size() + 4, 0xee);
                    Stream s(axdr_mem_create(out.data(), out.size(), AXDR_ENCODE));
                    axdr_fault_at(s.get(), kind, flt.n, res);
                    if (f(s.get(), v.get()) == AXDR_TRUE)
                        fail(at + ": the fault is lost");
                    if (opt.scrub)
                        opt.scrub(v.get());
                    axdr_fault_at(s.get(), AXDR_FAULT_SETUP, nth, AXDR_PENDING);
                    out.resize(again<T>(f, s.get(), v.get(), AXDR_PENDING) == AXDR_TRUE ? axdr_getpos(s.get()) : 0);
                    if (out != enc)
                        fail(say(at, ": setup ", nth, " pending on resuming"));
                }
                return run;
            });
        }
    // Printing: FALSE at any call or allocation ends it; a pending call
    // resumes, a record at the element in progress. A pending print call,
    // or a primitive but the first (whose element, resumed, opens a second
    // aggregate), prints nothing twice.
    int pr = AXDR_FALSE;
    const std::string text = print(f, ref.get(), &pr, {}, nullptr, opt.closes);
    if (pr != AXDR_TRUE)
        fail("the value does not print");
    for (int kind : {AXDR_FAULT_PRINT, AXDR_FAULT_PRIMITIVE, AXDR_FAULT_ALLOC})
        for (int res : {AXDR_PENDING, AXDR_FALSE})
            each_event({kind, 0, res}, [&](Fault flt) {
                Run run;
                std::string got = print(f, ref.get(), &run.r, flt, &run.events);
                const size_t cut = got.find(" =\n"), from = got.rfind('\n', cut) + 1;
                if (cut != std::string::npos)
                    got.erase(from, cut + 3 - from); // the element that pended
                if (flt.n && (run.r != (res == AXDR_FALSE || kind == AXDR_FAULT_ALLOC ? AXDR_FALSE : AXDR_TRUE) ||
                              (opt.exact_print && res != AXDR_FALSE &&
                               (kind == AXDR_FAULT_PRINT || (kind == AXDR_FAULT_PRIMITIVE && flt.n > 1)) && got != text)))
                    fail(say("print fault ", kind, " at ", flt.n, ": ", got));
                return run;
            });
    // Codes above print are refused and touch nothing.
    for (int op : {6, 7, -1}) {
        Bytes out(64, 0xee);
        if (mem(ref.get(), out, op).r != AXDR_FALSE || !out.empty() || !same(f, ref.get(), back.get()))
            fail(say("code ", op, " is not refused"));
    }
    if (ref.release() != AXDR_TRUE || (opt.free_keeps && !same(f, ref.get(), back.get())))
        fail("FREE fails");
}

} // namespace qt

#endif
