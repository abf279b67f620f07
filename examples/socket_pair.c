/*
 * Moving values over a non-blocking socket with the resumable filters.
 *
 * One process plays both ends of a socketpair and takes turns. The sender
 * encodes into an incremental stream whose window holds 16 bytes: when it is
 * full the filter returns a pending status and the sender writes what the
 * stream holds to the socket. The socket buffers are as small as the system
 * allows, so writes meet EAGAIN too; then the sender waits for its next turn.
 * The receiver feeds whatever recv() returns to its stream and calls its
 * filter; a pending status there means "more bytes needed".
 *
 * The rule on both ends: after a pending status, call the same filter again
 * with the same arguments once the stream can move (output drained, input
 * fed). Do not touch an object while its encode is pending.
 */
#define _POSIX_C_SOURCE 200809L

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <axdr_runtime.h>
#include <quillet/quillet.h>

#define NVALUES 2

/* The two filters under one type, so that each end walks a list. */
static int f_multimap(axdr_stream_t *s, void *obj) { return axdr_multimap_t(s, obj); }
static int f_cidr(axdr_stream_t *s, void *obj) { return axdr_nu_ipcidr_t(s, obj); }
static const axdr_filter_t filters[NVALUES] = {f_multimap, f_cidr};

struct end {
    axdr_stream_t *xs;
    int fd;
    int value;        /* the value in transfer; NVALUES when all are done */
    unsigned pending; /* pending statuses returned by the filters */
    unsigned again;   /* EAGAIN from the socket */
};

/* One turn of the sender: write out what the stream holds, and when it is
 * empty let the filter produce more. -1 on failure. */
static int sender_turn(struct end *tx, void *const objs[])
{
    for (;;) {
        size_t len;
        const void *out = axdr_output(tx->xs, &len);
        if (len > 0) {
            ssize_t n = send(tx->fd, out, len, MSG_NOSIGNAL);
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                tx->again++; /* socket full: go on next turn */
                return 0;
            }
            if (n < 0) {
                perror("send");
                return -1;
            }
            axdr_output_consume(tx->xs, (size_t)n);
            continue;
        }
        if (tx->value == NVALUES) {
            shutdown(tx->fd, SHUT_WR); /* all sent: the receiver sees the end */
            return 0;
        }
        int r = filters[tx->value](tx->xs, objs[tx->value]);
        if (r == AXDR_TRUE) {
            tx->value++;
        } else if (r == AXDR_FALSE) {
            return -1;
        } else {
            tx->pending++; /* window full: drain, then call again */
        }
    }
}

/* One turn of the receiver: feed what has arrived and decode as far as it
 * goes. -1 on failure. */
static int receiver_turn(struct end *rx, void *const objs[])
{
    unsigned char buf[64];
    ssize_t n = recv(rx->fd, buf, sizeof buf, 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        rx->again++;
        return 0;
    }
    if (n < 0) {
        perror("recv");
        return -1;
    }
    if (n == 0)
        axdr_feed_end(rx->xs); /* a value still pending now ends with FALSE */
    else if (axdr_feed(rx->xs, buf, (size_t)n) != 0)
        return -1;
    /* One piece may finish a value and start the next. */
    while (rx->value < NVALUES) {
        int r = filters[rx->value](rx->xs, objs[rx->value]);
        if (r == AXDR_FALSE)
            return -1;
        if (r != AXDR_TRUE) {
            rx->pending++; /* more bytes needed */
            return 0;
        }
        rx->value++;
    }
    return 0;
}

static int same_multimap(const multimap_t *a, const multimap_t *b)
{
    int na, nb;
    if (multimap_key_count(a, &na) || multimap_key_count(b, &nb) || na != nb)
        return 0;
    multimap_key_cursor_t kc;
    for (const char *key = multimap_key_first(a, &kc); key; key = multimap_key_next(&kc)) {
        multimap_value_cursor_t va, vb;
        const char *x = multimap_value_first(a, key, &va);
        const char *y = multimap_value_first(b, key, &vb);
        for (; x && y; x = multimap_value_next(&va), y = multimap_value_next(&vb))
            if (strcmp(x, y) != 0)
                return 0;
        if (x || y)
            return 0;
    }
    return 1;
}

static void shrink_buffers(int fd)
{
    int one = 1; /* the kernel raises it to its minimum */
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &one, sizeof one);
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &one, sizeof one);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

int main(void)
{
    multimap_t sent_map, got_map;
    nu_ipcidr_t sent_net, got_net;
    memset(&got_map, 0, sizeof got_map);
    memset(&got_net, 0, sizeof got_net);

    /* What to send: a few hundred bytes, many times the window. */
    if (multimap_init(&sent_map) != 0 || nu_cidr_from_str("2001:db8:40::/42", &sent_net) != 0)
        return 1;
    for (int i = 0; i < 12; i++) {
        char key[16], value[32];
        snprintf(key, sizeof key, "peer%02d", i);
        snprintf(value, sizeof value, "192.0.2.%d", i + 1);
        multimap_insert_str(&sent_map, key, value);
        snprintf(value, sizeof value, "2001:db8::%x", i + 1);
        multimap_insert_str(&sent_map, key, value);
    }
    void *const sent[NVALUES] = {&sent_map, &sent_net};
    void *const got[NVALUES] = {&got_map, &got_net};

    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) {
        perror("socketpair");
        return 1;
    }
    shrink_buffers(sv[0]);
    shrink_buffers(sv[1]);
    struct end tx = {axdr_incr_create(AXDR_ENCODE, 16), sv[0], 0, 0, 0};
    struct end rx = {axdr_incr_create(AXDR_DECODE, 0), sv[1], 0, 0, 0};
    int ok = tx.xs && rx.xs;

    /* Take turns until the receiver has everything (bounded, in case of a
     * fault). */
    for (int turn = 0; ok && rx.value < NVALUES && turn < 100000; turn++)
        ok = sender_turn(&tx, sent) == 0 && receiver_turn(&rx, got) == 0;
    ok = ok && rx.value == NVALUES;

    /* A receiver stopped mid-value still holds parts of it: end the input
     * and call once more so that the filters let go of them. */
    if (rx.xs && rx.value < NVALUES) {
        axdr_feed_end(rx.xs);
        filters[rx.value](rx.xs, got[rx.value]);
    }

    char a[NU_IPCIDR_STRSIZE] = "", b[NU_IPCIDR_STRSIZE] = "";
    if (ok) {
        nu_cidr_to_str(&sent_net, a, sizeof a);
        nu_cidr_to_str(&got_net, b, sizeof b);
        ok = same_multimap(&sent_map, &got_map) && strcmp(a, b) == 0;
    }
    printf("sender:   %llu bytes, %u pending statuses, %u EAGAIN\n",
           (unsigned long long)(tx.xs ? axdr_getpos(tx.xs) : 0), tx.pending, tx.again);
    printf("receiver: %llu bytes, %u pending statuses, %u EAGAIN\n",
           (unsigned long long)(rx.xs ? axdr_getpos(rx.xs) : 0), rx.pending, rx.again);
    printf("%s: multimap of 12 keys and %s\n", ok ? "received" : "FAILED", b);
    /* Both ends must really have waited, or this shows nothing. */
    ok = ok && tx.pending > 0 && tx.again > 0 && rx.pending > 0;

    /* The decoded multimap is freed through its filter on the stream that
     * decoded it, like any decode. */
    if (rx.xs) {
        rx.xs->x_op = AXDR_FREE;
        axdr_multimap_t(rx.xs, &got_map);
    }
    multimap_destroy(&sent_map);
    axdr_destroy(tx.xs);
    axdr_destroy(rx.xs);
    close(sv[0]);
    close(sv[1]);
    return ok ? 0 : 1;
}
