// The limit for these containers: straight-line, non-resumable loops over a
// whole buffer, each string copied into a reused buffer and inserted, no
// allocation of their own. Bounds are checked; the rest of the validation
// our filters do (NUL bytes, padding) is left out, so this is an upper bound.
#ifndef QUILLET_BENCH_IDEAL_H
#define QUILLET_BENCH_IDEAL_H

#include <cstddef>
#include <cstdint>

#include <strmap.h>

// TRUE (1) when the whole message decoded into *m (initialised here).
int ideal_map_decode(const uint8_t *p, size_t n, map_t *m);
int ideal_multimap_decode(const uint8_t *p, size_t n, multimap_t *m);
// Bytes written, 0 when out is too small.
size_t ideal_map_encode(const map_t *m, uint8_t *out, size_t cap);

#endif
