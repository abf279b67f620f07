/*
 * The README's sample, compiled and run: a map arrives over a non-blocking
 * socket and is read with the map cursor. The sample itself (from the
 * #include lines to the end of print_map) is the README's text, word for
 * word; a test checks that they agree.
 */
#define _POSIX_C_SOURCE 200809L

/* The sample's two functions, as a header would declare them. */
struct map;
int receive_map(int fd, struct map *m);
void print_map(const struct map *m);

#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <unistd.h>
#include <axdr_runtime.h>
#include <quillet/quillet.h>

/* Receives one map_t into *m (zeroed, or empty) from a non-blocking
 * socket, in whatever pieces it comes, holding at most 2 * 4096 + 16 KiB
 * for it whatever the peer sends. 0 when *m holds the map (release it with
 * map_destroy), else -1. */
int receive_map(int fd, map_t *m)
{
    axdr_stream_t *s = axdr_incr_create(AXDR_DECODE, 0);
    int r = AXDR_PENDING;
    if (!s)
        return -1;
    axdr_set_budget(s, 4096);              /* takes pieces of up to 4096 */
    while (r != AXDR_TRUE && r != AXDR_FALSE) {
        char buf[1500];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            struct pollfd p = {fd, POLLIN, 0};
            poll(&p, 1, -1);               /* sleep until there is input */
            continue;                      /* (or an error, which read reports) */
        }
        /* A piece the stream refuses fails it: nothing after a gap decodes. */
        if (n <= 0 || axdr_feed(s, buf, (size_t)n) != 0)
            axdr_feed_end(s);              /* closed, failed or refused: unwind */
        r = axdr_map_t(s, m);              /* same arguments every call */
    }
    axdr_destroy(s);
    if (r != AXDR_TRUE) {
        map_destroy(m);                    /* what a failed decode left */
        return -1;
    }
    return 0;
}

/* Reads a decoded map: the cursor walks the keys in the order they came. */
void print_map(const map_t *m)
{
    map_cursor_t c;
    for (const char *k = map_first(m, &c); k; k = map_next(&c))
        printf("%s = %s\n", k, map_value(&c));
}

#include <fcntl.h>
#include <string.h>
#include <sys/socket.h>

int main(void)
{
    int sv[2];
    map_t out = {0}, in = {0};
    unsigned char wire[512];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0 || fcntl(sv[0], F_SETFL, O_NONBLOCK) != 0) {
        perror("socketpair");
        return 1;
    }
    map_insert_str(&out, "host", "example.net");
    map_insert_str(&out, "port", "8080");
    axdr_stream_t *enc = axdr_mem_create(wire, sizeof wire, AXDR_ENCODE);
    if (!enc || axdr_map_t(enc, &out) != AXDR_TRUE ||
        write(sv[1], wire, (size_t)axdr_getpos(enc)) != (ssize_t)axdr_getpos(enc))
        return 1;
    axdr_destroy(enc);
    close(sv[1]); /* the end of input */
    if (receive_map(sv[0], &in) != 0)
        return 1;
    print_map(&in);
    const char *port = map_get(&in, "port");
    int ok = port && strcmp(port, "8080") == 0;
    map_destroy(&in);
    map_destroy(&out);
    close(sv[0]);
    return ok ? 0 : 1;
}
