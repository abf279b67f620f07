/* key_prot.x names des_block, which the RPC library defines: its filter,
 * as the library codes it (eight bytes of opaque data). */
#include <rpc/rpc.h>

#include <axdr_types.h>

int axdr_des_block(axdr_stream_t *s, des_block *v);
int axdr_des_block(axdr_stream_t *s, des_block *v) { return axdr_opaque(s, v->c, 8); }
