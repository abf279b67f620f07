/* rpcgen's side of the corpus tables: libtirpc types stay in the C files
 * that include this, apart from ours (the C type names are the same). */
#ifndef QUILLET_TESTS_RPC_BRIDGE_H
#define QUILLET_TESTS_RPC_BRIDGE_H

#include <rpc/rpc.h>

struct qc_rpc_type { const char *name; size_t size; bool_t (*code)(XDR *x, void *obj); };
extern const struct qc_rpc_type qc_rpc_types[];
extern const size_t qc_rpc_count;

/* What rpcgen's code calls instead of libtirpc's own (rpc_bridge.c). */
bool_t qc_xdr_array(XDR *x, char **ap, u_int *sp, u_int max, u_int size, xdrproc_t p);
bool_t qc_xdr_bytes(XDR *x, char **cp, u_int *sp, u_int max);
bool_t qc_xdr_string(XDR *x, char **cp, u_int max);
bool_t qc_xdr_wrapstring(XDR *x, char **cp);

#endif
