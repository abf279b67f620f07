/* Hooks for the library's own tests; not part of its interface. Only the
 * test build of the library (STRMAP_TESTING: libstrmap_testing, never
 * installed) has them: the shipped library must not let anyone replace the
 * process secret. */
#ifndef STRMAP_TESTING_H
#define STRMAP_TESTING_H

#include "strmap.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Replaces the process secret with key and restarts the per-table
 * sequence, so that runs repeat. Not thread-safe. */
STRMAP_EXPORT void strmap_testing_fix_key(const unsigned char key[16]);
/* The bare keyed function over len bytes; key as the process secret. */
STRMAP_EXPORT uint32_t strmap_testing_hash(const unsigned char key[16], const void *in, size_t len);
/* The table's hash of key. */
STRMAP_EXPORT uint32_t strmap_testing_table_hash(const struct strmap_table *t, const char *key);
/* The number of keys in the fullest bucket. */
STRMAP_EXPORT uint32_t strmap_testing_longest_chain(const struct strmap_table *t);

#ifdef __cplusplus
}
#endif

#endif
