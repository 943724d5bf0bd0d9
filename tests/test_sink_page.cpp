// test_sink_page.cpp -- the sink's live map page in headless Chromium, driven over its DevTools
// pipe: points placed and coloured, the panel, a point fading out, no request off the machine.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <json/json.h>
#include <poll.h>
#include <spawn.h>
#include <stdio.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "harness.h"

static const char CHROMIUM[] = "/usr/bin/chromium";
static const char START_LINES[] =
    "halvex_mapapi_sink: listening on https://127.0.0.1:%d\n"
    "halvex_mapapi_sink: live map on http://127.0.0.1:%d/";
#define KEY "k-never-shown-7"

// Headless Chromium and its DevTools pipe (NUL-terminated JSON messages both ways).
struct browser {
    server_proc proc;
    int to = -1, from = -1;
    std::string buffered;  // read past the last whole message
    int next_id = 0;
    std::string session;            // the page's
    std::vector<std::string> urls;  // every request the page made
};

static bool browser_spawn(browser &b, const std::string &dir) {
    int cmd[2], out[2];
    if (pipe2(cmd, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
        return false;
    // Headless as root, nothing fetched on its own, and no name resolved but the sink's.
    // clang-format off
    static const char *const flags[] = {CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu",
        "--disable-quic", "--no-first-run", "--disable-background-networking",
        "--disable-component-update", "--disable-sync", "--remote-debugging-pipe",
        "--window-size=1200,800", "--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1",
        "about:blank"};
    // clang-format on
    std::string profile = "--user-data-dir=" + dir + "/profile";
    std::vector<char *> argv;
    for (const char *a : flags)
        argv.push_back(const_cast<char *>(a));
    argv.insert(argv.end() - 1, &profile[0]);
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

// Send a command (params: JSON text) and wait for its answer, noting the page's requests on
// the way; null on an error or when none comes within timeout_ms.
static Json::Value cdp_call(browser &b, const std::string &method, const std::string &params,
                            int timeout_ms = 20000) {
    std::string text = "{\"id\":" + std::to_string(++b.next_id) + ",\"method\":\"" + method +
                       "\",\"params\":" + params +
                       (b.session.empty() || method.rfind("Browser.", 0) == 0
                            ? ""
                            : ",\"sessionId\":\"" + b.session + "\"") +
                       "}";
    if (write(b.to, text.c_str(), text.size() + 1) != (ssize_t)text.size() + 1)
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
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        struct pollfd pfd = {b.from, POLLIN, 0};
        char buf[65536];
        ssize_t n;
        if (poll(&pfd, 1, std::max(0, (int)left.count())) <= 0 ||
            (n = read(b.from, buf, sizeof buf)) <= 0)
            return Json::Value();
        b.buffered.append(buf, (size_t)n);
    }
}

// The text a JavaScript expression yields in the page; "" if none.
static std::string page_eval(browser &b, const std::string &expr) {
    std::string p = "{\"expression\":" + Json::valueToQuotedString(expr.c_str()) + "}";
    return cdp_call(b, "Runtime.evaluate", p)["result"]["value"].asString();
}

// What a person sees, in one line: the colour ("rrggbb" or "none") of the land canvas in the
// Sahara and of the points' canvas at and r pixels right of each place; the panel; the key.
static const char PAGE_NOW_JS[] = R"JS((function () {
  var m = window.halvexSinkMap, t = function (id) { return document.getElementById(id).textContent; };
  function px(pane, lat, lng, dx) {
    var cv = m.getPane(pane).querySelector('canvas');
    if (!cv) return 'none';
    var p = m.latLngToContainerPoint([lat, lng]), cr = cv.getBoundingClientRect();
    var mr = m.getContainer().getBoundingClientRect(), k = cv.width / cr.width;
    var d = cv.getContext('2d').getImageData(Math.floor((p.x + dx + mr.left - cr.left) * k),
                                             Math.floor((p.y + mr.top - cr.top) * k), 1, 1).data;
    return d[3] ? [0, 1, 2].map(function (i) { return (d[i] | 256).toString(16).slice(1); }).join('')
                : 'none';
  }
  var o = 'overlayPane';
  return m && ['land', px('land', 23, 13, 0), '| new york', px(o, 40.7128, -74.006, 0),
    px(o, 40.7128, -74.006, 10), '| sydney', px(o, -33.8688, 151.2093, 0),
    px(o, -33.8688, 151.2093, 5), '| london', px(o, 51.5072, -0.1276, 0),
    '| panel', t('map-id'), t('batches'), t('points'), t('zips').indexOf('02134') >= 0,
    document.documentElement.outerHTML.indexOf(')JS" KEY R"JS(') >= 0 ? 'key shown' : ''].join(' ');
})())JS";

class SinkPage : public ::testing::Test {
protected:
    void SetUp() override { dir = tempdir_make(); }
    void TearDown() override {
        if (web.proc.pid > 0) {
            cdp_call(web, "Browser.close", "{}", 5000);
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
    sink = program_start(
        dir, {HALVEX_SINK_BIN, "--port", "0", "--web-port", "0", "--tls-dir", dir + "/tls"});
    int port = 0, web_port = 0;
    ASSERT_TRUE(wait_until(
        [&] { return sscanf(server_stdout(sink).c_str(), START_LINES, &port, &web_port) == 2; },
        10000))
        << server_stdout(sink) << server_stderr(sink);
    if (access(CHROMIUM, X_OK) != 0)
        GTEST_SKIP() << CHROMIUM << " is not installed (scripts/setup installs it)";
    ASSERT_TRUE(browser_spawn(web, dir));
    Json::Value target = cdp_call(web, "Target.createTarget", "{\"url\":\"about:blank\"}", 60000);
    if (target.isNull())
        GTEST_SKIP() << "Chromium did not start:\n" << file_read(web.proc.err_path);
    web.session = cdp_call(web, "Target.attachToTarget",
                           "{\"flatten\":true,\"targetId\":\"" + target["targetId"].asString() +
                               "\"}")["sessionId"]
                      .asString();
    std::string url = "http://127.0.0.1:" + std::to_string(web_port) + "/";
    ASSERT_FALSE(cdp_call(web, "Network.enable", "{}").isNull());
    ASSERT_FALSE(cdp_call(web, "Page.navigate", "{\"url\":\"" + url + "\"}").isNull());
    std::string now, blank =
                         "land efeadb | new york none none | sydney none none | london none "
                         "| panel none yet 0 0 false ";
    ASSERT_TRUE(wait_until([&] { return (now = page_eval(web, PAGE_NOW_JS)) == blank; }, 30000))
        << "land drawn, no points yet: " << now;

    httplib::SSLClient cli("127.0.0.1", port);
    cli.enable_server_certificate_verification(false);
    std::string head = "{\"mapId\":\"pagemap1\",\"key\":\"" KEY "\",\"points\":[";
    ASSERT_TRUE(cli.Post("/",
                         head + "{\"lat\":40.712799,\"lng\":-74.005997,\"r\":10,\"c\":\"#ff0000\","
                                "\"c2\":\"#0000ff\"},{\"zipcode\":\"02134\",\"c\":\"#ff8800\"},"
                                "{\"lat\":51.507198,\"lng\":-0.127600,\"c\":\"#ff00ff\","
                                "\"delay\":200,\"visible_time\":2000}]}",
                         "application/json"));
    ASSERT_TRUE(cli.Post("/", head + "{\"lat\":-33.868820,\"lng\":151.209290,\"c\":\"#00ff00\"}]}",
                         "application/json"));
    // Fill c, outline c2 (or c at 60 %) r pixels out; the zip code listed; the key nowhere.
    auto with_london = [](const std::string &colour) {
        return "land efeadb | new york ff0000 0000ff | sydney 00ff00 009900 | london " + colour +
               " | panel pagemap1 2 4 true ";
    };
    EXPECT_TRUE(wait_until(
        [&] { return (now = page_eval(web, PAGE_NOW_JS)) == with_london("ff00ff"); }, 30000))
        << now;
    EXPECT_TRUE(wait_until(
        [&] { return (now = page_eval(web, PAGE_NOW_JS)) == with_london("none"); }, 30000))
        << "the point with a visible time should fade out and go: " << now;

    ASSERT_FALSE(web.urls.empty());
    for (const std::string &u : web.urls)
        EXPECT_TRUE(u.rfind(url, 0) == 0 || u.rfind("data:", 0) == 0)
            << "request off the sink: " << u;
}
