// arraymap_t: per key the key, its value count and its values, kept
// indexable by the container. The step machines are multi_codec's; this file
// names them and binds them to the container.

#include <quillet/quillet.h>

#include <err.h>

#include "multi_codec.h"

static int _axdr_arraymap_encode(axdr_stream_t *s, arraymap_t *m);
static int _axdr_arraymap_encode_entry(axdr_stream_t *s, arraymap_t *m, arraymap_key_cursor_t *kc);
static int _axdr_arraymap_decode(axdr_stream_t *s, arraymap_t *m);
static int _axdr_arraymap_decode_entry(axdr_stream_t *s, arraymap_t *m);
static int _axdr_arraymap_decode_values(axdr_stream_t *s, arraymap_t *m, const char *key, int count);

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

    static void warn_init() { warnx("axdr_arraymap_t: arraymap init"); }
    static void warn_sethashsize() { warnx("axdr_arraymap_t: arraymap sethashsize"); }

    static constexpr auto encode = &_axdr_arraymap_encode;
    static constexpr auto encode_entry = &_axdr_arraymap_encode_entry;
    static constexpr auto encode_key = &_axdr_arraymap_encode_entry;
    static constexpr auto decode = &_axdr_arraymap_decode;
    static constexpr auto decode_entry = &_axdr_arraymap_decode_entry;
    static constexpr auto decode_values = &_axdr_arraymap_decode_values;
};

using codec = multi_codec<arraymap_ops>;

} // namespace

static int _axdr_arraymap_encode(axdr_stream_t *s, arraymap_t *m) { return codec::encode(s, m); }

static int _axdr_arraymap_encode_entry(axdr_stream_t *s, arraymap_t *m, arraymap_key_cursor_t *kc)
{
    return codec::encode_entry(s, m, kc);
}

static int _axdr_arraymap_decode(axdr_stream_t *s, arraymap_t *m) { return codec::decode(s, m); }

static int _axdr_arraymap_decode_entry(axdr_stream_t *s, arraymap_t *m) { return codec::decode_entry(s, m); }

static int _axdr_arraymap_decode_values(axdr_stream_t *s, arraymap_t *m, const char *key, int count)
{
    return codec::decode_values(s, m, key, count);
}

extern "C" int axdr_arraymap_t(axdr_stream_t *s, arraymap_t *m) { return codec::dispatch(s, m); }
