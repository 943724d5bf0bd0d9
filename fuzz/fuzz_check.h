/* fuzz_check.h -- shared checks of the fuzz targets: a strict JSON reading of a batch body and
 * a plain printf rendering of one point to compare the encoder against. */
#ifndef FUZZ_CHECK_H
#define FUZZ_CHECK_H

#include <json/value.h>
#include <stddef.h>

#include <string>

#include "mapapi/halvex_mapapi.h"

/* Stop the run with a report when cond is false; libFuzzer keeps the input that did it. */
#define FUZZ_REQUIRE(cond) fuzz_require((cond), #cond, __FILE__, __LINE__)
void fuzz_require(bool cond, const char *what, const char *file, int line);

/* Parse text[0..len) as one strict JSON document (no comments, no trailing text, no duplicate
 * keys, no special floats, an object or array at the top) with no raw control byte anywhere.
 * Returns 1 and fills *out when it is one. */
int json_strict_parse(const char *text, size_t len, Json::Value *out);

/* The point object as the printf formats of the batch body write it, field by field; a
 * coordinate that is no number is written as null. */
std::string point_text_expected(const halvex_mapapi_point *p);

/* Require that obj (one parsed point object) holds exactly the fields that p has present. */
void point_keys_check(const Json::Value &obj, const halvex_mapapi_point *p);

/* Encode points[0..count) and require a strict JSON body that holds exactly these points,
 * with the given id and key, each written as point_text_expected() writes it. */
void batch_check(const halvex_mapapi_point *points, int count, const std::string &map_id,
                 const std::string &map_key);

#endif
