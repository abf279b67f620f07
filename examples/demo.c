/*
 * The demo: encode a few values, move their bytes 7 at a time from an
 * encoding stream to a decoding one, and print what arrived.
 *
 * The encoder's window holds 7 bytes, so its filter stops with a pending
 * status each time the window is full; the decoder gets 7 bytes per call,
 * so its filter stops each time it needs more. Each side just calls its
 * filter again with the same arguments when its stream can move, and the
 * filter goes on where it stopped.
 */
#include <stdio.h>
#include <string.h>

#include <axdr_runtime.h>
#include <quillet/quillet.h>

#define PIECE 7

static int f_multimap(axdr_stream_t *s, void *o) { return axdr_multimap_t(s, o); }
static int f_cidr(axdr_stream_t *s, void *o) { return axdr_nu_ipcidr_t(s, o); }
static int f_rlimit(axdr_stream_t *s, void *o) { return axdr_rlimit(s, o); }
static int f_mac(axdr_stream_t *s, void *o) { return axdr_nu_macaddr_t(s, o); }

static int is_pending(int r) { return r != AXDR_TRUE && r != AXDR_FALSE; }

/* Moves one value from sent to got in pieces; 0 when it arrived whole. The
 * decoding stream *dec stays with the caller, who frees got on it. */
static int transfer(const char *type, axdr_filter_t filter, void *sent, void *got,
                    axdr_stream_t **decp)
{
    axdr_stream_t *enc = axdr_incr_create(AXDR_ENCODE, PIECE);
    axdr_stream_t *dec = *decp = axdr_incr_create(AXDR_DECODE, 0);
    if (!enc || !dec) {
        axdr_destroy(enc);
        return -1;
    }
    int er = AXDR_PENDING, dr = AXDR_PENDING;
    unsigned enc_pending = 0, dec_pending = 0, pieces = 0;
    while (is_pending(dr)) {
        if (is_pending(er) && is_pending(er = filter(enc, sent)))
            enc_pending++; /* window full */
        unsigned char piece[PIECE];
        size_t n = axdr_drain(enc, piece, sizeof piece);
        if (n == 0 && !is_pending(er))
            axdr_feed_end(dec); /* nothing more will come */
        else if (n > 0) {
            pieces++;
            axdr_feed(dec, piece, n);
        }
        if (is_pending(dr = filter(dec, got)))
            dec_pending++; /* needs more bytes */
    }
    printf("%s: %llu bytes in %u pieces; the encoder was pending %u times, the "
           "decoder %u times\n",
           type, (unsigned long long)axdr_getpos(dec), pieces, enc_pending, dec_pending);
    axdr_destroy(enc);
    return er == AXDR_TRUE && dr == AXDR_TRUE ? 0 : -1;
}

/* The printed text of obj; the caller owns the stream that holds it. */
static const char *print_text(axdr_stream_t *ps, axdr_filter_t filter, void *obj)
{
    axdr_print_clear(ps);
    if (filter(ps, obj) != AXDR_TRUE || axdr_print_finish(ps) != 0)
        return NULL;
    return axdr_print_text(ps, NULL);
}

int main(void)
{
    multimap_t sent_map, got_map;
    nu_ipcidr_t sent_net, got_net;
    struct rlimit sent_lim = {.rlim_cur = 1024, .rlim_max = RLIM_INFINITY};
    struct rlimit got_lim = {.rlim_cur = 0, .rlim_max = 0};
    nu_macaddr_t sent_mac, got_mac;
    memset(&got_map, 0, sizeof got_map);
    memset(&got_net, 0, sizeof got_net);
    memset(&got_mac, 0, sizeof got_mac);
    if (multimap_init(&sent_map) != 0 ||
        multimap_insert_str(&sent_map, "nameserver", "192.0.2.53") != 0 ||
        multimap_insert_str(&sent_map, "nameserver", "2001:db8::53") != 0 ||
        multimap_insert_str(&sent_map, "search", "example.net") != 0 ||
        nu_cidr_from_str("198.51.100.0/24", &sent_net) != 0 ||
        nu_macaddr_from_str("02:00:5e:10:00:01", &sent_mac) != 0)
        return 1;

    struct {
        const char *type;
        axdr_filter_t filter;
        void *sent, *got;
    } values[] = {
        {"multimap_t", f_multimap, &sent_map, &got_map},
        {"nu_ipcidr_t", f_cidr, &sent_net, &got_net},
        {"rlimit", f_rlimit, &sent_lim, &got_lim},
        {"nu_macaddr_t", f_mac, &sent_mac, &got_mac},
    };
    const size_t count = sizeof values / sizeof values[0];

    axdr_stream_t *ps = axdr_print_create(NULL);
    axdr_stream_t *dec[sizeof values / sizeof values[0]] = {NULL};
    int failed = !ps;
    printf("Each value moves from an encoder whose window holds %d bytes to a decoder\n"
           "fed %d bytes at a time; both filters stop with a pending status whenever\n"
           "their stream cannot go on, and go on when called again.\n\n",
           PIECE, PIECE);
    for (size_t i = 0; i < count && !failed; i++) {
        failed = transfer(values[i].type, values[i].filter, values[i].sent, values[i].got,
                          &dec[i]) != 0;
        /* The printed forms of the two sides must agree. */
        char before[1024];
        const char *text = print_text(ps, values[i].filter, values[i].sent);
        failed = failed || !text || strlen(text) >= sizeof before;
        if (!failed) {
            strcpy(before, text);
            text = print_text(ps, values[i].filter, values[i].got);
            failed = !text || strcmp(before, text) != 0;
        }
        if (!failed)
            printf("%s\n", text);
    }
    printf(failed ? "The transfer failed.\n" : "Every value arrived as it was sent.\n");

    /* What a decode built is freed on the stream that decoded it (only the
     * container holds memory; the others make it a no-op). */
    for (size_t i = 0; i < count; i++) {
        if (dec[i]) {
            dec[i]->x_op = AXDR_FREE;
            values[i].filter(dec[i], values[i].got);
            axdr_destroy(dec[i]);
        }
    }
    multimap_destroy(&sent_map);
    axdr_destroy(ps);
    return failed;
}
