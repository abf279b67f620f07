// A leak check that needs no sanitizer: every test executable counts the
// heap blocks it has live. Under ASan the sanitizer's allocator is in
// charge, and its byte count serves the same purpose.
#include <atomic>
#include <cstddef>

#include "support.h"

#if defined(QT_ASAN)
#include <sanitizer/allocator_interface.h>

long qt::heap_live() { return static_cast<long>(__sanitizer_get_current_allocated_bytes()); }

#else

extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void __libc_free(void *);
}

namespace {
std::atomic<long> live{0};
}

extern "C" {
void *malloc(size_t n)
{
    void *p = __libc_malloc(n);
    if (p)
        ++live;
    return p;
}
void *calloc(size_t n, size_t size)
{
    void *p = __libc_calloc(n, size);
    if (p)
        ++live;
    return p;
}
void *realloc(void *p, size_t n)
{
    void *q = __libc_realloc(p, n);
    if (!p && q)
        ++live;
    else if (p && !q && n == 0)
        --live; // realloc(p, 0) freed p
    return q;
}
void free(void *p)
{
    if (p)
        --live;
    __libc_free(p);
}
}

long qt::heap_live() { return live.load(); }

#endif
