// Resource limits: rlim_t as an XDR unsigned hyper, struct rlimit as its two
// limits in order.

#include <quillet/quillet.h>

#include <cstdint>

#include "straight.h"

static_assert(sizeof(rlim_t) == sizeof(uint64_t), "rlim_t travels as a 64-bit hyper");

extern "C" int axdr_rlim_t(axdr_stream_t *s, rlim_t *v)
{
    uint64_t copy = *v;
    const int r = axdr_u_int64_t_fast(s, &copy);
    // Stored back whatever the result: a primitive that did not write the
    // copy leaves the old limit.
    *v = copy;
    return r;
}

// axdr_element calls its filter through axdr_filter_t; calling axdr_rlim_t
// through that type would be a call through the wrong function type.
static int rlim_element(axdr_stream_t *s, void *v)
{
    return axdr_rlim_t(s, static_cast<rlim_t *>(v));
}

extern "C" int axdr_rlimit(axdr_stream_t *s, struct rlimit *rl)
{
#if !QUILLET_CONTRACT
    // Both limits in the window: as the two elements move them.
    if (unsigned char *p = axdr_take_unit_(s, 16, 2, 1)) {
        uint64_t cur = rl->rlim_cur, max = rl->rlim_max;
        axdr_word64_(s, p, &cur);
        axdr_word64_(s, p + 8, &max);
        rl->rlim_cur = cur;
        rl->rlim_max = max;
        return AXDR_TRUE;
    }
#endif
    const auto self = reinterpret_cast<axdr_self_t>(&axdr_rlimit);
    axdr_print_ctx_t pctx = 0;
    int state = 0;
    axdr_frame_t frame;
    int r = axdr_async_setup(s, self, &frame, &state, 0, nullptr);
    if (r != AXDR_TRUE)
        return r;
    switch (state) {
    case 0: // the soft limit
        r = axdr_element_fast(s, ".rlim_cur", 1, rlim_element, &rl->rlim_cur, &pctx);
        if (r != AXDR_TRUE)
            break;
        state = 1;
        [[fallthrough]];
    case 1: // the hard limit
        r = axdr_element_fast(s, ".rlim_max", 0, rlim_element, &rl->rlim_max, &pctx);
        if (r != AXDR_TRUE)
            break;
        state = 2;
        if (s->x_op != AXDR_PRINT)
            break;
        [[fallthrough]];
    case 2: // closing the printed pair; a pending close is made again here
        r = s->x_op == AXDR_PRINT ? s->x_ops->x_print_element(s, nullptr, 0, &pctx) : AXDR_FALSE;
        break;
    default: // a state this filter never stores
        r = AXDR_FALSE;
    }
    axdr_async_teardown(s, self, state, frame, r);
    return r;
}
