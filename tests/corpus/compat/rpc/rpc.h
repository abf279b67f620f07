/* See types.h. */
#include <rpc/xdr.h>
#include <rpc/auth.h>
