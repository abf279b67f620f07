// Streams: construction, incremental input and output, faults, tracing.
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>

#include "internal.h"

namespace axdr {

bool Buf::reserve(size_t extra)
{
    size_t need;
    if (__builtin_add_overflow(len + 1, extra, &need))
        return false;
    if (need <= cap)
        return true;
    size_t ncap = grown(cap, 256, need);
    char *p = static_cast<char *>(std::realloc(data, ncap));
    if (!p)
        return false;
    data = p;
    cap = ncap;
    return true;
}

bool Buf::append(const char *p, size_t n)
{
    if (!reserve(n))
        return false;
    std::memcpy(data + len, p, n);
    len += n;
    data[len] = '\0';
    return true;
}

bool Buf::append(const char *s) { return append(s, std::strlen(s)); }

void Buf::release()
{
    std::free(data);
    data = nullptr;
    len = cap = 0;
}

void unit_clear(Unit *u)
{
    if (u->owns)
        std::free(u->str);
    *u = Unit{};
}

static void feed_update(Stream *st)
{
    st->feed_fast = st->kind == KIND_INCR && st->mode == AXDR_DECODE && !st->eof && st->io &&
                    st->budget == 0;
    st->io_limit = st->io + st->io_cap;
}

void update_slow(Stream *st)
{
    feed_update(st);
    st->pub.x_wait = 0;
    unsigned long armed = 0;
    for (const Fault &f : st->fault)
        armed |= f.at;
    st->plain = armed == 0 && st->byte_fire == 0 && !st->tracing && st->budget == 0 &&
                !st->failed && st->mode == AXDR_DECODE;
    st->pub.x_slow = armed || st->byte_fire != 0 || st->tracing || st->unit.kind != UNIT_NONE ||
               st->budget != 0 || st->saved != 0 || (st->mode < 0 && !st->for_free) || st->failed || st->lending;
}

static bool is_encode(int op) { return op == AXDR_ENCODE || op == AXDR_ENCODE_ALT; }
static bool is_decode(int op) { return op == AXDR_DECODE || op == AXDR_DECODE_ALT; }

size_t budget_limit(const Stream *st)
{
    return st->budget > SIZE_MAX - budget_slack ? SIZE_MAX : st->budget + budget_slack;
}

size_t runtime_held(const Stream *st)
{
    return (st->unit.owns ? st->unit.cap : 0) + st->frames_cap * sizeof(Frame) + st->arena_cap;
}

bool budget_fits(const Stream *st, uint64_t more)
{
    if (st->budget == 0)
        return true;
    const uint64_t used = uint64_t{st->kept} + st->copied + st->held + st->handed + runtime_held(st) + more;
    return used <= budget_limit(st);
}

void budget_handed(Stream *st, const char *str, size_t bytes)
{
    if (st->budget == 0)
        return;
    if (st->accounting) {
        st->handed += bytes; // the reporting decoder's next report covers it
        return;
    }
    st->kept += bytes;
    if (st->active == 0 || !str)
        return; // no chain runs, or a block only AXDR_FREE releases
    Stream::Lent *slot = nullptr;
    for (auto &l : st->lent) {
        if (l.str == str) { // a stale entry: that string was freed unseen
            slot = &l;
            break;
        }
        if (!slot && !l.str)
            slot = &l;
    }
    if (!slot) {
        slot = &st->lent[st->lent_next];
        st->lent_next = static_cast<uint8_t>((st->lent_next + 1) % std::size(st->lent));
    }
    *slot = {str, bytes};
}

void chain_over(Stream *st, bool finished)
{
    lender_leave(st);
    if (finished) {
        for (auto &l : st->lent)
            l = {};
        st->copied = 0;
    }
    if (st->lending) {
        st->lending = false;
        update_slow(st);
    }
}

size_t lent_take(Stream *st, const char *str)
{
    for (auto &l : st->lent) {
        if (l.str == str) {
            const size_t n = l.bytes;
            l = {};
            return n;
        }
    }
    return 0;
}

void budget_given_back(Stream *st, size_t bytes)
{
    st->kept -= bytes < st->kept ? bytes : st->kept;
}

void stream_init(Stream *st, Kind kind, int op)
{
    new (st) Stream{};
    st->pub.x_op = op;
    st->pub.x_ops = &print_ops;
    st->kind = kind;
    // Fixed for the stream's life: x_op is the caller's to rewrite.
    st->mode = is_encode(op) ? AXDR_ENCODE : is_decode(op) ? AXDR_DECODE : -1; // print: neither
    st->pub.x_mode = st->mode;
    st->for_free = op == AXDR_FREE;
    update_slow(st);
}

void stream_release(Stream *st)
{
    unit_clear(&st->unit);
    std::free(st->io);
    std::free(st->frames);
    std::free(st->arena);
    st->trace.release();
    printer_release(&st->pr);
}

int fault_fire(Stream *st, int kind)
{
    Fault &f = st->fault[kind];
    if (f.every)
        f.at += f.every;
    else
        f.at = 0;
    update_slow(st);
    return f.result;
}

void trace_line(Stream *st, const char *fmt, ...)
{
    char line[256];
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    if (n < 0)
        return;
    size_t len = static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1;
    st->trace.append(line, len);
    st->trace.append("\n", 1);
}

// Primitives the fast paths did join the count that faults are armed
// against (while one is armed, every primitive takes the counting path).
static void fold_counts(Stream *st)
{
    st->fault[AXDR_FAULT_PRIMITIVE].count += st->pub.x_nprim;
    st->pub.x_nprim = 0;
}

static Stream *new_stream(Kind kind, int op)
{
    void *mem = std::malloc(sizeof(Stream));
    if (!mem)
        return nullptr;
    Stream *st = static_cast<Stream *>(mem);
    stream_init(st, kind, op);
    return st;
}

namespace {

// A piece not taken leaves a gap in the wire: the decode cannot go on.
int refuse(Stream *st)
{
    st->failed = true;
    update_slow(st);
    return -1;
}

[[gnu::noinline]] int feed_slow(Stream *st, const void *data, size_t len)
{
    if (st->kind != KIND_INCR || st->mode != AXDR_DECODE)
        return -1;
    if (st->eof || (!data && len))
        return refuse(st);
    if (len == 0)
        return 0;
    // Append behind the unread bytes; only when the tail is short, move
    // them to the front (memory follows what is buffered, not the message
    // size), and grow only if that is not enough.
    uint8_t *&cur = st->pub.x_cur;
    uint8_t *&end = st->pub.x_end;
    size_t unread = static_cast<size_t>(end - cur);
    size_t need;
    if (__builtin_add_overflow(unread, len, &need))
        return refuse(st);
    if (st->budget && need > st->budget)
        return refuse(st);
    size_t tail = st->io ? st->io_cap - static_cast<size_t>(end - st->io) : 0;
    if (len > tail) {
        if (unread && cur != st->io)
            std::memmove(st->io, cur, unread);
        cur = st->io;
        end = st->io + unread;
        if (need > st->io_cap) {
            if (!may_allocate(st))
                return refuse(st);
            // Under a budget the buffer takes all of it at once: a buffer
            // that moved would hold old and new together.
            size_t ncap = st->budget ? st->budget : grown(st->io_cap, 4096, need);
            uint8_t *p = static_cast<uint8_t *>(std::realloc(st->io, ncap));
            if (!p)
                return refuse(st);
            st->io = p;
            st->io_cap = ncap;
            cur = p;
            end = p + unread;
            feed_update(st);
        }
    }
    std::memcpy(end, data, len);
    end += len;
    return 0;
}

} // namespace

} // namespace axdr

using namespace axdr;

extern "C" {

axdr_stream_t *axdr_mem_create(void *buf, size_t len, int op)
{
    if (!buf && len)
        return nullptr;
    Stream *st = new_stream(KIND_MEM, op);
    if (!st)
        return nullptr;
    st->base = st->pub.x_cur = static_cast<uint8_t *>(buf);
    st->pub.x_end = st->pub.x_cur + len;
    st->pub.x_whole = 1;
    return &st->pub;
}

axdr_stream_t *axdr_incr_create(int op, size_t window)
{
    Stream *st = new_stream(KIND_INCR, op);
    if (!st)
        return nullptr;
    st->window = window ? window : 64 * 1024;
    if (st->mode == AXDR_ENCODE) {
        st->io = static_cast<uint8_t *>(std::malloc(st->window));
        if (!st->io) {
            std::free(st);
            return nullptr;
        }
        st->io_cap = st->window;
        st->pub.x_cur = st->io;
        st->pub.x_end = st->io + st->window;
    }
    return &st->pub;
}

axdr_stream_t *axdr_print_create(FILE *f)
{
    Stream *st = new_stream(KIND_PRINT, AXDR_PRINT);
    if (!st)
        return nullptr;
    st->pr.file = f;
    return &st->pub;
}

void axdr_destroy(axdr_stream_t *s)
{
    if (!s)
        return;
    Stream *st = impl(s);
    lender_leave(st);
    stream_release(st);
    st->~Stream();
    std::free(st);
}

void axdr_reset(axdr_stream_t *s)
{
    Stream *st = impl(s);
    unit_clear(&st->unit);
    axdr_budget_done(s);
    st->kept = 0;
    chain_over(st, true);
    st->failed = false;
    st->active = st->saved = 0;
    st->unwinding = false;
    if (st->kind == KIND_MEM) {
        st->pub.x_cur = st->base;
        st->pub.x_pos = 0;
    }
    if (st->kind == KIND_INCR) {
        st->out_off = 0;
        st->eof = false;
        if (st->mode == AXDR_ENCODE) {
            st->pub.x_cur = st->io;
            st->pub.x_end = st->io + st->window;
        } else {
            st->pub.x_cur = st->pub.x_end = st->io;
        }
    }
    if (st->kind == KIND_PRINT)
        printer_reset(&st->pr); // a new print owes nothing to a lost one
    update_slow(st);
}

uint64_t axdr_getpos(const axdr_stream_t *s) { return impl(s)->pub.x_pos; }

unsigned long axdr_frames_skipped(const axdr_stream_t *s) { return impl(s)->pub.x_nskip; }

size_t axdr_saved_frames(const axdr_stream_t *s) { return impl(s)->saved; }

int axdr_feed(axdr_stream_t *s, const void *data, size_t len)
{
    Stream *st = impl(s);
    uint8_t *end = st->pub.x_end;
    // Pieces are often a few bytes that fit behind the unread ones: no
    // call, no register saves for those.
    if (st->feed_fast && len - 1 < 16 && len <= static_cast<size_t>(st->io_limit - end) && data)
        [[likely]] {
        const auto *src = static_cast<const uint8_t *>(data);
        if (len == 1) {
            *end = *src; // a byte at a time: no loop to set up
        } else {
            size_t i = 0;
#pragma GCC unroll 1
            do
                end[i] = src[i];
            while (++i < len);
        }
        st->pub.x_end = end + len;
        return 0;
    }
    return feed_slow(st, data, len);
}

void axdr_feed_end(axdr_stream_t *s)
{
    Stream *st = impl(s);
    st->eof = true;
    st->pub.x_wait = 0; // what is buffered is all there is: resume
    feed_update(st);
}

size_t axdr_unread(const axdr_stream_t *s)
{
    const Stream *st = impl(s);
    return st->mode == AXDR_DECODE ? static_cast<size_t>(st->pub.x_end - st->pub.x_cur) : 0;
}

const void *axdr_output(const axdr_stream_t *s, size_t *len)
{
    const Stream *st = impl(s);
    if (st->kind != KIND_INCR || st->mode != AXDR_ENCODE) {
        *len = 0;
        return nullptr;
    }
    *len = static_cast<size_t>(st->pub.x_cur - st->io) - st->out_off;
    return st->io + st->out_off;
}

void axdr_output_consume(axdr_stream_t *s, size_t n)
{
    Stream *st = impl(s);
    size_t have = 0;
    axdr_output(s, &have);
    if (n > have)
        n = have;
    st->out_off += n;
    if (st->out_off == static_cast<size_t>(st->pub.x_cur - st->io)) {
        // All drained: the whole window is free again.
        st->out_off = 0;
        st->pub.x_cur = st->io;
    }
}

size_t axdr_drain(axdr_stream_t *s, void *buf, size_t max)
{
    size_t have = 0;
    const void *p = axdr_output(s, &have);
    size_t n = have < max ? have : max;
    if (n) {
        std::memcpy(buf, p, n);
        axdr_output_consume(s, n);
    }
    return n;
}

void axdr_set_budget(axdr_stream_t *s, size_t max_bytes)
{
    Stream *st = impl(s);
    st->budget = max_bytes;
    update_slow(st);
}

size_t axdr_budget_hold(axdr_stream_t *s, size_t bytes)
{
    Stream *st = impl(s);
    if (st->budget == 0)
        return SIZE_MAX;
    st->accounting = true;
    st->held = bytes;
    st->handed = 0;
    const uint64_t used = uint64_t{st->kept} + st->copied + bytes + runtime_held(st);
    const size_t limit = budget_limit(st);
    return used < limit ? limit - static_cast<size_t>(used) : 0;
}

void axdr_budget_done(axdr_stream_t *s)
{
    Stream *st = impl(s);
    if (st->accounting)
        st->kept += st->held; // the caller's now, and still held
    st->accounting = false;
    st->held = st->handed = 0;
}

void axdr_budget_release(axdr_stream_t *s, size_t bytes) { budget_given_back(impl(s), bytes); }

void axdr_fault_at(axdr_stream_t *s, int kind, unsigned long n, int result)
{
    Stream *st = impl(s);
    if (kind < 0 || kind > AXDR_FAULT_ALLOC)
        return;
    if (kind == AXDR_FAULT_ALLOC)
        result = AXDR_FALSE;
    if (kind == AXDR_FAULT_BYTE) {
        st->byte_fire = n ? st->pub.x_pos + n : 0;
        st->fault[kind].every = 0;
        st->fault[kind].result = result;
    } else {
        fold_counts(st);
        Fault &f = st->fault[kind];
        f.at = n ? f.count + n : 0;
        f.every = 0;
        f.result = result;
    }
    update_slow(st);
}

void axdr_fault_every(axdr_stream_t *s, int kind, unsigned long period, int result)
{
    Stream *st = impl(s);
    if (kind < 0 || kind > AXDR_FAULT_ALLOC)
        return;
    if (period == 1)
        period = 2; // a retried call must be able to go through
    if (kind == AXDR_FAULT_ALLOC)
        result = AXDR_FALSE;
    if (kind == AXDR_FAULT_BYTE) {
        st->byte_fire = period ? st->pub.x_pos + period : 0;
        st->fault[kind].every = period;
        st->fault[kind].result = result;
    } else {
        fold_counts(st);
        Fault &f = st->fault[kind];
        f.at = period ? f.count + period : 0;
        f.every = period;
        f.result = result;
    }
    update_slow(st);
}

unsigned long axdr_fault_count(const axdr_stream_t *s, int kind)
{
    const Stream *st = impl(s);
    if (kind < 0 || kind > AXDR_FAULT_ALLOC)
        return 0;
    if (kind == AXDR_FAULT_BYTE)
        return static_cast<unsigned long>(st->pub.x_pos);
    if (kind == AXDR_FAULT_PRIMITIVE)
        return st->fault[kind].count + st->pub.x_nprim;
    if (kind == AXDR_FAULT_SETUP)
        return st->fault[kind].count + st->pub.x_nskip + st->pub.x_nwait;
    return st->fault[kind].count;
}

void axdr_fault_clear(axdr_stream_t *s)
{
    Stream *st = impl(s);
    for (Fault &f : st->fault) {
        f.at = 0;
        f.every = 0;
    }
    st->byte_fire = 0;
    update_slow(st);
}

void axdr_trace_enable(axdr_stream_t *s, int on)
{
    Stream *st = impl(s);
    st->tracing = on != 0;
    update_slow(st);
}

const char *axdr_trace(const axdr_stream_t *s)
{
    const Stream *st = impl(s);
    return st->trace.data ? st->trace.data : "";
}

void axdr_trace_clear(axdr_stream_t *s) { impl(s)->trace.clear(); }

} // extern "C"
