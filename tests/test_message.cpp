// test_message.cpp -- one point message in, one record or the printed faults out.
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "intake/message.h"
#include "outbox/points.h"

struct handled {
    int ok;
    halvex_mapapi_point point;
    std::string out;  // what was printed to standard output
};

static handled handle(const std::string &msg) {
    handled h;
    testing::internal::CaptureStdout();
    h.ok = message_handle(msg.data(), msg.size(), &h.point);
    h.out = testing::internal::GetCapturedStdout();
    return h;
}

// Accepted messages own their colours; tests free them here.
static void release(handled &h) {
    point_colours_release(&h.point);
}

static void expect_rejected(const std::string &msg, const std::string &lines) {
    handled h = handle(msg);
    EXPECT_EQ(h.ok, 0) << msg;
    EXPECT_EQ(h.out, lines) << msg;
    EXPECT_EQ(h.point.c, nullptr) << msg;
    EXPECT_EQ(h.point.c2, nullptr) << msg;
}

TEST(Message, LatLngRoundedToFloat) {
    handled h = handle(R"({"lat":40.7128,"lng":-74.006})");
    ASSERT_EQ(h.ok, 1);
    EXPECT_EQ(h.out, "");
    EXPECT_EQ(h.point.loc_type, HALVEX_MAPAPI_LOC_LATLNG);
    EXPECT_EQ(h.point.lat, 40.7128f);
    EXPECT_EQ(h.point.lng, -74.006f);
    EXPECT_EQ(h.point.r, 0);
    EXPECT_EQ(h.point.c, nullptr);
    EXPECT_EQ(h.point.delay, 0u);
}

TEST(Message, ZipcodeUsedWithoutBothCoordinates) {
    handled h = handle(R"({"lat":40.7,"zipcode":"02134"})");
    ASSERT_EQ(h.ok, 1);
    EXPECT_EQ(h.point.loc_type, HALVEX_MAPAPI_LOC_ZIPCODE);
    EXPECT_EQ(h.point.zipcode, 2134);
    h = handle(R"({"zipcode":12345})");
    ASSERT_EQ(h.ok, 1);
    EXPECT_EQ(h.point.zipcode, 12345);
    h = handle(R"({"zipcode":"abc"})");
    EXPECT_EQ(h.ok, 1);
    EXPECT_EQ(h.point.loc_type, HALVEX_MAPAPI_LOC_ZIPCODE);
    EXPECT_EQ(h.point.zipcode, 0);
}

TEST(Message, ZipcodeClampedToInt32) {
    EXPECT_EQ(handle(R"({"zipcode":"2147483648"})").point.zipcode, INT32_MAX);
    EXPECT_EQ(handle(R"({"zipcode":"99999999999999999999999"})").point.zipcode, INT32_MAX);
    EXPECT_EQ(handle(R"({"zipcode":"-2147483649"})").point.zipcode, INT32_MIN);
    EXPECT_EQ(handle(R"({"zipcode":2147483647})").point.zipcode, INT32_MAX);
}

TEST(Message, UnsignedFields) {
    handled h = handle(R"({"r":2.9,"delay":4294967295,"visible_time":7})");
    ASSERT_EQ(h.ok, 1);
    EXPECT_EQ(h.point.r, 2);
    EXPECT_EQ(h.point.delay, 4294967295u);
    EXPECT_EQ(h.point.visible_time, 7u);
    h = handle(R"({"r":3000000000})");  // held as signed: wraps negative
    ASSERT_EQ(h.ok, 1);
    EXPECT_EQ(h.point.r, (int32_t)3000000000u);
}

TEST(Message, ColourForms) {
    handled h = handle(R"({"c":"#ff8800","c2":"ff8800"})");
    ASSERT_EQ(h.ok, 1);
    ASSERT_NE(h.point.c, nullptr);
    EXPECT_EQ(*h.point.c, 0xff8800u);
    ASSERT_NE(h.point.c2, nullptr);
    EXPECT_EQ(*h.point.c2, 0u);
    release(h);
    h = handle(R"({"c":"#ff88","c2":null})");
    ASSERT_EQ(h.ok, 1);
    ASSERT_NE(h.point.c, nullptr);
    EXPECT_EQ(*h.point.c, 0u);
    EXPECT_EQ(h.point.c2, nullptr);
    release(h);
    h = handle(R"({"c":"#ff88zz","c2":"red"})");  // hex stops at the first non-digit
    ASSERT_EQ(h.ok, 1);
    EXPECT_EQ(*h.point.c, 0xff88u);
    EXPECT_EQ(*h.point.c2, 0u);
    release(h);
    h = handle(R"({"c":"#12345g"})");
    EXPECT_EQ(*h.point.c, 0x12345u);
    release(h);
    h = handle(R"({"c":"#-00001","c2":"#+0000f"})");  // never more than six digits out
    ASSERT_EQ(h.ok, 1);
    EXPECT_EQ(*h.point.c, 0u);
    EXPECT_EQ(*h.point.c2, 0xfu);
    release(h);
    h = handle(R"({"c":"#0x1234","c2":"#AbCdEf"})");  // as strtol reads base 16
    ASSERT_EQ(h.ok, 1);
    EXPECT_EQ(*h.point.c, 0x1234u);
    EXPECT_EQ(*h.point.c2, 0xabcdefu);
    release(h);
    h = handle(R"({"c":"#12345\u0000"})");  // a text ends at its first NUL: 6 characters
    ASSERT_EQ(h.ok, 1);
    ASSERT_NE(h.point.c, nullptr);
    EXPECT_EQ(*h.point.c, 0u);
    release(h);
}

TEST(Message, NullValuesAndEmptyDocumentsAccepted) {
    for (const char *msg :
         {"{}", "null", " null ", R"({"lat":null,"lng":1,"zipcode":null,"r":null,"delay":null})"}) {
        handled h = handle(msg);
        EXPECT_EQ(h.ok, 1) << msg;
        EXPECT_EQ(h.out, "") << msg;
        EXPECT_EQ(h.point.loc_type, HALVEX_MAPAPI_LOC_NONE) << msg;
        EXPECT_EQ(h.point.r, 0) << msg;
        EXPECT_EQ(h.point.c, nullptr) << msg;
    }
}

TEST(Message, EachFaultPrintsItsLineInOrder) {
    expect_rejected(R"({"lat":"40.7","lng":-74})", "Invalid lat/lng.\n");
    expect_rejected(R"({"lat":1,"lng":2,"r":-5,"delay":"x"})", "Invalid radius.\nInvalid delay.\n");
    expect_rejected(R"({"zipcode":[1],"visible_time":-1})",
                    "Invalid zipcode.\nInvalid visible_time.\n");
    // lat/lng fail: zipcode is not looked at; colours read before the failure are freed.
    expect_rejected(R"({"lat":{},"lng":1,"zipcode":[],"c":"#000001","c2":"#000002","delay":-1})",
                    "Invalid lat/lng.\nInvalid delay.\n");
}

TEST(Message, NonFiniteCoordinatesRejected) {
    expect_rejected(R"({"lat":1e39,"lng":0})", "Invalid lat/lng.\n");
    expect_rejected(R"({"lat":0,"lng":-1e39})", "Invalid lat/lng.\n");
    expect_rejected(R"({"lat":1e400,"lng":0})", "Failed to parse JSON.\n");
}

TEST(Message, LenientParsing) {
    handled h = handle("// before\n{ /* inside */ \"r\": 4 // after\n}\n/* trailing */");
    EXPECT_EQ(h.ok, 1);
    EXPECT_EQ(h.point.r, 4);
    h = handle(R"({"r":1} {"r":"garbage")");  // only the first value counts
    EXPECT_EQ(h.ok, 1);
    EXPECT_EQ(h.point.r, 1);
    h = handle(R"({"r":1,"r":6})");  // the last duplicate wins
    EXPECT_EQ(h.point.r, 6);
    std::string with_nul("{\"r\":3}\0{garbage", 16);
    h = handle(with_nul);
    EXPECT_EQ(h.ok, 1);
    EXPECT_EQ(h.point.r, 3);
}

TEST(Message, ParseFailures) {
    const std::string msgs[] = {"",          "   ",      "// only a comment\n",
                                "{\"lat\":", "not json", std::string("\0{}", 3)};
    for (const std::string &msg : msgs)
        expect_rejected(msg, "Failed to parse JSON.\n");
}

TEST(Message, ValuesOfTheWrongShapeFailWithOneLine) {
    for (const char *msg : {"[1,2]", "42", "\"text\"", "true"})
        expect_rejected(msg, "Point message is not a JSON object.\n");
    expect_rejected(R"({"c":[1],"c2":"#000001"})", "Invalid colour.\n");
    expect_rejected(R"({"c":"#000001","c2":{"x":1}})", "Invalid colour.\n");
}

TEST(Message, DeepNestingIsAParseFailureNotACrash) {
    const std::string too_long = "Failed to parse JSON.\n" MESSAGE_TOO_LONG_LINE "\n";
    expect_rejected(std::string(MESSAGE_MAX_BYTES - 1, '['), "Failed to parse JSON.\n");
    std::string arrays(MESSAGE_MAX_BYTES, '[');
    expect_rejected(arrays, too_long);
    std::string objects;  // longer than one receive, so it takes the heap copy
    for (int i = 0; i < 1000; i++)
        objects += "{\"a\":";
    expect_rejected(objects, too_long);
    // The reader is reused after it gave up mid-parse.
    handled h = handle(R"({"r":9})");
    EXPECT_EQ(h.ok, 1);
    EXPECT_EQ(h.point.r, 9);
}

// Flat objects of numbers, plain strings and literals take the dedicated reader; whatever else
// the JSON library's reader accepts goes to it. Both give the same results (test_conformance).
TEST(Message, FlatObjectsTakeTheDedicatedReader) {
    message_outcome o;
    halvex_mapapi_point p;
    for (const char *msg : {R"({"lat":40.7128,"lng":-74.006})", "{}", "{ }",
                            " {\"zipcode\":\"02134\",\t\"r\":2.9,\"x\":null,\"y\":true}\r\n",
                            R"({"r":1,"r":-1e0,"c":"#ff8800"})", R"({"lat":-0,"lng":1e39})"}) {
        message_read(msg, strlen(msg), &p, &o, 1);
        EXPECT_EQ(o.fast, 1) << msg;
        point_colours_release(&p);
    }
    for (const char *msg :
         {"null", "[1]", R"({"r":1,})", R"({"r":01})", R"({"r":1.})", R"({"r":-})", R"({"r":1}//)",
          R"({"r":1} {})", R"({"c":"\u0023ff8800"})", R"({"a":{}})", R"({"lat":1e400,"lng":0})",
          R"({"lat":1e-400,"lng":0})", R"({"r":1 /**/})"}) {
        message_read(msg, strlen(msg), &p, &o, 1);
        EXPECT_EQ(o.fast, 0) << msg;
        point_colours_release(&p);
    }
}
