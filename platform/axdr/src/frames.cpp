// Resumption frames: a per-stream stack. A fresh setup pushes; a pending
// teardown keeps the state and a copy of the scratch record; after that,
// setup at the same depth restores them. Steady state allocates nothing.
#include <cstdlib>
#include <cstring>

#include "internal.h"

namespace axdr {
namespace {

bool grow(void **p, size_t *cap, size_t need, size_t elem)
{
    if (need <= *cap)
        return true;
    size_t ncap = *cap ? *cap : 8;
    while (ncap < need)
        ncap *= 2;
    if (ncap > SIZE_MAX / elem)
        return false;
    void *q = std::realloc(*p, ncap * elem);
    if (!q)
        return false;
    *p = q;
    *cap = ncap;
    return true;
}

} // namespace
} // namespace axdr

using namespace axdr;

extern "C" {

int axdr_async_setup(axdr_stream_t *s, axdr_self_t self, axdr_frame_t *frame, int *state,
                     size_t scratch_size, void **scratchp)
{
    Stream *st = impl(s);
    if (st->slow) {
        int r = fault_event(st, AXDR_FAULT_SETUP);
        if (st->tracing)
            trace_line(st, "setup %zu = %s", st->active,
                       r == AXDR_TRUE ? "1" : r == AXDR_FALSE ? "0" : "pending");
        if (r != AXDR_TRUE)
            return r;
    } else {
        ++st->fault[AXDR_FAULT_SETUP].count;
    }
    if ((scratch_size && !scratchp) || scratch_size > UINT32_MAX)
        return AXDR_FALSE;
    size_t d = st->active;
    st->unwinding = false;
    if (d < st->saved) {
        Frame &f = st->frames[d];
        if (f.self != self || f.size != scratch_size) {
            // Never restore a frame into another filter; drop it and all
            // below it.
            st->saved = d;
            return AXDR_FALSE;
        }
        *state = f.state;
        if (scratch_size)
            std::memcpy(*scratchp, st->arena + f.off, scratch_size);
        f.scratchp = scratchp;
    } else {
        if (!grow(reinterpret_cast<void **>(&st->frames), &st->frames_cap, d + 1, sizeof(Frame)))
            return AXDR_FALSE;
        size_t off = 0;
        if (d) {
            const Frame &up = st->frames[d - 1];
            off = up.off + ((up.size + 15u) & ~size_t{15});
        }
        if (scratch_size &&
            !grow(reinterpret_cast<void **>(&st->arena), &st->arena_cap, off + scratch_size, 1))
            return AXDR_FALSE;
        st->frames[d] = Frame{self, scratchp, static_cast<uint32_t>(scratch_size), 0, off};
    }
    st->active = d + 1;
    *frame = d;
    return AXDR_TRUE;
}

int axdr_async_teardown(axdr_stream_t *s, axdr_self_t self, int state, axdr_frame_t frame,
                        int result)
{
    Stream *st = impl(s);
    size_t d = frame;
    if (st->active == 0 || d != st->active - 1 || st->frames[d].self != self)
        return AXDR_FALSE; // not the innermost open frame: ignore
    st->active = d;
    if (st->tracing)
        trace_line(st, "teardown %zu %d = %s", d, state,
                   result == AXDR_TRUE ? "1" : result == AXDR_FALSE ? "0" : "pending");
    if (result == AXDR_TRUE || result == AXDR_FALSE) {
        if (st->saved > d)
            st->saved = d;
        st->unwinding = false;
        return AXDR_TRUE;
    }
    Frame &f = st->frames[d];
    f.state = state;
    if (f.size)
        std::memcpy(st->arena + f.off, *f.scratchp, f.size);
    if (!st->unwinding) {
        // The innermost pending frame: everything up to it is kept.
        st->saved = d + 1;
        st->unwinding = true;
    }
    return AXDR_TRUE;
}

} // extern "C"
