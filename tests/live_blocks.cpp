// A leak check that needs no sanitizer: every test executable counts the
// heap blocks it has live. Under ASan the sanitizer's allocator is in
// charge, and its byte count serves the same purpose.
#include <atomic>
#include <cstddef>

#include "support.h"

#if defined(QT_ASAN)
#include <sanitizer/allocator_interface.h>

// The blocks the runtime keeps for reuse are no leak.
long qt::heap_live()
{
    axdr_thread_release();
    return static_cast<long>(__sanitizer_get_current_allocated_bytes());
}

// No peak here: callers sample after each call, when it is highest.
size_t qt::heap_peak_since_reset() { return __sanitizer_get_current_allocated_bytes(); }
size_t qt::heap_peak_reset() { return __sanitizer_get_current_allocated_bytes(); }

#else

#include <malloc.h>

extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void __libc_free(void *);
}

namespace {
std::atomic<long> live{0};
std::atomic<size_t> bytes{0}, peak{0};

void note(size_t now)
{
    if (now > peak.load(std::memory_order_relaxed))
        peak.store(now, std::memory_order_relaxed);
}

// A new block (p may be null): one more live, its bytes counted.
void *counted(void *p)
{
    if (p) {
        ++live;
        note(bytes += malloc_usable_size(p));
    }
    return p;
}
} // namespace

extern "C" {
void *malloc(size_t n) { return counted(__libc_malloc(n)); }
void *calloc(size_t n, size_t size) { return counted(__libc_calloc(n, size)); }
// A block that moves is copied from the old one: both count at the peak.
void *realloc(void *p, size_t n)
{
    if (!p)
        return counted(__libc_realloc(p, n));
    const size_t old = malloc_usable_size(p);
    void *q = __libc_realloc(p, n);
    if (!q) {
        if (n == 0) { // realloc(p, 0) freed p
            --live;
            bytes -= old;
        }
        return q;
    }
    bytes -= q == p ? old : 0; // in place: only the new size counts
    note(bytes += malloc_usable_size(q));
    bytes -= q == p ? 0 : old;
    return q;
}
void free(void *p)
{
    if (p) {
        --live;
        bytes -= malloc_usable_size(p);
    }
    __libc_free(p);
}
}

long qt::heap_live()
{
    axdr_thread_release(); // blocks kept for reuse are no leak
    return live.load();
}
size_t qt::heap_peak_since_reset() { return peak.load(); }
size_t qt::heap_peak_reset() { return peak = bytes.load(); }

#endif
