// points.cpp -- arrays of point records: their room, and the release of records and colours.
#include "outbox/points.h"

#include <stdlib.h>

int points_room(halvex_mapapi_point **points, size_t *cap, size_t need) {
    if (need <= *cap)
        return 0;
    size_t grown = *cap ? *cap : POINTS_FIRST_CAPACITY;
    while (grown < need)
        grown *= 2;
    void *p = realloc(*points, grown * sizeof **points);
    if (!p)
        return -1;
    *points = (halvex_mapapi_point *)p;
    *cap = grown;
    return 0;
}

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
