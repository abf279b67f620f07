/*
 * The async XDR runtime contract: what filters see of a stream, the results
 * they return, the primitives they call and the frames that let them resume.
 *
 * A filter result is 1 (AXDR_TRUE), 0 (AXDR_FALSE) or a pending status
 * (any other value; the runtime reports AXDR_PENDING). A filter that gets a
 * pending status returns it at once; the caller calls it again later with
 * the same arguments and it continues where it stopped.
 *
 * Compiles as C99 and as C++.
 */
#ifndef QUILLET_AXDR_H
#define QUILLET_AXDR_H

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A contract build of a filter library (QUILLET_CONTRACT=1) sees only the
 * stream's head and the contract's functions: no inline fast paths, no
 * budget reports, so it runs over any runtime that keeps the contract. */
#ifndef QUILLET_CONTRACT
#define QUILLET_CONTRACT 0
#endif

/* Marks the symbols that a shared library exports. */
#if defined(__GNUC__)
#define AXDR_EXPORT __attribute__((visibility("default")))
#else
#define AXDR_EXPORT
#endif

/* Filter results. */
#define AXDR_FALSE 0
#define AXDR_TRUE 1
/* The pending status the runtime reports: the stream cannot go on yet. */
#define AXDR_PENDING 2

/* Operation codes, the stream's first word. The ALT codes act as their
 * plain counterparts. */
enum axdr_op {
    AXDR_ENCODE = 0,
    AXDR_DECODE = 1,
    AXDR_FREE = 2,
    AXDR_ENCODE_ALT = 3,
    AXDR_DECODE_ALT = 4,
    AXDR_PRINT = 5
};

typedef struct axdr_stream axdr_stream_t;

/* The print context: a word local to one printing call of an aggregate,
 * passed by address to each of its element calls. Only the runtime uses
 * what it holds. */
typedef uintptr_t axdr_print_ctx_t;

/* The operations table, the stream's second word. */
struct axdr_ops {
    /* Starts the element `name` of an aggregate; is_first is 1 on the
     * aggregate's first element. A NULL name with is_first 0 closes the
     * aggregate; with is_first 1 it prints an aggregate with no element. */
    int (*x_print_element)(axdr_stream_t *s, const char *name, int is_first,
                           axdr_print_ctx_t *ctx);
    /* Prints one NUL-terminated text value. */
    int (*x_print_value)(axdr_stream_t *s, const char *text);
};

/* The head of every stream. Filters read x_op and x_ops only; the runtime
 * keeps its own state behind this head, so streams come only from the
 * runtime's constructors.
 *
 * The fields after x_ops are private to the runtime: the inline fast paths
 * at the end of this header work on them so that a word that is already
 * in the window costs no call. A contract build does not see them. */
struct axdr_stream {
    int x_op;                     /* enum axdr_op */
    const struct axdr_ops *x_ops; /* print entries */
#if !QUILLET_CONTRACT
    unsigned char *x_cur;         /* the wire window: decode reads [x_cur, */
    unsigned char *x_end;         /* x_end), encode writes into it */
    uint64_t x_pos;               /* bytes moved so far */
    unsigned long x_nprim;        /* primitives done by the fast paths */
    unsigned long x_nskip;        /* frames that straight paths did without */
    int x_slow;                   /* nonzero: every call goes to the runtime */
    int x_mode;                   /* the coding operation the window serves,
                                     AXDR_ENCODE or AXDR_DECODE (-1: none,
                                     and x_slow is set) */
    size_t x_wait;                /* a kept chain of a plain incremental
                                     decode moves only with this many bytes
                                     unread (0: try it) */
    void (*x_wait_self)(void);    /* that chain's outermost filter */
    unsigned long x_nwait;        /* calls answered pending on that ground */
    int x_whole;                  /* nonzero: the window is all the stream
                                     will have (a memory stream), so a unit
                                     short of bytes fails, never waits */
#endif
};

/* A filter: a stream and a pointer to the object it codes. */
typedef int (*axdr_filter_t)(axdr_stream_t *s, void *obj);

/* A resumable filter's identity for its frame: its own address, converted
 * to this type (a function pointer; it is compared, never called). */
typedef void (*axdr_self_t)(void);

/* Primitives. Each is resumable at any byte: after a pending status the
 * stream keeps the progress of the unit in flight, and the next call for
 * the same value goes on from the byte where it stopped. In AXDR_PRINT the
 * numeric ones print their value; codes 6 and above give AXDR_FALSE. */
AXDR_EXPORT int axdr_int(axdr_stream_t *s, int *v);
AXDR_EXPORT int axdr_uint32_t(axdr_stream_t *s, uint32_t *v);
AXDR_EXPORT int axdr_u_int(axdr_stream_t *s, unsigned int *v);
AXDR_EXPORT int axdr_u_int64_t(axdr_stream_t *s, uint64_t *v);

/* An XDR string of at most maxlen bytes (~0u: no limit). Decoding into a
 * NULL *sp allocates; the string is stored only once complete. Embedded NUL
 * bytes and non-zero padding are refused. AXDR_FREE releases *sp and sets
 * it to NULL. */
AXDR_EXPORT int axdr_string(axdr_stream_t *s, char **sp, unsigned int maxlen);

/* axdr_string without a limit, as a filter over a `char **`. */
AXDR_EXPORT int axdr_wrapstring(axdr_stream_t *s, void *sp);

/* Applies `filter` to `obj`; in AXDR_PRINT it first starts the element
 * `name` as x_print_element does. Adds nothing to the wire. */
AXDR_EXPORT int axdr_element(axdr_stream_t *s, const char *name, int is_first,
                             axdr_filter_t filter, void *obj,
                             axdr_print_ctx_t *ctx);

/* Releases what a decode allocated: axdr_free(axdr_wrapstring, &str). */
AXDR_EXPORT void axdr_free(axdr_filter_t filter, void *obj);

#if !QUILLET_CONTRACT
/* The budget of a stream (axdr_set_budget) bounds what a decode holds.
 * A decoder that fills an object reports what it holds itself (the
 * object's memory and the strings it keeps) as `held`; strings the stream
 * hands it afterwards count on top until its next report. Returns how many
 * more bytes the decode may hold (SIZE_MAX: no budget). A string that would
 * not fit gives AXDR_FALSE. */
AXDR_EXPORT size_t axdr_budget_hold(axdr_stream_t *s, size_t held);

/* The reporting decode is over: what it filled is the caller's now, and
 * what it last reported stays counted against the stream until
 * axdr_reset or axdr_budget_release. */
AXDR_EXPORT void axdr_budget_done(axdr_stream_t *s);

/* An object that a decode through s filled was freed, giving back bytes. */
AXDR_EXPORT void axdr_budget_release(axdr_stream_t *s, size_t bytes);
#endif

/* The frame handle: an opaque word written by setup and handed to teardown. */
typedef uintptr_t axdr_frame_t;

/* Opens a resumable filter's frame. `self` is the filter's own address;
 * *state is 0 and *scratchp aims at a local record of scratch_size bytes (or
 * 0 and NULL). After a pending status, setup at the same depth restores the
 * state and the scratch record. Only AXDR_TRUE lets the filter go on; any
 * other result is returned at once, without teardown. A scratch record
 * above 64 KiB is refused with AXDR_FALSE. */
AXDR_EXPORT int axdr_async_setup(axdr_stream_t *s, axdr_self_t self,
                                 axdr_frame_t *frame, int *state,
                                 size_t scratch_size, void **scratchp);

/* Closes the frame once after each setup that returned AXDR_TRUE, with the
 * result the filter returns: a pending status keeps the state and scratch
 * record, AXDR_TRUE or AXDR_FALSE end the frame. */
AXDR_EXPORT int axdr_async_teardown(axdr_stream_t *s, axdr_self_t self,
                                    int state, axdr_frame_t frame, int result);

/* Inline fast paths: the same results as the functions they are named
 * after; a value wholly inside the window of a plain stream costs no call.
 * The runtime's own functions go through the same code, so there is one
 * copy of each. In a contract build they are the plain calls. */
/* Big-endian words at any alignment. */
static inline uint32_t axdr_load32_(const unsigned char *p)
{
#if defined(__GNUC__) && defined(__BYTE_ORDER__)
    uint32_t w;
    __builtin_memcpy(&w, p, 4);
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    w = __builtin_bswap32(w);
#endif
    return w;
#else
    uint32_t b0 = p[0], b1 = p[1], b2 = p[2], b3 = p[3];
    return b0 << 24 | b1 << 16 | b2 << 8 | b3;
#endif
}

static inline void axdr_store32_(unsigned char *p, uint32_t v)
{
#if defined(__GNUC__) && defined(__BYTE_ORDER__)
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    v = __builtin_bswap32(v);
#endif
    __builtin_memcpy(p, &v, 4);
#else
    p[0] = (v >> 24) & 0xff;
    p[1] = (v >> 16) & 0xff;
    p[2] = (v >> 8) & 0xff;
    p[3] = v & 0xff;
#endif
}

#if QUILLET_CONTRACT

static inline int axdr_uint32_t_fast(axdr_stream_t *s, uint32_t *v) { return axdr_uint32_t(s, v); }
static inline int axdr_u_int_fast(axdr_stream_t *s, unsigned int *v) { return axdr_u_int(s, v); }
static inline int axdr_u_int64_t_fast(axdr_stream_t *s, uint64_t *v) { return axdr_u_int64_t(s, v); }
static inline int axdr_element_fast(axdr_stream_t *s, const char *name, int is_first,
                                    axdr_filter_t filter, void *obj, axdr_print_ctx_t *ctx)
{
    return axdr_element(s, name, is_first, filter, obj, ctx);
}

#else

#ifdef __cplusplus
#define AXDR_CAST_(T, v) static_cast<T>(v)
#else
#define AXDR_CAST_(T, v) ((T)(v))
#endif

/* The bytes a straight path may use at x_cur: the window, if the
 * operation is the one the stream was made for and nothing makes it slow
 * (a fault armed, a trace, a budget, a unit or a chain pending); else 0 and
 * the runtime's full path, or the filter's steps, take the call. Bounds
 * never follow x_op, which callers may rewrite between calls. */
static inline size_t axdr_room_(const axdr_stream_t *s)
{
    if (s->x_slow || s->x_op != s->x_mode)
        return 0;
    return AXDR_CAST_(size_t, s->x_end - s->x_cur);
}

/* A unit of at most n bytes may go straight through a filter's own calls
 * (each checks its bytes): n bytes are in the window, or the window is all
 * there will be, where a shortage fails just as it fails in the steps. */
static inline int axdr_fits_(const axdr_stream_t *s, size_t n)
{
    if (s->x_slow || s->x_op != s->x_mode)
        return 0;
    return s->x_whole || AXDR_CAST_(size_t, s->x_end - s->x_cur) >= n;
}

/* A unit done straight through without bytes (FREE of one that holds no
 * memory) stands for nprim primitives and nskip frames. */
static inline void axdr_counted_(axdr_stream_t *s, unsigned nprim, unsigned nskip)
{
    s->x_nprim += nprim;
    s->x_nskip += nskip;
}

/* Marks n bytes at x_cur as moved by a unit coded straight through, which
 * stands for nprim primitives and nskip frames: the counts that fault
 * injection and tracing go by stay those of the step path. */
static inline void axdr_moved_(axdr_stream_t *s, size_t n, unsigned nprim, unsigned nskip)
{
    s->x_cur += n;
    s->x_pos += AXDR_CAST_(uint64_t, n);
    s->x_nprim += nprim;
    s->x_nskip += nskip;
}

/* A fixed unit of n bytes inside the window (see axdr_room_): where it
 * lies, the window advanced past it; else NULL. */
static inline unsigned char *axdr_take_unit_(axdr_stream_t *s, size_t n, unsigned nprim,
                                             unsigned nskip)
{
    unsigned char *p = s->x_cur;
    if (axdr_room_(s) < n)
        return NULL;
    axdr_moved_(s, n, nprim, nskip);
    return p;
}

/* One primitive's fixed unit. */
static inline unsigned char *axdr_take_(axdr_stream_t *s, ptrdiff_t n)
{
    return axdr_take_unit_(s, AXDR_CAST_(size_t, n), 1, 0);
}

/* An XDR string wholly inside [p, end) and well formed (zero padding, no
 * NUL in its data): its data and length, and the end of its padding; else
 * NULL. */
static inline const unsigned char *axdr_string_at_(const unsigned char *p,
                                                   const unsigned char *end,
                                                   const unsigned char **data, uint32_t *lenp)
{
    size_t avail = AXDR_CAST_(size_t, end - p);
    uint32_t len, pad;
    const unsigned char *d;
    if (avail < 4)
        return NULL;
    len = axdr_load32_(p);
    pad = (4u - (len & 3u)) & 3u;
    avail -= 4;
    if (len > avail || pad > avail - len)
        return NULL;
    d = p + 4;
    /* The last word holds the padding: one load checks it. */
    if (pad && (axdr_load32_(d + len + pad - 4) & ((1u << (8 * pad)) - 1)) != 0)
        return NULL;
    if (memchr(d, 0, len))
        return NULL;
    *data = d;
    *lenp = len;
    return d + len + pad;
}

/* Writes the string str of len bytes (len < 2^32) as XDR at p, which has
 * room for it; returns the end of its padding. */
static inline unsigned char *axdr_string_put_(unsigned char *p, const char *str, size_t len)
{
    size_t pad = (4u - (len & 3u)) & 3u;
    axdr_store32_(p, AXDR_CAST_(uint32_t, len));
    /* Zero the last word first; the data then overwrites its front. */
    if (pad)
        axdr_store32_(p + len + pad, 0);
    memcpy(p + 4, str, len);
    return p + 4 + len + pad;
}

/* A word, or a hyper, between *v and the window at p, the way the stream
 * was made for. */
static inline void axdr_word32_(const axdr_stream_t *s, unsigned char *p, uint32_t *v)
{
    if (s->x_mode == AXDR_DECODE)
        *v = axdr_load32_(p);
    else
        axdr_store32_(p, *v);
}

static inline void axdr_word64_(const axdr_stream_t *s, unsigned char *p, uint64_t *v)
{
    if (s->x_mode == AXDR_DECODE) {
        *v = AXDR_CAST_(uint64_t, axdr_load32_(p)) << 32 | axdr_load32_(p + 4);
    } else {
        axdr_store32_(p, AXDR_CAST_(uint32_t, *v >> 32));
        axdr_store32_(p + 4, AXDR_CAST_(uint32_t, *v & 0xffffffffu));
    }
}

static inline int axdr_uint32_t_fast(axdr_stream_t *s, uint32_t *v)
{
    unsigned char *p = axdr_take_(s, 4);
    if (!p)
        return axdr_uint32_t(s, v);
    axdr_word32_(s, p, v);
    return AXDR_TRUE;
}

static inline int axdr_u_int_fast(axdr_stream_t *s, unsigned int *v)
{
    uint32_t w = *v;
    int r = axdr_uint32_t_fast(s, &w);
    *v = w;
    return r;
}

static inline int axdr_u_int64_t_fast(axdr_stream_t *s, uint64_t *v)
{
    unsigned char *p = axdr_take_(s, 8);
    if (!p)
        return axdr_u_int64_t(s, v);
    axdr_word64_(s, p, v);
    return AXDR_TRUE;
}

/* For axdr_waiting_ only: the bytes x_wait asked for are there; whether
 * the kept chain still cannot move (1, counted as its setup) or resumes
 * (0). */
AXDR_EXPORT int axdr_wait_more_(axdr_stream_t *s);

/* A resumable filter whose kept chain is outermost and cannot move with
 * the bytes buffered: its setup would answer pending at once, so the filter
 * may answer so without its frame (counted as that setup). */
static inline int axdr_waiting_(axdr_stream_t *s, axdr_self_t self)
{
    if (s->x_wait == 0 || s->x_wait_self != self)
        return 0;
    if (AXDR_CAST_(size_t, s->x_end - s->x_cur) >= s->x_wait)
        return axdr_wait_more_(s);
    s->x_nwait++;
    return 1;
}

/* axdr_element without the call when not printing. */
static inline int axdr_element_fast(axdr_stream_t *s, const char *name, int is_first,
                                    axdr_filter_t filter, void *obj, axdr_print_ctx_t *ctx)
{
    if (s->x_op != AXDR_PRINT)
        return filter(s, obj);
    return axdr_element(s, name, is_first, filter, obj, ctx);
}

#endif /* QUILLET_CONTRACT */

#ifdef __cplusplus
}
#endif

#endif /* QUILLET_AXDR_H */
