/*
 * Network address types: MAC addresses, IP addresses of either family, and
 * address/mask pairs. Operations return 0 for success and non-zero for
 * failure; the source comes first and the destination last.
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

/* An IP address of either family, and an address with its mask. */
typedef struct nu_ipaddr nu_ipaddr_t;
typedef struct nu_ipcidr nu_ipcidr_t;

#ifdef __cplusplus
}
#endif

#endif /* NETUTIL_H */
