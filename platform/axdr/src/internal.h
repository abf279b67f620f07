// The runtime's private stream record. The public head (x_op, x_ops) comes
// first so that a stream pointer is also a pointer to this record.
#ifndef AXDR_INTERNAL_H
#define AXDR_INTERNAL_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include <axdr_runtime.h>

namespace axdr {

enum Kind : uint8_t { KIND_MEM, KIND_INCR, KIND_PRINT };

// A growable byte buffer.
struct Buf {
    char *data = nullptr;
    size_t len = 0;
    size_t cap = 0;

    bool reserve(size_t extra);
    bool append(const char *p, size_t n);
    bool append(const char *s);
    void clear() { len = 0; if (data) data[0] = '\0'; }
    void release();
};

// The unit in flight: a primitive that stopped part-way keeps its progress
// here, so that the call for the same value goes on at the next byte.
enum UnitKind : uint8_t { UNIT_NONE, UNIT_U32, UNIT_U64, UNIT_STRING, UNIT_BYTES };

struct Unit {
    UnitKind kind = UNIT_NONE;
    uint8_t have = 0;    // bytes of the fixed part (number or length) moved
    uint8_t phase = 0;   // strings: 0 length, 1 data, 2 padding
    uint8_t buf[8] = {};
    uint32_t len = 0;    // strings: announced or sent length
    uint32_t done = 0;   // strings: data (phase 1) or pad (phase 2) bytes moved
    uint32_t maxlen = 0; // decoded strings: the caller's limit
    char *str = nullptr; // decode: the partial string; encode: the caller's
    size_t cap = 0;
    bool owns = false;   // str is ours to free
};

struct Frame {
    axdr_self_t self;
    void **scratchp; // the filter's scratch pointer, valid while active
    uint32_t size;
    int state;
    size_t off;      // where the scratch record is kept between calls
};

struct Level {
    uint32_t serial;
    bool elem_open;  // an element of this aggregate has started
    uint32_t nvalues; // values printed for that element
};

struct Printer {
    FILE *file = nullptr;
    Buf text;
    Level *levels = nullptr; // levels[1..depth]
    uint32_t depth = 0;
    uint32_t levels_cap = 0;
    uint32_t serial = 0;
    bool line_open = false;
    bool failed = false;
};

struct Fault {
    unsigned long count = 0; // events seen
    unsigned long at = 0;    // fire at this count (0: never)
    unsigned long every = 0; // then every this many
    int result = AXDR_FALSE;
};

struct Stream {
    axdr_stream_t pub;
    Kind kind;
    int mode;        // AXDR_ENCODE or AXDR_DECODE: what the buffers are for; -1 none
    bool eof;
    bool for_free;   // made for FREE: no window, yet plain when nothing else makes it slow
    bool unwinding;  // a pending teardown already saved the innermost frame

    // The wire window, bytes moved and the fast-path flag live in pub.
    uint8_t *base;   // memory streams: the caller's buffer

    // Incremental streams: the input or output buffer behind the window.
    uint8_t *io;
    size_t io_cap;
    size_t out_off;  // encode: drained bytes at the front of io
    size_t window;   // encode: most bytes held before pending

    size_t budget;
    // A decoder that fills an object under the budget reports what it
    // holds (held); strings handed to it since count on top (handed).
    // What objects filled earlier through the stream still hold, and
    // strings handed outside a report, stay counted (kept) until reset or
    // until AXDR_FREE through the stream gives them back.
    bool accounting;
    size_t held;
    size_t handed;
    size_t kept;
    // Small pieces go straight behind the unread bytes: an incremental
    // decode, input not ended, a buffer, no budget (feed_update).
    bool feed_fast;
    uint8_t *io_limit; // io + io_cap
    // x_wait is what the unit in flight needs, not a lower bound.
    bool wait_exact;
    bool plain;      // see resume_plain
    // Strings of `kept` that a call chain was handed and has not released:
    // axdr_free, which names no stream, finds them here through the
    // thread's lender (below). A few are enough, since a decoder releases a
    // key and its value as soon as its container copied them; when a new
    // one finds no room the oldest leaves, and stays in `kept`.
    struct Lent {
        const char *str;
        size_t bytes;
    } lent[4];
    uint8_t lent_next; // the slot a full ring gives up next
    // What the running chain released through axdr_free: copied into what
    // it builds, which only its filters see, so counted until the chain
    // ends and that becomes the caller's.
    size_t copied;
    bool lending;      // this thread's lender: the chain's end must be seen
    // A fed piece was refused: what follows on the wire is not what the
    // decode would read next, so every decoding primitive fails until reset.
    bool failed;
    Unit unit;

    Frame *frames;
    size_t frames_cap;
    size_t active;   // setups without teardown in the current call chain
    size_t saved;    // frames kept by a pending status
    uint8_t *arena;
    size_t arena_cap;

    Fault fault[AXDR_FAULT_ALLOC + 1];
    uint64_t byte_fire; // pos before which the byte fault fires (0: unarmed)
    bool tracing;
    Buf trace;

    Printer pr;
};

inline Stream *impl(axdr_stream_t *s) { return reinterpret_cast<Stream *>(s); }
inline const Stream *impl(const axdr_stream_t *s) { return reinterpret_cast<const Stream *>(s); }

extern const axdr_ops print_ops;

void stream_init(Stream *st, Kind kind, int op);
void stream_release(Stream *st);
void update_slow(Stream *st);
void unit_clear(Unit *u);

// What a decode under the budget may hold beside its buffered input.
constexpr size_t budget_slack = 12 * 1024;
size_t budget_limit(const Stream *st);
// What the runtime itself holds for the decode: the string in flight and
// the frames.
size_t runtime_held(const Stream *st);
// Whether `more` bytes fit beside everything the decode holds now.
bool budget_fits(const Stream *st, uint64_t more);
// A string of `bytes` handed to a filter, or bytes given back through the
// stream.
void budget_handed(Stream *st, const char *str, size_t bytes);
void budget_given_back(Stream *st, size_t bytes);

// A decode that nothing watches: no fault armed, no trace, no budget, not
// failed. Such a stream may skip the full path where its outcome is sure.
// Kept by update_slow, which follows every change of those.
inline bool resume_plain(const Stream *st) { return st->plain; }

// The stream under a budget whose filters are running on this thread (a
// call chain between its outermost setup and teardown), or NULL: the one
// whose lent strings axdr_free looks for. Set only while that chain runs,
// so it never names a stream that is gone.
extern __thread Stream *tls_lender __attribute__((tls_model("initial-exec")));
// A chain of st runs on this thread from here. The stream stays slow until
// its end, so that the end is seen even if the budget is lifted meanwhile.
inline void lender_enter(Stream *st)
{
    if (st->budget) {
        tls_lender = st;
        st->lending = true;
        st->pub.x_slow = 1;
    }
}
inline void lender_leave(const Stream *st)
{
    if (tls_lender == st)
        tls_lender = nullptr;
}
// The chain is over on this thread. If it finished (not pending), what it
// copied is the caller's and leaves the count, and the strings it still
// holds are the caller's too, counted until freed through the stream or
// reset.
void chain_over(Stream *st, bool finished);
// If str is a string st lent, forgets it and returns its bytes (else 0).
size_t lent_take(Stream *st, const char *str);
// str was released outside the stream: if st lent it, its bytes count as
// copied until the chain ends.
inline void lent_released(Stream *st, const char *str)
{
    size_t n = lent_take(st, str);
    if (n > st->kept)
        n = st->kept; // the stream was told of frees it never lent
    st->kept -= n;
    st->copied += n;
}

// Bytes the unit in flight still needs before it can complete (0: none);
// a string's length already buffered counts its data.
size_t unit_need(const Stream *st);
// Whether unit_need may grow once more bytes are buffered.
bool unit_need_grows(const Stream *st);

// The fault of kind fires for this event: returns its result, else TRUE.
int fault_fire(Stream *st, int kind);
inline int fault_event(Stream *st, int kind)
{
    Fault &f = st->fault[kind];
    ++f.count;
    if (f.at == 0 || f.count != f.at) [[likely]]
        return AXDR_TRUE;
    return fault_fire(st, kind);
}

// Nothing to account when a decoded block is released through st: no
// budget, nothing of an earlier one kept, and no lender's chain running on
// this thread to tell.
inline bool free_quiet(const Stream *st) { return st->budget == 0 && st->kept == 0 && !tls_lender; }

// The capacity a buffer grows to: first (or cap), doubled until it holds
// need; need itself where doubling would wrap.
inline size_t grown(size_t cap, size_t first, size_t need)
{
    size_t n = cap ? cap : first;
    while (n < need)
        if (__builtin_mul_overflow(n, size_t{2}, &n))
            n = need;
    return n;
}

// A filter result as trace lines show it.
inline const char *result_name(int r) { return r == AXDR_TRUE ? "1" : r == AXDR_FALSE ? "0" : "pending"; }
// An allocation for st may go ahead (false: an injected failure).
inline bool may_allocate(Stream *st) { return fault_event(st, AXDR_FAULT_ALLOC) == AXDR_TRUE; }

void trace_line(Stream *st, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// Printer entries used by the primitives in AXDR_PRINT.
int print_number(Stream *st, const char *digits);
int print_text(Stream *st, const char *text);
void printer_reset(Printer *p);
void printer_release(Printer *p);

// --- what the primitive files share ------------------------------------

enum Dir { DIR_ENCODE, DIR_DECODE, DIR_FREE, DIR_PRINT, DIR_BAD };

inline Dir dir_of(int op)
{
    switch (static_cast<unsigned>(op)) {
    case AXDR_ENCODE:
    case AXDR_ENCODE_ALT:
        return DIR_ENCODE;
    case AXDR_DECODE:
    case AXDR_DECODE_ALT:
        return DIR_DECODE;
    case AXDR_FREE:
        return DIR_FREE;
    case AXDR_PRINT:
        return DIR_PRINT;
    default:
        return DIR_BAD;
    }
}

// What x_op asks of this stream. Moving wire bytes the other way than the
// stream was made for is refused: its buffer bounds are for that way only.
// A stream that refused a piece decodes nothing more until reset.
inline Dir dir_for(const Stream *st)
{
    Dir d = dir_of(st->pub.x_op);
    if ((d == DIR_ENCODE && st->mode != AXDR_ENCODE) ||
        (d == DIR_DECODE && (st->mode != AXDR_DECODE || st->failed)))
        return DIR_BAD;
    return d;
}

inline uint32_t pad_of(uint32_t len) { return (4 - (len & 3)) & 3; }

inline namespace prim {
// Bytes the window offers now, less what a byte fault holds back.
size_t available(Stream *st);
// The window is empty (or a byte fault stops it): what the primitive says.
int starved(Stream *st, Dir dir);
// Moves up to n bytes between p and the window; returns the count.
size_t move(Stream *st, Dir dir, uint8_t *p, size_t n);
// Claims the unit in flight for a primitive of this kind, or ends it.
bool unit_claim(Stream *st, UnitKind kind);
int unit_end(Stream *st, int r);
// Moves the fixed part of the unit (n bytes in its buffer).
int move_fixed(Stream *st, Dir dir, size_t n);
// The unit's decode buffer grows to need bytes, with what has arrived.
bool grow_string(Stream *st, size_t need);
// A decoded length within maxlen and what the budget leaves.
bool length_ok(const Stream *st, uint32_t len, unsigned maxlen);
} // namespace prim

} // namespace axdr

#endif
