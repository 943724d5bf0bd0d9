// points.cpp -- the release of point records and the colours they own.
#include "outbox/points.h"

#include <stdlib.h>

void point_colours_release(halvex_mapapi_point *p) {
    free(p->c);
    free(p->c2);
    p->c = NULL;
    p->c2 = NULL;
}

void points_release(halvex_mapapi_point *points, size_t count) {
    for (size_t i = 0; i < count; i++)
        point_colours_release(&points[i]);
    free(points);
}
