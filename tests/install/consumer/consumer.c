/* Round trip of a map and an address pair through the installed library. */
#include <stdio.h>
#include <string.h>

#include <axdr_runtime.h>
#include <quillet/quillet.h>

/* The package's flags must give the 64-bit rlim_t that the filters use. */
#if !defined(_FILE_OFFSET_BITS) || _FILE_OFFSET_BITS != 64
#error "the package did not define _FILE_OFFSET_BITS=64"
#endif

int main(void)
{
    unsigned char buf[128];
    map_t sent, got;
    nu_ipcidr_t net, net2;
    memset(&got, 0, sizeof got);
    if (map_init(&sent) || map_insert_str(&sent, "k", "v") ||
        nu_cidr_from_str("192.0.2.0/24", &net))
        return 1;

    axdr_stream_t *enc = axdr_mem_create(buf, sizeof buf, AXDR_ENCODE);
    axdr_stream_t *dec = axdr_mem_create(buf, sizeof buf, AXDR_DECODE);
    int ok = enc && dec && axdr_map_t(enc, &sent) == AXDR_TRUE &&
             axdr_nu_ipcidr_t(enc, &net) == AXDR_TRUE && axdr_map_t(dec, &got) == AXDR_TRUE &&
             axdr_nu_ipcidr_t(dec, &net2) == AXDR_TRUE;
    char text[NU_IPCIDR_STRSIZE] = "";
    ok = ok && map_get(&got, "k") && strcmp(map_get(&got, "k"), "v") == 0 &&
         nu_cidr_to_str(&net2, text, sizeof text) == 0 && strcmp(text, "192.0.2.0/24") == 0;
    printf("%s: %llu bytes, k=%s, %s\n", ok ? "ok" : "FAILED",
           (unsigned long long)(enc ? axdr_getpos(enc) : 0), ok ? map_get(&got, "k") : "?", text);

    map_destroy(&sent);
    map_destroy(&got);
    axdr_destroy(enc);
    axdr_destroy(dec);
    return ok ? 0 : 1;
}
