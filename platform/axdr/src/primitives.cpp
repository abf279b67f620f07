// The primitives: XDR int, unsigned int, unsigned hyper and string, each
// resumable at any byte.
#include <cinttypes>
#include <cstdlib>
#include <cstring>

#include <malloc.h>
#include <pthread.h>

#include "internal.h"

namespace axdr {
__thread Stream *tls_lender __attribute__((tls_model("initial-exec")));

// Shared with the other primitive files: declared in internal.h.
inline namespace prim {

inline uint32_t load32(const uint8_t *p) { return axdr_load32_(p); }

inline void store32(uint8_t *p, uint32_t v) { axdr_store32_(p, v); }

inline uint64_t load64(const uint8_t *p) { return (uint64_t{load32(p)} << 32) | load32(p + 4); }

inline void store64(uint8_t *p, uint64_t v)
{
    store32(p, static_cast<uint32_t>(v >> 32));
    store32(p + 4, static_cast<uint32_t>(v));
}

// Bytes the window offers now, less what a byte fault holds back.
size_t available(Stream *st)
{
    size_t avail = static_cast<size_t>(st->pub.x_end - st->pub.x_cur);
    if (st->byte_fire) {
        uint64_t allowed = st->byte_fire - 1 - st->pub.x_pos; // byte_fire > pos always
        if (allowed < avail)
            avail = static_cast<size_t>(allowed);
    }
    return avail;
}

// The window is empty (or a byte fault stops it): what the primitive says.
int starved(Stream *st, Dir dir)
{
    if (st->byte_fire && st->pub.x_pos + 1 == st->byte_fire) {
        Fault &f = st->fault[AXDR_FAULT_BYTE];
        st->byte_fire = f.every ? st->byte_fire + f.every : 0;
        update_slow(st);
        return f.result;
    }
    if (st->kind != KIND_INCR)
        return AXDR_FALSE;
    if (dir == DIR_DECODE)
        return st->eof ? AXDR_FALSE : AXDR_PENDING;
    // Encode: reclaim drained room before pending.
    if (st->out_off) {
        size_t held = static_cast<size_t>(st->pub.x_cur - st->io) - st->out_off;
        std::memmove(st->io, st->io + st->out_off, held);
        st->out_off = 0;
        st->pub.x_cur = st->io + held;
        st->pub.x_end = st->io + st->window;
        return AXDR_TRUE; // room again: go on
    }
    return AXDR_PENDING;
}

// Moves up to n bytes between p and the window; returns the count.
size_t move(Stream *st, Dir dir, uint8_t *p, size_t n)
{
    size_t avail = available(st);
    size_t take = n < avail ? n : avail;
    if (take == 0)
        return 0;
    if (dir == DIR_DECODE)
        std::memcpy(p, st->pub.x_cur, take);
    else
        std::memcpy(st->pub.x_cur, p, take);
    st->pub.x_cur += take;
    st->pub.x_pos += take;
    return take;
}

// Ends the unit with r. FALSE drops its progress; every other value but
// TRUE is a pending status, which keeps it.
int unit_end(Stream *st, int r)
{
    if (r == AXDR_FALSE)
        unit_clear(&st->unit);
    else if (r == AXDR_TRUE)
        st->unit = Unit{};
    update_slow(st);
    return r;
}

// Claims the unit for a call. The value's address may differ between calls
// (it often lives in a filter's local record), so only the kind can tell a
// stray call for another unit, which would desynchronise the wire: it fails
// and drops the unit.
bool unit_claim(Stream *st, UnitKind kind)
{
    Unit &u = st->unit;
    if (u.kind == UNIT_NONE) {
        u.kind = kind;
        u.have = 0;
        st->pub.x_slow = true;
        return true;
    }
    return u.kind == kind;
}

// Moves the fixed part of the unit (n bytes in u.buf); TRUE when complete.
int move_fixed(Stream *st, Dir dir, size_t n)
{
    Unit &u = st->unit;
    while (u.have < n) {
        size_t got = move(st, dir, u.buf + u.have, n - u.have);
        u.have = static_cast<uint8_t>(u.have + got);
        if (u.have < n && got == 0) {
            int r = starved(st, dir);
            if (r != AXDR_TRUE)
                return r;
        }
    }
    return AXDR_TRUE;
}

// Out of line: its two callers would otherwise each carry a copy.
[[gnu::noinline]] int fixed_slow(Stream *st, Dir dir, const char *name, void *v, size_t n)
{
    int r = fault_event(st, AXDR_FAULT_PRIMITIVE);
    if (r == AXDR_FALSE) {
        r = unit_end(st, r); // a unit in flight ends with its value
    } else if (r == AXDR_TRUE) {
        if (dir == DIR_FREE) {
            r = AXDR_TRUE;
        } else if (dir == DIR_PRINT) {
            char digits[24];
            if (n == 8)
                std::snprintf(digits, sizeof digits, "%" PRIu64, *static_cast<uint64_t *>(v));
            else if (name[0] == 'i')
                std::snprintf(digits, sizeof digits, "%d", *static_cast<int *>(v));
            else
                std::snprintf(digits, sizeof digits, "%" PRIu32, *static_cast<uint32_t *>(v));
            r = print_number(st, digits);
        } else if (dir == DIR_BAD) {
            r = AXDR_FALSE;
        } else if (!unit_claim(st, n == 8 ? UNIT_U64 : UNIT_U32)) {
            r = unit_end(st, AXDR_FALSE);
        } else {
            Unit &u = st->unit;
            if (dir == DIR_ENCODE && u.have == 0) {
                if (n == 8)
                    store64(u.buf, *static_cast<uint64_t *>(v));
                else
                    store32(u.buf, *static_cast<uint32_t *>(v));
            }
            r = move_fixed(st, dir, n);
            if (r == AXDR_TRUE && dir == DIR_DECODE) {
                if (n == 8)
                    *static_cast<uint64_t *>(v) = load64(u.buf);
                else
                    *static_cast<uint32_t *>(v) = load32(u.buf);
            }
            r = unit_end(st, r);
        }
    }
    if (st->tracing) {
        if (n == 8)
            trace_line(st, "%s %" PRIu64 " = %s", name, *static_cast<uint64_t *>(v), result_name(r));
        else if (name[0] == 'i')
            trace_line(st, "%s %d = %s", name, *static_cast<int *>(v), result_name(r));
        else
            trace_line(st, "%s %" PRIu32 " = %s", name, *static_cast<uint32_t *>(v), result_name(r));
    }
    return r;
}

// The 32-bit primitives' names, by number: a number is cheaper to pass on
// a PIC target than an address.
enum Prim32 { P_INT, P_UINT32, P_U_INT };

__attribute__((noinline)) int prim32_slow(Stream *st, Prim32 which, void *v)
{
    static const char *const names[] = {"int", "uint32", "u_int"};
    return fixed_slow(st, dir_for(st), names[which], v, 4);
}

// 32-bit primitives share one body: int, uint32_t and u_int are all one
// XDR word. The fast path is the header's; everything else is out of line.
// One body for the three, not one inlined copy each.
[[gnu::noinline]] int prim32(axdr_stream_t *s, Prim32 which, void *v)
{
    if (uint8_t *p = axdr_take_(s, 4)) [[likely]] {
        axdr_word32_(s, p, static_cast<uint32_t *>(v));
        return AXDR_TRUE;
    }
    return prim32_slow(impl(s), which, v);
}

// --- string blocks ---------------------------------------------------

// A decoder releases each string right after its container copied it, and
// the next string it reads is usually as short: the blocks it releases are
// kept per thread and handed out again, so steady state neither allocates
// nor frees. Only small blocks are kept, two at most, so what the cache
// holds stays far inside the budget's slack.
constexpr size_t cache_block_max = 256;

// Two blocks, a key's and a value's, slot 0 the smaller; an empty slot
// has capacity 0.
struct BlockCache {
    char *block[2];
    size_t cap[2];
    bool registered; // the thread-exit destructor knows this thread
};

// Initial-exec: a plain offset from the thread pointer, no lookup per use.
__thread BlockCache tls_cache __attribute__((tls_model("initial-exec")));
// The key whose destructor frees a thread's blocks at its exit.
struct {
    pthread_key_t key;
    bool ok;
} cache_key;

[[gnu::noinline]] void cache_drop(void *)
{
    BlockCache &c = tls_cache;
    std::free(c.block[0]);
    std::free(c.block[1]);
    c = BlockCache{};
}

__attribute__((constructor)) void cache_key_create()
{
    cache_key.ok = pthread_key_create(&cache_key.key, cache_drop) == 0;
}

// Frees the blocks still kept when the library goes, for the thread that
// unloads it (at exit: the main thread). The library is never unloaded
// before exit (linked nodelete), so the key's destructor stays callable.
__attribute__((destructor)) void cache_unload() { cache_drop(nullptr); }

// A block of at least `need` (> 0) bytes: the smaller kept one that fits,
// else a fresh one.
[[gnu::noinline]] char *block_take(size_t need)
{
    BlockCache &c = tls_cache;
    int i = c.cap[0] >= need ? 0 : 1;
    if (c.cap[i] < need)
        return static_cast<char *>(std::malloc(need));
    char *p = c.block[i];
    // Slot 0 stays the smaller: it gets the other block when 1 is taken.
    c.block[i] = c.block[0];
    c.cap[i] = c.cap[0];
    c.block[0] = nullptr;
    c.cap[0] = 0;
    return p;
}

// Takes back a string's block (or NULL): kept in place of the smaller kept
// one when small and larger than it, else freed.
void block_give(char *p)
{
    size_t cap = malloc_usable_size(p);
    BlockCache &c = tls_cache;
    if (cap <= cache_block_max && cap > c.cap[0]) {
        if (!c.registered) // once per thread, so that its exit frees the blocks
            c.registered = cache_key.ok && pthread_setspecific(cache_key.key, &c) == 0;
        if (c.registered) {
            char *old = c.block[0];
            int i = cap > c.cap[1]; // keep slot 0 the smaller
            c.block[0] = c.block[i];
            c.cap[0] = c.cap[i];
            c.block[i] = p;
            c.cap[i] = cap;
            p = old;
        }
    }
    std::free(p);
}

// --- strings ---------------------------------------------------------

bool grow_string(Stream *st, size_t need)
{
    Unit &u = st->unit;
    if (need <= u.cap)
        return true;
    // Grow with what has arrived, never with what was announced; under a
    // budget, which admitted the whole length, take it at once, since a
    // block that moved would hold old and new together.
    size_t ncap = u.cap ? u.cap * 2 : 64;
    if (ncap < need)
        ncap = need;
    if (ncap > size_t{u.len} + 1 || st->budget)
        ncap = size_t{u.len} + 1;
    if (!may_allocate(st))
        return false;
    char *p = u.str ? static_cast<char *>(std::realloc(u.str, ncap)) : block_take(ncap);
    if (!p)
        return false;
    u.str = p;
    u.cap = ncap;
    u.owns = true;
    return true;
}

// Checks a decoded length against the caller's limit and the budget: the
// string must fit beside what the decode holds already.
bool length_ok(const Stream *st, uint32_t len, unsigned maxlen)
{
    if (len > maxlen)
        return false;
    if (uint64_t{len} + 1 > SIZE_MAX)
        return false;
    if (st->budget == 0)
        return true;
    return len <= st->budget && budget_fits(st, uint64_t{len} + 1);
}

int string_decode_slow(Stream *st, char **sp, unsigned maxlen)
{
    Unit &u = st->unit;
    if (u.phase == 0) {
        int r = move_fixed(st, DIR_DECODE, 4);
        if (r != AXDR_TRUE)
            return r;
        u.len = load32(u.buf);
        if (!length_ok(st, u.len, maxlen))
            return AXDR_FALSE;
        u.phase = 1;
        u.done = 0;
    }
    if (u.phase == 1) {
        while (u.done < u.len) {
            size_t want = u.len - u.done;
            size_t avail = available(st);
            size_t take = want < avail ? want : avail;
            if (take == 0) {
                int r = starved(st, DIR_DECODE);
                if (r != AXDR_TRUE)
                    return r;
                continue;
            }
            if (std::memchr(st->pub.x_cur, 0, take))
                return AXDR_FALSE; // a NUL would cut the string short
            if (!grow_string(st, size_t{u.done} + take + 1))
                return AXDR_FALSE;
            move(st, DIR_DECODE, reinterpret_cast<uint8_t *>(u.str) + u.done, take);
            u.done += static_cast<uint32_t>(take);
        }
        u.phase = 2;
        u.done = 0;
    }
    uint32_t pad = pad_of(u.len);
    while (u.done < pad) {
        uint8_t zero[4];
        size_t got = move(st, DIR_DECODE, zero, pad - u.done);
        for (size_t i = 0; i < got; ++i)
            if (zero[i] != 0)
                return AXDR_FALSE;
        u.done += static_cast<uint32_t>(got);
        if (u.done < pad && got == 0) {
            int r = starved(st, DIR_DECODE);
            if (r != AXDR_TRUE)
                return r;
        }
    }
    if (!grow_string(st, size_t{u.len} + 1))
        return AXDR_FALSE;
    u.str[u.len] = '\0';
    if (*sp) {
        // The caller's buffer, sized for maxlen (checked above) plus NUL.
        std::memcpy(*sp, u.str, size_t{u.len} + 1);
        block_give(u.str);
    } else {
        *sp = u.str;
        budget_handed(st, u.str, malloc_usable_size(u.str)); // what the block holds: a short string takes more than its text
    }
    u.str = nullptr;
    u.owns = false;
    return AXDR_TRUE;
}

int string_encode_slow(Stream *st, char **sp)
{
    Unit &u = st->unit;
    if (u.phase == 0) {
        if (u.have == 0)
            store32(u.buf, u.len);
        int r = move_fixed(st, DIR_ENCODE, 4);
        if (r != AXDR_TRUE)
            return r;
        u.phase = 1;
        u.done = 0;
    }
    if (u.phase == 1) {
        while (u.done < u.len) {
            size_t got = move(st, DIR_ENCODE, reinterpret_cast<uint8_t *>(*sp) + u.done,
                              u.len - u.done);
            u.done += static_cast<uint32_t>(got);
            if (u.done < u.len && got == 0) {
                int r = starved(st, DIR_ENCODE);
                if (r != AXDR_TRUE)
                    return r;
            }
        }
        u.phase = 2;
        u.done = 0;
    }
    uint32_t pad = pad_of(u.len);
    while (u.done < pad) {
        uint8_t zero[4] = {0, 0, 0, 0};
        size_t got = move(st, DIR_ENCODE, zero, pad - u.done);
        u.done += static_cast<uint32_t>(got);
        if (u.done < pad && got == 0) {
            int r = starved(st, DIR_ENCODE);
            if (r != AXDR_TRUE)
                return r;
        }
    }
    return AXDR_TRUE;
}

int string_slow(Stream *st, Dir dir, char **sp, unsigned maxlen)
{
    int r = fault_event(st, AXDR_FAULT_PRIMITIVE);
    if (r == AXDR_FALSE)
        return unit_end(st, r); // a unit in flight ends with its value
    if (r != AXDR_TRUE)
        return r;
    switch (dir) {
    case DIR_FREE:
        if (*sp) {
            // Freed through the stream that lent it: gone. Through another
            // while a chain runs here: released by that chain.
            if (const size_t n = lent_take(st, *sp))
                budget_given_back(st, n);
            else if (tls_lender && tls_lender != st)
                lent_released(tls_lender, *sp);
            else if (!st->accounting)
                budget_given_back(st, malloc_usable_size(*sp));
        }
        block_give(*sp);
        *sp = nullptr;
        return AXDR_TRUE;
    case DIR_PRINT:
        return *sp ? print_text(st, *sp) : print_number(st, "null");
    case DIR_BAD:
        return AXDR_FALSE;
    case DIR_DECODE:
        if (!unit_claim(st, UNIT_STRING))
            return unit_end(st, AXDR_FALSE);
        st->unit.maxlen = maxlen;
        // A caller's buffer of unknown size cannot be filled safely.
        if (*sp && maxlen == ~0u)
            return unit_end(st, AXDR_FALSE);
        return unit_end(st, string_decode_slow(st, sp, maxlen));
    case DIR_ENCODE: {
        if (!*sp)
            return AXDR_FALSE;
        Unit &u = st->unit;
        bool fresh = u.kind == UNIT_NONE;
        if (!unit_claim(st, UNIT_STRING))
            return unit_end(st, AXDR_FALSE);
        if (fresh) {
            size_t len = std::strlen(*sp);
            if (len > maxlen || len > UINT32_MAX)
                return unit_end(st, AXDR_FALSE);
            u.len = static_cast<uint32_t>(len);
            u.phase = 0;
            u.str = *sp;
        } else if (u.str != *sp) {
            return unit_end(st, AXDR_FALSE); // the string changed under a pending encode
        }
        return unit_end(st, string_encode_slow(st, sp));
    }
    }
    return AXDR_FALSE;
}

__attribute__((noinline)) int u64_slow(Stream *st, uint64_t *v)
{
    return fixed_slow(st, dir_for(st), "u64", v, 8);
}

// FREE on a plain stream that no budget ever charged, with no chain of a
// lender running here: the full path would only count the primitive and
// give the block back.
int string_free_fast(Stream *st, char **sp)
{
    ++st->fault[AXDR_FAULT_PRIMITIVE].count;
    block_give(*sp);
    *sp = nullptr;
    return AXDR_TRUE;
}

__attribute__((noinline)) int string_slow_traced(Stream *st, char **sp, unsigned maxlen)
{
    int r = string_slow(st, dir_for(st), sp, maxlen);
    if (st->tracing) {
        if (*sp && r == AXDR_TRUE)
            trace_line(st, "string \"%.200s\" = %s", *sp, result_name(r));
        else
            trace_line(st, "string = %s", result_name(r));
    }
    return r;
}

__attribute__((noinline)) int element_print(axdr_stream_t *s, const char *name, int is_first,
                                            axdr_filter_t filter, void *obj, axdr_print_ctx_t *ctx)
{
    int r = s->x_ops->x_print_element(s, name, is_first, ctx);
    if (r != AXDR_TRUE)
        return r;
    return filter(s, obj);
}

} // namespace

size_t unit_need(const Stream *st)
{
    const Unit &u = st->unit;
    switch (u.kind) {
    case UNIT_U32:
        return 4u - u.have;
    case UNIT_U64:
        return 8u - u.have;
    case UNIT_STRING:
        if (u.phase == 0) {
            const size_t rest = 4u - u.have;
            if (st->mode != AXDR_DECODE || static_cast<size_t>(st->pub.x_end - st->pub.x_cur) < rest)
                return rest;
            // The length is buffered: a string it admits needs its data
            // too; one it refuses fails as soon as it is read.
            uint32_t len = 0;
            for (size_t i = 0; i < 4; i++)
                len = len << 8 | (i < u.have ? u.buf[i] : st->pub.x_cur[i - u.have]);
            if (!length_ok(st, len, u.maxlen))
                return rest;
            const uint64_t need = uint64_t{rest} + len + pad_of(len);
            return need < SIZE_MAX ? static_cast<size_t>(need) : SIZE_MAX;
        }
        [[fallthrough]];
    case UNIT_BYTES: // opaque data: the same phases
        if (u.phase == 0)
            return 4u - u.have;
        if (u.phase == 1)
            return size_t{u.len} - u.done + pad_of(u.len);
        return pad_of(u.len) - u.done;
    default:
        return 0;
    }
}

bool unit_need_grows(const Stream *st)
{
    const Unit &u = st->unit;
    return u.kind == UNIT_STRING && u.phase == 0 &&
           static_cast<size_t>(st->pub.x_end - st->pub.x_cur) < 4u - u.have;
}

} // namespace axdr

using namespace axdr;

extern "C" {

int axdr_int(axdr_stream_t *s, int *v) { return prim32(s, P_INT, v); }

int axdr_uint32_t(axdr_stream_t *s, uint32_t *v) { return prim32(s, P_UINT32, v); }

int axdr_u_int(axdr_stream_t *s, unsigned int *v) { return prim32(s, P_U_INT, v); }

int axdr_u_int64_t(axdr_stream_t *s, uint64_t *v)
{
    if (uint8_t *p = axdr_take_(s, 8)) [[likely]] {
        axdr_word64_(s, p, v);
        return AXDR_TRUE;
    }
    return u64_slow(impl(s), v);
}

// The string fast paths, one per direction, each with only its own
// registers to save; what they cannot finish goes to the full path.
namespace axdr {
namespace {

[[gnu::noinline]] int string_decode_fast(Stream *st, char **sp, unsigned maxlen)
{
    uint8_t *cur = st->pub.x_cur;
    const uint8_t *data;
    uint32_t len;
    const uint8_t *next;
    // Anything but a whole, well-formed string goes to the full path,
    // which gives the verdict.
    if (!*sp && (next = axdr_string_at_(cur, st->pub.x_end, &data, &len)) && len <= maxlen) {
        char *str = block_take(size_t{len} + 1);
        if (!str)
            return AXDR_FALSE;
        std::memcpy(str, data, len);
        str[len] = '\0';
        *sp = str;
        axdr_moved_(&st->pub, static_cast<size_t>(next - cur), 1, 0);
        return AXDR_TRUE;
    }
    if (cur == st->pub.x_end && st->kind == KIND_INCR && !st->eof && st->plain && !*sp) {
        // Nothing buffered: the string starts pending, as the full path
        // would start it, the event counted.
        ++st->fault[AXDR_FAULT_PRIMITIVE].count;
        Unit &u = st->unit;
        u.kind = UNIT_STRING;
        u.maxlen = maxlen;
        st->pub.x_slow = 1; // what update_slow would make of a unit in flight
        return AXDR_PENDING;
    }
    return string_slow_traced(st, sp, maxlen);
}

[[gnu::noinline]] int string_encode_fast(Stream *st, char **sp, unsigned maxlen)
{
    if (const char *str = *sp) {
        size_t len = std::strlen(str);
        size_t pad = pad_of(static_cast<uint32_t>(len));
        uint8_t *cur = st->pub.x_cur;
        // maxlen bounds len to 32 bits.
        if (len <= maxlen && static_cast<size_t>(st->pub.x_end - cur) >= 4 + len + pad) {
            axdr_moved_(&st->pub, static_cast<size_t>(axdr_string_put_(cur, str, len) - cur), 1, 0);
            return AXDR_TRUE;
        }
    }
    return string_slow_traced(st, sp, maxlen);
}

// A resumed decode whose string had not started when it pended and is
// now whole in the window: it ends as the full path would end it (the
// same events counted, the same block), without that path. Anything else
// goes to the full path.
[[gnu::noinline]] int string_resume(Stream *st, char **sp, unsigned maxlen)
{
    const Unit &u = st->unit;
    const uint8_t *data;
    uint32_t len;
    const uint8_t *next;
    if (u.kind == UNIT_STRING && u.phase == 0 && u.have == 0 && !*sp && st->pub.x_wait == 0 &&
        st->saved == 0 && st->kind == KIND_INCR && !st->eof && resume_plain(st) &&
        (next = axdr_string_at_(st->pub.x_cur, st->pub.x_end, &data, &len)) && len <= maxlen) {
        char *str = block_take(size_t{len} + 1);
        if (str) {
            std::memcpy(str, data, len);
            str[len] = '\0';
            *sp = str;
            ++st->fault[AXDR_FAULT_PRIMITIVE].count;
            ++st->fault[AXDR_FAULT_ALLOC].count; // the full path's one block
            st->pub.x_cur = const_cast<uint8_t *>(next);
            st->pub.x_pos += static_cast<uint64_t>(next - data) + 4;
            st->unit = Unit{};
            update_slow(st);
            return AXDR_TRUE;
        }
    }
    return string_slow_traced(st, sp, maxlen);
}

} // namespace
} // namespace axdr

// Not inlined into axdr_wrapstring: one copy of the dispatch.
[[gnu::noinline]] int axdr_string(axdr_stream_t *s, char **sp, unsigned int maxlen)
{
    Stream *st = impl(s);
    if (s->x_op == s->x_mode) [[likely]] {
        if (!st->pub.x_slow) [[likely]] {
            if (s->x_mode == AXDR_DECODE)
                return string_decode_fast(st, sp, maxlen);
            return string_encode_fast(st, sp, maxlen);
        }
        if (s->x_mode == AXDR_DECODE)
            return string_resume(st, sp, maxlen);
    } else if (s->x_op == AXDR_FREE && !st->pub.x_slow) {
        if (free_quiet(st)) [[likely]]
            return string_free_fast(st, sp);
    }
    return string_slow_traced(st, sp, maxlen);
}

int axdr_wrapstring(axdr_stream_t *s, void *sp)
{
    return axdr_string(s, static_cast<char **>(sp), ~0u);
}

int axdr_element(axdr_stream_t *s, const char *name, int is_first, axdr_filter_t filter, void *obj,
                 axdr_print_ctx_t *ctx)
{
    if (s->x_op == AXDR_PRINT) [[unlikely]]
        return element_print(s, name, is_first, filter, obj, ctx);
    return axdr_element_fast(s, name, is_first, filter, obj, ctx); // the one coding path
}

void axdr_thread_release(void) { cache_drop(nullptr); }

// Out of line: its stream record would make every string's release save
// registers and a frame.
[[gnu::noinline]] static void free_through_stream(axdr_filter_t filter, void *obj)
{
    Stream tmp;
    stream_init(&tmp, KIND_MEM, AXDR_FREE);
    filter(&tmp.pub, obj);
    stream_release(&tmp);
}

void axdr_free(axdr_filter_t filter, void *obj)
{
    if (filter == axdr_wrapstring) [[likely]] {
        // The common case, once per decoded string: no stream needed. A
        // string lent by the stream whose chain runs here was released by
        // that chain.
        char **sp = static_cast<char **>(obj);
        char *str = *sp;
        *sp = nullptr;
        if (Stream *st = tls_lender) [[unlikely]]
            lent_released(st, str);
        block_give(str);
        return;
    }
    free_through_stream(filter, obj);
}

} // extern "C"
