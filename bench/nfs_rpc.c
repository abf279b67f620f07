/* rpcgen's filters for nfs_prot.x over libtirpc's memory streams. */
#include <stdlib.h>

#include "nfs_prot.h"
#include "nfs_sides.h"

static xdrproc_t proc(int c)
{
    return c == NB_FATTR ? (xdrproc_t)xdr_fattr : c == NB_READDIRRES ? (xdrproc_t)xdr_readdirres
                                                                     : (xdrproc_t)xdr_readres;
}

static size_t size(int c)
{
    return c == NB_FATTR ? sizeof(fattr) : c == NB_READDIRRES ? sizeof(readdirres) : sizeof(readres);
}

/* rpcgen's filters are called as rpcgen's own stubs call them. */
static bool_t run(int c, XDR *x, void *obj)
{
    switch (c) {
    case NB_FATTR: return xdr_fattr(x, obj);
    case NB_READDIRRES: return xdr_readdirres(x, obj);
    default: return xdr_readres(x, obj);
    }
}

static void *load(int c, const void *wire, size_t len)
{
    void *obj = calloc(1, size(c));
    XDR x;
    xdrmem_create(&x, (char *)(size_t)wire, (u_int)len, XDR_DECODE);
    if (!obj || !run(c, &x, obj)) {
        free(obj);
        return NULL;
    }
    return obj;
}

static void unload(int c, void *obj)
{
    xdr_free(proc(c), obj);
    free(obj);
}

static int decode(int c, const void *wire, size_t len)
{
    union {
        fattr f;
        readdirres d;
        readres r;
    } v = {0};
    XDR x;
    int ok;
    xdrmem_create(&x, (char *)(size_t)wire, (u_int)len, XDR_DECODE);
    ok = run(c, &x, &v);
    xdr_free(proc(c), (char *)&v);
    return ok;
}

static int encode(int c, void *obj, void *buf, size_t cap)
{
    XDR x;
    xdrmem_create(&x, buf, (u_int)cap, XDR_ENCODE);
    return run(c, &x, obj);
}

const struct nb_side nb_rpc = {decode, load, encode, unload};
