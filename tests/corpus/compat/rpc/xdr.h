/* See types.h: the stream type that hand-written declarations name. */
#ifndef QUILLET_COMPAT_RPC_XDR_H
#define QUILLET_COMPAT_RPC_XDR_H
#include <rpc/types.h>
typedef struct XDR XDR;
#endif
