/* Round trip of a generated type through the installed runtime. */
#include <stdio.h>
#include <string.h>

#include <axdr_runtime.h>

#include "shapes.h"

int main(void)
{
    point corners[3] = {{0, 0}, {4, 0}, {0, -3}};
    shape shapes[2] = {{.kind = CIRCLE, .shape_u.radius = 7},
                       {.kind = POLYGON, .shape_u.corners = {.corners_len = 3, .corners_val = corners}}};
    drawing next = {"second", {0, NULL}, NULL}, d = {"first", {2, shapes}, &next}, got;
    memset(&got, 0, sizeof got);

    unsigned char buf[256];
    axdr_stream_t *enc = axdr_mem_create(buf, sizeof buf, AXDR_ENCODE);
    axdr_stream_t *dec = axdr_mem_create(buf, sizeof buf, AXDR_DECODE);
    int ok = enc && dec && shp_drawing(enc, &d) == AXDR_TRUE && shp_drawing(dec, &got) == AXDR_TRUE &&
             got.shapes.shapes_len == 2 && got.shapes.shapes_val[1].shape_u.corners.corners_val[2].y == -3 &&
             got.next && strcmp(got.next->title, "second") == 0 && axdr_getpos(dec) == axdr_getpos(enc);
    printf("%s: %llu bytes\n", ok ? "ok" : "FAILED", (unsigned long long)(enc ? axdr_getpos(enc) : 0));
    if (dec) {
        dec->x_op = AXDR_FREE;
        shp_drawing(dec, &got);
    }
    axdr_destroy(enc);
    axdr_destroy(dec);
    return ok ? 0 : 1;
}
