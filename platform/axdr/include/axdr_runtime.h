/*
 * The async XDR runtime: streams, feeding and draining, the text printer
 * and fault injection. The contract that filters use is <quillet/axdr.h>.
 *
 * Streams
 *   memory       over a caller's buffer; running out of buffer is AXDR_FALSE.
 *   incremental  decode input is fed in pieces (axdr_feed) and encode output
 *                drained in pieces through a bounded window (axdr_drain); a
 *                primitive that lacks bytes or room returns AXDR_PENDING and
 *                loses nothing. After axdr_feed_end, lacking input is
 *                AXDR_FALSE, so a pending chain can always be unwound.
 *   print        renders AXDR_PRINT calls as text into a growable buffer or a
 *                FILE*. It never pends on its own.
 *
 * Giving up on a pending transfer
 *   decode: call axdr_feed_end(), then call the filter again with the same
 *           arguments: every level ends with AXDR_FALSE and releases what it
 *           holds; then free the object as below.
 *
 *   encode: axdr_reset() drops the saved frames and the unsent output (an
 *           encode holds nothing of its own).
 *
 * Freeing a decoded object
 *   Once its decode has ended, with AXDR_TRUE or AXDR_FALSE, set
 *   s->x_op = AXDR_FREE on the stream that decoded it and call the filter
 *   once more with the same object; or release a container with its own
 *   destroy (map_destroy, ...), which frees the same memory. Under a
 *   budget only the first tells the stream (see axdr_set_budget).
 *
 * Print format (one element per line, nested aggregates indented by two):
 *   a text value is quoted: "a b", with \" \\ \n \r \t and \xHH escapes for
 *   other bytes below 0x20 or above 0x7e; a number is printed in decimal.
 *   An aggregate is "{", its elements one per line as `name = value`, then
 *   "}"; several values of one element are separated by ", ". A name is
 *   printed bare when it is made only of letters, digits and _ . [ ] -, else
 *   quoted like a text. A top-level value ends its line. Aggregates that
 *   send no closing call are closed by the next element of an enclosing
 *   aggregate, by the next top-level aggregate, or by axdr_print_finish().
 *
 * Compiles as C99 and as C++.
 */
#ifndef AXDR_RUNTIME_H
#define AXDR_RUNTIME_H

#include <stdio.h>

#include <quillet/axdr.h>

#ifdef __cplusplus
extern "C" {
#endif

/* --- construction --------------------------------------------------- */

/* A memory stream over buf[0..len) for op (AXDR_ENCODE, AXDR_DECODE or
 * their ALT codes). NULL when out of memory. A decoded object is freed on
 * the stream that decoded it: s->x_op = AXDR_FREE, then the filter again. */
AXDR_EXPORT axdr_stream_t *axdr_mem_create(void *buf, size_t len, int op);

/* An incremental stream for op. On encode, window is the most output bytes
 * the stream holds before a primitive pends (0: 64 KiB). */
AXDR_EXPORT axdr_stream_t *axdr_incr_create(int op, size_t window);

/* A print stream into a growable text buffer (f NULL) or a FILE*. */
AXDR_EXPORT axdr_stream_t *axdr_print_create(FILE *f);

/* Releases everything the runtime holds for s (saved frames, a partly
 * received string, buffers). Strings a pending decode parked in its frames
 * are the filters' own: unwind with axdr_feed_end first. */
AXDR_EXPORT void axdr_destroy(axdr_stream_t *s);

/* Decoded strings come from a few blocks that axdr_free keeps per thread
 * for the next ones. This frees the calling thread's; a thread's exit, and
 * the process's exit for the main thread, do it too. */
AXDR_EXPORT void axdr_thread_release(void);

/* Drops saved frames, the unit in progress, unread input and undrained
 * output, what the budget counts and the failure of a refused piece; keeps
 * the operation, the budget and the fault settings. A memory stream starts
 * again at the beginning of its buffer; a print stream forgets its text, its
 * open aggregates and any text it lost, as axdr_print_clear does. Strings that a
 * pending decode parked in its frames are the filters' own and leak: unwind
 * with axdr_feed_end first, as for axdr_destroy. */
AXDR_EXPORT void axdr_reset(axdr_stream_t *s);

/* Bytes moved through the stream's wire so far (read or written). */
AXDR_EXPORT uint64_t axdr_getpos(const axdr_stream_t *s);

/* Setups that filters did without, having coded a whole unit straight
 * through; axdr_fault_count counts them as setups all the same. */
AXDR_EXPORT unsigned long axdr_frames_skipped(const axdr_stream_t *s);

/* Number of frames saved by a pending status (0 when nothing is pending). */
AXDR_EXPORT size_t axdr_saved_frames(const axdr_stream_t *s);

/* --- incremental input and output ------------------------------------ */

/* Appends len bytes of input. 0 on success; -1 if s is not an incremental
 * decode stream (nothing else happens then), or if the piece is refused:
 * input was already ended, the budget would be passed, or memory ran out.
 * A refused piece is not taken, and it fails the stream, since the decode
 * would otherwise read on across the gap: from then on every decoding
 * primitive on s gives AXDR_FALSE (a pending filter, called again, unwinds
 * and releases what it holds) until axdr_reset. */
AXDR_EXPORT int axdr_feed(axdr_stream_t *s, const void *data, size_t len);

/* Marks the end of input: from now on a primitive that lacks bytes gives
 * AXDR_FALSE. */
AXDR_EXPORT void axdr_feed_end(axdr_stream_t *s);

/* Bytes fed and not yet consumed. */
AXDR_EXPORT size_t axdr_unread(const axdr_stream_t *s);

/* Moves up to max bytes of encoded output into buf; returns the count. */
AXDR_EXPORT size_t axdr_drain(axdr_stream_t *s, void *buf, size_t max);

/* Encoded output waiting to be drained, without copying it. */
AXDR_EXPORT const void *axdr_output(const axdr_stream_t *s, size_t *len);
/* Marks the first n bytes of that output as sent. */
AXDR_EXPORT void axdr_output_consume(axdr_stream_t *s, size_t n);

/* Caps what the decodes through s hold for their peer (0: no cap, the
 * default; axdr_reset keeps it). With a cap of B, at no instant do they
 * hold more than 2 * B + 16 KiB, for any input, everything counted:
 *   - the input buffer of an incremental stream: B bytes, allocated at the
 *     first feed and never moved;
 *   - the rest at most B + 12 KiB: the string being received (its whole
 *     length once admitted, never moved), strings handed to filters,
 *     frames, the container being filled (keys, values, records, buckets;
 *     an array that grows counts its old and its new copy, which a moving
 *     realloc holds together), and what the values decoded earlier through
 *     s still hold;
 *   - the last 4 KiB: the stream record, the two string blocks the runtime
 *     keeps per thread, and the allocator's rounding of each block.
 * The count covers every value decoded through s, however many containers
 * one message holds: a decoded container or string counts until it is
 * freed with AXDR_FREE through s, or s is reset or destroyed. Freed any
 * other way (map_destroy, axdr_free) it counts until then, so a stream that
 * goes on to the next message frees through s.
 *   One exception needs no telling: a filter that copies a decoded string
 *   into what it builds and releases it with axdr_free(axdr_wrapstring, ..)
 *   while its decode runs (on the calling thread, between the outermost
 *   setup and the teardown that ends the decode with AXDR_TRUE or
 *   AXDR_FALSE). s remembers the last four strings it handed to the running
 *   decode and not yet released; one of those, released so, counts until
 *   the decode ends, as a part of what it built, and then no more. A string
 *   released any other way, or held past four newer ones, counts as above.
 *   A decode that would go past the bound ends with AXDR_FALSE; AXDR_FREE
 *   then releases what it built.
 *   Strings: a string announced longer than B, or longer than what is left,
 *   gives AXDR_FALSE as soon as its length has arrived, before anything is
 *   allocated for it. Without a cap a string's memory grows only with the
 *   bytes that have arrived, never with its announced length.
 *   Containers: the decoder caps the container with what is left; bucket
 *   arrays follow the cap, not the announced key count.
 *   Input: an incremental decode stream refuses a piece that would leave
 *   more than B unread (axdr_feed gives -1, takes nothing, and the stream
 *   fails). Feed pieces of at most B and call the filter between them: a
 *   pending filter has always consumed everything fed. */
AXDR_EXPORT void axdr_set_budget(axdr_stream_t *s, size_t max_bytes);

/* --- printing ------------------------------------------------------- */

/* Closes the aggregates still open and ends the line. 0, or -1 when the
 * text could not be written. */
AXDR_EXPORT int axdr_print_finish(axdr_stream_t *s);

/* The text printed into the buffer so far (NUL-terminated); *len gets its
 * length when len is not NULL. Empty for a FILE* stream. */
AXDR_EXPORT const char *axdr_print_text(const axdr_stream_t *s, size_t *len);

/* Empties the text buffer and forgets open aggregates. */
AXDR_EXPORT void axdr_print_clear(axdr_stream_t *s);

/* --- fault injection and tracing (tests and fuzzers) ----------------- */

enum axdr_fault_kind {
    AXDR_FAULT_PRIMITIVE = 0, /* a primitive call */
    AXDR_FAULT_BYTE = 1,      /* a wire byte about to move */
    AXDR_FAULT_SETUP = 2,     /* an axdr_async_setup call */
    AXDR_FAULT_PRINT = 3,     /* an x_print_element or x_print_value call */
    AXDR_FAULT_ALLOC = 4      /* an allocation the runtime makes for s: input
                                 buffer, a string, frames, printed text; the
                                 result is ignored, the allocation fails */
};

/* The n-th event of kind (1-based, counted from this call) returns result
 * (AXDR_FALSE or a pending status) instead of happening; once. A byte fault
 * stops the primitive just before that byte, keeping the bytes before it.
 * n == 0 disarms. */
AXDR_EXPORT void axdr_fault_at(axdr_stream_t *s, int kind, unsigned long n,
                               int result);

/* Every period-th event of kind returns result, for as long as it is set
 * (period >= 2, so that a retried call goes through); 0 disarms. For
 * setups, the levels that a resumed call sets up again to restore them are
 * not counted, so nested filters of any depth get through too. */
AXDR_EXPORT void axdr_fault_every(axdr_stream_t *s, int kind,
                                  unsigned long period, int result);

/* Events of kind seen since the stream was made. */
AXDR_EXPORT unsigned long axdr_fault_count(const axdr_stream_t *s, int kind);

/* Disarms every fault. */
AXDR_EXPORT void axdr_fault_clear(axdr_stream_t *s);

/* Records each primitive, setup, teardown and print call as one line of
 * text ("int 3", "string \"ab\"", "setup 0", "teardown 1 2", ...). */
AXDR_EXPORT void axdr_trace_enable(axdr_stream_t *s, int on);
/* The recorded lines, NUL-terminated. */
AXDR_EXPORT const char *axdr_trace(const axdr_stream_t *s);
/* Forgets the recorded lines. */
AXDR_EXPORT void axdr_trace_clear(axdr_stream_t *s);

#ifdef __cplusplus
}
#endif

#endif /* AXDR_RUNTIME_H */
