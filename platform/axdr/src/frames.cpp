// Resumption frames: a per-stream stack. A fresh setup pushes; a pending
// teardown keeps the state and a copy of the scratch record; after that,
// setup at the same depth restores them. The room to keep a record is
// reserved when its frame is set up, where failing is harmless (the filter
// holds nothing yet), so that returning pending never needs memory. Steady
// state allocates nothing.
#include <algorithm>
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
    size_t ncap = grown(*cap, 8, need);
    // Old and new are both held while it moves.
    if (!budget_fits(st, ncap * elem))
        return false;
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
    if (st->active == 0)
        chain_over(st, true); // the outermost level failed
    if (st->saved > st->active)
        st->saved = st->active;
    st->unwinding = false;
    if (st->unit.kind != UNIT_NONE)
        unit_clear(&st->unit);
    update_slow(st);
    return AXDR_FALSE;
}

// Scratch records are mostly a few words: those sizes copy without a call.
inline void copy_record(void *dst, const void *src, size_t n)
{
    if (n == 4)
        std::memcpy(dst, src, 4);
    else if (n == 8)
        std::memcpy(dst, src, 8);
    else if (n == 16)
        std::memcpy(dst, src, 16);
    else
        std::memcpy(dst, src, n);
}

inline size_t slot(uint32_t size) { return (size_t{size} + 15u) & ~size_t{15}; }

inline bool args_ok(size_t scratch_size, void **scratchp)
{
    return !(scratch_size && !scratchp) && scratch_size <= max_scratch;
}

// Where frame d keeps its scratch record: right after the frames above it.
inline size_t record_off(const Stream *st, size_t d)
{
    return d ? st->frames[d - 1].off + slot(st->frames[d - 1].size) : 0;
}

inline void push(Stream *st, size_t d, size_t off, axdr_self_t self, axdr_frame_t *frame,
                 size_t scratch_size, void **scratchp)
{
    Frame &f = st->frames[d];
    f.self = self;
    f.scratchp = scratchp;
    f.size = static_cast<uint32_t>(scratch_size);
    f.off = off;
    st->active = d + 1;
    *frame = d;
}

// A resumed chain whose unit in flight cannot complete with the bytes
// buffered would only come back pending, level by level. The outermost
// setup (or its filter, see axdr_waiting_) says so at once and leaves the
// bytes for the next call; a unit that needs much is fed as before, so
// buffered bytes stay few. x_wait is set when a chain is kept on a plain
// incremental decode, and cleared by anything that changes the stream's
// mode, by the end of input and when the chain is restored.
size_t resume_need(Stream *st)
{
    if (st->kind != KIND_INCR || st->eof || !resume_plain(st))
        return 0;
    const size_t need = unit_need(st);
    // Only a string's length still to come can make the need grow.
    st->wait_exact = !unit_need_grows(st);
    return std::min(need, size_t{4096});
}

// The kept chain had what x_wait asked for: whether it still cannot move.
// A string's length may since have come in, and with it what its data
// needs.
bool still_waiting(Stream *st)
{
    const size_t unread = static_cast<size_t>(st->pub.x_end - st->pub.x_cur);
    if (!st->wait_exact)
        st->pub.x_wait = unread < 4096 ? resume_need(st) : 0;
    return unread < st->pub.x_wait;
}

int setup_any(Stream *st, axdr_self_t self, axdr_frame_t *frame, int *state, size_t scratch_size,
              void **scratchp)
{
    if (st->pub.x_slow) {
        // A resumed chain sets up every level again: those restores are
        // not events of a periodic fault, or a chain as deep as the period
        // would pend at the same level forever.
        bool periodic_restore = st->active < st->saved && st->fault[AXDR_FAULT_SETUP].every;
        int r = AXDR_TRUE;
        if (!periodic_restore) {
            if (st->plain)
                ++st->fault[AXDR_FAULT_SETUP].count; // nothing armed: an event only
            else
                r = fault_event(st, AXDR_FAULT_SETUP);
        }
        if (r == AXDR_FALSE)
            return setup_failed(st);
        if (r != AXDR_TRUE)
            return r; // pending: what is saved stays saved
    } else {
        ++st->fault[AXDR_FAULT_SETUP].count;
    }
    if (!args_ok(scratch_size, scratchp))
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
            copy_record(*scratchp, st->arena + f.off, scratch_size);
        f.scratchp = scratchp;
        if (d == 0)
            st->pub.x_wait = 0; // this chain moves: deeper setups restore
        if (d + 1 == st->saved) {
            // The whole chain is back: its frames are open again and a
            // pending status keeps them anew.
            st->saved = 0;
            update_slow(st); // the fast paths again
        }
        st->active = d + 1;
        *frame = d;
        return AXDR_TRUE;
    }
    if (!grow(st, reinterpret_cast<void **>(&st->frames), &st->frames_cap, d + 1, sizeof(Frame)))
        return setup_failed(st);
    size_t off = record_off(st, d);
    if (!grow(st, reinterpret_cast<void **>(&st->arena), &st->arena_cap, off + scratch_size, 1))
        return setup_failed(st);
    push(st, d, off, self, frame, scratch_size, scratchp);
    return AXDR_TRUE;
}

__attribute__((noinline)) int setup_slow(Stream *st, axdr_self_t self, axdr_frame_t *frame,
                                         int *state, size_t scratch_size, void **scratchp)
{
    const size_t d = st->active;
    const int r = setup_any(st, self, frame, state, scratch_size, scratchp);
    if (r == AXDR_TRUE)
        lender_enter(st); // again at every level, after a chain on another stream within
    if (st->tracing)
        trace_line(st, "setup %zu = %s", d, result_name(r));
    return r;
}

// Keeps the state and scratch record of frame d for a pending status, in
// the room its setup reserved.
void keep(Stream *st, size_t d, int state)
{
    Frame &f = st->frames[d];
    f.state = state;
    if (!st->unwinding) {
        // The innermost pending frame: everything up to it is kept.
        // Frames saved deeper stay saved when their setup is what pended.
        if (st->saved < d + 1)
            st->saved = d + 1;
        st->unwinding = true;
        st->pub.x_slow = 1; // the next calls restore
        st->pub.x_wait = resume_need(st);
        st->pub.x_wait_self = st->frames[0].self;
    }
    if (f.size)
        copy_record(st->arena + f.off, *f.scratchp, f.size);
}

__attribute__((noinline)) int teardown_slow(Stream *st, axdr_self_t self, int state, size_t d,
                                            int result)
{
    if (st->active == 0 || d != st->active - 1 || st->frames[d].self != self)
        return AXDR_FALSE; // not the innermost open frame: ignore
    st->active = d;
    if (st->tracing)
        trace_line(st, "teardown %zu %d = %s", d, state,
                   result_name(result));
    if (d == 0)
        chain_over(st, result == AXDR_TRUE || result == AXDR_FALSE);
    else
        lender_enter(st);
    if (result == AXDR_TRUE || result == AXDR_FALSE) {
        if (st->saved > d) {
            st->saved = d;
            st->unwinding = false;
            update_slow(st);
        }
        if (result == AXDR_FALSE && st->unit.kind != UNIT_NONE) {
            // Nothing under a finished frame is pending any more: a unit
            // still in flight is a dead chain's (a deeper setup failed).
            unit_clear(&st->unit);
            update_slow(st);
        }
        return AXDR_TRUE;
    }
    keep(st, d, state);
    return AXDR_TRUE;
}

} // namespace
} // namespace axdr

using namespace axdr;

extern "C" {

int axdr_async_setup(axdr_stream_t *s, axdr_self_t self, axdr_frame_t *frame, int *state,
                     size_t scratch_size, void **scratchp)
{
    Stream *st = impl(s);
    size_t d = st->active;
    // Fresh push with room: nothing to restore (saved frames make the
    // stream slow), nothing to count but the event. A pending status makes
    // the stream slow too, so `unwinding` is already clear here.
    if (!st->pub.x_slow && d < st->frames_cap && args_ok(scratch_size, scratchp)) [[likely]] {
        size_t off = record_off(st, d);
        if (off + scratch_size <= st->arena_cap) {
            ++st->fault[AXDR_FAULT_SETUP].count;
            push(st, d, off, self, frame, scratch_size, scratchp);
            return AXDR_TRUE;
        }
    }
    if (st->pub.x_wait && d == 0 && st->frames[0].self == self &&
        st->frames[0].size == scratch_size &&
        (static_cast<size_t>(st->pub.x_end - st->pub.x_cur) < st->pub.x_wait || still_waiting(st))) {
        ++st->fault[AXDR_FAULT_SETUP].count;
        return AXDR_PENDING;
    }
    return setup_slow(st, self, frame, state, scratch_size, scratchp);
}

int axdr_wait_more_(axdr_stream_t *s)
{
    Stream *st = impl(s);
    if (!still_waiting(st))
        return 0;
    ++st->fault[AXDR_FAULT_SETUP].count;
    return 1;
}

int axdr_async_teardown(axdr_stream_t *s, axdr_self_t self, int state, axdr_frame_t frame,
                        int result)
{
    Stream *st = impl(s);
    size_t d = frame;
    // A finished frame with nothing saved: pop.
    if (!st->pub.x_slow && d + 1 == st->active && st->frames[d].self == self &&
        (result == AXDR_TRUE || result == AXDR_FALSE)) [[likely]] {
        st->active = d;
        return AXDR_TRUE;
    }
    return teardown_slow(st, self, state, d, result);
}

} // extern "C"
