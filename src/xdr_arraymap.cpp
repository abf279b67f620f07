// arraymap_t: per key the key, its value count and its values, kept
// indexable by the container. The step machines are multi_codec.cpp's; this file
// names them and binds them to the container.

#include <quillet/quillet.h>

#include "multi_codec.h"

// Untyped: the shared machines call them with the container they were given.
static int _axdr_arraymap_encode(axdr_stream_t *s, void *m);
static int _axdr_arraymap_encode_entry(axdr_stream_t *s, void *m, void *kc);
static int _axdr_arraymap_decode(axdr_stream_t *s, void *m);
static int _axdr_arraymap_decode_entry(axdr_stream_t *s, void *m);
static int _axdr_arraymap_decode_values(axdr_stream_t *s, void *m, const char *key, int count);

namespace {

struct arraymap_ops {
    using container = arraymap_t;
    using key_cursor = arraymap_key_cursor_t;
    using value_cursor = arraymap_value_cursor_t;

    static constexpr auto key_count = &arraymap_key_count;
    static constexpr auto key_first = &arraymap_key_first;
    static constexpr auto key_elem = &arraymap_key_elem;
    static constexpr auto key_next = &arraymap_key_next;
    static constexpr auto value_first = &arraymap_value_first;
    static constexpr auto value_count = &arraymap_value_count;
    static constexpr auto value_next = &arraymap_value_next;
    static constexpr auto init = &arraymap_init;
    static constexpr auto sethashsize = &arraymap_sethashsize;
    static constexpr auto insert_str = &arraymap_insert_str;
    static constexpr auto destroy = &arraymap_destroy;
#if !QUILLET_CONTRACT // a contract build reports nothing
    static constexpr auto footprint = &arraymap_footprint;
    static constexpr auto setlimit = &arraymap_setlimit;
#endif

    // Up to the count, and never past the end of the walk.
    static bool print_more(const value_cursor *vc, const char *v)
    {
        return v && arraymap_value_index(vc) < arraymap_value_count(vc);
    }

    static constexpr const char *warn_init = "axdr_arraymap_t: arraymap init";
    static constexpr const char *warn_sethashsize = "axdr_arraymap_t: arraymap sethashsize";

    static constexpr auto encode = &_axdr_arraymap_encode;
    static constexpr auto encode_entry = &_axdr_arraymap_encode_entry;
    static constexpr auto decode = &_axdr_arraymap_decode;
    static constexpr auto decode_entry = &_axdr_arraymap_decode_entry;
    static constexpr auto decode_values = &_axdr_arraymap_decode_values;
};

constexpr multi_codec codec = multi_codec_of<arraymap_ops>();

} // namespace

static int _axdr_arraymap_encode(axdr_stream_t *s, void *m) { return multi_encode(s, m, &codec); }

static int _axdr_arraymap_encode_entry(axdr_stream_t *s, void *m, void *kc)
{
    return multi_encode_entry(s, m, kc, &codec);
}

static int _axdr_arraymap_decode(axdr_stream_t *s, void *m) { return multi_decode(s, m, &codec); }

static int _axdr_arraymap_decode_entry(axdr_stream_t *s, void *m) { return multi_decode_entry(s, m, &codec); }

static int _axdr_arraymap_decode_values(axdr_stream_t *s, void *m, const char *key, int count)
{
    return multi_decode_values(s, m, key, count, &codec);
}

extern "C" int axdr_arraymap_t(axdr_stream_t *s, arraymap_t *m) { return multi_dispatch(s, m, &codec); }
