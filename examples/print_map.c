/*
 * A map_t round trip: build it, encode it into a buffer, decode the buffer
 * into a second map and print that one. With memory streams every call
 * finishes at once: TRUE or FALSE, never pending.
 */
#include <stdio.h>
#include <string.h>

#include <axdr_runtime.h>
#include <quillet/quillet.h>

int main(void)
{
    map_t sent, got;
    memset(&got, 0, sizeof got); /* a zeroed container is ready for a decode */
    if (map_init(&sent) != 0 || map_insert_str(&sent, "host", "gw1") != 0 ||
        map_insert_str(&sent, "mtu", "1500") != 0 ||
        map_insert_str(&sent, "motd", "say \"hi\"") != 0)
        return 1;

    unsigned char buf[256];
    axdr_stream_t *enc = axdr_mem_create(buf, sizeof buf, AXDR_ENCODE);
    int ok = enc && axdr_map_t(enc, &sent) == AXDR_TRUE;
    size_t len = ok ? (size_t)axdr_getpos(enc) : 0;
    printf("encoded %zu bytes\n", len);

    axdr_stream_t *dec = axdr_mem_create(buf, len, AXDR_DECODE);
    ok = ok && dec && axdr_map_t(dec, &got) == AXDR_TRUE;

    axdr_stream_t *out = axdr_print_create(stdout);
    ok = ok && out && axdr_map_t(out, &got) == AXDR_TRUE && axdr_print_finish(out) == 0;
    const char *motd = ok ? map_get(&got, "motd") : NULL;
    ok = motd && strcmp(motd, "say \"hi\"") == 0;

    /* What a decode built, even a failed one, is freed on the stream that
     * decoded it. */
    if (dec) {
        dec->x_op = AXDR_FREE;
        axdr_map_t(dec, &got);
    }
    map_destroy(&sent);
    axdr_destroy(out);
    axdr_destroy(dec);
    axdr_destroy(enc);
    return ok ? 0 : 1;
}
