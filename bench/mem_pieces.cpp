// Memory of a decode in pieces: a map_t message of the given size, made on
// the fly and fed in 4 KiB pieces through the incremental stream, never held
// whole. Reports the peak heap in use beyond the decoded container, which
// should stay a small constant whatever the message size.
//
//   mem_pieces [MiB ...]      (default: 64 16)
#include <malloc.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <axdr_runtime.h>
#include <quillet/quillet.h>

namespace {

constexpr size_t piece_size = 4096;
constexpr size_t value_len = 100;
// Per entry: key "k" + 9 digits (4 + 12 bytes), value (4 + 100 bytes).
constexpr size_t entry_bytes = 16 + 4 + value_len;

// Heap blocks in use, large (mapped) ones included.
size_t heap_in_use()
{
    struct mallinfo2 mi = mallinfo2();
    return mi.uordblks + mi.hblkhd;
}

// The container's own bytes, as the heap counts them: the change in use
// across each of its allocator calls.
long long container_bytes = 0;

void *counting_realloc(void *p, size_t n)
{
    const size_t before = heap_in_use();
    void *q = std::realloc(p, n);
    container_bytes += static_cast<long long>(heap_in_use()) - static_cast<long long>(before);
    return q;
}

void counting_free(void *p)
{
    const size_t before = heap_in_use();
    std::free(p);
    container_bytes += static_cast<long long>(heap_in_use()) - static_cast<long long>(before);
}

// Writes the message a piece at a time.
class Generator {
public:
    explicit Generator(uint32_t entries) : entries_(entries) { put32(entries); }

    // Fills buf with up to max bytes of the message; 0 at the end.
    size_t next(unsigned char *buf, size_t max)
    {
        size_t n = 0;
        while (n < max) {
            if (off_ == len_) {
                if (done_ == entries_)
                    break;
                make_entry(done_++);
            }
            size_t take = len_ - off_ < max - n ? len_ - off_ : max - n;
            std::memcpy(buf + n, pending_ + off_, take);
            off_ += take;
            n += take;
        }
        return n;
    }

private:
    void put32(uint32_t v)
    {
        for (int sh = 24; sh >= 0; sh -= 8)
            pending_[len_++] = static_cast<unsigned char>(v >> sh);
    }

    void make_entry(uint32_t i)
    {
        len_ = off_ = 0;
        char key[16];
        std::snprintf(key, sizeof key, "k%09u", i);
        put32(10);
        std::memcpy(pending_ + len_, key, 10);
        len_ += 10;
        pending_[len_++] = 0;
        pending_[len_++] = 0;
        put32(value_len);
        std::memset(pending_ + len_, 'a' + static_cast<int>(i % 26), value_len);
        len_ += value_len;
    }

    uint32_t entries_;
    uint32_t done_ = 0;
    unsigned char pending_[entry_bytes + 8];
    size_t len_ = 0;
    size_t off_ = 0;
};

int run(size_t mib)
{
    const uint32_t entries = static_cast<uint32_t>((mib << 20) / entry_bytes);
    static unsigned char piece[piece_size];
    container_bytes = 0;
    const size_t base = heap_in_use();

    axdr_stream_t *s = axdr_incr_create(AXDR_DECODE, 0);
    if (!s)
        return 1;
    Generator gen(entries);
    map_t m{};
    int r = AXDR_PENDING;
    size_t total = 0, pieces = 0;
    long long peak = 0;
    while (r == AXDR_PENDING) {
        size_t n = gen.next(piece, sizeof piece);
        if (n == 0) {
            axdr_feed_end(s);
        } else if (axdr_feed(s, piece, n) != 0) {
            break;
        }
        total += n;
        pieces += n != 0;
        r = axdr_map_t(s, &m);
        long long beyond = static_cast<long long>(heap_in_use() - base) - container_bytes;
        if (beyond > peak)
            peak = beyond;
    }
    int count = 0;
    map_key_count(&m, &count);
    std::printf("message %zu bytes (%zu MiB), %zu pieces of %zu, %d entries: peak heap beyond the "
                "container %lld bytes (container %lld bytes)\n",
                total, mib, pieces, piece_size, count, peak, container_bytes);
    map_destroy(&m);
    axdr_destroy(s);
    if (r != AXDR_TRUE || static_cast<uint32_t>(count) != entries) {
        std::fprintf(stderr, "decode failed\n");
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    strmap_set_allocator(counting_realloc, counting_free);
    size_t defaults[] = {64, 16};
    int status = 0;
    if (argc > 1) {
        for (int i = 1; i < argc; ++i)
            status |= run(std::strtoul(argv[i], nullptr, 10));
    } else {
        for (size_t mib : defaults)
            status |= run(mib);
    }
    return status;
}
