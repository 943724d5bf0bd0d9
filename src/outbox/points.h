/* points.h -- the release of point records, which own their colours: whoever holds a record
 * last frees them. Apart from the queue, so that the message readers need nothing else. */
#ifndef POINTS_H
#define POINTS_H

#include <stddef.h>

#include "mapapi/halvex_mapapi.h"

/* Free the colours of points[0..count) and then the array itself. */
void points_release(halvex_mapapi_point *points, size_t count);

/* Free the two colours of one record and mark them absent. */
void point_colours_release(halvex_mapapi_point *p);

#endif
