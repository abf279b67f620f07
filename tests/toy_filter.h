// A toy two-level resumable filter for exercising the runtime's frames: the
// outer sends a count and then that many inner items; the inner sends two
// ints through a scratch record.
#ifndef QUILLET_TESTS_TOY_FILTER_H
#define QUILLET_TESTS_TOY_FILTER_H

#include <quillet/axdr.h>

namespace qt {

struct Toy {
    int n;
    int a[8];
    int b[8];
};

// State k: the first k ints of the record are done.
inline int toy_inner(axdr_stream_t *s, Toy *t, int i)
{
    const auto self = reinterpret_cast<axdr_self_t>(&toy_inner);
    int local[2] = {t->a[i], t->b[i]};
    void *sp = local;
    int state = 0;
    axdr_frame_t frame;
    int r = axdr_async_setup(s, self, &frame, &state, sizeof local, &sp);
    if (r != AXDR_TRUE)
        return r;
    int *sc = static_cast<int *>(sp);
    while (r == AXDR_TRUE && state < 2)
        if ((r = axdr_int(s, &sc[state])) == AXDR_TRUE)
            ++state;
    if (r == AXDR_TRUE && state == 2) {
        t->a[i] = sc[0];
        t->b[i] = sc[1];
    } else if (r == AXDR_TRUE) {
        r = AXDR_FALSE;
    }
    axdr_async_teardown(s, self, state, frame, r);
    return r;
}

// State 0: the count; state i + 1: items before i are done.
inline int toy_outer(axdr_stream_t *s, Toy *t)
{
    const auto self = reinterpret_cast<axdr_self_t>(&toy_outer);
    int state = 0;
    axdr_frame_t frame;
    int r = axdr_async_setup(s, self, &frame, &state, 0, nullptr);
    if (r != AXDR_TRUE)
        return r;
    if (state == 0 && (r = axdr_int(s, &t->n)) == AXDR_TRUE) {
        if (t->n < 0 || t->n > 8)
            r = AXDR_FALSE; // more items than the object holds
        state = 1;
    }
    for (int i = state - 1; r == AXDR_TRUE && i < t->n; i = state - 1)
        if ((r = toy_inner(s, t, i)) == AXDR_TRUE)
            state = i + 2;
    axdr_async_teardown(s, self, state, frame, r);
    return r;
}

} // namespace qt

#endif
