// test_sink_page.cpp -- the sink's live map page in headless Chromium, driven over its DevTools
// pipe: points placed and coloured, the panel, a point fading out, no request off the machine.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <json/json.h>
#include <poll.h>
#include <spawn.h>
#include <string.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "harness.h"

static const char CHROMIUM[] = "/usr/bin/chromium";
static const char WEB_PREFIX[] = "live map on http://127.0.0.1:";
#define KEY "k-never-shown-7"

// Headless Chromium and its DevTools pipe (NUL-terminated JSON messages both ways).
struct browser {
    server_proc proc;
    int to = -1, from = -1;
    std::string buffered;           // read past the last whole message
    int next_id = 0;
    std::string session;            // the page's
    std::vector<std::string> urls;  // every request the page made
};

static bool browser_spawn(browser &b, const std::string &dir) {
    int cmd[2], out[2];
    if (pipe2(cmd, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
        return false;
    std::vector<std::string> args = {
        CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
        "--no-first-run", "--disable-background-networking", "--disable-component-update",
        "--disable-sync", "--remote-debugging-pipe", "--window-size=1200,800",
        "--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1",
        "--user-data-dir=" + dir + "/profile", "about:blank"};
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    std::string log = dir + "/chromium.log";
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, fcntl(cmd[0], F_DUPFD_CLOEXEC, 10), 3);
    posix_spawn_file_actions_adddup2(&fa, fcntl(out[1], F_DUPFD_CLOEXEC, 10), 4);
    posix_spawn_file_actions_addopen(&fa, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    b.proc.err_path = log;
    if (posix_spawn(&b.proc.pid, CHROMIUM, &fa, nullptr, argv.data(), environ) != 0)
        b.proc.pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    close(cmd[0]);
    close(out[1]);
    b.to = cmd[1];
    b.from = out[0];
    return b.proc.pid > 0;
}

// Send a command and wait for its answer, noting the page's requests on the way; null on an
// error or when none comes within timeout_ms.
static Json::Value cdp_call(browser &b, const std::string &method, const Json::Value &params,
                            int timeout_ms = 20000) {
    Json::Value msg;
    msg["id"] = ++b.next_id;
    msg["method"] = method;
    msg["params"] = params;
    if (!b.session.empty() && method.rfind("Target.", 0) != 0)
        msg["sessionId"] = b.session;
    std::string text = Json::writeString(Json::StreamWriterBuilder(), msg) + '\0';
    if (write(b.to, text.data(), text.size()) != (ssize_t)text.size())
        return Json::Value();
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        size_t nul;
        while ((nul = b.buffered.find('\0')) != std::string::npos) {
            Json::Value in;
            std::istringstream(b.buffered.substr(0, nul)) >> in;
            b.buffered.erase(0, nul + 1);
            if (in["method"] == "Network.requestWillBeSent")
                b.urls.push_back(in["params"]["request"]["url"].asString());
            if (in["id"] == b.next_id)
                return in["result"];
        }
        int left = (int)std::chrono::duration_cast<std::chrono::milliseconds>(
                       end - std::chrono::steady_clock::now()).count();
        struct pollfd pfd = {b.from, POLLIN, 0};
        char buf[65536];
        ssize_t n;
        if (left <= 0 || poll(&pfd, 1, left) <= 0 || (n = read(b.from, buf, sizeof buf)) <= 0)
            return Json::Value();
        b.buffered.append(buf, (size_t)n);
    }
}

// The page's answer to a JavaScript expression that yields JSON text; null if none.
static Json::Value page_eval(browser &b, const std::string &expr) {
    Json::Value p, v;
    p["expression"] = expr;
    p["returnByValue"] = true;
    std::istringstream(cdp_call(b, "Runtime.evaluate", p)["result"]["value"].asString()) >> v;
    return v;
}

// Colour of the pixel dx to the right of a place, in a pane's canvas: "rrggbb", or "none".
static const char PROBE_JS[] = R"JS(
window.pixelAt = function (pane, lat, lng, dx) {
  var m = window.halvexSinkMap, cv = m && m.getPane(pane).querySelector('canvas');
  if (!cv) return 'none';
  var p = m.latLngToContainerPoint([lat, lng]), cr = cv.getBoundingClientRect();
  var mr = m.getContainer().getBoundingClientRect(), k = cv.width / cr.width;
  var d = cv.getContext('2d').getImageData(Math.floor((p.x + dx + mr.left - cr.left) * k),
                                           Math.floor((p.y + mr.top - cr.top) * k), 1, 1).data;
  return d[3] ? [d[0], d[1], d[2]].map(function (v) { return (v | 256).toString(16).slice(1); })
                                   .join('') : 'none';
};
window.pageNow = function () {
  var t = function (id) { return document.getElementById(id).textContent; };
  return JSON.stringify({
    land: pixelAt('land', 23, 13, 0),
    ny: [pixelAt('overlayPane', 40.7128, -74.006, 0), pixelAt('overlayPane', 40.7128, -74.006, 10)],
    syd: [pixelAt('overlayPane', -33.8688, 151.2093, 0), pixelAt('overlayPane', -33.8688, 151.2093, 5)],
    london: pixelAt('overlayPane', 51.5072, -0.1276, 0),
    panel: [t('map-id'), t('batches'), t('points')].join(' '), zips: t('zips'),
    key_shown: document.documentElement.outerHTML.indexOf(')JS" KEY R"JS(') >= 0 });
};
JSON.stringify('ok'))JS";

class SinkPage : public ::testing::Test {
protected:
    void SetUp() override { dir = tempdir_make(); }
    void TearDown() override {
        if (web.proc.pid > 0) {
            cdp_call(web, "Browser.close", Json::objectValue, 5000);
            if (!server_wait_exit(web.proc, 10000))
                server_stop(web.proc);
        }
        close(web.to);
        close(web.from);
        if (sink.pid > 0) {
            EXPECT_EQ(server_stop(sink), 0) << "SIGINT should end the sink cleanly";
        }
        tempdir_remove(dir);
    }
    std::string dir;
    server_proc sink;
    browser web;
};

TEST_F(SinkPage, ShowsPointsPanelAndFadingWithoutLeavingTheMachine) {
    sink = program_start(dir, {HALVEX_SINK_BIN, "--port", "0", "--web-port", "0", "--tls-dir",
                               dir + "/tls"});
    int port = 0, web_port = 0;
    ASSERT_TRUE(wait_until(
        [&] {
            std::string out = server_stdout(sink);
            size_t at = out.find(WEB_PREFIX), https = out.find("https://127.0.0.1:");
            if (at == std::string::npos || https == std::string::npos)
                return false;
            port = atoi(out.c_str() + https + 18);
            web_port = atoi(out.c_str() + at + strlen(WEB_PREFIX));
            return true;
        },
        10000))
        << server_stdout(sink) << server_stderr(sink);
    if (access(CHROMIUM, X_OK) != 0)
        GTEST_SKIP() << CHROMIUM << " is not installed (scripts/setup installs it)";
    ASSERT_TRUE(browser_spawn(web, dir));
    Json::Value blank;
    blank["url"] = "about:blank";
    Json::Value target = cdp_call(web, "Target.createTarget", blank, 60000);
    if (target.isNull())
        GTEST_SKIP() << "Chromium did not start:\n" << file_read(web.proc.err_path);

    Json::Value attach;
    attach["targetId"] = target["targetId"];
    attach["flatten"] = true;
    web.session = cdp_call(web, "Target.attachToTarget", attach)["sessionId"].asString();
    ASSERT_FALSE(cdp_call(web, "Network.enable", Json::objectValue).isNull());
    Json::Value nav;
    nav["url"] = "http://127.0.0.1:" + std::to_string(web_port) + "/";
    ASSERT_FALSE(cdp_call(web, "Page.navigate", nav).isNull());
    Json::Value now;
    ASSERT_TRUE(wait_until(
        [&] { return page_eval(web, PROBE_JS) == "ok" &&
                     (now = page_eval(web, "pageNow()"))["land"] == "efeadb"; },
        30000))
        << "the land outlines should be drawn: " << now;

    httplib::SSLClient cli("127.0.0.1", port);
    cli.enable_server_certificate_verification(false);
    std::string head = "{\"mapId\":\"pagemap1\",\"key\":\"" KEY "\",\"points\":[";
    ASSERT_TRUE(cli.Post("/", head +
                                  "{\"lat\":40.712799,\"lng\":-74.005997,\"r\":10,\"c\":\"#ff0000\","
                                  "\"c2\":\"#0000ff\"},{\"zipcode\":\"02134\",\"c\":\"#ff8800\"},"
                                  "{\"lat\":51.507198,\"lng\":-0.127600,\"c\":\"#ff00ff\","
                                  "\"delay\":200,\"visible_time\":2000}]}",
                         "application/json"));
    ASSERT_TRUE(cli.Post("/", head + "{\"lat\":-33.868820,\"lng\":151.209290,\"c\":\"#00ff00\"}]}",
                         "application/json"));
    bool london_seen = false;
    wait_until(
        [&] {
            now = page_eval(web, "pageNow()");
            london_seen = london_seen || now["london"] == "ff00ff";
            return london_seen && now["syd"][1] == "009900" && now["ny"][1] == "0000ff";
        },
        30000);
    EXPECT_TRUE(london_seen) << "the point with a visible time should show first";
    EXPECT_EQ(now["ny"][0], "ff0000") << "fill c, outline c2 at r pixels: " << now;
    EXPECT_EQ(now["ny"][1], "0000ff");
    EXPECT_EQ(now["syd"][0], "00ff00") << "without c2 the outline is a darker c: " << now;
    EXPECT_EQ(now["syd"][1], "009900");
    EXPECT_EQ(now["panel"], "pagemap1 2 4") << "map id, batches, points: " << now;
    EXPECT_NE(now["zips"].asString().find("02134"), std::string::npos) << now;
    EXPECT_FALSE(now["key_shown"].asBool()) << "the map key must never reach the page";
    EXPECT_TRUE(wait_until([&] { return page_eval(web, "pageNow()")["london"] == "none"; }, 30000))
        << "the point should be gone once its visible time is over";

    ASSERT_FALSE(web.urls.empty());
    for (const std::string &url : web.urls)
        EXPECT_TRUE(url.rfind(nav["url"].asString(), 0) == 0 || url.rfind("data:", 0) == 0)
            << "a request left the sink: " << url;
}
