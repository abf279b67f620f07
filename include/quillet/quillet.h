/*
 * quillet: resumable XDR filters for string maps, addresses and resource
 * limits.
 *
 * Every filter takes a stream and a pointer to the object. The stream's
 * x_op says what to do: AXDR_ENCODE, AXDR_DECODE, AXDR_FREE (release what a
 * decode allocated) or AXDR_PRINT. The result is AXDR_TRUE, AXDR_FALSE or a
 * pending status: on pending, call again later with the same arguments and
 * the filter continues where it stopped; nothing is sent, read or printed
 * twice. To give up on a pending decode, mark the end of input on the
 * stream and call again: the chain unwinds with AXDR_FALSE and releases what
 * it holds.
 *
 * Freeing a decoded object: once the decode has ended (AXDR_TRUE or
 * AXDR_FALSE), set s->x_op = AXDR_FREE on the same stream and call the
 * filter once more with the same object, or release a container with its
 * own destroy (map_destroy, ...): the same memory. A stream with a budget
 * counts a container until it is freed through it or the stream is reset.
 *
 * Compiles as C99 and as C++. Needs rlim_t of 64 bits: on 32-bit glibc
 * targets, build with -D_FILE_OFFSET_BITS=64.
 */
#ifndef QUILLET_QUILLET_H
#define QUILLET_QUILLET_H

#include <netinet/in.h>
#include <sys/resource.h>

#include <quillet/axdr.h>
#include <netutil.h>
#include <strmap.h>

#if defined(__cplusplus) && __cplusplus >= 201103L
static_assert(sizeof(rlim_t) == 8,
              "quillet needs a 64-bit rlim_t: define _FILE_OFFSET_BITS=64");
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
_Static_assert(sizeof(rlim_t) == 8,
               "quillet needs a 64-bit rlim_t: define _FILE_OFFSET_BITS=64");
#else
/* C99: a negative array size stops the build; the name says what to do. */
typedef char quillet_needs_64bit_rlim_t__define__FILE_OFFSET_BITS_64
    [sizeof(rlim_t) == 8 ? 1 : -1];
#endif

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define QUILLET_EXPORT __attribute__((visibility("default")))
#else
#define QUILLET_EXPORT
#endif

/* A string map: key count, then each key and its value as XDR strings.
 * Decoding initialises *m (reading nothing of it; start from a zeroed map all
 * the same, as freeing reads it); AXDR_FREE destroys it. Prints one element
 * per key. */
QUILLET_EXPORT int axdr_map_t(axdr_stream_t *s, map_t *m);

/* Multi-valued maps: key count, then per key the key, its value count and
 * its values. A key that arrives with no values does not enter the
 * container. Decoding and AXDR_FREE treat *m as axdr_map_t does. */
QUILLET_EXPORT int axdr_arraymap_t(axdr_stream_t *s, arraymap_t *m);
QUILLET_EXPORT int axdr_multimap_t(axdr_stream_t *s, multimap_t *m);

/* IPv4 address: one XDR unsigned int, network order on the wire. Prints as
 * the number. */
QUILLET_EXPORT int axdr_in_addr(axdr_stream_t *s, struct in_addr *a);

/* IPv6 address: four XDR unsigned ints, its 16 octets in order. Prints
 * elements "[0]" to "[3]". */
QUILLET_EXPORT int axdr_in6_addr(axdr_stream_t *s, struct in6_addr *a);

/* MAC address: six XDR unsigned ints, one per octet; a decoded value above
 * 255 keeps its low 8 bits. Prints elements "[0]" to "[5]". */
QUILLET_EXPORT int axdr_nu_macaddr_t(axdr_stream_t *s, nu_macaddr_t *mac);

/* An address of either family, in its IPv6 form (IPv4 as ::ffff:a.b.c.d);
 * decoding restores the family. Prints its text. */
QUILLET_EXPORT int axdr_nu_ipaddr_t(axdr_stream_t *s, nu_ipaddr_t *a);

/* An address and its mask, each as axdr_nu_ipaddr_t (32 octets). The
 * object is written only once the whole pair has arrived. Prints
 * "address/prefix". */
QUILLET_EXPORT int axdr_nu_ipcidr_t(axdr_stream_t *s, nu_ipcidr_t *c);

/* One limit as an XDR unsigned hyper. */
QUILLET_EXPORT int axdr_rlim_t(axdr_stream_t *s, rlim_t *v);

/* rlim_cur then rlim_max, each as an XDR unsigned hyper. Prints elements
 * ".rlim_cur" and ".rlim_max". */
QUILLET_EXPORT int axdr_rlimit(axdr_stream_t *s, struct rlimit *r);

#ifdef __cplusplus
}
#endif

#endif /* QUILLET_QUILLET_H */
