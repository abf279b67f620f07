// Helpers shared by the three container codecs. Private to src/.
#ifndef QUILLET_SRC_CONTAINER_CODEC_H
#define QUILLET_SRC_CONTAINER_CODEC_H

#include <climits>
#include <cstdint>
#include <cstring>

#include <quillet/axdr.h>

#include "straight.h"

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

// A loop over items folded into the resume state after k fixed steps:
// state k + i waits for item i, so the state after item i is the state of
// item i + 1. It stores k + n at its last item; counts beyond that cannot
// be walked.
constexpr int item_of_state(int state, int k) { return state - k; }
constexpr int state_of_item(int i, int k) { return k + i; }
constexpr bool foldable(int n, int k) { return n <= INT_MAX - k; }

// The strings' maximum length: the codecs impose none.
constexpr unsigned no_limit = ~0u;


// Releases a string that axdr_string decoded, if any.
inline void release_string(char **sp)
{
    if (*sp)
        axdr_free(axdr_wrapstring, sp);
    *sp = nullptr;
}

inline size_t string_bytes(const char *a) { return a ? std::strlen(a) + 1 : 0; }

#if QUILLET_CONTRACT
// A contract build makes no budget reports: the runtime bounds what it sees
// (its input and strings) on its own, and the container grows uncapped.
template <typename Ops> inline void budget_hold(axdr_stream_t *, typename Ops::container *, size_t) {}
template <typename Ops>
inline void budget_hold_strings(axdr_stream_t *, typename Ops::container *, const char *, const char * = nullptr)
{
}
template <typename Ops> inline void budget_done(axdr_stream_t *, typename Ops::container *) {}
template <typename Ops> inline void budget_release(axdr_stream_t *, typename Ops::container *) {}
#else
// Under a budget the container may grow only into what the decode has left
// beside the strings it holds (`strings` bytes). A budget makes the stream
// slow, so a fast stream skips this.
template <typename Ops>
inline void budget_hold(axdr_stream_t *s, typename Ops::container *m, size_t strings)
{
    if (!s->x_slow)
        return;
    const size_t held = Ops::footprint(m);
    const size_t room = axdr_budget_hold(s, held + strings);
    if (room != SIZE_MAX)
        Ops::setlimit(m, held + room ? held + room : 1); // 0 would lift the cap
}

// The same for the strings a and b (or NULL), measured only when it counts.
template <typename Ops>
inline void budget_hold_strings(axdr_stream_t *s, typename Ops::container *m, const char *a,
                                const char *b = nullptr)
{
    if (s->x_slow)
        budget_hold<Ops>(s, m, string_bytes(a) + string_bytes(b));
}

// The decode is over: the container is the caller's again, uncapped, and
// the stream goes on counting what it holds, for the next containers of
// the same message.
template <typename Ops>
inline void budget_done(axdr_stream_t *s, typename Ops::container *m)
{
    if (!s->x_slow)
        return;
    axdr_budget_hold(s, Ops::footprint(m));
    Ops::setlimit(m, 0);
    axdr_budget_done(s);
}

// Freed through the stream that decoded it: the stream stops counting it.
template <typename Ops>
inline void budget_release(axdr_stream_t *s, typename Ops::container *m)
{
    if (s->x_slow)
        axdr_budget_release(s, Ops::footprint(m));
}
#endif

// The container level of the three codecs, over a traits struct Ops: the
// container's key walk (key_count, key_first, key_elem, key_next, each
// given the container), init, sethashsize and the decoder's warnings, and
// the codec's own step functions: encode and decode, encode_key (one key's
// group) and decode_entry; encode_self and decode_self give the frames'
// identities, the addresses of the codec's named encode and decode.

// Sends the count, then walks the keys, one group per key. Out of line, so
// that the dispatcher saves no registers for it on the decoding path.
template <typename Ops>
[[gnu::noinline]] int container_encode(axdr_stream_t *s, typename Ops::container *m)
{
    const axdr_self_t self = Ops::encode_self(m);
    // The cursor is the walk's position across pending statuses.
    struct scratch {
        typename Ops::key_cursor cursor;
    } local{};
    void *sp = &local;
    int state = 0;
    int count = 0;
    axdr_frame_t frame;
    int r = axdr_async_setup(s, self, &frame, &state, sizeof local, &sp);
    if (r != AXDR_TRUE)
        return r;
    auto *sc = static_cast<scratch *>(sp);
    switch (state) {
    case 0: // nothing sent
        if (Ops::key_count(m, &count) != 0) {
            r = AXDR_FALSE;
            break;
        }
        r = axdr_int(s, &count);
        if (r != AXDR_TRUE)
            break;
        if (!Ops::key_first(m, &sc->cursor)) {
            r = AXDR_TRUE; // empty: the count says it all
            break;
        }
        state = 1;
        [[fallthrough]];
    case 1: // count sent; the key under the cursor is due
        r = AXDR_TRUE;
        for (const char *k = Ops::key_elem(m, &sc->cursor); k; k = Ops::key_next(m, &sc->cursor)) {
#if !QUILLET_CONTRACT
            r = Ops::encode_straight(s, m, &sc->cursor, k);
            if (r == take_steps)
#endif
                r = Ops::encode_key(s, m, &sc->cursor);
            if (r != AXDR_TRUE)
                break;
        }
        break;
    default:
        r = AXDR_FALSE;
    }
    axdr_async_teardown(s, self, state, frame, r);
    return r;
}

#if !QUILLET_CONTRACT
// A map's entries i, i + 1, ... straight through (straight_units). Out of
// line: the container's frame stays light for the calls that only resume.
template <typename Ops>
[[gnu::noinline]] int straight_run(axdr_stream_t *s, typename Ops::container *m, int i, int count, int *r)
{
    return straight_units(i, count, r, [s, m]() __attribute__((always_inline)) {
        return Ops::decode_straight(s, m);
    });
}
#endif

// Prepares the container, reads the count, sets the hash size, then decodes
// that many entries.
template <typename Ops>
int container_decode(axdr_stream_t *s, typename Ops::container *m)
{
    const axdr_self_t self = Ops::decode_self(m);
    struct scratch {
        int count;
    } local{0};
    void *sp = &local;
    int state = 0;
    axdr_frame_t frame;
    int r = axdr_async_setup(s, self, &frame, &state, sizeof local, &sp);
    if (r != AXDR_TRUE)
        return r;
    auto *sc = static_cast<scratch *>(sp);
    switch (state) {
    case 0: // waiting for the count; the container holds nothing yet
        if (Ops::init(m) != 0) {
            Ops::warn_init(m);
            r = AXDR_FALSE;
            break;
        }
        budget_hold<Ops>(s, m, 0);
        r = axdr_int(s, &sc->count);
        if (r != AXDR_TRUE)
            break;
        if (const uint32_t size = decoder_hashsize(sc->count)) {
            if (Ops::sethashsize(m, size) != 0) {
                Ops::warn_sethashsize(m);
                r = AXDR_FALSE;
                break;
            }
        }
        state = 1;
        [[fallthrough]];
    default: { // state s: s - 1 entries complete, entry s - 1 due
        if (state < 1 || !foldable(sc->count, 1)) {
            r = AXDR_FALSE;
            break;
        }
        int i = item_of_state(state, 1);
        r = AXDR_TRUE;
        while (i < sc->count) {
#if !QUILLET_CONTRACT
            // The entries wholly in the window; the steps take the next.
            i = Ops::decode_run(s, m, i, sc->count, &r);
            state = state_of_item(i, 1);
            if (r != AXDR_TRUE || i == sc->count)
                break;
#endif
            r = Ops::decode_entry(s, m);
            if (r != AXDR_TRUE)
                break;
            state = state_of_item(++i, 1);
            budget_hold<Ops>(s, m, 0); // the entry's strings are released
        }
        if (r == AXDR_TRUE && i > sc->count)
            r = AXDR_FALSE; // a negative count
    }
    }
    if (r == AXDR_TRUE || r == AXDR_FALSE)
        budget_done<Ops>(s, m);
    axdr_async_teardown(s, self, state, frame, r);
    return r;
}

// One element per key, its values by Ops::print_values; the closing call
// only after at least one element. Frame-less: a print cut short starts
// again from the first key. Out of line, so that the dispatcher stays a
// plain jump for the coding directions.
template <typename Ops>
[[gnu::noinline]] int container_print(axdr_stream_t *s, typename Ops::container *m)
{
    axdr_print_ctx_t pctx = 0;
    typename Ops::key_cursor kc;
    int printed = 0;
    for (const char *k = Ops::key_first(m, &kc); k; k = Ops::key_next(m, &kc), printed++) {
        int r = s->x_ops->x_print_element(s, k, printed == 0, &pctx);
        if (r != AXDR_TRUE)
            return r;
        r = Ops::print_values(s, m, k, &kc);
        if (r != AXDR_TRUE)
            return r;
    }
    if (printed == 0)
        return AXDR_TRUE;
    return s->x_ops->x_print_element(s, nullptr, 0, &pctx);
}

// The exported filters' choice by operation code, read unsigned.
template <typename Ops>
[[gnu::noinline]] int container_switch(axdr_stream_t *s, typename Ops::container *m)
{
    switch (static_cast<unsigned>(s->x_op)) {
    case AXDR_ENCODE:
    case AXDR_ENCODE_ALT:
        return Ops::encode(s, m);
    case AXDR_DECODE:
    case AXDR_DECODE_ALT:
        return Ops::decode(s, m);
    case AXDR_FREE:
        budget_release<Ops>(s, m);
        Ops::destroy(m); // whatever it reports
        return AXDR_TRUE;
    case AXDR_PRINT:
        return container_print<Ops>(s, m);
    default:
        return AXDR_FALSE;
    }
}

template <typename Ops>
inline int container_dispatch(axdr_stream_t *s, typename Ops::container *m)
{
#if !QUILLET_CONTRACT
    // A kept decode that cannot move yet: pending, as its setup would say,
    // before anything is saved for the call (input fed a few bytes at a
    // time meets this on most calls).
    if (s->x_wait && (s->x_op == AXDR_DECODE || s->x_op == AXDR_DECODE_ALT) &&
        axdr_waiting_(s, Ops::decode_self(m))) [[unlikely]]
        return AXDR_PENDING;
#endif
    return container_switch<Ops>(s, m);
}

} // namespace

#endif
