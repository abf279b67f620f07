// map_t: an entry count, then each key and its value as XDR strings.

#include <quillet/quillet.h>

#include <err.h>

#include "container_codec.h"

static int _axdr_map_encode(axdr_stream_t *s, map_t *m);
static int _axdr_map_encode_entry(axdr_stream_t *s, map_cursor_t *c);
static int _axdr_map_decode(axdr_stream_t *s, map_t *m);
static int _axdr_map_decode_entry(axdr_stream_t *s, map_t *m);

namespace {

// The map's side of the container level shared with the other codecs.
struct map_ops {
    using container = map_t;
    using key_cursor = map_cursor_t;

    static constexpr auto key_count = &map_key_count;
    static constexpr auto key_first = &map_first;
    static const char *key_elem(map_t *, map_cursor_t *c) { return map_key(c); }
    static const char *key_next(map_t *, map_cursor_t *c) { return map_next(c); }
    static constexpr auto init = &map_init;
    static constexpr auto sethashsize = &map_sethashsize;
    static constexpr auto destroy = &map_destroy;
#if !QUILLET_CONTRACT // a contract build reports nothing
    static constexpr auto footprint = &map_footprint;
    static constexpr auto setlimit = &map_setlimit;
#endif

    static void warn_init(map_t *) { warnx("axdr_map_t: map init"); }
    static void warn_sethashsize(map_t *) { warnx("axdr_map_t: map sethashsize"); }

    static constexpr auto encode = &_axdr_map_encode;
    static constexpr auto decode = &_axdr_map_decode;
    static axdr_self_t encode_self(map_t *) { return reinterpret_cast<axdr_self_t>(encode); }
    static axdr_self_t decode_self(map_t *) { return reinterpret_cast<axdr_self_t>(decode); }
    static constexpr auto decode_entry = &_axdr_map_decode_entry;
    static int encode_key(axdr_stream_t *s, map_t *, map_cursor_t *c) { return _axdr_map_encode_entry(s, c); }
#if !QUILLET_CONTRACT
    static int encode_straight(axdr_stream_t *s, map_t *m, map_cursor_t *c, const char *key);
    static int decode_straight(axdr_stream_t *s, map_t *m);
    static int decode_run(axdr_stream_t *s, map_t *m, int i, int count, int *r)
    {
        return straight_run<map_ops>(s, m, i, count, r);
    }
#endif
    static int print_values(axdr_stream_t *s, map_t *, const char *, map_cursor_t *c)
    {
        return s->x_ops->x_print_value(s, map_value(c));
    }
};

#if !QUILLET_CONTRACT
// The pair under the cursor, key and value, when both fit: as
// _axdr_map_encode_entry sends it.
inline int map_ops::encode_straight(axdr_stream_t *s, map_t *, map_cursor_t *c, const char *key)
{
    unsigned char *const p = s->x_cur;
    const unsigned char *const end = p + axdr_room_(s);
    unsigned char *w = put_cstring(p, end, key);
    if (w)
        w = put_cstring(w, end, map_value(c));
    if (!w)
        return take_steps;
    axdr_moved_(s, static_cast<size_t>(w - p), 2, 1);
    return AXDR_TRUE;
}

// A pair wholly in the window: inserted as _axdr_map_decode_entry inserts
// it, without taking its strings from the runtime.
[[gnu::always_inline]] inline int map_ops::decode_straight(axdr_stream_t *s, map_t *m)
{
    const unsigned char *const p = s->x_cur;
    const unsigned char *const end = p + axdr_room_(s);
    const unsigned char *kd, *vd;
    uint32_t kl, vl;
    const unsigned char *q = axdr_string_at_(p, end, &kd, &kl);
    if (q)
        q = axdr_string_at_(q, end, &vd, &vl);
    if (!q)
        return take_steps;
    char buf[straight_buf];
    size_t used = 0;
    const char *key = wire_cstring(kd, kl, buf, sizeof buf, &used);
    const char *value = key ? wire_cstring(vd, vl, buf, sizeof buf, &used) : nullptr;
    if (!value)
        return take_steps;
    const int r = map_insert_str(m, key, value) == 0 ? AXDR_TRUE : AXDR_FALSE;
    axdr_moved_(s, static_cast<size_t>(q - p), 2, 1);
    return r;
}
#endif

} // namespace

// Sends the count, then walks the entries.
static int _axdr_map_encode(axdr_stream_t *s, map_t *m) { return container_encode<map_ops>(s, m); }

// Prepares the map, reads the count, then decodes that many pairs.
static int _axdr_map_decode(axdr_stream_t *s, map_t *m) { return container_decode<map_ops>(s, m); }

static int _axdr_map_encode_entry(axdr_stream_t *s, map_cursor_t *c)
{
    const auto self = reinterpret_cast<axdr_self_t>(&_axdr_map_encode_entry);
    // Borrowed from the map, which must not change while this is pending.
    struct scratch {
        const char *key;
        const char *value;
    } local{nullptr, nullptr};
    void *sp = &local;
    int state = 0;
    axdr_frame_t frame;
    int r = axdr_async_setup(s, self, &frame, &state, sizeof local, &sp);
    if (r != AXDR_TRUE)
        return r;
    auto *sc = static_cast<scratch *>(sp);
    switch (state) {
    case 0:
        sc->key = map_key(c);
        sc->value = map_value(c);
        state = 1;
        [[fallthrough]];
    case 1: // waiting to send the key; encoding only reads the string
        r = axdr_string(s, const_cast<char **>(&sc->key), no_limit);
        if (r != AXDR_TRUE)
            break;
        state = 2;
        [[fallthrough]];
    case 2: // waiting to send the value
        r = axdr_string(s, const_cast<char **>(&sc->value), no_limit);
        if (r != AXDR_TRUE)
            break;
        state = 3;
        [[fallthrough]];
    case 3:
        sc->key = sc->value = nullptr;
        r = AXDR_TRUE;
        break;
    default:
        r = AXDR_FALSE;
    }
    axdr_async_teardown(s, self, state, frame, r);
    return r;
}

static int _axdr_map_decode_entry(axdr_stream_t *s, map_t *m)
{
    const auto self = reinterpret_cast<axdr_self_t>(&_axdr_map_decode_entry);
    // Decoded strings, owned here until the map has copied them.
    struct scratch {
        char *key;
        char *value;
    } local{nullptr, nullptr};
    void *sp = &local;
    int state = 0;
    axdr_frame_t frame;
    int r = axdr_async_setup(s, self, &frame, &state, sizeof local, &sp);
    if (r != AXDR_TRUE)
        return r;
    auto *sc = static_cast<scratch *>(sp);
    switch (state) {
    case 0:
        sc->key = sc->value = nullptr; // axdr_string allocates into NULL
        state = 1;
        [[fallthrough]];
    case 1: // waiting for the key
        r = axdr_string(s, &sc->key, no_limit);
        if (r != AXDR_TRUE)
            break;
        state = 2;
        [[fallthrough]];
    case 2: // waiting for the value
        r = axdr_string(s, &sc->value, no_limit);
        if (r != AXDR_TRUE)
            break;
        state = 3;
        [[fallthrough]];
    case 3: // the map takes its own copies
        budget_hold_strings<map_ops>(s, m, sc->key, sc->value);
        r = map_insert_str(m, sc->key, sc->value) == 0 ? AXDR_TRUE : AXDR_FALSE;
        release_string(&sc->key);
        release_string(&sc->value);
        break;
    default:
        r = AXDR_FALSE;
    }
    // A run that fails is over: nobody else would release what it holds.
    if (r == AXDR_FALSE) {
        release_string(&sc->key);
        release_string(&sc->value);
    }
    axdr_async_teardown(s, self, state, frame, r);
    return r;
}

extern "C" int axdr_map_t(axdr_stream_t *s, map_t *m) { return container_dispatch<map_ops>(s, m); }
