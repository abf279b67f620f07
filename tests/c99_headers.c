/* Compiled as strict C99: every public header must be usable from C. */
#include <quillet/quillet.h>
#include <axdr_runtime.h>
#include <axdr_types.h>
#include <netutil.h>
#include <strmap.h>

int c99_headers_probe(void);
int c99_headers_probe(void) {
    axdr_filter_t f = axdr_wrapstring;
    int (*g)(axdr_stream_t *, struct rlimit *) = axdr_rlimit;
    return (f != 0) + (g != 0) + AXDR_PENDING;
}
