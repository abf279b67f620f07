// Test helpers: drive filters over the runtime's streams with different
// feeding patterns and collect bytes and text.
#ifndef QUILLET_TESTS_SUPPORT_H
#define QUILLET_TESTS_SUPPORT_H

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

// Calls f until it stops returning pending (bounded), as a caller whose
// stream needs no feeding does after an injected pending status.
template <class T> int until_done(Filter<T> f, axdr_stream_t *s, T *obj)
{
    int r = AXDR_PENDING;
    for (int n = 0; r != AXDR_TRUE && r != AXDR_FALSE && n < 100000; ++n)
        r = f(s, obj);
    return r;
}

// Encodes into a memory stream of cap bytes; out gets the bytes written.
template <class T> int encode_mem(Filter<T> f, T *obj, Bytes &out, size_t cap = 1 << 20,
                                  int op = AXDR_ENCODE)
{
    out.assign(cap, 0xee);
    Stream s(axdr_mem_create(out.data(), out.size(), op));
    int r = f(s.get(), obj);
    out.resize(static_cast<size_t>(axdr_getpos(s.get())));
    return r;
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

// Prints obj into a text buffer, closing what is left open.
template <class T> std::string print(Filter<T> f, T *obj, int *result = nullptr)
{
    Stream s(axdr_print_create(nullptr));
    int r = f(s.get(), obj);
    if (result)
        *result = r;
    axdr_print_finish(s.get());
    return axdr_print_text(s.get(), nullptr);
}

} // namespace qt

#endif
