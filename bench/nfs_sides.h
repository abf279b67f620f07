/* nfs_prot.x's types through both code generators, behind byte buffers:
 * ours (nfs_ours.c, quilletc's filters) and rpcgen's over libtirpc's
 * memory streams (nfs_rpc.c). The C type names are the same on both sides,
 * so each lives in its own file. */
#ifndef QUILLET_BENCH_NFS_SIDES_H
#define QUILLET_BENCH_NFS_SIDES_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

enum { NB_FATTR, NB_READDIRRES, NB_READRES, NB_CASES };

/* One side: decode wire into a fresh value and release it; encode the
 * value loaded from wire into buf. 1 on success. */
struct nb_side {
    int (*decode)(int c, const void *wire, size_t len);
    void *(*load)(int c, const void *wire, size_t len);
    int (*encode)(int c, void *obj, void *buf, size_t cap);
    void (*unload)(int c, void *obj);
};
extern const struct nb_side nb_ours, nb_rpc;

/* Ours through an incremental stream, fed in pieces (0: all at once). */
int nb_ours_pieces(int c, const void *wire, size_t len, size_t piece);

#ifdef __cplusplus
}
#endif

#endif
