// The codec of the multi-valued containers (arraymap_t, multimap_t): a key
// count, then per key the key, its value count and its values.
//
// The step machines are written once here, over a traits struct Ops that
// each codec file defines:
//
//   container, key_cursor, value_cursor       the container's types
//   key_count, key_first, key_elem, key_next, value_first, value_count,
//   value_next, init, sethashsize, insert_str, destroy, footprint,
//   setlimit                                  its operations
//   print_more(vc, v)                         whether the print loop prints v
//   warn_init(), warn_sethashsize()           the decoder's warning lines
//   encode, encode_entry, decode, decode_entry, decode_values
//                                             the file's named step
//                                             functions, whose addresses are
//                                             the frames' identities and which
//                                             the machines call to nest
//
// Private to src/.
#ifndef QUILLET_SRC_MULTI_CODEC_H
#define QUILLET_SRC_MULTI_CODEC_H

#include <quillet/axdr.h>

#include "container_codec.h"

#if !QUILLET_CONTRACT
using multi_insert_fn = int (*)(void *, const char *, const char *);

// A key's group wholly in the window, every string well formed: the values
// inserted (by insert into m) as decode_values inserts them. An insertion
// that fails ends the group where decode_values ends it.
[[gnu::always_inline]] inline int group_straight(axdr_stream_t *s, void *m, multi_insert_fn insert)
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
        if (insert(m, key, value) != 0) {
            axdr_moved_(s, static_cast<size_t>(q - p), 3 + static_cast<unsigned>(i), 2);
            return AXDR_FALSE;
        }
    }
    axdr_moved_(s, static_cast<size_t>(q - p), 2 + static_cast<unsigned>(count), 2);
    return AXDR_TRUE;
}

// The groups i, i + 1, ... below count straight through, as straight_run
// walks a map's pairs. One copy for both containers: an inline function of
// the library, which the linker keeps once.
[[gnu::noinline]] inline int multi_decode_run(axdr_stream_t *s, void *m, multi_insert_fn insert, int i,
                                              int count, int *r)
{
    // Forced inline: left to itself the compiler keeps the lambda as a
    // local clone in each file, two copies on the target.
    return straight_units(i, count, r, [s, m, insert]() __attribute__((always_inline)) {
        return group_straight(s, m, insert);
    });
}
#endif

namespace {

template <typename Ops>
struct multi_codec {
    using container = typename Ops::container;
    using key_cursor = typename Ops::key_cursor;
    using value_cursor = typename Ops::value_cursor;

    template <typename F>
    static axdr_self_t self_of(F f)
    {
        return reinterpret_cast<axdr_self_t>(f);
    }

#if !QUILLET_CONTRACT
    // A key's group when it all fits: as encode_entry sends it. A key
    // without values, a count below 1 or a walk shorter than the count
    // (encode_entry's failures) take the steps; bytes written here for a
    // group that then takes them are the same bytes the steps write.
    static int encode_straight(axdr_stream_t *s, container *m, key_cursor *, const char *key)
    {
        unsigned char *const p = s->x_cur;
        const unsigned char *const end = p + axdr_room_(s);
        if (end - p < 12)
            return take_steps; // not even an empty key, a count and a value
        value_cursor vc;
        const char *v = Ops::value_first(m, key, &vc);
        if (!v)
            return take_steps;
        const int count = Ops::value_count(&vc);
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
            v = Ops::value_next(&vc);
            if (!v)
                return take_steps;
        }
        axdr_moved_(s, static_cast<size_t>(w - p), 2 + static_cast<unsigned>(count), 1);
        return AXDR_TRUE;
    }

    static int insert_any(void *m, const char *key, const char *value)
    {
        return Ops::insert_str(static_cast<container *>(m), key, value);
    }

    struct coding : Ops {
        static constexpr auto encode_straight = &multi_codec::encode_straight;
        static int decode_run(axdr_stream_t *s, container *m, int i, int count, int *r)
        {
            return multi_decode_run(s, m, insert_any, i, count, r);
        }
    };
#else
    using coding = Ops;
#endif

    // The container level is shared with the map codec.
    static int encode(axdr_stream_t *s, container *m) { return container_encode<coding>(s, m); }
    static int decode(axdr_stream_t *s, container *m) { return container_decode<coding>(s, m); }

    static int encode_entry(axdr_stream_t *s, container *m, key_cursor *kc)
    {
        const axdr_self_t self = self_of(Ops::encode_entry);
        // The key and the current value are borrowed from the container,
        // which must not change while this is pending.
        struct scratch {
            value_cursor vc;
            const char *key;
            int count;
            const char *value;
        } local{};
        void *sp = &local;
        int state = 0;
        axdr_frame_t frame;
        int r = axdr_async_setup(s, self, &frame, &state, sizeof local, &sp);
        if (r != AXDR_TRUE)
            return r;
        auto *sc = static_cast<scratch *>(sp);
        switch (state) {
        case 0:
            sc->key = Ops::key_elem(kc);
            sc->value = Ops::value_first(m, sc->key, &sc->vc);
            if (!sc->value) {
                r = AXDR_FALSE; // a key without values cannot be sent
                break;
            }
            sc->count = Ops::value_count(&sc->vc);
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
                const char *next = Ops::value_next(&sc->vc);
                if (!next) {
                    // The walk ended with value i. Fewer values than the
                    // count sent would leave the peer reading the next
                    // key as a value: fail.
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

    static int decode_entry(axdr_stream_t *s, container *m)
    {
        const axdr_self_t self = self_of(Ops::decode_entry);
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
            r = Ops::decode_values(s, m, sc->key, sc->count);
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

    static int decode_values(axdr_stream_t *s, container *m, const char *key, int count)
    {
        const axdr_self_t self = self_of(Ops::decode_values);
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
                budget_hold_strings<Ops>(s, m, key, sc->value);
                const int failed = Ops::insert_str(m, key, sc->value);
                release_string(&sc->value);
                budget_hold_strings<Ops>(s, m, key);
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

    // One key's values, in the order of its walk, for the shared print loop.
    struct printing : Ops {
        static int print_values(axdr_stream_t *s, container *m, const char *k, key_cursor *)
        {
            value_cursor vc;
            for (const char *v = Ops::value_first(m, k, &vc); Ops::print_more(&vc, v);
                 v = Ops::value_next(&vc)) {
                int r = s->x_ops->x_print_value(s, v);
                if (r != AXDR_TRUE)
                    return r;
            }
            return AXDR_TRUE;
        }
    };

    static int dispatch(axdr_stream_t *s, container *m) { return container_dispatch<printing>(s, m); }
};

} // namespace

#endif
