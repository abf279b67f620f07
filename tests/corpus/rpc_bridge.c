/* rpcgen's filters behind byte buffers, and the allocation guard under
 * them: rpcgen's code reaches xdr_array, xdr_bytes and xdr_string through
 * these (see CMakeLists.txt), which refuse a count the rest of the buffer
 * cannot hold before libtirpc allocates for it. Such a count fails anyway
 * once the bytes run out (every XDR item takes at least 4 bytes), so the
 * verdicts are libtirpc's own, without gigabyte allocations on hostile
 * lengths. */
/* The library's own functions here, not the guards. */
#undef xdr_array
#undef xdr_bytes
#undef xdr_string
#undef xdr_wrapstring

#include <arpa/inet.h>
#include <stdlib.h>
#include <string.h>

#include "corpus.h"
#include "rpc_bridge.h"

/* The count announced next on a memory decode stream, if it exceeds what
 * is left after it in units of `unit` bytes. */
static int too_long(XDR *x, u_int unit)
{
    uint32_t n;
    if (x->x_op != XDR_DECODE || x->x_handy < 4)
        return 0;
    memcpy(&n, x->x_private, 4);
    return ntohl(n) > (x->x_handy - 4) / unit;
}

bool_t qc_xdr_array(XDR *x, char **ap, u_int *sp, u_int max, u_int size, xdrproc_t p)
{
    return !too_long(x, 4) && xdr_array(x, ap, sp, max, size, p);
}

bool_t qc_xdr_bytes(XDR *x, char **cp, u_int *sp, u_int max) { return !too_long(x, 1) && xdr_bytes(x, cp, sp, max); }

bool_t qc_xdr_string(XDR *x, char **cp, u_int max) { return !too_long(x, 1) && xdr_string(x, cp, max); }

bool_t qc_xdr_wrapstring(XDR *x, char **cp) { return qc_xdr_string(x, cp, ~0u); }

int qc_rpc_recode(size_t t, const unsigned char *in, size_t len, size_t *used,
                  unsigned char *out, size_t cap, size_t *out_len)
{
    const struct qc_rpc_type *ty = &qc_rpc_types[t];
    void *obj = calloc(1, ty->size);
    XDR x;
    int r;
    if (!obj)
        abort();
    xdrmem_create(&x, (char *)(uintptr_t)in, (u_int)len, XDR_DECODE);
    r = ty->code(&x, obj) ? 1 : 0;
    *used = xdr_getpos(&x);
    xdr_destroy(&x);
    if (r) {
        xdrmem_create(&x, (char *)out, (u_int)cap, XDR_ENCODE);
        r = ty->code(&x, obj) ? 1 : -1;
        *out_len = xdr_getpos(&x);
        xdr_destroy(&x);
    }
    x.x_op = XDR_FREE; /* what xdr_free does, without its cast */
    ty->code(&x, obj);
    free(obj);
    return r;
}
