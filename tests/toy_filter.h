// A toy two-level resumable filter for exercising the runtime's frames.
#ifndef QUILLET_TESTS_TOY_FILTER_H
#define QUILLET_TESTS_TOY_FILTER_H

#include <quillet/axdr.h>

namespace qt {

// A toy two-level resumable filter: the outer sends a count and then that
// many inner items; the inner sends two ints with a scratch record.
struct Toy {
    int n;
    int a[8];
    int b[8];
};

inline int toy_inner(axdr_stream_t *s, Toy *t, int i);

inline int toy_outer(axdr_stream_t *s, Toy *t)
{
    const auto self = reinterpret_cast<axdr_self_t>(&toy_outer);
    int state = 0;
    axdr_frame_t frame;
    int r = axdr_async_setup(s, self, &frame, &state, 0, nullptr);
    if (r != AXDR_TRUE)
        return r;
    switch (state) {
    case 0:
        r = axdr_int(s, &t->n);
        if (r != AXDR_TRUE)
            break;
        if (t->n < 0 || t->n > 8) {
            r = AXDR_FALSE; // more items than the object holds
            break;
        }
        state = 1;
        [[fallthrough]];
    default:
        for (int i = state - 1; i < t->n; i = state - 1) {
            r = toy_inner(s, t, i);
            if (r != AXDR_TRUE)
                break;
            state = i + 2;
        }
    }
    axdr_async_teardown(s, self, state, frame, r);
    return r;
}

inline int toy_inner(axdr_stream_t *s, Toy *t, int i)
{
    const auto self = reinterpret_cast<axdr_self_t>(&toy_inner);
    struct scratch {
        int a;
        int b;
    } local{0, 0};
    void *sp = &local;
    int state = 0;
    axdr_frame_t frame;
    int r = axdr_async_setup(s, self, &frame, &state, sizeof local, &sp);
    if (r != AXDR_TRUE)
        return r;
    auto *sc = static_cast<scratch *>(sp);
    switch (state) {
    case 0:
        sc->a = t->a[i];
        sc->b = t->b[i];
        state = 1;
        [[fallthrough]];
    case 1:
        r = axdr_int(s, &sc->a);
        if (r != AXDR_TRUE)
            break;
        state = 2;
        [[fallthrough]];
    case 2:
        r = axdr_int(s, &sc->b);
        if (r != AXDR_TRUE)
            break;
        state = 3;
        t->a[i] = sc->a;
        t->b[i] = sc->b;
        break;
    default:
        r = AXDR_FALSE;
    }
    axdr_async_teardown(s, self, state, frame, r);
    return r;
}

} // namespace qt

#endif
