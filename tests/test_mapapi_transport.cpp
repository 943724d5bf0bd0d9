// test_mapapi_transport.cpp -- judged posts of batches over HTTPS: request, answers, redirects,
// bounds.
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <limits.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdint.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <random>
#include <string>

#include "mapapi/halvex_mapapi.h"
#include "mapapi/halvex_mapapi_response.h"
#include "mapapi/halvex_mapapi_judge.h"
#include "harness.h"
#include "tls_cert.h"

// The callback test asks for absurd sizes on purpose: let the sanitizers' allocators say no
// the way the C library does, by returning NULL.
extern "C" const char *__asan_default_options() {
    return "allocator_may_return_null=1";
}
extern "C" const char *__tsan_default_options() {
    return "allocator_may_return_null=1";
}

// A loopback HTTPS server for an answer the stand-in cannot give: "true" in chunks of a byte.
struct tls_site {
    std::string dir;
    std::unique_ptr<httplib::SSLServer> server;
    std::thread thread;
    int port = 0;
};

static void tls_site_start(tls_site &s) {
    s.dir = tempdir_make();
    std::string cert = s.dir + "/cert.pem", key = s.dir + "/key.pem";
    ASSERT_EQ(tls_cert_create(cert.c_str(), key.c_str()), 0);
    s.server.reset(new httplib::SSLServer(cert.c_str(), key.c_str()));
    s.server->set_keep_alive_timeout(1);  // a stop waits for the kept connection to go idle
    s.server->Post("/chunked", [](const httplib::Request &, httplib::Response &res) {
        res.set_chunked_content_provider("text/plain", [](size_t at, httplib::DataSink &sink) {
            if (at < 4)
                return sink.write(&"true"[at], 1);
            sink.done();
            return true;
        });
    });
    s.port = s.server->bind_to_any_port("127.0.0.1");
    s.thread = std::thread([&s] { s.server->listen_after_bind(); });
    ASSERT_TRUE(wait_until([&s] { return s.server->is_running(); }, 5000));
}

static void tls_site_stop(tls_site &s) {
    if (s.server)
        s.server->stop();
    if (s.thread.joinable())
        s.thread.join();
    tempdir_remove(s.dir);
}

static std::string text_taken(char *text) {
    if (!text)
        return "<none>";
    std::string s(text);
    free(text);
    return s;
}

static double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

class MapapiTransport : public ::testing::Test {
protected:
    map_stub stub;
    static void SetUpTestSuite() { signal(SIGPIPE, SIG_IGN); }  // as the service's main does
    void SetUp() override {
        halvex_mapapi_init("testmap1", "testkey123456789");
        map_stub_start(stub);
        halvex_mapapi_set_endpoint(map_stub_url(stub, "/points").c_str());
    }
    void TearDown() override {
        map_stub_stop(stub);
        halvex_mapapi_set_timeouts(HALVEX_MAPAPI_CONNECT_TIMEOUT_SEC,
                                   HALVEX_MAPAPI_STALL_TIMEOUT_SEC);
    }
};

TEST_F(MapapiTransport, PostsTheBatchAsJsonToASelfSignedServer) {
    halvex_mapapi_point p{};
    p.loc_type = HALVEX_MAPAPI_LOC_ZIPCODE;
    p.zipcode = 2134;
    halvex_mapapi_post_result r;
    EXPECT_EQ(halvex_mapapi_post_map_points(&p, 1, 0, &r), HALVEX_MAPAPI_POST_ACCEPTED);
    ASSERT_EQ(map_stub_wait_posts(stub, 1, 5000), 1u);
    received_post got = map_stub_posts(stub)[0];
    EXPECT_EQ(got.method, "POST");
    EXPECT_EQ(got.path, "/points");
    EXPECT_EQ(got.content_type, "application/json");
    EXPECT_EQ(got.body, text_taken(halvex_mapapi_encode_batch(&p, 1, NULL)));
}

// The untimed sends, for callers that only need to know whether the map took the batch.
TEST_F(MapapiTransport, CountsOnlyAnExactTrueAsSuccess) {
    halvex_mapapi_point p{};
    const struct {
        int status;
        const char *body;
        int result;
    } answers[] = {{200, "true", 0},  {200, "true\n", 1}, {200, "True", 1},
                   {200, "false", 1}, {200, "", 1},       {500, "server error", 1}};
    for (const auto &a : answers) {
        map_stub_reply(stub, a.status, a.body);
        EXPECT_EQ(halvex_mapapi_send_map_points(&p, 1), a.result) << a.status << " " << a.body;
    }
    EXPECT_EQ(text_taken(halvex_mapapi_send_raw_map_data("{}")), "server error")
        << "an error status still hands back its body";
    map_stub_reply(stub, 200, "");
    EXPECT_EQ(halvex_mapapi_send_raw_map_data("{}"), nullptr) << "an empty body is no answer";
}

TEST_F(MapapiTransport, CutsALongEndpointTo1023Bytes) {
    std::string base = map_stub_url(stub, "/");
    halvex_mapapi_set_endpoint((base + std::string(1500 - base.size(), 'a')).c_str());
    halvex_mapapi_point p{};
    halvex_mapapi_post_result r;
    EXPECT_EQ(halvex_mapapi_post_map_points(&p, 1, 0, &r), HALVEX_MAPAPI_POST_ACCEPTED);
    ASSERT_EQ(map_stub_wait_posts(stub, 1, 5000), 1u);
    EXPECT_EQ(map_stub_posts(stub)[0].path, "/" + std::string(1023 - base.size(), 'a'));
}

// A "true" from the target of a redirect counts only if the target got the batch.
TEST_F(MapapiTransport, FollowsEachRedirectWithThePostAndItsBody) {
    stub.custom = [](const std::string &path, const std::string &) {
        return path == "/points"
                   ? std::make_pair(200, std::string("true"))
                   : std::make_pair(std::stoi(path.substr(1)), std::string("/points"));
    };
    halvex_mapapi_point p{};
    p.loc_type = HALVEX_MAPAPI_LOC_ZIPCODE;
    p.zipcode = 2134;
    halvex_mapapi_post_result r;
    for (const char *status : {"301", "302", "303", "307"}) {
        halvex_mapapi_set_endpoint(map_stub_url(stub, std::string("/") + status).c_str());
        EXPECT_EQ(halvex_mapapi_post_map_points(&p, 1, 0, &r), HALVEX_MAPAPI_POST_ACCEPTED);
        received_post got = map_stub_posts(stub).back();
        EXPECT_EQ(got.method + " " + got.path, "POST /points") << status;
        EXPECT_EQ(got.body, text_taken(halvex_mapapi_encode_batch(&p, 1, NULL))) << status;
    }
}

TEST_F(MapapiTransport, ReadsAChunkedAnswerWhole) {
    tls_site site;
    tls_site_start(site);
    halvex_mapapi_set_endpoint(
        ("https://127.0.0.1:" + std::to_string(site.port) + "/chunked").c_str());
    halvex_mapapi_point p{};
    halvex_mapapi_post_result r;
    EXPECT_EQ(halvex_mapapi_post_map_points(&p, 1, 0, &r), HALVEX_MAPAPI_POST_ACCEPTED);
    tls_site_stop(site);
}

// The body holds the map key: a redirect from https to plain http is not followed.
TEST_F(MapapiTransport, RedirectFromHttpsGoesOnlyToHttps) {
    httplib::Server plain;
    std::atomic<int> plain_hits{0};
    plain.Post(".*", [&](const httplib::Request &, httplib::Response &res) {
        plain_hits++;
        res.set_content("true", "text/plain");
    });
    int plain_port = plain.bind_to_any_port("127.0.0.1");
    std::thread plain_thread([&] { plain.listen_after_bind(); });
    scope_exit plain_end{[&] {
        plain.stop();
        plain_thread.join();
    }};
    ASSERT_TRUE(wait_until([&] { return plain.is_running(); }, WAIT_MS));
    std::string to_http = "http://127.0.0.1:" + std::to_string(plain_port) + "/new";
    stub.custom = [&](const std::string &, const std::string &) {
        return std::make_pair(307, to_http);
    };
    halvex_mapapi_point p{};
    halvex_mapapi_post_result r;
    EXPECT_EQ(halvex_mapapi_post_map_points(&p, 1, 0, &r), HALVEX_MAPAPI_POST_FAILED);
    EXPECT_EQ(plain_hits.load(), 0) << "the key went out in clear text";
}

TEST_F(MapapiTransport, FailsInTransitWhenNoServerListens) {
    int port = loopback_port_free();
    ASSERT_NE(port, 0);
    halvex_mapapi_set_endpoint(("https://127.0.0.1:" + std::to_string(port)).c_str());
    halvex_mapapi_point p{};
    halvex_mapapi_post_result r;
    EXPECT_EQ(halvex_mapapi_post_map_points(&p, 1, 0, &r), HALVEX_MAPAPI_POST_FAILED);
    EXPECT_EQ(r.http_status, 0);
}

TEST_F(MapapiTransport, GivesUpOnAServerThatNeverAnswers) {
    halvex_mapapi_set_timeouts(1, 1);
    int port = 0, fd = loopback_listen(&port);  // takes connections and never says a word
    ASSERT_GE(fd, 0);
    halvex_mapapi_set_endpoint(("https://127.0.0.1:" + std::to_string(port)).c_str());
    halvex_mapapi_point p{};
    halvex_mapapi_post_result r;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(halvex_mapapi_post_map_points(&p, 1, 0, &r), HALVEX_MAPAPI_POST_FAILED)
        << "silent after the TCP handshake";
    EXPECT_LT(seconds_since(start), 15.0);
    close(fd);

    // libcurl averages the speed over the last 5 s, and the request's bytes count: the stall
    // shows some 7 s after the request went out, before this answer.
    halvex_mapapi_set_endpoint(map_stub_url(stub, "/points").c_str());
    map_stub_reply(stub, 200, "true", 10000);
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(halvex_mapapi_post_map_points(&p, 1, 0, &r), HALVEX_MAPAPI_POST_FAILED)
        << "stalls after the request";
    EXPECT_LT(seconds_since(start), 15.0);
}

TEST_F(MapapiTransport, WaitsForASlowServerThatDoesAnswer) {
    halvex_mapapi_set_timeouts(2, 3);
    map_stub_reply(stub, 200, "true", 500);
    halvex_mapapi_point p{};
    halvex_mapapi_post_result r;
    EXPECT_EQ(halvex_mapapi_post_map_points(&p, 1, 0, &r), HALVEX_MAPAPI_POST_ACCEPTED);
}

// Property: however a response is cut into chunks, the collector holds it whole and in order.
TEST(MapapiTransportCallback, JoinsAnySplitOfAResponse) {
    const std::string text("tr\0ue, and more\n", 17);  // a NUL inside is just a byte
    std::mt19937 rng(7);
    for (uint32_t cuts = 0; cuts < (1u << (text.size() - 1)); cuts++) {
        response_buffer out = {NULL, 0};
        size_t from = 0;
        for (size_t i = 1; i <= text.size(); i++) {
            if (i < text.size() && !(cuts & (1u << (i - 1))))
                continue;
            size_t n = i - from;
            bool as_items = rng() % 2;  // either n items of 1 byte or 1 item of n bytes
            ASSERT_EQ(
                curl_write_callback_func(&text[from], as_items ? 1 : n, as_items ? n : 1, &out), n);
            from = i;
        }
        ASSERT_EQ(std::string(out.data, out.size), text) << "cuts " << cuts;
        ASSERT_EQ(out.data[out.size], '\0');
        free(out.data);
    }
}

TEST(MapapiTransportCallback, DropsTheResponseWhenItCannotHoldAChunk) {
    response_buffer out = {NULL, 0};
    EXPECT_EQ(curl_write_callback_func("x", 0, 1, &out), 0u);
    EXPECT_EQ(out.data, nullptr) << "nothing is allocated before the first byte";
    const struct {
        size_t size, nmemb;
    } absurd[] = {{SIZE_MAX / 2 + 1, 2},  // size * nmemb overflows
                  {SIZE_MAX - 2, 1},      // size + n + 1 overflows
                  {SIZE_MAX / 4, 1}};     // fits the arithmetic, not the memory
    for (const auto &a : absurd) {
        ASSERT_EQ(curl_write_callback_func("abc", 1, 3, &out), 3u);
        EXPECT_EQ(curl_write_callback_func("abc", a.size, a.nmemb, &out), 0u) << a.size;
        EXPECT_EQ(out.data, nullptr);
        EXPECT_EQ(out.size, 0u);
    }
}

TEST(MapapiTransportCallback, RegisteredThroughAnAdapterOfLibcurlsType) {
    curl_write_callback callback = curl_write_adapter;  // compiles only with libcurl's type
    response_buffer out = {NULL, 0};
    char chunk[] = "true";
    EXPECT_EQ(callback(chunk, 1, 4, &out), 4u);
    EXPECT_EQ(std::string(out.data, out.size), "true");
    free(out.data);
}

// An answer of "\x01" + the request itself shows how the result makes the answer printable.
TEST_F(MapapiTransport, JudgesEachAnswerAsAcceptedFailedInTransitOrRefused) {
    const std::string long_answer(70000, 'x'), start(HALVEX_MAPAPI_ANSWER_START_MAX, 'x');
    const struct {
        int status;
        std::string body, start;
        int outcome;
    } answers[] = {{200, "true", "true", HALVEX_MAPAPI_POST_ACCEPTED},
                   {503, "busy", "busy", HALVEX_MAPAPI_POST_FAILED},
                   {503, long_answer, start, HALVEX_MAPAPI_POST_FAILED},
                   {200, long_answer, start, HALVEX_MAPAPI_POST_REFUSED},
                   {401, "\x01", "?{\"mapId\":\"testmap1\",\"key\":\"***\",\"points\":[{}]}",
                    HALVEX_MAPAPI_POST_REFUSED},
                   {401, "TESTKEY123456789,testkey12345678,Y12345,key12", "***,***,***,key12",
                    HALVEX_MAPAPI_POST_REFUSED}};
    halvex_mapapi_point p{};
    halvex_mapapi_post_result r;
    for (const auto &a : answers) {
        stub.custom = [&a](const std::string &, const std::string &body) {
            return std::make_pair(a.status, a.body == "\x01" ? a.body + body : a.body);
        };
        EXPECT_EQ(halvex_mapapi_post_map_points(&p, 1, 0, &r), a.outcome) << a.status;
        EXPECT_EQ(r.http_status, a.status);
        EXPECT_EQ(r.answer_start, a.start);
        EXPECT_LE(r.answer_size, (size_t)HALVEX_MAPAPI_ANSWER_MAX) << "read past the bound";
    }
    halvex_mapapi_init("testmap1", "Ab\"Cd\\Ef12345678");  // escaped in the body it echoes
    stub.custom = [](const std::string &, const std::string &body) {
        return std::make_pair(401, "\x01" + body);
    };
    EXPECT_EQ(halvex_mapapi_post_map_points(&p, 1, 0, &r), HALVEX_MAPAPI_POST_REFUSED);
    EXPECT_EQ(r.answer_start, answers[4].start);
    stub.custom = nullptr;
    map_stub_reply(stub, 200, "true", 3000);
    EXPECT_EQ(halvex_mapapi_post_map_points(&p, 1, 500, &r), HALVEX_MAPAPI_POST_FAILED)
        << "the whole post is bounded";
}

TEST(MapapiRetryAfter, ReadsSecondsOrAnHttpDateInAnyOfItsThreeForms) {
    const time_t now = curl_getdate("Sun, 06 Nov 1994 08:49:37 GMT", NULL);
    // clang-format off
    const std::pair<const char *, long> cases[] = {
        {"2", 2}, {" 120 ", 120}, {"99999999999999999999", LONG_MAX},
        {"Sun, 06 Nov 1994 08:49:39 GMT", 2}, {"Sunday, 06-Nov-94 08:50:37 GMT", 60},
        {"Sun Nov  6 09:49:37 1994", 3600}, {"Sun, 06 Nov 1994 08:49:30 GMT", 0},
        {"-5", 0}, {"2.5", 0}, {"soon", 0}, {"", 0}};
    // clang-format on
    for (const auto &c : cases)
        EXPECT_EQ(mapapi_retry_after_parse(c.first, now), c.second) << c.first;
}

TEST(MapapiKeepAlive, ReadsTheTimeoutParameterAlone) {
    const std::pair<const char *, long> cases[] = {
        {"timeout=5, max=100", 5}, {"max=100 , Timeout = 2", 2},
        {"timeout=0", 0},          {"timeout=5s", 0},
        {"maxtimeout=5", 0},       {"timeout=99999999999999999999", MAPAPI_KEEP_ALIVE_MAX_SEC}};
    for (const auto &c : cases)
        EXPECT_EQ(mapapi_keep_alive_parse(c.first), c.second) << c.first;
}
