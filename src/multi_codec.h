// The codec of the multi-valued containers (arraymap_t, multimap_t): a key
// count, then per key the key, its value count and its values.
//
// The step machines are written once, in multi_codec.cpp, and run for both
// containers over a multi_codec table: the container's operations and the
// codec file's named step functions, whose addresses are the frames'
// identities and which the machines call to nest. One body, not one per
// container: the machines are most of the library. Each codec file fills
// its table from a traits struct Ops (multi_codec_of):
//
//   container, key_cursor, value_cursor       the container's types
//   key_count, key_first, key_elem, key_next, value_first, value_count,
//   value_next, init, sethashsize, insert_str, destroy, footprint,
//   setlimit                                  its operations
//   print_more(vc, v)                         whether the print loop prints v
//   warn_init, warn_sethashsize               the decoder's warning lines
//   encode, encode_entry, decode, decode_entry, decode_values
//                                             the file's step functions
//
// Private to src/.
#ifndef QUILLET_SRC_MULTI_CODEC_H
#define QUILLET_SRC_MULTI_CODEC_H

#include <cstddef>
#include <cstdint>

#include <quillet/quillet.h>

#include "straight.h"

struct multi_codec {
    int (*key_count)(const void *m, int *count);
    const char *(*key_first)(const void *m, void *kc);
    const char *(*key_elem)(const void *kc);
    const char *(*key_next)(void *kc);
    const char *(*value_first)(const void *m, const char *key, void *vc);
    int (*value_count)(const void *vc);
    const char *(*value_next)(void *vc);
    bool (*print_more)(const void *vc, const char *v);
    int (*init)(void *m);
    int (*sethashsize)(void *m, uint32_t size);
    int (*insert_str)(void *m, const char *key, const char *value);
    int (*destroy)(void *m);
#if !QUILLET_CONTRACT // a contract build reports nothing
    size_t (*footprint)(const void *m);
    int (*setlimit)(void *m, size_t max_bytes);
#endif
    const char *warn_init;
    const char *warn_sethashsize;
    // The encoder's entry frame begins with a value cursor: its size is
    // this container's, so that the frame is the size it always was.
    size_t value_cursor_size;

    int (*encode)(axdr_stream_t *s, void *m);
    int (*encode_entry)(axdr_stream_t *s, void *m, void *kc);
    int (*decode)(axdr_stream_t *s, void *m);
    int (*decode_entry)(axdr_stream_t *s, void *m);
    int (*decode_values)(axdr_stream_t *s, void *m, const char *key, int count);
};

// Room for either container's cursors.
union multi_key_cursor {
    arraymap_key_cursor_t a;
    multimap_key_cursor_t mm;
};
union multi_value_cursor {
    arraymap_value_cursor_t a;
    multimap_value_cursor_t mm;
};

// What an entry encoder keeps after its value cursor.
struct multi_entry_scratch {
    const char *key;
    int count;
    const char *value; // the current value
};

// The step machines, for the container m that codec c describes.
int multi_encode(axdr_stream_t *s, void *m, const multi_codec *c);
int multi_encode_entry(axdr_stream_t *s, void *m, void *kc, const multi_codec *c);
int multi_decode(axdr_stream_t *s, void *m, const multi_codec *c);
int multi_decode_entry(axdr_stream_t *s, void *m, const multi_codec *c);
int multi_decode_values(axdr_stream_t *s, void *m, const char *key, int count, const multi_codec *c);
int multi_dispatch(axdr_stream_t *s, void *m, const multi_codec *c);

namespace {

template <typename Ops>
constexpr multi_codec multi_codec_of()
{
    using C = typename Ops::container;
    using KC = typename Ops::key_cursor;
    using VC = typename Ops::value_cursor;
    // Frames keep the size and layout they had with the types themselves.
    static_assert(sizeof(KC) == sizeof(multi_key_cursor) && alignof(KC) == alignof(multi_key_cursor));
    struct entry_frame {
        VC vc;
        multi_entry_scratch rest;
    };
    static_assert(sizeof(entry_frame) == sizeof(VC) + sizeof(multi_entry_scratch) &&
                  sizeof(VC) % alignof(multi_entry_scratch) == 0);
    return {
        [](const void *m, int *n) { return Ops::key_count(static_cast<const C *>(m), n); },
        [](const void *m, void *kc) { return Ops::key_first(static_cast<const C *>(m), static_cast<KC *>(kc)); },
        [](const void *kc) { return Ops::key_elem(static_cast<const KC *>(kc)); },
        [](void *kc) { return Ops::key_next(static_cast<KC *>(kc)); },
        [](const void *m, const char *key, void *vc) {
            return Ops::value_first(static_cast<const C *>(m), key, static_cast<VC *>(vc));
        },
        [](const void *vc) { return Ops::value_count(static_cast<const VC *>(vc)); },
        [](void *vc) { return Ops::value_next(static_cast<VC *>(vc)); },
        [](const void *vc, const char *v) { return Ops::print_more(static_cast<const VC *>(vc), v); },
        [](void *m) { return Ops::init(static_cast<C *>(m)); },
        [](void *m, uint32_t size) { return Ops::sethashsize(static_cast<C *>(m), size); },
        [](void *m, const char *key, const char *value) {
            return Ops::insert_str(static_cast<C *>(m), key, value);
        },
        [](void *m) { return Ops::destroy(static_cast<C *>(m)); },
#if !QUILLET_CONTRACT
        [](const void *m) { return Ops::footprint(static_cast<const C *>(m)); },
        [](void *m, size_t max_bytes) { return Ops::setlimit(static_cast<C *>(m), max_bytes); },
#endif
        Ops::warn_init,
        Ops::warn_sethashsize,
        sizeof(VC),
        Ops::encode,
        Ops::encode_entry,
        Ops::decode,
        Ops::decode_entry,
        Ops::decode_values,
    };
}

} // namespace

#endif
