/* What the README's sample does, against an installed tree: a map fed in
 * pieces to an incremental stream, then coded back and freed, through
 * axdr_map_t and the runtime alone. With --as-needed the program then lists
 * neither libstrmap nor libnetutil; libquillet must find them itself. */
#include <stdio.h>
#include <string.h>

#include <axdr_runtime.h>
#include <quillet/quillet.h>

/* The package's flags must give the 64-bit rlim_t that the filters use. */
#if !defined(_FILE_OFFSET_BITS) || _FILE_OFFSET_BITS != 64
#error "the package did not define _FILE_OFFSET_BITS=64"
#endif

/* { host = "example", a = "x" } */
static const unsigned char wire[] = {
    0, 0, 0, 2,
    0, 0, 0, 4, 'h', 'o', 's', 't', 0, 0, 0, 7, 'e', 'x', 'a', 'm', 'p', 'l', 'e', 0,
    0, 0, 0, 1, 'a', 0, 0, 0, 0, 0, 0, 1, 'x', 0, 0, 0,
};

int main(void)
{
    map_t m;
    unsigned char back[sizeof wire];
    memset(&m, 0, sizeof m);

    axdr_stream_t *s = axdr_incr_create(AXDR_DECODE, 0);
    int r = s ? AXDR_PENDING : AXDR_FALSE;
    for (size_t at = 0; r == AXDR_PENDING;) {
        if (at < sizeof wire) {
            size_t n = sizeof wire - at < 5 ? sizeof wire - at : 5;
            if (axdr_feed(s, wire + at, n) != 0)
                break;
            at += n;
        } else {
            axdr_feed_end(s);
        }
        r = axdr_map_t(s, &m);
    }

    axdr_stream_t *enc = axdr_mem_create(back, sizeof back, AXDR_ENCODE);
    int ok = r == AXDR_TRUE && enc && axdr_map_t(enc, &m) == AXDR_TRUE &&
             axdr_getpos(enc) == sizeof wire && memcmp(back, wire, sizeof wire) == 0;
    printf("%s: %d bytes decoded and coded back\n", ok ? "ok" : "FAILED", (int)sizeof wire);

    if (s) {
        s->x_op = AXDR_FREE;
        axdr_map_t(s, &m);
    }
    axdr_destroy(enc);
    axdr_destroy(s);
    return ok ? 0 : 1;
}
