// String-keyed hash containers.
//
// One table serves the three containers. Keys live in an array in insertion
// order, chained into power-of-two buckets by index; the values of all keys
// live in a second array, each key's values linked in insertion order. The
// strings themselves are bump-allocated from chunks that never move, so an
// insertion costs no allocation of its own in the common case and pointers
// handed out stay valid until destroy.

#include "strmap.h"

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint32_t kNone = 0xffffffffu;
constexpr uint32_t kDefaultBuckets = 16;
constexpr uint32_t kMaxBuckets = 1u << 30;
// Counts are reported as int.
constexpr uint32_t kMaxKeys = INT_MAX;
constexpr uint32_t kMaxValues = 0xfffffffeu;
constexpr size_t kFirstChunk = 256;
constexpr size_t kMaxChunk = 64 * 1024;

constexpr uint32_t kMapMagic = 0x6d617031;      // "map1"
constexpr uint32_t kArraymapMagic = 0x616d7031; // "amp1"
constexpr uint32_t kMultimapMagic = 0x6d6d7031; // "mmp1"

void *default_realloc(void *p, size_t n) { return std::realloc(p, n); }
void default_free(void *p) { std::free(p); }

void *(*g_realloc)(void *, size_t) = default_realloc;
void (*g_free)(void *) = default_free;

void *mem_alloc(size_t n) { return g_realloc(nullptr, n); }
void mem_free(void *p)
{
    if (p)
        g_free(p);
}

// n elements of size each, or false when that overflows size_t.
bool array_bytes(size_t n, size_t size, size_t *bytes)
{
    if (size != 0 && n > SIZE_MAX / size)
        return false;
    *bytes = n * size;
    return true;
}

struct key_rec {
    const char *str;
    uint32_t hash;
    uint32_t len;
    uint32_t chain; // next key in the same bucket
    uint32_t first; // value records, in insertion order
    uint32_t last;
    uint32_t count;
};

struct value_rec {
    const char *str;
    uint32_t next; // next value of the same key
};

struct chunk {
    chunk *next;
    size_t size;
    size_t used;
    char *data() { return reinterpret_cast<char *>(this + 1); }
};

// FNV-1a over the bytes, with a final mix so that the low bits that pick a
// bucket depend on every byte. Measures the string on the way.
uint32_t hash_str(const char *s, size_t *len)
{
    uint32_t h = 2166136261u;
    const auto *p = reinterpret_cast<const unsigned char *>(s);
    const unsigned char *q = p;
    while (*q) {
        h ^= *q++;
        h *= 16777619u;
    }
    *len = static_cast<size_t>(q - p);
    h ^= h >> 16;
    h *= 0x85ebca6bu;
    h ^= h >> 13;
    return h;
}

} // namespace

struct strmap_table {
    uint32_t *buckets;
    uint32_t nbuckets;
    uint32_t nkeys, capkeys;
    uint32_t nvalues, capvalues;
    key_rec *keys;
    value_rec *values;
    chunk *arena; // the chunk being filled heads the list
};

namespace {

using table = strmap_table;

uint32_t *alloc_buckets(uint32_t n)
{
    size_t bytes;
    if (!array_bytes(n, sizeof(uint32_t), &bytes))
        return nullptr;
    auto *b = static_cast<uint32_t *>(mem_alloc(bytes));
    if (b)
        std::memset(b, 0xff, bytes); // every bucket kNone
    return b;
}

void link_all(table *t)
{
    const uint32_t mask = t->nbuckets - 1;
    for (uint32_t i = 0; i < t->nkeys; i++) {
        uint32_t &head = t->buckets[t->keys[i].hash & mask];
        t->keys[i].chain = head;
        head = i;
    }
}

table *table_create(uint32_t nbuckets)
{
    auto *t = static_cast<table *>(mem_alloc(sizeof(table)));
    if (!t)
        return nullptr;
    std::memset(t, 0, sizeof *t);
    t->buckets = alloc_buckets(nbuckets);
    if (!t->buckets) {
        mem_free(t);
        return nullptr;
    }
    t->nbuckets = nbuckets;
    return t;
}

void table_free(table *t)
{
    if (!t)
        return;
    for (chunk *c = t->arena; c;) {
        chunk *next = c->next;
        mem_free(c);
        c = next;
    }
    mem_free(t->keys);
    mem_free(t->values);
    mem_free(t->buckets);
    mem_free(t);
}

// Room for one more element in a growing array of uint32_t-indexed records.
template <typename T>
bool reserve_one(T **arr, uint32_t n, uint32_t *cap, uint32_t limit)
{
    if (n < *cap)
        return true;
    if (n >= limit)
        return false;
    uint32_t ncap = *cap ? *cap : 8;
    while (ncap <= n)
        ncap = ncap > limit / 2 ? limit : ncap * 2;
    size_t bytes;
    if (!array_bytes(ncap, sizeof(T), &bytes))
        return false;
    void *p = g_realloc(*arr, bytes);
    if (!p)
        return false;
    *arr = static_cast<T *>(p);
    *cap = ncap;
    return true;
}

// n bytes of string storage that never move.
char *arena_alloc(table *t, size_t n)
{
    chunk *c = t->arena;
    if (c && c->size - c->used >= n) {
        char *p = c->data() + c->used;
        c->used += n;
        return p;
    }
    size_t size = c ? (c->size < kMaxChunk ? c->size * 2 : kMaxChunk) : kFirstChunk;
    if (size < n)
        size = n;
    if (size > SIZE_MAX - sizeof(chunk))
        return nullptr;
    auto *nc = static_cast<chunk *>(mem_alloc(sizeof(chunk) + size));
    if (!nc)
        return nullptr;
    nc->size = size;
    nc->used = n;
    // A string larger than the usual chunk gets its own and leaves the
    // current chunk open for the next small ones.
    if (c && size == n && c->size - c->used > 0) {
        nc->next = c->next;
        c->next = nc;
    } else {
        nc->next = c;
        t->arena = nc;
    }
    return nc->data();
}

uint32_t find(const table *t, const char *key, uint32_t hash, size_t len)
{
    uint32_t i = t->buckets[hash & (t->nbuckets - 1)];
    while (i != kNone) {
        const key_rec &k = t->keys[i];
        if (k.hash == hash && k.len == len && std::memcmp(k.str, key, len) == 0)
            return i;
        i = k.chain;
    }
    return kNone;
}

uint32_t lookup(const table *t, const char *key)
{
    if (!t || !key)
        return kNone;
    size_t len;
    const uint32_t h = hash_str(key, &len);
    return find(t, key, h, len);
}

void grow(table *t)
{
    if (t->nbuckets >= kMaxBuckets)
        return;
    uint32_t *b = alloc_buckets(t->nbuckets * 2);
    if (!b)
        return; // longer chains, still correct
    mem_free(t->buckets);
    t->buckets = b;
    t->nbuckets *= 2;
    link_all(t);
}

// Every container is a table pointer, a magic word that says which kind of
// container prepared it, and the bucket count asked for. A zeroed container
// counts as prepared and empty.
template <typename M>
bool usable(const M *h, uint32_t magic)
{
    return h && (h->magic == magic || (h->magic == 0 && h->t == nullptr));
}

template <typename M>
const table *table_of(const M *h, uint32_t magic)
{
    return usable(h, magic) ? h->t : nullptr;
}

// Reads nothing of *h: it may be uninitialised.
template <typename M>
int c_init(M *h, uint32_t magic)
{
    if (!h)
        return -1;
    h->t = nullptr;
    h->magic = magic;
    h->hashsize = 0;
    return 0;
}

template <typename M>
int c_destroy(M *h, uint32_t magic)
{
    if (!usable(h, magic))
        return -1;
    table_free(h->t);
    h->t = nullptr;
    h->magic = magic;
    h->hashsize = 0;
    return 0;
}

bool power_of_two(uint32_t n) { return n != 0 && (n & (n - 1)) == 0; }

// Only recorded: the first insertion allocates the buckets.
template <typename M>
int c_sethashsize(M *h, uint32_t magic, uint32_t size)
{
    size_t bytes;
    if (!usable(h, magic) || !power_of_two(size) || size > kMaxBuckets ||
        !array_bytes(size, sizeof(uint32_t), &bytes))
        return -1;
    if (h->t) {
        if (h->t->nkeys != 0)
            return -1;
        table_free(h->t); // left by an insertion that failed
        h->t = nullptr;
    }
    h->hashsize = size;
    h->magic = magic;
    return 0;
}

template <typename M>
uint32_t c_hashsize(const M *h, uint32_t magic)
{
    if (!usable(h, magic))
        return 0;
    return h->t ? h->t->nbuckets : h->hashsize;
}

// Adds value under key. unique: refuse a key already present. Nothing
// changes unless everything it needs was allocated.
template <typename M>
int c_insert(M *h, uint32_t magic, const char *key, const char *value, bool unique)
{
    if (!usable(h, magic) || !key || !value)
        return -1;
    if (!h->t) {
        h->t = table_create(h->hashsize ? h->hashsize : kDefaultBuckets);
        if (!h->t)
            return -1;
        h->magic = magic;
    }
    table *t = h->t;
    size_t klen, vlen = std::strlen(value);
    const uint32_t hash = hash_str(key, &klen);
    if (klen >= UINT32_MAX || vlen > SIZE_MAX - 2 || klen > SIZE_MAX - 2 - vlen)
        return -1; // key, value and their NULs must fit one size_t
    const uint32_t found = find(t, key, hash, klen);
    if (found != kNone && (unique || t->keys[found].count >= static_cast<uint32_t>(INT_MAX)))
        return -1;
    if (!reserve_one(&t->values, t->nvalues, &t->capvalues, kMaxValues))
        return -1;
    const uint32_t vi = t->nvalues;
    if (found != kNone) {
        char *vs = arena_alloc(t, vlen + 1);
        if (!vs)
            return -1;
        std::memcpy(vs, value, vlen + 1);
        t->values[vi] = value_rec{vs, kNone};
        t->nvalues++;
        key_rec &k = t->keys[found];
        t->values[k.last].next = vi;
        k.last = vi;
        k.count++;
        return 0;
    }
    if (!reserve_one(&t->keys, t->nkeys, &t->capkeys, kMaxKeys))
        return -1;
    // Key and value side by side: one bump for both.
    char *ks = arena_alloc(t, klen + 1 + vlen + 1);
    if (!ks)
        return -1;
    std::memcpy(ks, key, klen + 1);
    char *vs = ks + klen + 1;
    std::memcpy(vs, value, vlen + 1);
    t->values[vi] = value_rec{vs, kNone};
    t->nvalues++;
    const uint32_t ki = t->nkeys++;
    uint32_t &bucket = t->buckets[hash & (t->nbuckets - 1)];
    t->keys[ki] = key_rec{ks, hash, static_cast<uint32_t>(klen), bucket, vi, vi, 1};
    bucket = ki;
    if (t->nkeys > t->nbuckets)
        grow(t);
    return 0;
}

template <typename M>
int c_key_count(const M *h, uint32_t magic, int *count)
{
    if (!usable(h, magic) || !count)
        return -1;
    *count = h->t ? static_cast<int>(h->t->nkeys) : 0;
    return 0;
}

// Key cursors: the table and a key index (nkeys: past the end).
template <typename M, typename C>
const char *key_first(const M *h, uint32_t magic, C *c)
{
    if (!c)
        return nullptr;
    c->t = table_of(h, magic);
    c->key = 0;
    return c->t && c->t->nkeys ? c->t->keys[0].str : nullptr;
}

template <typename C>
const char *key_elem(const C *c)
{
    return c && c->t && c->key < c->t->nkeys ? c->t->keys[c->key].str : nullptr;
}

template <typename C>
const char *key_next(C *c)
{
    if (!c || !c->t || c->key >= c->t->nkeys)
        return nullptr;
    c->key++;
    return key_elem(c);
}

// Value cursors: the table, the key index, the value record (kNone: none or
// past the last) and, where the cursor has one, the position.
template <typename C>
void set_index(C *, uint32_t) {}
inline void set_index(arraymap_value_cursor_t *c, uint32_t i) { c->index = i; }
template <typename C>
void step_index(C *) {}
inline void step_index(arraymap_value_cursor_t *c) { c->index++; }

template <typename M, typename C>
const char *value_first(const M *h, uint32_t magic, const char *key, C *c)
{
    if (!c)
        return nullptr;
    c->t = table_of(h, magic);
    c->key = lookup(c->t, key);
    c->value = c->key != kNone ? c->t->keys[c->key].first : kNone;
    set_index(c, 0);
    return c->value != kNone ? c->t->values[c->value].str : nullptr;
}

template <typename C>
const char *value_next(C *c)
{
    if (!c || !c->t || c->value == kNone)
        return nullptr;
    c->value = c->t->values[c->value].next;
    step_index(c);
    return c->value != kNone ? c->t->values[c->value].str : nullptr;
}

template <typename C>
int value_count(const C *c)
{
    return c && c->t && c->key != kNone ? static_cast<int>(c->t->keys[c->key].count) : 0;
}

} // namespace

extern "C" {

void strmap_set_allocator(void *(*realloc_fn)(void *, size_t), void (*free_fn)(void *))
{
    const bool custom = realloc_fn && free_fn;
    g_realloc = custom ? realloc_fn : default_realloc;
    g_free = custom ? free_fn : default_free;
}

// --- map_t -------------------------------------------------------------

int map_init(map_t *m) { return c_init(m, kMapMagic); }
int map_sethashsize(map_t *m, uint32_t size) { return c_sethashsize(m, kMapMagic, size); }
uint32_t map_hashsize(const map_t *m) { return c_hashsize(m, kMapMagic); }
int map_insert_str(map_t *m, const char *key, const char *value)
{
    return c_insert(m, kMapMagic, key, value, true);
}
const char *map_get(const map_t *m, const char *key)
{
    const table *t = table_of(m, kMapMagic);
    const uint32_t k = lookup(t, key);
    return k != kNone ? t->values[t->keys[k].first].str : nullptr;
}
int map_key_count(const map_t *m, int *count) { return c_key_count(m, kMapMagic, count); }
const char *map_first(const map_t *m, map_cursor_t *c) { return key_first(m, kMapMagic, c); }
const char *map_next(map_cursor_t *c) { return key_next(c); }
const char *map_key(const map_cursor_t *c) { return key_elem(c); }
const char *map_value(const map_cursor_t *c)
{
    return key_elem(c) ? c->t->values[c->t->keys[c->key].first].str : nullptr;
}
int map_destroy(map_t *m) { return c_destroy(m, kMapMagic); }

// --- arraymap_t --------------------------------------------------------

int arraymap_init(arraymap_t *m) { return c_init(m, kArraymapMagic); }
int arraymap_sethashsize(arraymap_t *m, uint32_t size)
{
    return c_sethashsize(m, kArraymapMagic, size);
}
uint32_t arraymap_hashsize(const arraymap_t *m) { return c_hashsize(m, kArraymapMagic); }
int arraymap_insert_str(arraymap_t *m, const char *key, const char *value)
{
    return c_insert(m, kArraymapMagic, key, value, false);
}
int arraymap_key_count(const arraymap_t *m, int *count)
{
    return c_key_count(m, kArraymapMagic, count);
}
const char *arraymap_key_first(const arraymap_t *m, arraymap_key_cursor_t *kc)
{
    return key_first(m, kArraymapMagic, kc);
}
const char *arraymap_key_next(arraymap_key_cursor_t *kc) { return key_next(kc); }
const char *arraymap_key_elem(const arraymap_key_cursor_t *kc) { return key_elem(kc); }
const char *arraymap_value_first(const arraymap_t *m, const char *key, arraymap_value_cursor_t *vc)
{
    return value_first(m, kArraymapMagic, key, vc);
}
const char *arraymap_value_next(arraymap_value_cursor_t *vc) { return value_next(vc); }
int arraymap_value_count(const arraymap_value_cursor_t *vc) { return value_count(vc); }
int arraymap_value_index(const arraymap_value_cursor_t *vc)
{
    return vc ? static_cast<int>(vc->index) : 0;
}
const char *arraymap_value_at(const arraymap_t *m, const char *key, int i)
{
    const table *t = table_of(m, kArraymapMagic);
    const uint32_t k = lookup(t, key);
    if (k == kNone || i < 0 || static_cast<uint32_t>(i) >= t->keys[k].count)
        return nullptr;
    uint32_t v = t->keys[k].first;
    while (i-- > 0)
        v = t->values[v].next;
    return t->values[v].str;
}
int arraymap_destroy(arraymap_t *m) { return c_destroy(m, kArraymapMagic); }

// --- multimap_t --------------------------------------------------------

int multimap_init(multimap_t *m) { return c_init(m, kMultimapMagic); }
int multimap_sethashsize(multimap_t *m, uint32_t size)
{
    return c_sethashsize(m, kMultimapMagic, size);
}
uint32_t multimap_hashsize(const multimap_t *m) { return c_hashsize(m, kMultimapMagic); }
int multimap_insert_str(multimap_t *m, const char *key, const char *value)
{
    return c_insert(m, kMultimapMagic, key, value, false);
}
int multimap_key_count(const multimap_t *m, int *count)
{
    return c_key_count(m, kMultimapMagic, count);
}
const char *multimap_key_first(const multimap_t *m, multimap_key_cursor_t *kc)
{
    return key_first(m, kMultimapMagic, kc);
}
const char *multimap_key_next(multimap_key_cursor_t *kc) { return key_next(kc); }
const char *multimap_key_elem(const multimap_key_cursor_t *kc) { return key_elem(kc); }
const char *multimap_value_first(const multimap_t *m, const char *key, multimap_value_cursor_t *vc)
{
    return value_first(m, kMultimapMagic, key, vc);
}
const char *multimap_value_next(multimap_value_cursor_t *vc) { return value_next(vc); }
int multimap_value_count(const multimap_value_cursor_t *vc) { return value_count(vc); }
int multimap_destroy(multimap_t *m) { return c_destroy(m, kMultimapMagic); }

} // extern "C"
