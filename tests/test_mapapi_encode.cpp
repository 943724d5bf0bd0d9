// test_mapapi_encode.cpp -- the batch body: exact texts, credentials, and numbers as printf has
// them.
#include <gtest/gtest.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <random>
#include <string>
#include <vector>

#include "mapapi/halvex_mapapi.h"

static const std::string opening =
    "{\"mapId\":\"testmap1\",\"key\":\"testkey123456789\",\"points\":[";

static std::string body_of(const halvex_mapapi_point *points, int count) {
    size_t len = 0;
    char *body = halvex_mapapi_encode_batch(points, count, &len);
    if (!body)
        return "<none>";
    std::string text(body, len);
    EXPECT_EQ(strlen(body), len) << "the body is NUL-terminated at its length";
    free(body);
    return text;
}

// The points array of a batch made with the standard credentials, without its brackets.
static std::string points_of(const std::vector<halvex_mapapi_point> &points) {
    std::string body = body_of(points.data(), (int)points.size());
    if (body.compare(0, opening.size(), opening) != 0 || body.size() < opening.size() + 2) {
        return "<bad opening> " + body;
    }
    return body.substr(opening.size(), body.size() - opening.size() - 2);
}

static halvex_mapapi_point point_latlng(float lat, float lng) {
    halvex_mapapi_point p{};
    p.loc_type = HALVEX_MAPAPI_LOC_LATLNG;
    p.lat = lat;
    p.lng = lng;
    return p;
}

// The point object as the printf formats define it; non-finite coordinates are null.
static std::string point_reference(const halvex_mapapi_point &p) {
    char buf[512];
    std::string out;
    auto coord = [&](float f) {
        if (!isfinite(f))
            return std::string("null");
        snprintf(buf, sizeof buf, "%0.06f", (double)f);
        return std::string(buf);
    };
    if (p.loc_type == 1)
        out += "\"lat\":" + coord(p.lat) + ",\"lng\":" + coord(p.lng) + ",";
    if (p.loc_type == 2 && snprintf(buf, sizeof buf, "\"zipcode\":\"%05d\",", p.zipcode))
        out += buf;
    if (p.r && snprintf(buf, sizeof buf, "\"r\":%d,", p.r))
        out += buf;
    if (p.c && snprintf(buf, sizeof buf, "\"c\":\"#%06x\",", *p.c))
        out += buf;
    if (p.c2 && snprintf(buf, sizeof buf, "\"c2\":\"#%06x\",", *p.c2))
        out += buf;
    if (p.delay && snprintf(buf, sizeof buf, "\"delay\":%d,", (int)p.delay))
        out += buf;
    if (p.visible_time && snprintf(buf, sizeof buf, "\"visible_time\":%d,", (int)p.visible_time)) {
        out += buf;
    }
    if (out.empty())
        return "{}";
    out.back() = '}';
    return "{" + out;
}

static_assert(sizeof(float) == 4, "coordinates are 32-bit floats");

class MapapiEncode : public ::testing::Test {
protected:
    void SetUp() override { halvex_mapapi_init("testmap1", "testkey123456789"); }
};

TEST_F(MapapiEncode, WritesEachFieldInItsFormatAndOrder) {
    halvex_mapapi_point city = point_latlng(40.7128f, -74.006f);
    EXPECT_EQ(body_of(&city, 1), opening + "{\"lat\":40.712799,\"lng\":-74.005997}]}");
    uint32_t red = 0xff0000, black = 0, wide = 0x1abcdef;
    halvex_mapapi_point zip{};
    zip.loc_type = HALVEX_MAPAPI_LOC_ZIPCODE;
    zip.zipcode = 501;
    zip.r = 10;
    zip.c = &red;
    EXPECT_EQ(points_of({zip}), "{\"zipcode\":\"00501\",\"r\":10,\"c\":\"#ff0000\"}");
    halvex_mapapi_point delay_only{};
    delay_only.delay = 3000;
    EXPECT_EQ(points_of({delay_only}), "{\"delay\":3000}");
    EXPECT_EQ(points_of({halvex_mapapi_point{}}), "{}");
    zip.zipcode = 123456;
    zip.r = (int32_t)3000000000u;  // held negative, as converted from an unsigned value
    zip.c = &black;
    zip.c2 = &wide;
    zip.delay = 3000000000u;
    zip.visible_time = 0xffffffffu;
    EXPECT_EQ(points_of({point_latlng(-33.868820f, -151.209290f), zip}),
              "{\"lat\":-33.868820,\"lng\":-151.209290},{\"zipcode\":\"123456\",\"r\":-1294967296,"
              "\"c\":\"#000000\",\"c2\":\"#1abcdef\",\"delay\":-1294967296,\"visible_time\":-1}");
}

TEST_F(MapapiEncode, NeverWritesInvalidJsonForNonFiniteCoordinates) {
    EXPECT_EQ(points_of({point_latlng(NAN, -INFINITY)}), "{\"lat\":null,\"lng\":null}");
}

TEST_F(MapapiEncode, RefusesAnEmptyBatch) {
    halvex_mapapi_point p{};
    EXPECT_EQ(halvex_mapapi_encode_batch(&p, 0, NULL), nullptr);
    EXPECT_EQ(halvex_mapapi_encode_batch(NULL, 1, NULL), nullptr);
}

TEST_F(MapapiEncode, CutsLongCredentialsAndEscapesThem) {
    halvex_mapapi_point p{};
    halvex_mapapi_init("abcdefghijkl", "0123456789abcdefghij");
    EXPECT_EQ(body_of(&p, 1),
              "{\"mapId\":\"abcdefgh\",\"key\":\"0123456789abcdef\",\"points\":[{}]}");
    halvex_mapapi_init("a\"b\\c", "k1\nk2\t\x01\x7f\xc3\xa9");
    EXPECT_EQ(
        body_of(&p, 1),
        "{\"mapId\":\"a\\\"b\\\\c\",\"key\":\"k1\\nk2\\t\\u0001\x7f\xc3\xa9\",\"points\":[{}]}");
}

TEST_F(MapapiEncode, EncodesALargeBatchWhole) {
    const int n = 100000;
    std::vector<halvex_mapapi_point> points(n);
    for (int i = 0; i < n; i++) {
        points[i].loc_type = HALVEX_MAPAPI_LOC_ZIPCODE;
        points[i].zipcode = i;
    }
    std::string list = points_of(points);
    size_t objects = 0;
    for (char ch : list)
        objects += ch == '{';
    EXPECT_EQ(objects, (size_t)n);
    EXPECT_EQ(list.compare(0, 40, "{\"zipcode\":\"00000\"},{\"zipcode\":\"00001\"},"), 0);
    EXPECT_NE(list.find(",{\"zipcode\":\"54321\"},"), std::string::npos);
    EXPECT_EQ(list.substr(list.size() - 20), ",{\"zipcode\":\"99999\"}");
}

// Property: for any record, the encoder writes what the printf formats write.
TEST_F(MapapiEncode, MatchesPrintfForAnyRecord) {
    std::mt19937_64 rng(20240611);
    std::uniform_real_distribution<float> degrees(-180.0f, 180.0f);
    std::vector<float> edges = {
        0.0f,          -0.0f,        1e-45f,        -1e-45f,       4e-7f,         -4e-7f,
        5e-7f,         -5e-7f,       1.0f / 128,    -3.0f / 128,   12.5f,         999999.5f,
        9.2233715e12f, 9.223373e12f, -9.223373e12f, 3.4028235e38f, -3.4028235e38f};
    for (int k = 1; k < 2000; k += 2)
        edges.push_back((float)k / 128);  // x.5 millionths
    const int batch = 65536;
    std::vector<uint32_t> colours(2 * batch);
    for (int round = 0; round < 8; round++) {
        std::vector<halvex_mapapi_point> points(batch);
        std::string expected;
        for (int i = 0; i < batch; i++) {
            halvex_mapapi_point &p = points[i];
            p.loc_type = (int16_t)(rng() % 3);
            uint64_t bits = rng();
            if (round % 2 == 0) {  // any float bit pattern
                memcpy(&p.lat, &bits, 4);
                uint32_t high = (uint32_t)(bits >> 32);
                memcpy(&p.lng, &high, 4);
            } else {  // degrees, with the edge cases mixed in
                p.lat = i < (int)edges.size() ? edges[i] : degrees(rng);
                p.lng = i < (int)edges.size() ? -edges[i] : degrees(rng);
            }
            if (p.loc_type == 2)
                p.zipcode = (int32_t)(rng() >> (rng() % 64));
            p.r = rng() % 2 ? (int32_t)rng() : 0;
            colours[2 * i] = (uint32_t)(rng() >> (rng() % 64));
            colours[2 * i + 1] = (uint32_t)(rng() >> 40);
            p.c = rng() % 2 ? &colours[2 * i] : NULL;
            p.c2 = rng() % 2 ? &colours[2 * i + 1] : NULL;
            p.delay = rng() % 2 ? (uint32_t)(rng() >> (rng() % 64)) : 0;
            p.visible_time = rng() % 2 ? (uint32_t)rng() : 0;
            expected += (i ? "," : "") + point_reference(p);
        }
        std::string got = points_of(points);
        if (got != expected) {
            size_t at = 0;
            while (at < got.size() && at < expected.size() && got[at] == expected[at])
                at++;
            size_t from = at < 80 ? 0 : at - 80;
            FAIL() << "round " << round << ", first difference at " << at
                   << "\n got: " << got.substr(from, 160)
                   << "\nwant: " << expected.substr(from, 160);
        }
    }
}
