// String-keyed hash containers.
//
// One table serves the three containers. Keys live in an array in insertion
// order, chained into power-of-two buckets by index; the values of all keys
// live in a second array, each key's values linked in insertion order. The
// strings themselves are bump-allocated from chunks that never move, so an
// insertion costs no allocation of its own in the common case and pointers
// handed out stay valid until destroy.

#include "strmap.h"

#ifdef STRMAP_TESTING
#include "strmap_testing.h"
#endif

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/random.h>
#include <time.h>
#include <unistd.h>

namespace {

// The operations' results: the interface promises only zero and non-zero.
constexpr int kOk = 0;
constexpr int kFailed = -1;

constexpr uint32_t kNone = 0xffffffffu;
constexpr uint32_t kDefaultBuckets = 16;
constexpr uint32_t kMaxBuckets = 1u << 30;
// Counts are reported as int.
constexpr uint32_t kMaxKeys = INT_MAX;
constexpr uint32_t kMaxValues = 0xfffffffeu;
constexpr size_t kFirstChunk = 1024;
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

// Keys are hashed with SipHash-1-3 where words are 64 bits and with its
// 32-bit sibling HalfSipHash-1-3 on 32-bit targets: the same strength for a
// hash table, each cheapest on its own word size. Input is read as
// little-endian words on every target.
#if UINTPTR_MAX > 0xffffffffu
using word = uint64_t;
constexpr int kRot[6] = {13, 32, 16, 21, 17, 32};
constexpr word kInit[4] = {0x736f6d6570736575ull, 0x646f72616e646f6dull, 0x6c7967656e657261ull,
                           0x7465646279746573ull};
#else
using word = uint32_t;
constexpr int kRot[6] = {5, 16, 8, 7, 13, 16};
constexpr word kInit[4] = {0, 0, 0x6c796765u, 0x74656462u};
#endif
constexpr int kWordBits = 8 * sizeof(word);

inline word rotl(word x, int b) { return (x << b) | (x >> (kWordBits - b)); }

inline word load_le(const unsigned char *p)
{
    word w;
    std::memcpy(&w, p, sizeof w);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    w = sizeof w == 8 ? static_cast<word>(__builtin_bswap64(w)) : static_cast<word>(__builtin_bswap32(static_cast<uint32_t>(w)));
#endif
    return w;
}

struct sip_key {
    word k0, k1;
};

inline void sip_round(word &v0, word &v1, word &v2, word &v3)
{
    v0 += v1; v1 = rotl(v1, kRot[0]); v1 ^= v0; v0 = rotl(v0, kRot[1]);
    v2 += v3; v3 = rotl(v3, kRot[2]); v3 ^= v2;
    v0 += v3; v3 = rotl(v3, kRot[3]); v3 ^= v0;
    v2 += v1; v1 = rotl(v1, kRot[4]); v1 ^= v2; v2 = rotl(v2, kRot[5]);
}

inline word sip13(sip_key k, const void *in, size_t len)
{
    const auto *p = static_cast<const unsigned char *>(in);
    word v0 = kInit[0] ^ k.k0, v1 = kInit[1] ^ k.k1, v2 = kInit[2] ^ k.k0, v3 = kInit[3] ^ k.k1;
    for (const unsigned char *end = p + (len & ~(sizeof(word) - 1)); p != end; p += sizeof(word)) {
        const word m = load_le(p);
        v3 ^= m;
        sip_round(v0, v1, v2, v3);
        v0 ^= m;
    }
    word b = static_cast<word>(len) << (kWordBits - 8);
    size_t i = len & (sizeof(word) - 1);
    if (sizeof(word) == 8 && i >= 4) {
        uint32_t w;
        std::memcpy(&w, p, 4);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
        w = __builtin_bswap32(w);
#endif
        b |= w;
        for (; i-- > 4;)
            b |= static_cast<word>(p[i]) << (8 * i);
    } else {
        for (; i-- > 0;)
            b |= static_cast<word>(p[i]) << (8 * i);
    }
    v3 ^= b;
    sip_round(v0, v1, v2, v3);
    v0 ^= b;
    v2 ^= 0xff;
    sip_round(v0, v1, v2, v3);
    sip_round(v0, v1, v2, v3);
    sip_round(v0, v1, v2, v3);
    return sizeof(word) == 8 ? v0 ^ v1 ^ v2 ^ v3 : v1 ^ v3;
}

sip_key key_from_bytes(const unsigned char b[16])
{
    return sip_key{load_le(b), load_le(b + sizeof(word))};
}

// The process secret. getrandom does not block (a device early in its boot
// may have no entropy yet). When it fails, /dev/urandom serves, and failing
// that a mix of the clocks, a stack address and the pid: weaker, as a peer
// who can guess those can guess the key. A secret that is not strong is
// drawn again for each new table until the strong source answers; a forked
// child draws its own before its first table.
sip_key g_key;
uintptr_t g_tables; // tables created so far (a word: atomic everywhere); each derives its own key
pthread_once_t g_key_once = PTHREAD_ONCE_INIT;
pthread_mutex_t g_key_lock = PTHREAD_MUTEX_INITIALIZER; // held while g_key is drawn again
bool g_key_stale; // draw again at the next table; written under g_key_lock

bool read_urandom(unsigned char *b, size_t n)
{
    const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    size_t got = 0;
    while (got < n) {
        const ssize_t r = read(fd, b + got, n - got);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        got += static_cast<size_t>(r);
    }
    close(fd);
    return got == n;
}

// Draws g_key; true when it came from a strong source.
bool fill_key()
{
    unsigned char b[16];
    size_t got = 0;
    int err = 0;
    while (got < sizeof b) {
        const ssize_t r = getrandom(b + got, sizeof b - got, GRND_NONBLOCK);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0) {
            err = r < 0 ? errno : EIO;
            break;
        }
        got += static_cast<size_t>(r);
    }
    bool strong = got == sizeof b;
    if (!strong && read_urandom(b, sizeof b)) {
        // A kernel without getrandom has nothing better; one whose pool is
        // still filling (EAGAIN) may give guessable bytes here.
        strong = err == ENOSYS;
    } else if (!strong) {
        struct {
            timespec mono, real;
            const void *stack;
            pid_t pid;
        } seed;
        std::memset(&seed, 0, sizeof seed); // padding included: all of it is hashed
        clock_gettime(CLOCK_MONOTONIC, &seed.mono);
        clock_gettime(CLOCK_REALTIME, &seed.real);
        seed.stack = &seed;
        seed.pid = getpid();
        for (int i = 0; i < 16; i += static_cast<int>(sizeof(word))) {
            const word w = sip13(sip_key{static_cast<word>(i), 0}, &seed, sizeof seed);
            std::memcpy(b + i, &w, sizeof w);
        }
    }
    g_key = key_from_bytes(b);
    return strong;
}

// Parent and child would otherwise key their next tables alike.
void fork_prepare() { pthread_mutex_lock(&g_key_lock); }
void fork_parent() { pthread_mutex_unlock(&g_key_lock); }
void fork_child()
{
    __atomic_store_n(&g_key_stale, true, __ATOMIC_RELEASE);
    pthread_mutex_unlock(&g_key_lock);
}

void draw_key()
{
    __atomic_store_n(&g_key_stale, !fill_key(), __ATOMIC_RELEASE);
    pthread_atfork(fork_prepare, fork_parent, fork_child);
}

// A table's key: the process secret applied to the table's sequence number.
sip_key table_key()
{
    pthread_once(&g_key_once, draw_key);
    sip_key secret;
    if (__atomic_load_n(&g_key_stale, __ATOMIC_ACQUIRE)) [[unlikely]] {
        pthread_mutex_lock(&g_key_lock);
        if (g_key_stale)
            __atomic_store_n(&g_key_stale, !fill_key(), __ATOMIC_RELEASE);
        secret = g_key;
        pthread_mutex_unlock(&g_key_lock);
    } else {
        secret = g_key; // no longer written once strong
    }
    const uintptr_t n = __atomic_fetch_add(&g_tables, 1, __ATOMIC_RELAXED);
    // The second word from the first: as unpredictable, without the secret.
    const word k0 = sip13(secret, &n, sizeof n);
    return sip_key{k0, sip13(secret, &k0, sizeof k0)};
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
    sip_key key;
    size_t bytes; // everything allocated for this table, by requested size
    size_t limit; // cap on bytes; 0: none
    bool packed;  // allocated as a first_block
};

namespace {

using table = strmap_table;

constexpr uint32_t kFirstRecords = 16;

// Without a cap, the first allocation holds the table with its default
// buckets, its first key and value records and its first string chunk: one
// allocation instead of five for a small container.
struct first_block {
    table t;
    uint32_t buckets[kDefaultBuckets];
    key_rec keys[kFirstRecords];
    value_rec values[kFirstRecords];
    chunk c; // its data follows
    char data[kFirstChunk];
};

// Whether p is part of t's first block (and so is released with it).
bool in_block(const table *t, const void *p)
{
    const auto a = reinterpret_cast<uintptr_t>(p), b = reinterpret_cast<uintptr_t>(t);
    return t->packed && a >= b && a < b + sizeof(first_block);
}

size_t sat_add(size_t a, size_t b) { return a > SIZE_MAX - b ? SIZE_MAX : a + b; }

// What the cap still allows the table to take.
size_t room(const table *t)
{
    return !t->limit ? SIZE_MAX : t->limit > t->bytes ? t->limit - t->bytes : 0;
}

uint32_t hash_key(const table *t, const char *s, size_t len)
{
    return static_cast<uint32_t>(sip13(t->key, s, len));
}

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

// Under a cap the buckets take at most a quarter of it, and leave room for
// first, what the first insertion needs besides.
table *table_create(uint32_t nbuckets, size_t limit, size_t first)
{
    if (limit) {
        const size_t base = sat_add(sizeof(table), first);
        if (sat_add(base, sizeof(uint32_t)) > limit)
            return nullptr;
        while (nbuckets > 1 && (size_t{nbuckets} * sizeof(uint32_t) > limit / 4 ||
                                base + size_t{nbuckets} * sizeof(uint32_t) > limit))
            nbuckets /= 2;
    }
    const bool packed = !limit;
    const size_t size = packed ? sizeof(first_block) : sizeof(table);
    auto *t = static_cast<table *>(mem_alloc(size));
    if (!t)
        return nullptr;
    std::memset(t, 0, sizeof *t);
    t->packed = packed;
    t->bytes = size;
    if (packed && nbuckets == kDefaultBuckets) {
        t->buckets = reinterpret_cast<first_block *>(t)->buckets;
        std::memset(t->buckets, 0xff, sizeof(first_block::buckets));
    } else {
        t->buckets = alloc_buckets(nbuckets);
        if (!t->buckets) {
            mem_free(t);
            return nullptr;
        }
        t->bytes += size_t{nbuckets} * sizeof(uint32_t);
    }
    if (packed) {
        auto *fb = reinterpret_cast<first_block *>(t);
        t->keys = fb->keys;
        t->values = fb->values;
        t->capkeys = t->capvalues = kFirstRecords;
        fb->c = chunk{nullptr, kFirstChunk, 0};
        t->arena = &fb->c;
    }
    t->nbuckets = nbuckets;
    t->key = table_key();
    t->limit = limit;
    return t;
}

void table_free(table *t)
{
    if (!t)
        return;
    for (chunk *c = t->arena; c;) {
        chunk *next = c->next;
        if (!in_block(t, c))
            mem_free(c);
        c = next;
    }
    if (!in_block(t, t->keys))
        mem_free(t->keys);
    if (!in_block(t, t->values))
        mem_free(t->values);
    if (!in_block(t, t->buckets))
        mem_free(t->buckets);
    mem_free(t);
}

// What a growing array of cap records frees once it has moved: nothing
// for the records in the first block, which go with the block.
template <typename T>
size_t freed_by_move(const table *t, const T *arr, uint32_t cap)
{
    return in_block(t, arr) ? 0 : size_t{cap} * sizeof(T);
}

size_t sat_sub(size_t a, size_t b) { return a > b ? a - b : 0; }

// Room for one more element in a growing array of uint32_t-indexed records.
// A realloc that moves holds the old array and the new one together, so
// under a cap the whole new array must fit beside the old, and later, what
// the insertion still needs after this array, beside what is left once the
// old one is released. It grows by less than double when double does not
// fit.
template <typename T>
bool reserve_one(table *t, T **arr, uint32_t n, uint32_t *cap, uint32_t limit, size_t later)
{
    if (n < *cap)
        return true;
    if (n >= limit)
        return false;
    uint32_t ncap = *cap ? *cap : 16;
    while (ncap <= n)
        ncap = ncap > limit / 2 ? limit : ncap * 2;
    if (t->limit) {
        const size_t r = room(t), after = sat_sub(later, freed_by_move(t, *arr, *cap));
        const size_t fit = r > after ? (r - after) / sizeof(T) : 0;
        if (fit <= *cap)
            return false;
        if (ncap > fit)
            ncap = *cap + static_cast<uint32_t>(fit - *cap > 1 ? (fit - *cap) / 2 : 1);
    }
    size_t bytes;
    if (!array_bytes(ncap, sizeof(T), &bytes))
        return false;
    // Records in the first block are copied out, never released on their own.
    const bool moved = in_block(t, *arr);
    void *p = g_realloc(moved ? nullptr : *arr, bytes);
    if (!p)
        return false;
    if (moved)
        std::memcpy(p, *arr, size_t{*cap} * sizeof(T));
    *arr = static_cast<T *>(p);
    t->bytes += size_t{moved ? ncap : ncap - *cap} * sizeof(T);
    *cap = ncap;
    return true;
}

// Bytes a string of n bytes adds to the footprint: none while the open chunk
// has room.
size_t chunk_need(const table *t, size_t n)
{
    const chunk *c = t->arena;
    return c && c->size - c->used >= n ? 0 : sat_add(sizeof(chunk), n);
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
    if (t->limit) {
        const size_t r = room(t);
        if (sizeof(chunk) + n > r)
            return nullptr;
        if (sizeof(chunk) + size > r)
            size = n > (r - sizeof(chunk)) / 2 ? n : (r - sizeof(chunk)) / 2;
    }
    auto *nc = static_cast<chunk *>(mem_alloc(sizeof(chunk) + size));
    if (!nc)
        return nullptr;
    t->bytes += sizeof(chunk) + size;
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
    const size_t len = std::strlen(key);
    return find(t, key, hash_key(t, key, len), len);
}

// Under a cap, the new buckets must fit beside the old ones (both are held
// while the keys move) and within a quarter of the cap.
void grow(table *t)
{
    if (t->nbuckets >= kMaxBuckets)
        return;
    const size_t bytes = size_t{t->nbuckets} * 2 * sizeof(uint32_t);
    if (t->limit && (bytes > room(t) || bytes > t->limit / 4))
        return;
    uint32_t *b = alloc_buckets(t->nbuckets * 2);
    if (!b)
        return; // longer chains, still correct
    if (in_block(t, t->buckets)) {
        t->bytes += bytes;
    } else {
        mem_free(t->buckets);
        t->bytes += bytes / 2;
    }
    t->buckets = b;
    t->nbuckets *= 2;
    link_all(t);
}

// Every container is a table pointer, a magic word that says which kind of
// container prepared it, the bucket count asked for and the cap. A zeroed
// container counts as prepared and empty.
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
        return kFailed;
    h->t = nullptr;
    h->magic = magic;
    h->hashsize = 0;
    h->limit = 0;
    return kOk;
}

template <typename M>
int c_destroy(M *h, uint32_t magic)
{
    if (!usable(h, magic))
        return kFailed;
    table_free(h->t);
    return c_init(h, magic);
}

bool power_of_two(uint32_t n) { return n != 0 && (n & (n - 1)) == 0; }

// Only recorded: the first insertion allocates the buckets.
template <typename M>
int c_sethashsize(M *h, uint32_t magic, uint32_t size)
{
    size_t bytes;
    if (!usable(h, magic) || !power_of_two(size) || size > kMaxBuckets ||
        !array_bytes(size, sizeof(uint32_t), &bytes))
        return kFailed;
    if (h->t) {
        if (h->t->nkeys != 0)
            return kFailed;
        table_free(h->t); // left by an insertion that failed
        h->t = nullptr;
    }
    h->hashsize = size;
    h->magic = magic;
    return kOk;
}

template <typename M>
uint32_t c_hashsize(const M *h, uint32_t magic)
{
    if (!usable(h, magic))
        return 0;
    return h->t ? h->t->nbuckets : h->hashsize;
}

template <typename M>
size_t c_footprint(const M *h, uint32_t magic)
{
    const table *t = table_of(h, magic);
    return t ? t->bytes : 0;
}

template <typename M>
int c_setlimit(M *h, uint32_t magic, size_t max_bytes)
{
    if (!usable(h, magic))
        return kFailed;
    h->limit = max_bytes;
    if (h->t)
        h->t->limit = max_bytes;
    h->magic = magic;
    return kOk;
}

// Adds value under key to t. unique: refuse a key already present. Nothing
// changes unless everything it needs was allocated. One copy for every
// kind of container.
int table_insert(table *t, const char *key, size_t klen, const char *value, size_t vlen, bool unique)
{
    const uint32_t hash = hash_key(t, key, klen);
    const uint32_t found = find(t, key, hash, klen);
    if (found != kNone && (unique || t->keys[found].count >= static_cast<uint32_t>(INT_MAX)))
        return kFailed;
    const size_t sbytes = found != kNone ? vlen + 1 : klen + 1 + vlen + 1;
    // Under a cap, everything this insertion may allocate is checked first,
    // so that it fails before changing anything.
    // An array that grows needs at least one more record than it holds,
    // beside the old one (reserve_one).
    size_t after_keys = 0, after_values = 0;
    if (t->limit) {
        after_keys = chunk_need(t, sbytes);
        const bool grow_keys = found == kNone && t->nkeys == t->capkeys;
        const size_t new_keys = grow_keys ? sat_add(size_t{t->capkeys}, 1) * sizeof(key_rec) : 0;
        after_values = sat_add(new_keys, after_keys);
        size_t need = after_keys;
        if (t->nvalues == t->capvalues)
            need = sat_add(sat_add(size_t{t->capvalues}, 1) * sizeof(value_rec),
                           sat_sub(after_values, freed_by_move(t, t->values, t->capvalues)));
        else if (grow_keys)
            need = sat_add(new_keys, sat_sub(after_keys, freed_by_move(t, t->keys, t->capkeys)));
        if (need > room(t))
            return kFailed;
    }
    if (!reserve_one(t, &t->values, t->nvalues, &t->capvalues, kMaxValues, after_values))
        return kFailed;
    const uint32_t vi = t->nvalues;
    if (found != kNone) {
        char *vs = arena_alloc(t, sbytes);
        if (!vs)
            return kFailed;
        std::memcpy(vs, value, vlen + 1);
        t->values[vi] = value_rec{vs, kNone};
        t->nvalues++;
        key_rec &k = t->keys[found];
        t->values[k.last].next = vi;
        k.last = vi;
        k.count++;
        return kOk;
    }
    if (!reserve_one(t, &t->keys, t->nkeys, &t->capkeys, kMaxKeys, after_keys))
        return kFailed;
    // Key and value side by side: one bump for both.
    char *ks = arena_alloc(t, sbytes);
    if (!ks)
        return kFailed;
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
    return kOk;
}

template <typename M>
int c_insert(M *h, uint32_t magic, const char *key, const char *value, bool unique)
{
    if (!usable(h, magic) || !key || !value)
        return kFailed;
    const size_t klen = std::strlen(key), vlen = std::strlen(value);
    if (klen >= UINT32_MAX || vlen > SIZE_MAX - 2 || klen > SIZE_MAX - 2 - vlen)
        return kFailed; // key, value and their NULs must fit one size_t
    if (!h->t) {
        const size_t first = sat_add(sizeof(key_rec) + sizeof(value_rec) + sizeof(chunk), klen + 1 + vlen + 1);
        h->t = table_create(h->hashsize ? h->hashsize : kDefaultBuckets, h->limit, first);
        if (!h->t)
            return kFailed;
        h->magic = magic;
    }
    return table_insert(h->t, key, klen, value, vlen, unique);
}

template <typename M>
int c_key_count(const M *h, uint32_t magic, int *count)
{
    if (!usable(h, magic) || !count)
        return kFailed;
    *count = h->t ? static_cast<int>(h->t->nkeys) : 0;
    return kOk;
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
size_t map_footprint(const map_t *m) { return c_footprint(m, kMapMagic); }
int map_setlimit(map_t *m, size_t max_bytes) { return c_setlimit(m, kMapMagic, max_bytes); }

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
size_t arraymap_footprint(const arraymap_t *m) { return c_footprint(m, kArraymapMagic); }
int arraymap_setlimit(arraymap_t *m, size_t max_bytes) { return c_setlimit(m, kArraymapMagic, max_bytes); }

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
size_t multimap_footprint(const multimap_t *m) { return c_footprint(m, kMultimapMagic); }
int multimap_setlimit(multimap_t *m, size_t max_bytes) { return c_setlimit(m, kMultimapMagic, max_bytes); }

// --- test hooks (the test build only) ------------------------------------
#ifdef STRMAP_TESTING

void strmap_testing_fix_key(const unsigned char key[16])
{
    pthread_once(&g_key_once, draw_key);
    g_key = key_from_bytes(key);
    g_tables = 0;
}

uint32_t strmap_testing_hash(const unsigned char key[16], const void *in, size_t len)
{
    return static_cast<uint32_t>(sip13(key_from_bytes(key), in, len));
}

uint32_t strmap_testing_table_hash(const strmap_table *t, const char *key)
{
    return hash_key(t, key, std::strlen(key));
}

uint32_t strmap_testing_longest_chain(const strmap_table *t)
{
    uint32_t longest = 0;
    for (uint32_t b = 0; t && b < t->nbuckets; b++) {
        uint32_t n = 0;
        for (uint32_t i = t->buckets[b]; i != kNone; i = t->keys[i].chain)
            n++;
        longest = n > longest ? n : longest;
    }
    return longest;
}

#endif

} // extern "C"
