// test_conformance.cpp -- message handling over a corpus of valid, invalid and borderline JSON.
//
// Every case says what the verdict must be, or that either verdict is allowed (behaviour that
// JSON leaves to the reader). Whatever the verdict, a rejection prints its reasons and keeps no
// colour, an acceptance prints nothing (but the line about text after the value) and yields a
// record that encodes into strict JSON, and the real service answers each case with exactly one
// reply, the same one.
#include <dirent.h>
#include <gtest/gtest.h>
#include <json/reader.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "harness.h"
#include "intake/message.h"
#include "outbox/points.h"

enum verdict { ACCEPT, REJECT, EITHER };

struct conformance_case {
    std::string text;
    verdict want;
};

// One JSON value: whether it parses at all (under a key that is ignored), and what each
// conversion of it must give: to float (lat, lng), to unsigned (r, delay, visible_time), to
// text (zipcode; colours, except that a colour with no text form may be answered either way).
struct value_case {
    std::string json;
    verdict parses, as_float, as_uint, as_text;
};

// clang-format off
static const value_case value_cases[] = {
    {"0", ACCEPT, ACCEPT, ACCEPT, ACCEPT},
    {"-0", ACCEPT, ACCEPT, ACCEPT, ACCEPT},
    {"-0.0", ACCEPT, ACCEPT, ACCEPT, ACCEPT},
    {"1", ACCEPT, ACCEPT, ACCEPT, ACCEPT},
    {"-1", ACCEPT, ACCEPT, REJECT, ACCEPT},
    {"1.5", ACCEPT, ACCEPT, ACCEPT, ACCEPT},
    {"-0.5", ACCEPT, ACCEPT, REJECT, ACCEPT},
    {"0.000001", ACCEPT, ACCEPT, ACCEPT, ACCEPT},
    {"1e-7", ACCEPT, ACCEPT, ACCEPT, ACCEPT},
    {"2.5E+3", ACCEPT, ACCEPT, ACCEPT, ACCEPT},
    {"4294967295", ACCEPT, ACCEPT, ACCEPT, ACCEPT},
    {"4294967296", ACCEPT, ACCEPT, REJECT, ACCEPT},
    {"-2147483649", ACCEPT, ACCEPT, REJECT, ACCEPT},
    {"9223372036854775807", ACCEPT, ACCEPT, REJECT, ACCEPT},
    {"18446744073709551615", ACCEPT, ACCEPT, REJECT, ACCEPT},
    {"-9223372036854775809", ACCEPT, ACCEPT, REJECT, ACCEPT},
    {"123456789012345678901234567890", ACCEPT, ACCEPT, REJECT, ACCEPT},
    {"3.4028234e38", ACCEPT, ACCEPT, REJECT, ACCEPT},
    {"1e39", ACCEPT, EITHER, REJECT, ACCEPT},  // a float overflows: no number to write out
    {"1e400", EITHER, REJECT, REJECT, EITHER},
    {"-1e400", EITHER, REJECT, REJECT, EITHER},
    {"1E-400", EITHER, EITHER, EITHER, EITHER},
    {"1e-46", EITHER, EITHER, EITHER, EITHER},
    {"01", EITHER, EITHER, EITHER, EITHER},
    {"1.", EITHER, EITHER, EITHER, EITHER},
    {"1e", EITHER, EITHER, EITHER, EITHER},
    {"-", EITHER, EITHER, EITHER, EITHER},
    {"--1", EITHER, EITHER, EITHER, EITHER},
    {"-Infinity", EITHER, EITHER, EITHER, EITHER},
    {"+1", REJECT, REJECT, REJECT, REJECT},
    {".5", REJECT, REJECT, REJECT, REJECT},
    {"0x10", REJECT, REJECT, REJECT, REJECT},
    {"NaN", REJECT, REJECT, REJECT, REJECT},
    {"Infinity", REJECT, REJECT, REJECT, REJECT},
    {"true", ACCEPT, ACCEPT, ACCEPT, ACCEPT},
    {"false", ACCEPT, ACCEPT, ACCEPT, ACCEPT},
    {"null", ACCEPT, ACCEPT, ACCEPT, ACCEPT},
    {"\"12\"", ACCEPT, REJECT, REJECT, ACCEPT},
    {"\"\"", ACCEPT, REJECT, REJECT, ACCEPT},
    {"\"#ff8800\"", ACCEPT, REJECT, REJECT, ACCEPT},
    {"\"#-00001\"", ACCEPT, REJECT, REJECT, ACCEPT},
    {"\"\\u0000123\"", ACCEPT, REJECT, REJECT, ACCEPT},
    {"\"\\ud800\"", EITHER, REJECT, REJECT, EITHER},
    {"\"\\udc00x\"", EITHER, REJECT, REJECT, EITHER},
    {"\"\\ud83d\\ude00\"", ACCEPT, REJECT, REJECT, ACCEPT},
    {"\"\\ud800\\u0041\"", EITHER, REJECT, REJECT, EITHER},
    {"\"\xff\xfe\xc0\x80\"", EITHER, REJECT, REJECT, EITHER},
    {"\"\\x41\"", REJECT, REJECT, REJECT, REJECT},
    {"\"\\u12\"", REJECT, REJECT, REJECT, REJECT},
    {"\"tab\there\"", EITHER, REJECT, REJECT, EITHER},
    {"\"unclosed", REJECT, REJECT, REJECT, REJECT},
    {"[]", ACCEPT, REJECT, REJECT, REJECT},
    {"[1]", ACCEPT, REJECT, REJECT, REJECT},
    {"{}", ACCEPT, REJECT, REJECT, REJECT},
    {"{\"a\":1}", ACCEPT, REJECT, REJECT, REJECT},
};

// Whole documents, apart from the grid of values.
static const conformance_case document_cases[] = {
    {"", REJECT},
    {" \t\r\n ", REJECT},
    {"// only a comment", REJECT},
    {"/* only a comment */", REJECT},
    {"/* unclosed comment", REJECT},
    {"{", REJECT},
    {"}", REJECT},
    {"{\"lat\":1,\"lng\":2", REJECT},
    {"{\"lat\":1 \"lng\":2}", REJECT},
    {"{\"lat\" 1}", REJECT},
    {"{lat:1,lng:2}", REJECT},
    {"{'lat':1,'lng':2}", REJECT},
    {"{\"lat\":1,\"lng\":2,}", EITHER},
    {"{\"\":1,}", EITHER},
    {"{\"zipcode\":[1,2,]}", REJECT},
    {"{,}", REJECT},
    {"{\"lat\":1,,\"lng\":2}", REJECT},
    {"{}", ACCEPT},
    {"null", ACCEPT},
    {"  {}  ", ACCEPT},
    {"{\"lat\":1,\"lng\":2} trailing text", ACCEPT},
    {"{\"lat\":1,\"lng\":2}}", ACCEPT},
    {"{\"zipcode\":1}{\"zipcode\":2}", ACCEPT},
    {"{\"lat\":1 /* c */,\"lng\":2} // end", ACCEPT},
    {"// lead\n{\"r\":3}", ACCEPT},
    {"/**/{/**/\"r\":/**/3/**/}", ACCEPT},
    {"{\"r\"/**/:3}", EITHER},
    {"{\"lat\":\"x\",\"lat\":1,\"lng\":2}", ACCEPT},
    {"{\"lat\":1,\"lng\":2,\"lat\":\"x\"}", REJECT},
    {"{\"lat\\u0000\":\"x\",\"lng\":1}", ACCEPT},
    {"{\"LAT\":\"x\",\"Lng\":\"y\"}", ACCEPT},
    {std::string("{\"lat\":1,\"lng\":2}\0garbage", 26), ACCEPT},
    {std::string("{\"lat\":1\0,\"lng\":2}", 18), REJECT},
    {std::string("\0{}", 3), REJECT},
    {"\xef\xbb\xbf{\"r\":1}", EITHER},
    {"\xff{\"r\":1}", REJECT},
    {"{\"x\":\"\xc3\x28\xa0\xa1\",\"r\":1}", EITHER},
    {"{\"\xf0\x28\x8c\xbc\":1,\"r\":1}", EITHER},
    {"[1,2,3]", EITHER},
    {"1", EITHER},
    {"\"text\"", EITHER},
    {"true", EITHER},
    {"{\"c\":[\"#ff0000\"]}", EITHER},
    {"{\"c2\":{\"v\":\"#ff0000\"}}", EITHER},
    {"{\"lat\":1,\"lng\":2,\"zipcode\":[]}", ACCEPT},
    {"{\"lat\":1,\"zipcode\":\"02134\"}", ACCEPT},
    {"{\"lat\":[],\"lng\":1,\"r\":-1,\"delay\":\"x\",\"visible_time\":{}}", REJECT},
};
// clang-format on

// Longest document the corpus generates: one receive.
static const size_t LONG_TEXT_BYTES = MESSAGE_MAX_BYTES;

static std::string nesting(size_t depth, const char *open, const char *close) {
    std::string s;
    for (size_t i = 0; i < depth; i++)
        s += open;
    for (size_t i = 0; i < depth; i++)
        s += close;
    return s;
}

// The value grid: each value under each key, with the verdict its conversion must give.
static void value_cases_add(std::vector<conformance_case> &all) {
    for (const value_case &v : value_cases) {
        verdict colour = v.as_text == REJECT ? EITHER : v.as_text;
        all.push_back({"{\"lat\":" + v.json + ",\"lng\":0}", v.as_float});
        all.push_back({"{\"lat\":0,\"lng\":" + v.json + "}", v.as_float});
        all.push_back({"{\"zipcode\":" + v.json + "}", v.as_text});
        all.push_back({"{\"r\":" + v.json + "}", v.as_uint});
        all.push_back({"{\"delay\":" + v.json + "}", v.as_uint});
        all.push_back({"{\"visible_time\":" + v.json + "}", v.as_uint});
        all.push_back({"{\"c\":" + v.json + "}", colour});
        all.push_back({"{\"c2\":" + v.json + "}", colour});
        all.push_back({"{\"ignored\":" + v.json + ",\"r\":1}", v.parses});
    }
}

// Nesting and length at and around what one receive can hold.
static void size_cases_add(std::vector<conformance_case> &all) {
    all.push_back({"{\"a\":" + nesting(400, "[", "]") + ",\"r\":1}", ACCEPT});
    all.push_back({nesting(512, "[", "]"), EITHER});
    all.push_back({std::string(LONG_TEXT_BYTES, '['), REJECT});
    all.push_back({std::string(LONG_TEXT_BYTES, '{'), REJECT});
    all.push_back({"{\"a\":" + nesting(150, "{\"a\":", "}") + "1}", EITHER});
    std::string head = "{\"x\":\"", tail = "\",\"r\":7}";
    std::string fill(LONG_TEXT_BYTES - head.size() - tail.size(), 'a');
    all.push_back({head + fill + tail, ACCEPT});
    all.push_back({head + fill, REJECT});
    all.push_back({"{\"zipcode\":" + std::string(LONG_TEXT_BYTES - 12, '1') + "}", EITHER});
    all.push_back({"{\"c\":\"#" + std::string(LONG_TEXT_BYTES - 9, 'f') + "\"}", ACCEPT});
    all.push_back({std::string(LONG_TEXT_BYTES - 2, ' ') + "{}", ACCEPT});
}

static std::vector<conformance_case> corpus_build(void) {
    std::vector<conformance_case> all(std::begin(document_cases), std::end(document_cases));
    value_cases_add(all);
    size_cases_add(all);
    return all;
}

static const char *verdict_name(verdict v) {
    return v == ACCEPT ? "accept" : v == REJECT ? "reject" : "either";
}

// Shows a case in a failure report with its control and high bytes escaped.
static std::string printable(const std::string &text) {
    std::string out;
    for (unsigned char ch : text.substr(0, 120)) {
        char buf[8];
        snprintf(buf, sizeof buf, ch < 0x20 || ch >= 0x7f ? "\\x%02x" : "%c", ch);
        out += buf;
    }
    return text.size() > 120 ? out + "..." : out;
}

static bool strict_json(const std::string &text) {
    static std::unique_ptr<Json::CharReader> reader([] {
        Json::CharReaderBuilder b;
        Json::CharReaderBuilder::strictMode(&b.settings_);
        return b.newCharReader();
    }());
    Json::Value doc;
    std::string errors;
    return reader->parse(text.data(), text.data() + text.size(), &doc, &errors);
}

// Handle text directly and check the record and the printed lines against the verdict.
// Returns the verdict given.
static int handle_checked(const std::string &text, verdict want) {
    halvex_mapapi_point p;
    testing::internal::CaptureStdout();
    int ok = message_handle(text.data(), text.size(), &p);
    std::string printed = testing::internal::GetCapturedStdout();
    SCOPED_TRACE("case: " + printable(text) + " (want " + verdict_name(want) + ")");
    EXPECT_TRUE(ok == 0 || ok == 1);
    EXPECT_TRUE(want == EITHER || ok == (want == ACCEPT));
    if (!ok) {
        EXPECT_NE(printed, "");
        EXPECT_EQ(p.c, nullptr);
        EXPECT_EQ(p.c2, nullptr);
        return ok;
    }
    EXPECT_TRUE(printed == "" || printed == MESSAGE_REST_IGNORED_LINE "\n") << printed;
    EXPECT_TRUE(p.loc_type >= HALVEX_MAPAPI_LOC_NONE && p.loc_type <= HALVEX_MAPAPI_LOC_ZIPCODE);
    if (p.loc_type == HALVEX_MAPAPI_LOC_LATLNG) {
        EXPECT_TRUE(isfinite(p.lat) && isfinite(p.lng));
    }
    char *body = halvex_mapapi_encode_batch(&p, 1, NULL);
    EXPECT_TRUE(body && strict_json(body)) << (body ? body : "(no body)");
    free(body);
    point_colours_release(&p);
    return ok;
}

TEST(Conformance, EveryCaseHandledDirectlyGetsAConsistentVerdict) {
    std::vector<conformance_case> corpus = corpus_build();
    ASSERT_GT(corpus.size(), 500u);
    for (const conformance_case &c : corpus)
        handle_checked(c.text, c.want);
}

// A colour as one number: absent is -1.
static int64_t colour_of(const uint32_t *c) {
    return c ? (int64_t)*c : -1;
}

// Every case read as the service reads it and by the JSON library's reader alone: the same
// verdict, lines and record, whichever reader took it.
TEST(Conformance, BothReadersGiveTheSameRecordLinesAndVerdict) {
    int taken = 0;
    for (const conformance_case &c : corpus_build()) {
        SCOPED_TRACE("case: " + printable(c.text));
        halvex_mapapi_point p[2];
        message_outcome o[2];
        int ok[2];
        for (int fast = 0; fast < 2; fast++)
            ok[fast] = message_read(c.text.data(), c.text.size(), &p[fast], &o[fast], fast);
        taken += o[1].fast;
        EXPECT_EQ(ok[0], ok[1]);
        EXPECT_EQ(std::vector<std::string>(o[0].lines, o[0].lines + o[0].line_count),
                  std::vector<std::string>(o[1].lines, o[1].lines + o[1].line_count));
        EXPECT_EQ(colour_of(p[0].c), colour_of(p[1].c));
        EXPECT_EQ(colour_of(p[0].c2), colour_of(p[1].c2));
        for (halvex_mapapi_point &point : p) {
            point_colours_release(&point);
            point.c = point.c2 = NULL;
        }
        EXPECT_EQ(memcmp(&p[0], &p[1], sizeof p[0]), 0);
    }
    EXPECT_GT(taken, 200);  // the value grid is mostly flat objects
}

TEST(Conformance, NestingFarBeyondOneReceiveIsAParseFailure) {
    // Only a caller other than the receiver can pass this much; it must not exhaust the stack.
    for (const char *open : {"[", "{\"a\":"}) {
        std::string deep;
        for (int i = 0; i < 200000; i++)
            deep += open;
        testing::internal::CaptureStdout();
        halvex_mapapi_point p;
        EXPECT_EQ(message_handle(deep.data(), deep.size(), &p), 0);
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  "Failed to parse JSON.\n" MESSAGE_TOO_LONG_LINE "\n");
    }
}

// Replays every file in dir (one message each) through handle_checked; returns how many, or
// -1 when dir cannot be opened.
static int folder_replay(const std::string &dir) {
    DIR *d = opendir(dir.c_str());
    if (!d)
        return -1;
    int replayed = 0;
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        SCOPED_TRACE(dir + "/" + e->d_name);
        handle_checked(file_read(dir + "/" + e->d_name), EITHER);
        replayed++;
    }
    closedir(d);
    return replayed;
}

// The fuzzers' kept inputs: the message seeds, and what the two readers' comparison kept.
// A folder that is missing or empty fails: it would check nothing.
TEST(Conformance, KeptInputsReplay) {
    std::string source = std::string(__FILE__);
    std::string corpus = source.substr(0, source.rfind('/')) + "/../fuzz/corpus/";
    for (const char *name : {"message", "message_diff"})
        EXPECT_GT(folder_replay(corpus + name), 0) << "no kept inputs in " << corpus << name;
}

TEST(Conformance, ServiceAnswersEveryCaseOnceAndStaysUp) {
    std::string dir = tempdir_make(), sock = dir + "/sock";
    file_write(dir + "/halvex_mapapi_server.ini", config_basic(sock, "https://127.0.0.1:1/"));
    server_proc s = server_start(dir);
    scope_exit s_end{[&] {  // however the test ends
        server_stop(s);
        tempdir_remove(dir);
    }};
    ASSERT_TRUE(server_wait_listening(s, sock, 10000)) << server_stderr(s);
    int fd = unix_connect(sock);
    ASSERT_GE(fd, 0);
    for (const conformance_case &c : corpus_build()) {
        if (c.text.empty())
            continue;  // sending nothing is no message
        testing::internal::CaptureStdout();
        halvex_mapapi_point p;
        int ok = message_handle(c.text.data(), c.text.size(), &p);
        testing::internal::GetCapturedStdout();
        point_colours_release(&p);
        // A lost or extra reply would shift every later one and show here.
        ASSERT_EQ(point_exchange(fd, c.text, 10000), ok ? "OK\n" : "FAILED\n") << printable(c.text);
    }
    EXPECT_EQ(point_exchange(fd, "{\"lat\":40.7128,\"lng\":-74.006}"), "OK\n");
    close(fd);
    EXPECT_EQ(server_stop(s), 0) << server_stderr(s);
}
