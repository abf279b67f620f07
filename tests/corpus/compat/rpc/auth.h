/* See types.h: what key_prot.x takes from the RPC library's auth.h. */
#ifndef QUILLET_COMPAT_RPC_AUTH_H
#define QUILLET_COMPAT_RPC_AUTH_H
#include <rpc/types.h>
#define MAXNETNAMELEN 255
union des_block {
    struct {
        uint32_t high;
        uint32_t low;
    } key;
    char c[8];
};
typedef union des_block des_block;
#endif
