/* What the corpus files' own C lines take from the RPC library's headers,
 * for our side of the corpus tests: the generated filters need no RPC
 * library, and the 32-bit target has none. */
#ifndef QUILLET_COMPAT_RPC_TYPES_H
#define QUILLET_COMPAT_RPC_TYPES_H
#include <axdr_types.h>
#endif
