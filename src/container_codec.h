// Helpers shared by the three container codecs. Private to src/.
#ifndef QUILLET_SRC_CONTAINER_CODEC_H
#define QUILLET_SRC_CONTAINER_CODEC_H

#include <climits>
#include <cstdint>

#include <quillet/axdr.h>

namespace {

// The bucket count a decoder asks for, from the entry count the stream
// announced: 0 for 32 or fewer (negative included): the container's default serves.
// Otherwise the smallest power of two not below the count, capped at 2^14
// so that a hostile count cannot make the container allocate much.
constexpr uint32_t decoder_hashsize(int count)
{
    if (count <= 32)
        return 0;
    if (count > 16384)
        return 16384;
    uint32_t v = static_cast<uint32_t>(count) - 1;
    v |= v >> 1;
    v |= v >> 2;
    v |= v >> 4;
    v |= v >> 8;
    return v + 1;
}

static_assert(decoder_hashsize(32) == 0 && decoder_hashsize(33) == 64 && decoder_hashsize(64) == 64 &&
              decoder_hashsize(65) == 128 && decoder_hashsize(8193) == 16384 &&
              decoder_hashsize(16385) == 16384 && decoder_hashsize(-1) == 0);

// A loop folded into the resume state after k fixed steps stores k + n at
// its last item; counts beyond that cannot be walked.
constexpr bool foldable(int n, int k) { return n <= INT_MAX - k; }

// Releases a string that axdr_string decoded, if any.
inline void release_string(char **sp)
{
    if (*sp)
        axdr_free(axdr_wrapstring, sp);
    *sp = nullptr;
}

} // namespace

#endif
