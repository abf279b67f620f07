/*
 * Network address types: MAC addresses, IP addresses of either family, and
 * address/mask pairs. Operations return 0 for success and non-zero for
 * failure; the source comes first and the destination last. On failure the
 * destination is left as it was.
 *
 * An IPv4-mapped IPv6 address (::ffff:a.b.c.d) is an IPv4 address here:
 * every constructor that meets that form makes an IPv4 address of it, so an
 * address keeps its family through nu_ipaddr_to_in6addr and back.
 *
 * Text forms
 *   IPv4  dotted quad, "192.0.2.1".
 *   IPv6  RFC 5952: lower case, no leading zeros in a group, the longest run
 *         of two or more zero groups written "::" (the first on a tie), and
 *         the mapped form as "::ffff:a.b.c.d".
 *   pair  "address/prefix", the prefix in decimal.
 *   MAC   "aa:bb:cc:dd:ee:ff", lower case.
 * Parsing is strict: no surrounding blanks or junk, decimal without signs
 * or leading zeros, two hex digits per MAC octet, no IPv6 zone. Upper-case
 * hex digits are accepted.
 *
 * Compiles as C99 and as C++.
 */
#ifndef NETUTIL_H
#define NETUTIL_H

#include <stddef.h>
#include <stdint.h>
#include <netinet/in.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define NETUTIL_EXPORT __attribute__((visibility("default")))
#else
#define NETUTIL_EXPORT
#endif

/* A MAC address: six octets, octet 0 first. */
typedef struct nu_macaddr { uint8_t octet[6]; } nu_macaddr_t;

/* An IP address. family is AF_INET or AF_INET6; an IPv4 address lies in
 * octet[0..3] (network order) with octet[4..15] zero, an IPv6 address in all
 * sixteen. Any other family is not an address and every operation refuses
 * it. */
typedef struct nu_ipaddr {
    uint16_t family;
    uint8_t octet[16];
} nu_ipaddr_t;

/* An address and its mask, kept as the mask's prefix length (0 to 32 for
 * IPv4, 0 to 128 for IPv6). The address keeps its host bits. */
typedef struct nu_ipcidr {
    nu_ipaddr_t addr;
    uint8_t prefix;
} nu_ipcidr_t;

/* Buffer sizes that hold any text with its NUL. */
#define NU_IPADDR_STRSIZE 46
#define NU_IPCIDR_STRSIZE 92
#define NU_MACADDR_STRSIZE 18

/* --- addresses ------------------------------------------------------- */

/* AF_INET or AF_INET6; AF_UNSPEC for anything that is not an address. */
NETUTIL_EXPORT int nu_ipaddr_family(const nu_ipaddr_t *a);

/* Orders addresses (neither NULL): by family, then octet by octet. 0 when
 * equal. */
NETUTIL_EXPORT int nu_ipaddr_cmp(const nu_ipaddr_t *a, const nu_ipaddr_t *b);

NETUTIL_EXPORT int nu_ipaddr_from_inaddr(const struct in_addr *src,
                                         nu_ipaddr_t *dst);
/* Refuses an IPv6 address. */
NETUTIL_EXPORT int nu_ipaddr_to_inaddr(const nu_ipaddr_t *src,
                                       struct in_addr *dst);

/* The IPv6 form: an IPv4 address as ::ffff:a.b.c.d. Refuses an AF_INET6
 * value holding the mapped form, which would come back as IPv4. */
NETUTIL_EXPORT int nu_ipaddr_to_in6addr(const nu_ipaddr_t *src,
                                        struct in6_addr *dst);
/* The mapped form becomes IPv4, anything else IPv6. */
NETUTIL_EXPORT int nu_ipaddr_from_in6addr(const struct in6_addr *src,
                                          nu_ipaddr_t *dst);

/* Text of at most 45 characters; refuses a buffer too small for it. */
NETUTIL_EXPORT int nu_ipaddr_to_str(const nu_ipaddr_t *src, char *buf,
                                    size_t size);
/* A dotted quad, or IPv6 text (a trailing dotted quad allowed). */
NETUTIL_EXPORT int nu_ipaddr_from_str(const char *text, nu_ipaddr_t *dst);

/* The mask of family (AF_INET, AF_INET6) with the first prefix bits set. */
NETUTIL_EXPORT int nu_ipaddr_make_mask(int family, unsigned prefix,
                                       nu_ipaddr_t *dst);
/* The number of leading one bits of a mask; refuses a mask whose one bits
 * are not a single leading run. */
NETUTIL_EXPORT int nu_ipaddr_mask_prefix(const nu_ipaddr_t *mask,
                                         unsigned *prefix);

/* --- address/mask pairs ---------------------------------------------- */

NETUTIL_EXPORT int nu_cidr_get_addr(const nu_ipcidr_t *src, nu_ipaddr_t *dst);
NETUTIL_EXPORT int nu_cidr_get_mask(const nu_ipcidr_t *src, nu_ipaddr_t *dst);
NETUTIL_EXPORT int nu_cidr_get_prefix(const nu_ipcidr_t *src, unsigned *dst);

/* Refuses a mask of another family than the address, or one that is not a
 * single leading run of one bits. */
NETUTIL_EXPORT int nu_cidr_set(const nu_ipaddr_t *addr, const nu_ipaddr_t *mask,
                               nu_ipcidr_t *dst);
/* Refuses a prefix longer than the address. */
NETUTIL_EXPORT int nu_cidr_set_prefix(const nu_ipaddr_t *addr, unsigned prefix,
                                      nu_ipcidr_t *dst);

/* "address/prefix", at most 91 characters (49 in practice). */
NETUTIL_EXPORT int nu_cidr_to_str(const nu_ipcidr_t *src, char *buf,
                                  size_t size);
/* "address/prefix"; the prefix is required. A mapped address is IPv4, so
 * its prefix counts from the IPv4 part (0 to 32). */
NETUTIL_EXPORT int nu_cidr_from_str(const char *text, nu_ipcidr_t *dst);

/* --- MAC addresses ------------------------------------------------------ */

NETUTIL_EXPORT int nu_macaddr_to_str(const nu_macaddr_t *src, char *buf,
                                     size_t size);
NETUTIL_EXPORT int nu_macaddr_from_str(const char *text, nu_macaddr_t *dst);

#ifdef __cplusplus
}
#endif

#endif /* NETUTIL_H */
