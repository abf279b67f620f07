/* One corpus file's types, as a table the corpus tests walk: each entry
 * names a type, its size and our generated filter for it. The tables are
 * written at build time from the file (tables.cmake). */
#ifndef QUILLET_TESTS_CORPUS_H
#define QUILLET_TESTS_CORPUS_H

#include <stddef.h>

#include <quillet/axdr.h>

#ifdef __cplusplus
extern "C" {
#endif

struct qc_type { const char *name; size_t size; int (*code)(axdr_stream_t *s, void *obj); };
/* A file's table is qc_file_<file>. */
struct qc_file { const char *name; const struct qc_type *types; size_t count; };

/* rpcgen's filter for the t-th type of the file over libtirpc's memory streams (native
 * builds only): decodes in[0..len); when it accepts, *used gets the bytes
 * it took and out[0..*out_len) its re-encoding of the value. 1 accepted,
 * 0 refused, -1 accepted but the re-encoding failed. */
int qc_rpc_recode(size_t t, const unsigned char *in, size_t len, size_t *used,
                  unsigned char *out, size_t cap, size_t *out_len);

#ifdef __cplusplus
}
#endif

#endif
