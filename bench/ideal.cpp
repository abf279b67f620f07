#include "ideal.h"

// The decoders' sizing rule, so that both fill the same table.
#include "../src/container_codec.h"

#include <cstring>
#include <initializer_list>

namespace {

struct Reader {
    const uint8_t *p, *end;

    bool word(uint32_t *v)
    {
        if (end - p < 4)
            return false;
        *v = axdr_load32_(p);
        p += 4;
        return true;
    }

    // Copies one string into buf (cap bytes) with its NUL.
    bool string(char *buf, size_t cap)
    {
        uint32_t len;
        if (!word(&len) || len >= cap)
            return false;
        size_t padded = (size_t{len} + 3) & ~size_t{3};
        if (static_cast<size_t>(end - p) < padded)
            return false;
        std::memcpy(buf, p, len);
        buf[len] = '\0';
        p += padded;
        return true;
    }
};

constexpr size_t max_string = 4096;

} // namespace

int ideal_map_decode(const uint8_t *p, size_t n, map_t *m)
{
    char key[max_string], value[max_string];
    Reader r{p, p + n};
    uint32_t count;
    if (map_init(m) != 0 || !r.word(&count))
        return 0;
    if (uint32_t size = decoder_hashsize(static_cast<int>(count)))
        if (map_sethashsize(m, size) != 0)
            return 0;
    for (int i = 0; i < static_cast<int>(count); ++i)
        if (!r.string(key, sizeof key) || !r.string(value, sizeof value) || map_insert_str(m, key, value) != 0)
            return 0;
    return 1;
}

int ideal_multimap_decode(const uint8_t *p, size_t n, multimap_t *m)
{
    char key[max_string], value[max_string];
    Reader r{p, p + n};
    uint32_t count, nv;
    if (multimap_init(m) != 0 || !r.word(&count))
        return 0;
    if (uint32_t size = decoder_hashsize(static_cast<int>(count)))
        if (multimap_sethashsize(m, size) != 0)
            return 0;
    for (int i = 0; i < static_cast<int>(count); ++i) {
        if (!r.string(key, sizeof key) || !r.word(&nv))
            return 0;
        for (int j = 0; j < static_cast<int>(nv); ++j)
            if (!r.string(value, sizeof value) || multimap_insert_str(m, key, value) != 0)
                return 0;
    }
    return 1;
}

size_t ideal_map_encode(const map_t *m, uint8_t *out, size_t cap)
{
    uint8_t *w = out, *end = out + cap;
    int count;
    if (map_key_count(m, &count) != 0 || end - w < 4)
        return 0;
    axdr_store32_(w, static_cast<uint32_t>(count));
    w += 4;
    map_cursor_t c;
    for (const char *k = map_first(m, &c); k; k = map_next(&c)) {
        for (const char *str : {k, map_value(&c)}) {
            size_t len = std::strlen(str);
            size_t pad = (4 - (len & 3)) & 3;
            if (static_cast<size_t>(end - w) < 4 + len + pad)
                return 0;
            axdr_store32_(w, static_cast<uint32_t>(len));
            if (pad)
                axdr_store32_(w + len + pad, 0); // the data overwrites its front
            std::memcpy(w + 4, str, len);
            w += 4 + len + pad;
        }
    }
    return static_cast<size_t>(w - out);
}
