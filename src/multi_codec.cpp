// The step machines of the multi-valued containers, once for both: each
// runs over the multi_codec table of the container it is given.

#include "multi_codec.h"

#include <err.h>

#include "container_codec.h"

namespace {

// A container and its codec: the container level's view of either.
struct bound {
    void *m;
    const multi_codec *c;
};

#if !QUILLET_CONTRACT
// A key's group wholly in the window, every string well formed: the values
// inserted as decode_values inserts them. An insertion that fails ends the
// group where decode_values ends it.
[[gnu::always_inline]] inline int group_straight(axdr_stream_t *s, const bound *b)
{
    const unsigned char *const p = s->x_cur;
    const unsigned char *const end = p + axdr_room_(s);
    const unsigned char *kd, *d;
    uint32_t kl, len;
    const unsigned char *q = axdr_string_at_(p, end, &kd, &kl);
    if (!q || end - q < 4)
        return take_steps;
    const int count = static_cast<int>(axdr_load32_(q));
    q += 4;
    char buf[straight_buf];
    size_t used = 0;
    const char *key = wire_cstring(kd, kl, buf, sizeof buf, &used);
    if (!key || count < 0)
        return take_steps;
    // Every value whole and well formed before the first insertion; each
    // ends before end, so the walk is bounded by the window.
    const unsigned char *const values = q;
    size_t longest = 0;
    for (int i = 0; i < count; i++) {
        q = axdr_string_at_(q, end, &d, &len);
        if (!q)
            return take_steps;
        if (!(len & 3u) && len > longest)
            longest = len;
    }
    if (longest >= sizeof buf - used)
        return take_steps;
    q = values;
    for (int i = 0; i < count; i++) {
        len = axdr_load32_(q);
        size_t at = used;
        const char *value = wire_cstring(q + 4, len, buf, sizeof buf, &at);
        q += 4 + ((size_t{len} + 3) & ~size_t{3});
        if (b->c->insert_str(b->m, key, value) != 0) {
            axdr_moved_(s, static_cast<size_t>(q - p), 3 + static_cast<unsigned>(i), 2);
            return AXDR_FALSE;
        }
    }
    axdr_moved_(s, static_cast<size_t>(q - p), 2 + static_cast<unsigned>(count), 2);
    return AXDR_TRUE;
}

// A key's group when it all fits: as encode_entry sends it. A key without
// values, a count below 1 or a walk shorter than the count (encode_entry's
// failures) take the steps; bytes written here for a group that then takes
// them are the same bytes the steps write.
int entry_straight(axdr_stream_t *s, const bound *b, const char *key)
{
    unsigned char *const p = s->x_cur;
    const unsigned char *const end = p + axdr_room_(s);
    if (end - p < 12)
        return take_steps; // not even an empty key, a count and a value
    const multi_codec *const c = b->c;
    multi_value_cursor vc;
    const char *v = c->value_first(b->m, key, &vc);
    if (!v)
        return take_steps;
    const int count = c->value_count(&vc);
    unsigned char *w = count > 0 ? put_cstring(p, end, key) : nullptr;
    if (!w || end - w < 4)
        return take_steps;
    axdr_store32_(w, static_cast<uint32_t>(count));
    w += 4;
    for (int i = 0;;) {
        w = put_cstring(w, end, v);
        if (!w)
            return take_steps;
        if (++i == count)
            break; // a longer walk is cut at the count
        v = c->value_next(&vc);
        if (!v)
            return take_steps;
    }
    axdr_moved_(s, static_cast<size_t>(w - p), 2 + static_cast<unsigned>(count), 1);
    return AXDR_TRUE;
}
#endif

// The container level's operations, through the table.
struct bound_ops {
    using container = bound;
    using key_cursor = multi_key_cursor;

    static int key_count(bound *b, int *n) { return b->c->key_count(b->m, n); }
    static const char *key_first(bound *b, key_cursor *kc) { return b->c->key_first(b->m, kc); }
    static const char *key_elem(bound *b, key_cursor *kc) { return b->c->key_elem(kc); }
    static const char *key_next(bound *b, key_cursor *kc) { return b->c->key_next(kc); }
    static int init(bound *b) { return b->c->init(b->m); }
    static int sethashsize(bound *b, uint32_t size) { return b->c->sethashsize(b->m, size); }
    static int destroy(bound *b) { return b->c->destroy(b->m); }
#if !QUILLET_CONTRACT
    static size_t footprint(bound *b) { return b->c->footprint(b->m); }
    static int setlimit(bound *b, size_t max_bytes) { return b->c->setlimit(b->m, max_bytes); }
#endif
    static void warn_init(bound *b) { warnx("%s", b->c->warn_init); }
    static void warn_sethashsize(bound *b) { warnx("%s", b->c->warn_sethashsize); }

    static axdr_self_t encode_self(bound *b) { return reinterpret_cast<axdr_self_t>(b->c->encode); }
    static axdr_self_t decode_self(bound *b) { return reinterpret_cast<axdr_self_t>(b->c->decode); }
    static int encode(axdr_stream_t *s, bound *b) { return b->c->encode(s, b->m); }
    static int decode(axdr_stream_t *s, bound *b) { return b->c->decode(s, b->m); }
    static int encode_key(axdr_stream_t *s, bound *b, key_cursor *kc) { return b->c->encode_entry(s, b->m, kc); }
    static int decode_entry(axdr_stream_t *s, bound *b) { return b->c->decode_entry(s, b->m); }
#if !QUILLET_CONTRACT
    static int encode_straight(axdr_stream_t *s, bound *b, key_cursor *, const char *key)
    {
        return entry_straight(s, b, key);
    }

    // The groups i, i + 1, ... below count straight through, as
    // straight_run walks a map's pairs.
    [[gnu::noinline]] static int decode_run(axdr_stream_t *s, bound *b, int i, int count, int *r)
    {
        // Forced inline: left to itself the compiler keeps the lambda as a
        // separate function.
        return straight_units(i, count, r, [s, b]() __attribute__((always_inline)) {
            return group_straight(s, b);
        });
    }
#endif

    // One key's values, in the order of its walk, for the shared print loop.
    static int print_values(axdr_stream_t *s, bound *b, const char *k, key_cursor *)
    {
        const multi_codec *const c = b->c;
        multi_value_cursor vc;
        for (const char *v = c->value_first(b->m, k, &vc); c->print_more(&vc, v); v = c->value_next(&vc)) {
            int r = s->x_ops->x_print_value(s, v);
            if (r != AXDR_TRUE)
                return r;
        }
        return AXDR_TRUE;
    }
};

} // namespace

int multi_encode(axdr_stream_t *s, void *m, const multi_codec *c)
{
    bound b{m, c};
    return container_encode<bound_ops>(s, &b);
}

int multi_decode(axdr_stream_t *s, void *m, const multi_codec *c)
{
    bound b{m, c};
    return container_decode<bound_ops>(s, &b);
}

int multi_dispatch(axdr_stream_t *s, void *m, const multi_codec *c)
{
    bound b{m, c};
    return container_dispatch<bound_ops>(s, &b);
}

int multi_encode_entry(axdr_stream_t *s, void *m, void *kc, const multi_codec *c)
{
    const auto self = reinterpret_cast<axdr_self_t>(c->encode_entry);
    // The value cursor, then the rest: the key and the current value are
    // borrowed from the container, which must not change while this is
    // pending.
    alignas(multi_value_cursor) alignas(multi_entry_scratch) unsigned char
        local[sizeof(multi_value_cursor) + sizeof(multi_entry_scratch)] = {};
    void *sp = local;
    int state = 0;
    axdr_frame_t frame;
    int r = axdr_async_setup(s, self, &frame, &state, c->value_cursor_size + sizeof(multi_entry_scratch), &sp);
    if (r != AXDR_TRUE)
        return r;
    void *const vc = sp;
    auto *sc = reinterpret_cast<multi_entry_scratch *>(static_cast<unsigned char *>(sp) + c->value_cursor_size);
    switch (state) {
    case 0:
        sc->key = c->key_elem(kc);
        sc->value = c->value_first(m, sc->key, vc);
        if (!sc->value) {
            r = AXDR_FALSE; // a key without values cannot be sent
            break;
        }
        sc->count = c->value_count(vc);
        state = 1;
        [[fallthrough]];
    case 1: // waiting to send the key; encoding only reads the string
        r = axdr_string(s, const_cast<char **>(&sc->key), no_limit);
        if (r != AXDR_TRUE)
            break;
        state = 2;
        [[fallthrough]];
    case 2: // waiting to send the value count
        r = axdr_int(s, &sc->count);
        if (r != AXDR_TRUE)
            break;
        state = 3;
        [[fallthrough]];
    default: { // state 3 + i: values 0 to i - 1 sent, value i is current
        if (state < 3 || !foldable(sc->count, 3)) {
            r = AXDR_FALSE;
            break;
        }
        int i = item_of_state(state, 3);
        r = i > sc->count ? AXDR_FALSE : AXDR_TRUE; // a negative count
        while (r == AXDR_TRUE && i < sc->count) {
            r = axdr_string(s, const_cast<char **>(&sc->value), no_limit);
            if (r != AXDR_TRUE)
                break;
            const char *next = c->value_next(vc);
            if (!next) {
                // The walk ended with value i. Fewer values than the count
                // sent would leave the peer reading the next key as a
                // value: fail.
                r = i + 1 == sc->count ? AXDR_TRUE : AXDR_FALSE;
                break;
            }
            state = state_of_item(i + 1, 3);
            i++;
            sc->value = next; // a longer walk is cut at the count
        }
    }
    }
    axdr_async_teardown(s, self, state, frame, r);
    return r;
}

int multi_decode_entry(axdr_stream_t *s, void *m, const multi_codec *c)
{
    const auto self = reinterpret_cast<axdr_self_t>(c->decode_entry);
    // The key is owned here until all its values are inserted.
    struct scratch {
        char *key;
        int count;
    } local{nullptr, 0};
    void *sp = &local;
    int state = 0;
    axdr_frame_t frame;
    int r = axdr_async_setup(s, self, &frame, &state, sizeof local, &sp);
    if (r != AXDR_TRUE)
        return r;
    auto *sc = static_cast<scratch *>(sp);
    switch (state) {
    case 0:
        sc->key = nullptr; // axdr_string allocates into NULL
        sc->count = 0;
        state = 1;
        [[fallthrough]];
    case 1: // waiting for the key
        r = axdr_string(s, &sc->key, no_limit);
        if (r != AXDR_TRUE)
            break;
        state = 2;
        [[fallthrough]];
    case 2: // waiting for the value count
        r = axdr_int(s, &sc->count);
        if (r != AXDR_TRUE)
            break;
        state = 3;
        [[fallthrough]];
    case 3: // the values are being read
        r = c->decode_values(s, m, sc->key, sc->count);
        if (r != AXDR_TRUE)
            break;
        state = 4;
        [[fallthrough]];
    case 4:
        release_string(&sc->key);
        sc->count = 0;
        r = AXDR_TRUE;
        break;
    default:
        r = AXDR_FALSE;
    }
    // A run that fails is over: nobody else would release the key.
    if (r == AXDR_FALSE)
        release_string(&sc->key);
    axdr_async_teardown(s, self, state, frame, r);
    return r;
}

int multi_decode_values(axdr_stream_t *s, void *m, const char *key, int count, const multi_codec *c)
{
    const auto self = reinterpret_cast<axdr_self_t>(c->decode_values);
    // The value read and not yet inserted.
    struct scratch {
        char *value;
    } local{nullptr};
    void *sp = &local;
    int state = 0;
    axdr_frame_t frame;
    int r = axdr_async_setup(s, self, &frame, &state, sizeof local, &sp);
    if (r != AXDR_TRUE)
        return r;
    auto *sc = static_cast<scratch *>(sp);
    bound b{m, c};
    switch (state) {
    default: { // state i: values 0 to i - 1 inserted, value i due
        if (state < 0) {
            r = AXDR_FALSE;
            break;
        }
        int i = item_of_state(state, 0);
        r = i > count ? AXDR_FALSE : AXDR_TRUE; // a negative count
        while (r == AXDR_TRUE && i < count) {
            r = axdr_string(s, &sc->value, no_limit);
            if (r != AXDR_TRUE)
                break;
            // The container takes its own copy.
            budget_hold_strings<bound_ops>(s, &b, key, sc->value);
            const int failed = c->insert_str(m, key, sc->value);
            release_string(&sc->value);
            budget_hold_strings<bound_ops>(s, &b, key);
            if (failed) {
                r = AXDR_FALSE;
                break;
            }
            i++;
            state = state_of_item(i, 0);
        }
    }
    }
    if (r == AXDR_FALSE)
        release_string(&sc->value);
    axdr_async_teardown(s, self, state, frame, r);
    return r;
}
