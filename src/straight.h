// What the straight paths of the codecs share. Private to src/.
#ifndef QUILLET_SRC_STRAIGHT_H
#define QUILLET_SRC_STRAIGHT_H

// The contract build (QUILLET_CONTRACT=1) keeps the step functions only.
#ifndef QUILLET_CONTRACT
#define QUILLET_CONTRACT 0
#endif

#include <cstdint>
#include <cstring>

#include <quillet/axdr.h>

// Inline with the library's linkage (hidden): the codecs share one copy.
#if !QUILLET_CONTRACT
// --- straight paths ----------------------------------------------------
// A unit whose bytes are all in the window (decode), or whose encoding fits
// the room left (encode), of a plain stream (axdr_room_) is coded straight
// through, without its step function and frame; whatever is not whole, well
// formed and sure to succeed goes to the unit's step function, which then
// does exactly what it always does. A straight unit that fails ends where
// its step function would have ended with FALSE.

// The step function takes this unit.
inline constexpr int take_steps = -1;

// A decoded string as the container takes it: NUL-terminated. A string
// with padding already ends in a zero byte on the wire; one without is
// copied into buf (cap bytes from *used on), or is too long (NULL).
inline const char *wire_cstring(const unsigned char *data, uint32_t len, char *buf, size_t cap,
                                size_t *used)
{
    if (len & 3u)
        return reinterpret_cast<const char *>(data);
    if (cap - *used <= len)
        return nullptr;
    char *out = buf + *used;
    std::memcpy(out, data, len);
    out[len] = '\0';
    *used += size_t{len} + 1;
    return out;
}

// Runs unit() for the units i, i + 1, ... below count while each goes
// straight through; returns the index of the first one left to the steps
// (count when none). A unit that fails ends the run with *r set to its
// result, at that unit, as its step function ends it.
template <typename Unit>
[[gnu::always_inline]] inline int straight_units(int i, int count, int *r, Unit unit)
{
    for (; i < count; i++) {
        const int x = unit();
        if (x == take_steps)
            break;
        if (x != AXDR_TRUE) {
            *r = x;
            break;
        }
    }
    return i;
}

// The bytes a straight decode copies its strings into.
inline constexpr size_t straight_buf = 512;

// Appends the string str to the encoding at w if it fits before end.
inline unsigned char *put_cstring(unsigned char *w, const unsigned char *end, const char *str)
{
    const size_t len = std::strlen(str);
    const size_t room = static_cast<size_t>(end - w);
    if (room < 4 || room - 4 < len + ((4u - (len & 3u)) & 3u) || len > UINT32_MAX)
        return nullptr;
    return axdr_string_put_(w, str, len);
}
#endif

#endif
