/* See types.h. */
#include <rpc/xdr.h>
