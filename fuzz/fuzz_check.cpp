// fuzz_check.cpp -- strict JSON reading and a plain printf rendering of points for the fuzzers.
#include "fuzz_check.h"

#include <json/reader.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <set>

// Room for one printf-formatted field: the widest float in fixed notation is 47 bytes.
static const size_t FIELD_TEXT_MAX = 128;

void fuzz_require(bool cond, const char *what, const char *file, int line) {
    if (cond)
        return;
    fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
    abort();
}

// One reader for the whole run: building it per input would dominate the run time.
static Json::CharReader *strict_reader_get(void) {
    static std::unique_ptr<Json::CharReader> reader;
    if (!reader) {
        Json::CharReaderBuilder builder;
        Json::CharReaderBuilder::strictMode(&builder.settings_);
        builder.settings_["rejectDupKeys"] = true;
        builder.settings_["allowSpecialFloats"] = false;
        reader.reset(builder.newCharReader());
    }
    return reader.get();
}

int json_strict_parse(const char *text, size_t len, Json::Value *out) {
    // The reader lets raw control bytes through inside strings; JSON does not.
    for (size_t i = 0; i < len; i++) {
        if ((unsigned char)text[i] < 0x20)
            return 0;
    }
    std::string errors;
    return strict_reader_get()->parse(text, text + len, out, &errors) ? 1 : 0;
}

static std::string field_text(const char *format, long long v) {
    char buf[FIELD_TEXT_MAX];
    snprintf(buf, sizeof buf, format, v);
    return buf;
}

static std::string coord_text(float f) {
    if (!isfinite(f))
        return "null";
    char buf[FIELD_TEXT_MAX];
    snprintf(buf, sizeof buf, "%0.06f", (double)f);
    return buf;
}

std::string point_text_expected(const halvex_mapapi_point *p) {
    std::string s = "{";
    if (p->loc_type == HALVEX_MAPAPI_LOC_LATLNG)
        s += "\"lat\":" + coord_text(p->lat) + ",\"lng\":" + coord_text(p->lng) + ",";
    else if (p->loc_type == HALVEX_MAPAPI_LOC_ZIPCODE)
        s += field_text("\"zipcode\":\"%05lld\",", p->zipcode);
    if (p->r != 0)
        s += field_text("\"r\":%lld,", p->r);
    if (p->c)
        s += field_text("\"c\":\"#%06llx\",", *p->c);
    if (p->c2)
        s += field_text("\"c2\":\"#%06llx\",", *p->c2);
    if (p->delay != 0)
        s += field_text("\"delay\":%lld,", (int32_t)p->delay);
    if (p->visible_time != 0)
        s += field_text("\"visible_time\":%lld,", (int32_t)p->visible_time);
    if (s.back() == ',')
        s.back() = '}';
    else
        s += "}";
    return s;
}

static void coord_value_check(const Json::Value &v, float f) {
    if (!isfinite(f)) {
        FUZZ_REQUIRE(v.isNull());
        return;
    }
    FUZZ_REQUIRE(v.isDouble() || v.isIntegral());
    // six decimals: off by at most half a millionth, plus the reader's own rounding
    FUZZ_REQUIRE(fabs(v.asDouble() - (double)f) <= 5e-7 + fabs((double)f) * 1e-15);
}

void point_keys_check(const Json::Value &obj, const halvex_mapapi_point *p) {
    FUZZ_REQUIRE(obj.isObject());
    std::set<std::string> want;
    if (p->loc_type == HALVEX_MAPAPI_LOC_LATLNG) {
        want = {"lat", "lng"};
        coord_value_check(obj["lat"], p->lat);
        coord_value_check(obj["lng"], p->lng);
    } else if (p->loc_type == HALVEX_MAPAPI_LOC_ZIPCODE) {
        want.insert("zipcode");
        FUZZ_REQUIRE(obj["zipcode"].isString());
        FUZZ_REQUIRE(strtol(obj["zipcode"].asCString(), NULL, 10) == p->zipcode);
    }
    if (p->r != 0)
        want.insert("r");
    if (p->c)
        want.insert("c");
    if (p->c2)
        want.insert("c2");
    if (p->delay != 0)
        want.insert("delay");
    if (p->visible_time != 0)
        want.insert("visible_time");
    Json::Value::Members names = obj.getMemberNames();
    FUZZ_REQUIRE(std::set<std::string>(names.begin(), names.end()) == want);
}

void batch_check(const halvex_mapapi_point *points, int count, const std::string &map_id,
                 const std::string &map_key) {
    size_t len = 0;
    char *body = halvex_mapapi_encode_batch(points, count, &len);
    FUZZ_REQUIRE(body != NULL);
    FUZZ_REQUIRE(len == strlen(body));
    Json::Value doc;
    FUZZ_REQUIRE(json_strict_parse(body, len, &doc) == 1);
    FUZZ_REQUIRE(doc.isObject() && doc.size() == 3);
    FUZZ_REQUIRE(doc["mapId"].isString() && doc["mapId"].asString() == map_id);
    FUZZ_REQUIRE(doc["key"].isString() && doc["key"].asString() == map_key);
    const Json::Value &array = doc["points"];
    FUZZ_REQUIRE(array.isArray() && array.size() == (Json::ArrayIndex)count);
    std::string tail = "\",\"points\":[";
    for (int i = 0; i < count; i++) {
        point_keys_check(array[i], &points[i]);
        tail += (i ? "," : "") + point_text_expected(&points[i]);
    }
    tail += "]}";
    FUZZ_REQUIRE(len >= tail.size() &&
                 memcmp(body + len - tail.size(), tail.data(), tail.size()) == 0);
    free(body);
}
