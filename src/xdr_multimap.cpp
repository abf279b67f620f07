// multimap_t: per key the key, its value count and its values. The step
// machines are multi_codec.cpp's; this file names them and binds them to the
// container.

#include <quillet/quillet.h>

#include "multi_codec.h"

// Untyped: the shared machines call them with the container they were given.
static int _axdr_multimap_encode(axdr_stream_t *s, void *m);
static int _axdr_multimap_encode_entry(axdr_stream_t *s, void *m, void *kc);
static int _axdr_multimap_decode(axdr_stream_t *s, void *m);
static int _axdr_multimap_decode_entry(axdr_stream_t *s, void *m);
static int _axdr_multimap_decode_values(axdr_stream_t *s, void *m, const char *key, int count);

namespace {

struct multimap_ops {
    using container = multimap_t;
    using key_cursor = multimap_key_cursor_t;
    using value_cursor = multimap_value_cursor_t;

    static constexpr auto key_count = &multimap_key_count;
    static constexpr auto key_first = &multimap_key_first;
    static constexpr auto key_elem = &multimap_key_elem;
    static constexpr auto key_next = &multimap_key_next;
    static constexpr auto value_first = &multimap_value_first;
    static constexpr auto value_count = &multimap_value_count;
    static constexpr auto value_next = &multimap_value_next;
    static constexpr auto init = &multimap_init;
    static constexpr auto sethashsize = &multimap_sethashsize;
    static constexpr auto insert_str = &multimap_insert_str;
    static constexpr auto destroy = &multimap_destroy;
#if !QUILLET_CONTRACT // a contract build reports nothing
    static constexpr auto footprint = &multimap_footprint;
    static constexpr auto setlimit = &multimap_setlimit;
#endif

    static bool print_more(const value_cursor *, const char *v) { return v != nullptr; }

    static constexpr const char *warn_init = "axdr_multimap_t: multimap init";
    static constexpr const char *warn_sethashsize = "axdr_multimap_t: multimap sethashsize";

    static constexpr auto encode = &_axdr_multimap_encode;
    static constexpr auto encode_entry = &_axdr_multimap_encode_entry;
    static constexpr auto decode = &_axdr_multimap_decode;
    static constexpr auto decode_entry = &_axdr_multimap_decode_entry;
    static constexpr auto decode_values = &_axdr_multimap_decode_values;
};

constexpr multi_codec codec = multi_codec_of<multimap_ops>();

} // namespace

static int _axdr_multimap_encode(axdr_stream_t *s, void *m) { return multi_encode(s, m, &codec); }

static int _axdr_multimap_encode_entry(axdr_stream_t *s, void *m, void *kc)
{
    return multi_encode_entry(s, m, kc, &codec);
}

static int _axdr_multimap_decode(axdr_stream_t *s, void *m) { return multi_decode(s, m, &codec); }

static int _axdr_multimap_decode_entry(axdr_stream_t *s, void *m) { return multi_decode_entry(s, m, &codec); }

static int _axdr_multimap_decode_values(axdr_stream_t *s, void *m, const char *key, int count)
{
    return multi_decode_values(s, m, key, count, &codec);
}

extern "C" int axdr_multimap_t(axdr_stream_t *s, multimap_t *m) { return multi_dispatch(s, m, &codec); }
