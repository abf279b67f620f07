/*
 * String-keyed hash containers.
 *
 *   map_t       one string value per key
 *   arraymap_t  any number of string values per key, indexable
 *   multimap_t  any number of string values per key
 *
 * Keys and values are NUL-terminated strings; every insertion copies them.
 * Keys iterate in insertion order, and so do each key's values. Status
 * operations return 0 for success and non-zero for failure; a failed
 * operation leaves the container's contents as they were.
 *
 * A container without a cap that holds at most 16 keys and 16 values,
 * whose strings take at most 1 KiB with their terminators, lives in one
 * allocation.
 *
 * Strings handed out stay valid until the container is destroyed: they are
 * never moved by later insertions. Cursors stay valid while the container
 * does not change, and may be copied byte for byte.
 *
 * Compiles as C99 and as C++.
 */
#ifndef STRMAP_H
#define STRMAP_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define STRMAP_EXPORT __attribute__((visibility("default")))
#else
#define STRMAP_EXPORT
#endif

struct strmap_table; /* private */

/* Replaces the allocator of every container (NULL, NULL: the C library's).
 * realloc_fn(NULL, n) allocates; free_fn(p) releases. Set it while no
 * container holds memory. */
STRMAP_EXPORT void strmap_set_allocator(void *(*realloc_fn)(void *, size_t),
                                        void (*free_fn)(void *));

/* The containers. Zero them or call *_init before use. The table is
 * allocated by the first insertion; hashsize is the bucket count asked for
 * until then (0: the default); limit is the cap set by *_setlimit (0: none). */
typedef struct map { struct strmap_table *t; uint32_t magic; uint32_t hashsize; size_t limit; } map_t;
typedef struct arraymap { struct strmap_table *t; uint32_t magic; uint32_t hashsize; size_t limit; } arraymap_t;
typedef struct multimap { struct strmap_table *t; uint32_t magic; uint32_t hashsize; size_t limit; } multimap_t;

/* Memory. Every container can report and cap what it holds:
 *
 *   *_footprint  the bytes it holds now: table, buckets, key and value
 *                records, strings; the sum of the sizes it asked its
 *                allocator for and still holds. 0 before the first
 *                insertion. O(1).
 *   *_setlimit   caps the footprint at max_bytes (0: no cap, the default),
 *                at any time. An insertion that would take the footprint
 *                past the cap fails and changes nothing. Under a cap the
 *                bucket array is made smaller instead (at most a quarter of
 *                the cap, and never grown past it), and arrays and string
 *                chunks grow by less than usual when the usual growth does
 *                not fit. A cap below the current footprint only stops
 *                growth. Returns 0. Destroy and init remove the cap.
 *
 * Keys are hashed with a secret drawn once per process and varied per
 * table, so a peer cannot choose keys that share a bucket. The secret comes
 * from getrandom, or /dev/urandom on a kernel without it. While neither
 * gives strong bytes (early in boot, before the kernel's pool is ready;
 * without /dev), the secret is /dev/urandom's early bytes or, failing
 * those, a mix of the clocks, a stack address and the pid: each new table
 * tries the strong source again, but a table made before it answered keeps
 * its weaker key for life, and a peer who can guess those inputs can aim
 * its keys at one bucket of it. A child made by fork() draws a secret of
 * its own before its first table (tables it inherited keep theirs); one
 * made by a bare clone() system call shares its parent's. */

/* Cursors: plain records, valid while the container does not change. */
typedef struct map_cursor { const struct strmap_table *t; uint32_t key; } map_cursor_t;
typedef struct arraymap_key_cursor { const struct strmap_table *t; uint32_t key; } arraymap_key_cursor_t;
typedef struct arraymap_value_cursor { const struct strmap_table *t; uint32_t key; uint32_t value; uint32_t index; } arraymap_value_cursor_t;
typedef struct multimap_key_cursor { const struct strmap_table *t; uint32_t key; } multimap_key_cursor_t;
typedef struct multimap_value_cursor { const struct strmap_table *t; uint32_t key; uint32_t value; } multimap_value_cursor_t;

/* --- map_t ---------------------------------------------------------- */

/* Prepares an empty map, whatever *m held: it reads nothing, so it takes
 * uninitialised memory, and a map that holds nothing yet (which holds no
 * memory either) can be prepared again. A map with entries must be
 * destroyed first, or they leak. */
STRMAP_EXPORT int map_init(map_t *m);
/* Sets the bucket count (a power of two, at most 2^30 and addressable)
 * before the first insertion; the table still grows when the keys
 * outnumber the buckets. */
STRMAP_EXPORT int map_sethashsize(map_t *m, uint32_t size);
/* The bucket count: the table's, or before the first insertion the one
 * asked for (0: none, the default will be used). */
STRMAP_EXPORT uint32_t map_hashsize(const map_t *m);
/* Adds key -> value; refuses (non-zero) a key that is already present. */
STRMAP_EXPORT int map_insert_str(map_t *m, const char *key, const char *value);
/* The value of key, or NULL. */
STRMAP_EXPORT const char *map_get(const map_t *m, const char *key);
/* Stores the number of keys in *count; 0 on success. */
STRMAP_EXPORT int map_key_count(const map_t *m, int *count);
/* Puts c on the first key (insertion order) and returns it; NULL if empty. */
STRMAP_EXPORT const char *map_first(const map_t *m, map_cursor_t *c);
/* Moves c to the next key and returns it; NULL after the last. */
STRMAP_EXPORT const char *map_next(map_cursor_t *c);
/* The key under c, or NULL when c is past the end. */
STRMAP_EXPORT const char *map_key(const map_cursor_t *c);
/* The value of the key under c, or NULL when c is past the end. */
STRMAP_EXPORT const char *map_value(const map_cursor_t *c);
/* Releases everything; the map is empty and can be initialised again. */
STRMAP_EXPORT int map_destroy(map_t *m);
/* See "Memory" above. */
STRMAP_EXPORT size_t map_footprint(const map_t *m);
STRMAP_EXPORT int map_setlimit(map_t *m, size_t max_bytes);

/* --- arraymap_t ----------------------------------------------------- */

STRMAP_EXPORT int arraymap_init(arraymap_t *m);
/* As map_sethashsize. */
STRMAP_EXPORT int arraymap_sethashsize(arraymap_t *m, uint32_t size);
/* As map_hashsize. */
STRMAP_EXPORT uint32_t arraymap_hashsize(const arraymap_t *m);
/* Appends value to key's values, creating the key when absent. */
STRMAP_EXPORT int arraymap_insert_str(arraymap_t *m, const char *key, const char *value);
/* Stores the number of keys in *count; 0 on success. */
STRMAP_EXPORT int arraymap_key_count(const arraymap_t *m, int *count);
/* Puts kc on the first key (insertion order) and returns it; NULL if empty. */
STRMAP_EXPORT const char *arraymap_key_first(const arraymap_t *m, arraymap_key_cursor_t *kc);
/* Moves kc to the next key and returns it; NULL after the last. */
STRMAP_EXPORT const char *arraymap_key_next(arraymap_key_cursor_t *kc);
/* The key under kc, or NULL when kc is past the end. */
STRMAP_EXPORT const char *arraymap_key_elem(const arraymap_key_cursor_t *kc);
/* Sets vc on key's first value and returns it; NULL when key has none. */
STRMAP_EXPORT const char *arraymap_value_first(const arraymap_t *m, const char *key, arraymap_value_cursor_t *vc);
/* Moves vc to the key's next value and returns it; NULL after the last. */
STRMAP_EXPORT const char *arraymap_value_next(arraymap_value_cursor_t *vc);
/* The number of values of vc's key. */
STRMAP_EXPORT int arraymap_value_count(const arraymap_value_cursor_t *vc);
/* Position of the value under vc, from 0; the count once past the last. */
STRMAP_EXPORT int arraymap_value_index(const arraymap_value_cursor_t *vc);
/* Value i of key, or NULL. */
STRMAP_EXPORT const char *arraymap_value_at(const arraymap_t *m, const char *key, int i);
/* Releases everything; the container can be initialised again. */
STRMAP_EXPORT int arraymap_destroy(arraymap_t *m);
/* See "Memory" above. */
STRMAP_EXPORT size_t arraymap_footprint(const arraymap_t *m);
STRMAP_EXPORT int arraymap_setlimit(arraymap_t *m, size_t max_bytes);

/* --- multimap_t ----------------------------------------------------- */

STRMAP_EXPORT int multimap_init(multimap_t *m);
/* As map_sethashsize. */
STRMAP_EXPORT int multimap_sethashsize(multimap_t *m, uint32_t size);
/* As map_hashsize. */
STRMAP_EXPORT uint32_t multimap_hashsize(const multimap_t *m);
/* Appends value to key's values, creating the key when absent. */
STRMAP_EXPORT int multimap_insert_str(multimap_t *m, const char *key, const char *value);
/* Stores the number of keys in *count; 0 on success. */
STRMAP_EXPORT int multimap_key_count(const multimap_t *m, int *count);
/* Puts kc on the first key (insertion order) and returns it; NULL if empty. */
STRMAP_EXPORT const char *multimap_key_first(const multimap_t *m, multimap_key_cursor_t *kc);
/* Moves kc to the next key and returns it; NULL after the last. */
STRMAP_EXPORT const char *multimap_key_next(multimap_key_cursor_t *kc);
/* The key under kc, or NULL when kc is past the end. */
STRMAP_EXPORT const char *multimap_key_elem(const multimap_key_cursor_t *kc);
/* Sets vc on key's first value and returns it; NULL when key has none. */
STRMAP_EXPORT const char *multimap_value_first(const multimap_t *m, const char *key, multimap_value_cursor_t *vc);
/* Moves vc to the key's next value and returns it; NULL after the last. */
STRMAP_EXPORT const char *multimap_value_next(multimap_value_cursor_t *vc);
/* The number of values of vc's key. */
STRMAP_EXPORT int multimap_value_count(const multimap_value_cursor_t *vc);
/* Releases everything; the container can be initialised again. */
STRMAP_EXPORT int multimap_destroy(multimap_t *m);
/* See "Memory" above. */
STRMAP_EXPORT size_t multimap_footprint(const multimap_t *m);
STRMAP_EXPORT int multimap_setlimit(multimap_t *m, size_t max_bytes);

#ifdef __cplusplus
}
#endif

#endif /* STRMAP_H */
