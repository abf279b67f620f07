// The rest of the XDR language's primitives, and what generated filters
// need around them: optional data, arrays that grow as their elements
// arrive, element names, the nesting bound.
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <malloc.h>

#include <axdr_types.h>

#include "internal.h"

namespace axdr {
namespace {

// Under a budget, what a decode allocates here counts as the strings it
// is handed do: `add` more bytes, while `live_too` bytes it replaces are
// still held (a moving realloc holds both).
bool charge(Stream *st, size_t add, size_t live_too)
{
    if (!budget_fits(st, uint64_t{add} + live_too))
        return false;
    budget_handed(st, nullptr, add);
    return true;
}

// Decoded memory released through the stream: the budget has it back.
void release(Stream *st, void *p)
{
    if (p && st->kept) // nothing to give back otherwise
        budget_given_back(st, malloc_usable_size(p));
    std::free(p);
}

// A primitive's printed value, after the primitive's own fault.
int print_prim(Stream *st, const char *text)
{
    const int r = fault_event(st, AXDR_FAULT_PRIMITIVE);
    return r == AXDR_TRUE ? print_number(st, text) : r;
}

int print_hex(Stream *st, const uint8_t *p, uint32_t n)
{
    if (n == 0) {
        const int r = fault_event(st, AXDR_FAULT_PRIMITIVE);
        return r == AXDR_TRUE ? print_text(st, "") : r;
    }
    if (!may_allocate(st))
        return AXDR_FALSE;
    char *text = static_cast<char *>(std::malloc(size_t{n} * 2 + 1));
    if (!text)
        return AXDR_FALSE;
    for (uint32_t i = 0; i < n; ++i) {
        text[2 * i] = "0123456789abcdef"[p[i] >> 4];
        text[2 * i + 1] = "0123456789abcdef"[p[i] & 15];
    }
    text[2 * size_t{n}] = '\0';
    const int r = print_prim(st, text);
    std::free(text);
    return r;
}

// Moves the unit's data (phase 1) and padding (phase 2) between the window
// and buf. With `own`, decoding fills the unit's buffer, grown with the
// bytes as they arrive.
int data_and_pad(Stream *st, Dir dir, uint8_t *buf, bool own)
{
    Unit &u = st->unit;
    if (u.phase == 1) {
        while (u.done < u.len) {
            if (own) {
                const size_t avail = available(st);
                const size_t take = u.len - u.done < avail ? u.len - u.done : avail;
                if (take && !grow_string(st, size_t{u.done} + take + 1))
                    return AXDR_FALSE;
                buf = reinterpret_cast<uint8_t *>(u.str);
            }
            const size_t got = buf ? move(st, dir, buf + u.done, u.len - u.done) : 0;
            u.done += static_cast<uint32_t>(got);
            if (u.done < u.len && got == 0) {
                const int r = starved(st, dir);
                if (r != AXDR_TRUE)
                    return r;
            }
        }
        u.phase = 2;
        u.done = 0;
    }
    const uint32_t pad = pad_of(u.len);
    while (u.done < pad) {
        uint8_t zero[4] = {0, 0, 0, 0};
        const size_t got = move(st, dir, zero, pad - u.done);
        for (size_t i = 0; dir == DIR_DECODE && i < got; ++i)
            if (zero[i] != 0)
                return AXDR_FALSE;
        u.done += static_cast<uint32_t>(got);
        if (u.done < pad && got == 0) {
            const int r = starved(st, dir);
            if (r != AXDR_TRUE)
                return r;
        }
    }
    return AXDR_TRUE;
}

// The fault every slow path takes first: FALSE ends a unit in flight.
int prim_fault(Stream *st)
{
    const int r = fault_event(st, AXDR_FAULT_PRIMITIVE);
    return r == AXDR_FALSE ? unit_end(st, r) : r;
}

int opaque_slow(Stream *st, uint8_t *p, uint32_t n)
{
    const Dir dir = dir_for(st);
    if (dir == DIR_PRINT)
        return print_hex(st, p, n);
    int r = prim_fault(st);
    if (r != AXDR_TRUE || dir == DIR_FREE)
        return r;
    if (dir == DIR_BAD || !unit_claim(st, UNIT_BYTES))
        return unit_end(st, AXDR_FALSE);
    Unit &u = st->unit;
    if (u.phase == 0) {
        u.phase = 1;
        u.len = n;
        u.done = 0;
    } else if (u.len != n) {
        return unit_end(st, AXDR_FALSE); // another unit's call
    }
    return unit_end(st, data_and_pad(st, dir, p, false));
}

int bytes_slow(Stream *st, char **p, u_int *len, unsigned maxlen)
{
    const Dir dir = dir_for(st);
    if (dir == DIR_PRINT)
        return print_hex(st, reinterpret_cast<uint8_t *>(*p), *p ? *len : 0);
    int r = prim_fault(st);
    if (r != AXDR_TRUE)
        return r;
    if (dir == DIR_FREE) {
        release(st, *p);
        *p = nullptr;
        *len = 0;
        return AXDR_TRUE;
    }
    Unit &u = st->unit;
    const bool fresh = u.kind == UNIT_NONE;
    if (dir == DIR_BAD || !unit_claim(st, UNIT_BYTES))
        return unit_end(st, AXDR_FALSE);
    if (dir == DIR_ENCODE) {
        if (fresh) {
            if (*len > maxlen || (!*p && *len))
                return unit_end(st, AXDR_FALSE);
            u.len = *len;
            u.str = *p;
        } else if (u.str != *p || u.len != *len) {
            return unit_end(st, AXDR_FALSE); // changed under a pending encode
        }
        if (u.phase == 0) {
            if (u.have == 0)
                axdr_store32_(u.buf, u.len);
            r = move_fixed(st, dir, 4);
            if (r != AXDR_TRUE)
                return unit_end(st, r);
            u.phase = 1;
            u.done = 0;
        }
        return unit_end(st, data_and_pad(st, dir, reinterpret_cast<uint8_t *>(*p), false));
    }
    if (u.phase == 0) {
        r = move_fixed(st, dir, 4);
        if (r != AXDR_TRUE)
            return unit_end(st, r);
        u.len = axdr_load32_(u.buf);
        if (!length_ok(st, u.len, maxlen))
            return unit_end(st, AXDR_FALSE);
        u.phase = 1;
        u.done = 0;
    }
    r = data_and_pad(st, dir, nullptr, true);
    if (r != AXDR_TRUE)
        return unit_end(st, r);
    *len = u.len;
    if (u.len == 0) {
        std::free(u.str); // an empty one holds nothing
        u.str = nullptr;
    } else {
        budget_handed(st, nullptr, malloc_usable_size(u.str));
    }
    *p = u.str;
    u.str = nullptr;
    u.owns = false;
    return unit_end(st, AXDR_TRUE);
}

// Zeroed memory for decoded data, through the budget.
bool alloc_zeroed(Stream *st, void **p, size_t size)
{
    if (!may_allocate(st))
        return false;
    void *q = std::calloc(1, size ? size : 1);
    if (q && st->budget && !charge(st, malloc_usable_size(q), 0)) { // small blocks: what they really hold
        std::free(q);
        q = nullptr;
    }
    *p = q;
    return q != nullptr;
}

// An array's capacity while it holds k of n elements: doubling, never
// beyond n.
uint64_t capacity(uint32_t k, uint32_t n)
{
    if (k == 0)
        return 0;
    uint64_t c = 1;
    while (c < k)
        c *= 2;
    return c < n ? c : n;
}

bool grow_array(Stream *st, void **arr, uint32_t k, uint32_t n, size_t elem)
{
    const uint64_t have = capacity(k, n), want = capacity(k + 1, n);
    if (want == have)
        return true;
    if (elem && want > SIZE_MAX / elem)
        return false;
    const size_t bytes = static_cast<size_t>(want) * elem, old = *arr ? malloc_usable_size(*arr) : 0;
    if (!may_allocate(st) || !budget_fits(st, uint64_t{bytes} + old))
        return false;
    void *q = std::realloc(*arr, bytes ? bytes : 1);
    if (!q)
        return false;
    *arr = q;
    budget_given_back(st, old);
    budget_handed(st, nullptr, malloc_usable_size(q));
    return true;
}

template <typename T, typename W, int (*Prim)(axdr_stream_t *, W *)>
int narrow(axdr_stream_t *s, T *v, long long lo, long long hi)
{
    W w = static_cast<W>(*v);
    if (axdr_decoding(s)) {
        const int r = Prim(s, &w);
        if (r == AXDR_TRUE) {
            if (w < lo || static_cast<long long>(w) > hi)
                return AXDR_FALSE;
            *v = static_cast<T>(w);
        }
        return r;
    }
    if (static_cast<long long>(*v) < lo || static_cast<long long>(*v) > hi)
        return s->x_op == AXDR_FREE ? AXDR_TRUE : AXDR_FALSE; // no value on the wire
    return Prim(s, &w);
}

} // namespace
} // namespace axdr

using namespace axdr;

extern "C" {

int axdr_hyper(axdr_stream_t *s, int64_t *v)
{
    if (s->x_op == AXDR_PRINT) {
        char digits[24];
        std::snprintf(digits, sizeof digits, "%" PRId64, *v);
        return print_prim(impl(s), digits);
    }
    uint64_t w = static_cast<uint64_t>(*v);
    const int r = axdr_u_int64_t(s, &w);
    if (r == AXDR_TRUE)
        *v = static_cast<int64_t>(w);
    return r;
}

int axdr_long(axdr_stream_t *s, long *v) { return narrow<long, int, axdr_int>(s, v, INT32_MIN, INT32_MAX); }

int axdr_u_long(axdr_stream_t *s, unsigned long *v)
{
    return narrow<unsigned long, unsigned, axdr_u_int>(s, v, 0, UINT32_MAX);
}

int axdr_short(axdr_stream_t *s, short *v) { return narrow<short, int, axdr_int>(s, v, SHRT_MIN, SHRT_MAX); }

int axdr_u_short(axdr_stream_t *s, unsigned short *v)
{
    return narrow<unsigned short, unsigned, axdr_u_int>(s, v, 0, USHRT_MAX);
}

// A char is a signed 8-bit value on the wire whatever the C char's
// signedness, so every target accepts and sends the same words.
int axdr_char(axdr_stream_t *s, char *v)
{
    signed char c = static_cast<signed char>(*v);
    const int r = narrow<signed char, int, axdr_int>(s, &c, SCHAR_MIN, SCHAR_MAX);
    if (r == AXDR_TRUE && axdr_decoding(s))
        *v = static_cast<char>(c);
    return r;
}

int axdr_u_char(axdr_stream_t *s, unsigned char *v)
{
    return narrow<unsigned char, unsigned, axdr_u_int>(s, v, 0, UCHAR_MAX);
}

int axdr_float(axdr_stream_t *s, float *v)
{
    static_assert(sizeof(float) == 4, "XDR floats are IEEE single precision");
    if (s->x_op == AXDR_PRINT) {
        char digits[32];
        std::snprintf(digits, sizeof digits, "%.9g", static_cast<double>(*v));
        return print_prim(impl(s), digits);
    }
    uint32_t w;
    std::memcpy(&w, v, 4);
    const int r = axdr_uint32_t(s, &w);
    if (r == AXDR_TRUE)
        std::memcpy(v, &w, 4);
    return r;
}

int axdr_double(axdr_stream_t *s, double *v)
{
    static_assert(sizeof(double) == 8, "XDR doubles are IEEE double precision");
    if (s->x_op == AXDR_PRINT) {
        char digits[40];
        std::snprintf(digits, sizeof digits, "%.17g", *v);
        return print_prim(impl(s), digits);
    }
    uint64_t w;
    std::memcpy(&w, v, 8);
    const int r = axdr_u_int64_t(s, &w);
    if (r == AXDR_TRUE)
        std::memcpy(v, &w, 8);
    return r;
}

int axdr_bool(axdr_stream_t *s, bool_t *v)
{
    if (s->x_op == AXDR_PRINT)
        return *v == 0 || *v == 1 ? print_prim(impl(s), *v ? "true" : "false") : AXDR_FALSE;
    return narrow<bool_t, unsigned, axdr_u_int>(s, v, 0, 1);
}

int axdr_enum(axdr_stream_t *s, int *v, const axdr_enum_names_t *names)
{
    const int w = *v;
    unsigned i = 0;
    while (i < names->count && names->values[i] != w)
        ++i;
    const bool known = i < names->count;
    if (s->x_op == AXDR_PRINT)
        return known ? print_prim(impl(s), names->names[i]) : AXDR_FALSE;
    if (!axdr_decoding(s))
        return known || s->x_op == AXDR_FREE ? axdr_int(s, v) : AXDR_FALSE;
    int got = 0;
    const int r = axdr_int(s, &got);
    if (r != AXDR_TRUE)
        return r;
    for (i = 0; i < names->count; ++i)
        if (names->values[i] == got) {
            *v = got;
            return AXDR_TRUE;
        }
    return AXDR_FALSE;
}

int axdr_opaque(axdr_stream_t *s, void *p, unsigned int n)
{
    uint8_t *q = static_cast<uint8_t *>(p);
    const size_t whole = size_t{n} + pad_of(n);
    if (whole <= PTRDIFF_MAX) {
        if (uint8_t *w = axdr_take_(s, static_cast<ptrdiff_t>(whole))) {
            if (s->x_mode != AXDR_DECODE) {
                std::memcpy(w, q, n);
                std::memset(w + n, 0, whole - n);
                return AXDR_TRUE;
            }
            std::memcpy(q, w, n); // as the slow path: the data, then the padding's check
            for (size_t i = n; i < whole; ++i)
                if (w[i] != 0)
                    return AXDR_FALSE;
            return AXDR_TRUE;
        }
    }
    return opaque_slow(impl(s), q, n);
}

int axdr_bytes(axdr_stream_t *s, char **p, u_int *len, unsigned int maxlen)
{
    Stream *st = impl(s);
    if (s->x_mode == AXDR_ENCODE && *len <= maxlen && (*p || !*len)) {
        // Data that is sound and fits the room goes out in one piece.
        const uint64_t whole = 4 + uint64_t{*len} + pad_of(*len);
        uint8_t *w = whole <= PTRDIFF_MAX ? axdr_take_(s, static_cast<ptrdiff_t>(whole)) : nullptr;
        if (w) {
            if (*len)
                axdr_string_put_(w, *p, *len);
            else // no data, maybe no pointer, to copy from
                axdr_store32_(w, 0);
            return AXDR_TRUE;
        }
    }
    if (!s->x_slow && s->x_op == s->x_mode && s->x_mode == AXDR_DECODE && s->x_end - s->x_cur >= 4) {
        const uint32_t n = axdr_load32_(s->x_cur), pad = pad_of(n);
        const uint8_t *data = s->x_cur + 4;
        if (n <= maxlen && uint64_t{n} + pad <= static_cast<uint64_t>(s->x_end - data)) {
            // Consumed as the step path consumes it, padding included.
            s->x_cur += 4 + n + pad;
            s->x_pos += 4 + n + pad;
            ++s->x_nprim;
            for (uint32_t i = 0; i < pad; ++i)
                if (data[n + i] != 0)
                    return AXDR_FALSE;
            char *q = nullptr;
            if (n && !(q = static_cast<char *>(std::malloc(n))))
                return AXDR_FALSE;
            if (n)
                std::memcpy(q, data, n);
            *p = q;
            *len = n;
            return AXDR_TRUE;
        }
    }
    return bytes_slow(st, p, len, maxlen);
}

// The layout <rpc/xdr.h> gives it.
struct netobj {
    u_int n_len;
    char *n_bytes;
};

int axdr_netobj(axdr_stream_t *s, struct netobj *v) { return axdr_bytes(s, &v->n_bytes, &v->n_len, 1024); }

int axdr_optional(axdr_stream_t *s, void **p, size_t size)
{
    uint32_t w = *p != nullptr;
    switch (static_cast<unsigned>(s->x_op)) {
    case AXDR_ENCODE:
    case AXDR_ENCODE_ALT:
        return axdr_uint32_t_fast(s, &w);
    case AXDR_DECODE:
    case AXDR_DECODE_ALT: {
        const int r = axdr_uint32_t_fast(s, &w);
        if (r != AXDR_TRUE)
            return r;
        if (w > 1)
            return AXDR_FALSE;
        *p = nullptr;
        return w == 0 || alloc_zeroed(impl(s), p, size) ? AXDR_TRUE : AXDR_FALSE;
    }
    case AXDR_FREE:
        return AXDR_TRUE;
    case AXDR_PRINT:
        return *p ? AXDR_TRUE : print_prim(impl(s), "null");
    default:
        return AXDR_FALSE;
    }
}

void axdr_optional_done(axdr_stream_t *s, void **p)
{
    if (s->x_op == AXDR_FREE) {
        release(impl(s), *p);
        *p = nullptr;
    }
}

int axdr_link(axdr_stream_t *s, void **p, size_t size, const char *name, axdr_print_ctx_t *ctx)
{
    if (s->x_op == AXDR_PRINT)
        return *p ? s->x_ops->x_print_element(s, name, 0, ctx) : AXDR_TRUE;
    return axdr_optional(s, p, size);
}

int axdr_count(axdr_stream_t *s, u_int *n, const u_int *len, u_int max)
{
    // A count is walked in a filter's int state, two states an element.
    const u_int most = max < (INT_MAX - 3) / 2 ? max : (INT_MAX - 3) / 2;
    if (axdr_decoding(s)) {
        u_int w = 0;
        const int r = axdr_u_int(s, &w);
        if (r != AXDR_TRUE)
            return r;
        if (w > most)
            return AXDR_FALSE;
        *n = w;
        return AXDR_TRUE;
    }
    *n = *len;
    if (*n > most)
        return AXDR_FALSE;
    switch (static_cast<unsigned>(s->x_op)) {
    case AXDR_ENCODE:
    case AXDR_ENCODE_ALT:
        return axdr_u_int(s, n);
    case AXDR_FREE:
    case AXDR_PRINT:
        return AXDR_TRUE;
    default:
        return AXDR_FALSE;
    }
}

int axdr_print_index(axdr_stream_t *s, u_int i, axdr_print_ctx_t *ctx)
{
    if (s->x_op != AXDR_PRINT)
        return AXDR_TRUE;
    char name[16];
    std::snprintf(name, sizeof name, "[%u]", i);
    return s->x_ops->x_print_element(s, name, i == 0, ctx);
}

int axdr_slot(axdr_stream_t *s, void **arr, u_int *len, u_int i, u_int n, size_t elem_size,
              axdr_print_ctx_t *ctx)
{
    if (axdr_decoding(s)) {
        if (*len == i + 1)
            return AXDR_TRUE; // resumed: the slot is there
        if (*len != i || i >= n || !grow_array(impl(s), arr, i, n, elem_size))
            return AXDR_FALSE;
        std::memset(static_cast<char *>(*arr) + size_t{i} * elem_size, 0, elem_size);
        *len = i + 1;
        return AXDR_TRUE;
    }
    if (!*arr || i >= *len)
        return AXDR_FALSE; // the array is not what its count said
    return axdr_print_index(s, i, ctx);
}

int axdr_array_done(axdr_stream_t *s, void **arr, u_int *len, u_int n, axdr_print_ctx_t *ctx)
{
    if (s->x_op == AXDR_FREE) {
        release(impl(s), *arr);
        *arr = nullptr;
        *len = 0;
    }
    if (s->x_op != AXDR_PRINT)
        return AXDR_TRUE;
    return s->x_ops->x_print_element(s, nullptr, !n, ctx); // no slot: an empty aggregate
}

unsigned int axdr_depth(const axdr_stream_t *s) { return static_cast<unsigned>(impl(s)->active); }

} // extern "C"
