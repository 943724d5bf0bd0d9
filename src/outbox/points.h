/* points.h -- arrays of point records, which own their colours: whoever holds a record last
 * frees them. Apart from the stores, so that the message readers need nothing else. */
#ifndef POINTS_H
#define POINTS_H

#include <stddef.h>

#include "mapapi/halvex_mapapi.h"

/* Room for this many records when an array is first given room; it grows by doubling. */
#define POINTS_FIRST_CAPACITY 64

/* Make room in *points (capacity *cap records, count of them in use) for at least need
 * records, doubling from POINTS_FIRST_CAPACITY; the records in use stay. Returns 0, or -1 when
 * memory runs out (then *points and *cap are as they were). */
int points_room(halvex_mapapi_point **points, size_t *cap, size_t need);

/* Free the colours of points[0..count) and then the array itself. */
void points_release(halvex_mapapi_point *points, size_t count);

/* Free the two colours of one record and mark them absent. */
void point_colours_release(halvex_mapapi_point *p);

#endif
