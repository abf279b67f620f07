// Resumption frames: a per-stream stack. A fresh setup pushes; a pending
// teardown keeps the state and a copy of the scratch record; after that,
// setup at the same depth restores them. Steady state allocates nothing.
#include <cstdlib>
#include <cstring>

#include "internal.h"

namespace axdr {
namespace {

// A scratch record is a few words; anything this large is a caller's
// mistake, and refusing it keeps every offset sum far from wrapping.
constexpr size_t max_scratch = size_t{1} << 16;

bool grow(Stream *st, void **p, size_t *cap, size_t need, size_t elem)
{
    if (need <= *cap)
        return true;
    if (!may_allocate(st))
        return false;
    if (need > SIZE_MAX / 2 / elem)
        return false;
    size_t ncap = *cap ? *cap : 8;
    while (ncap < need)
        ncap *= 2;
    void *q = std::realloc(*p, ncap * elem);
    if (!q)
        return false;
    *p = q;
    *cap = ncap;
    return true;
}

// A setup that ends its frame with FALSE ends everything saved from it
// inward, and the unit that chain had in flight: a later call must start
// fresh, not resume the dead chain's state or bytes.
int setup_failed(Stream *st)
{
    if (st->saved > st->active)
        st->saved = st->active;
    st->unwinding = false;
    if (st->unit.kind != UNIT_NONE) {
        unit_clear(&st->unit);
        update_slow(st);
    }
    return AXDR_FALSE;
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
        if (r == AXDR_FALSE)
            return setup_failed(st);
        if (r != AXDR_TRUE)
            return r; // pending: what is saved stays saved
    } else {
        ++st->fault[AXDR_FAULT_SETUP].count;
    }
    if ((scratch_size && !scratchp) || scratch_size > max_scratch)
        return setup_failed(st);
    size_t d = st->active;
    st->unwinding = false;
    if (d < st->saved) {
        Frame &f = st->frames[d];
        if (f.self != self || f.size != scratch_size) {
            // Never restore a frame into another filter.
            return setup_failed(st);
        }
        *state = f.state;
        if (scratch_size)
            std::memcpy(*scratchp, st->arena + f.off, scratch_size);
        f.scratchp = scratchp;
    } else {
        if (!grow(st, reinterpret_cast<void **>(&st->frames), &st->frames_cap, d + 1, sizeof(Frame)))
            return setup_failed(st);
        size_t off = 0;
        if (d) {
            const Frame &up = st->frames[d - 1];
            off = up.off + ((up.size + 15u) & ~size_t{15});
        }
        if (scratch_size &&
            !grow(st, reinterpret_cast<void **>(&st->arena), &st->arena_cap, off + scratch_size, 1))
            return setup_failed(st);
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
        if (result == AXDR_FALSE && st->unit.kind != UNIT_NONE) {
            // Nothing under a finished frame is pending any more: a unit
            // still in flight is a dead chain's (a deeper setup failed).
            unit_clear(&st->unit);
            update_slow(st);
        }
        return AXDR_TRUE;
    }
    Frame &f = st->frames[d];
    f.state = state;
    if (f.size)
        std::memcpy(st->arena + f.off, *f.scratchp, f.size);
    if (!st->unwinding) {
        // The innermost pending frame: everything up to it is kept. Frames
        // saved deeper stay saved when their setup is what pended.
        if (st->saved < d + 1)
            st->saved = d + 1;
        st->unwinding = true;
    }
    return AXDR_TRUE;
}

} // extern "C"
