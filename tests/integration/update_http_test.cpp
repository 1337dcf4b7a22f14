#include "platform/http.h"
#include "setup/command_runner.h"
#include "support/local_runner.h"
#include "support/loopback_http_server.h"
#include "support/recording_task.h"
#include "support/sandbox.h"
#include "support/scoped_variable.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>

namespace sv {
namespace {

using namespace std::chrono_literals;
using platform::HttpRequest;
using platform::httpGet;
using test::LoopbackHttpServer;

HttpRequest get(std::string url, std::chrono::milliseconds timeout = 5s)
{
    HttpRequest request;
    request.url = std::move(url);
    request.timeout = timeout;
    return request;
}

TEST(HttpGet, ReturnsBodyAndStatusOfAnyAnswer)
{
    LoopbackHttpServer server;
    server.route("/update.json", LoopbackHttpServer::json(R"({"build": 2})"));

    auto ok = httpGet(get(server.url("/update.json")));
    ASSERT_TRUE(ok.ok()) << ok.error;
    EXPECT_EQ(ok.response->status, 200);
    EXPECT_EQ(ok.response->body, R"({"build": 2})");

    // An error page is an answer, not a failed transfer.
    auto missing = httpGet(get(server.url("/nothing-here")));
    ASSERT_TRUE(missing.ok()) << missing.error;
    EXPECT_EQ(missing.response->status, 404);
    EXPECT_NE(missing.response->body.find("Not Found"), std::string::npos);

    auto request = server.requests().at(0);
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.target, "/update.json");
}

TEST(HttpGet, FollowsAtMostFiveRedirectsOnlyToHttp)
{
    LoopbackHttpServer server, hops, otherLoopback("127.0.0.2");
    server.route("/old", LoopbackHttpServer::redirect("/middle", 301));
    server.route("/middle", LoopbackHttpServer::redirect(server.url("/new")));
    server.route("/new", LoopbackHttpServer::json("here"));
    server.route("/to-file", LoopbackHttpServer::redirect("file:///etc/passwd"));
    server.route("/to-ftp", LoopbackHttpServer::redirect("ftp://127.0.0.1:" + std::to_string(server.port()) + "/"));
    server.route("/to-other-loopback", LoopbackHttpServer::redirect(otherLoopback.url("/new")));
    otherLoopback.route("/new", LoopbackHttpServer::json("next door"));
    // /N sends the client on N more times.
    hops.handle([](const LoopbackHttpServer::Request& request) {
        const int left = std::stoi(request.target.substr(1));
        return left == 0 ? LoopbackHttpServer::json("arrived")
                         : LoopbackHttpServer::redirect("/" + std::to_string(left - 1));
    });

    auto moved = httpGet(get(server.url("/old")));
    ASSERT_TRUE(moved.ok()) << moved.error;
    EXPECT_EQ(moved.response->status, 200);
    EXPECT_EQ(moved.response->body, "here");

    auto five = httpGet(get(hops.url("/5")));
    ASSERT_TRUE(five.ok()) << five.error;
    EXPECT_EQ(five.response->body, "arrived");
    EXPECT_EQ(hops.requestCount(), 6u);
    EXPECT_FALSE(httpGet(get(hops.url("/6"))).ok());
    EXPECT_EQ(hops.requestCount(), 12u) << "the sixth redirect is not followed";

    // From the loopback to the loopback, any address of it, is fine.
    auto nextDoor = httpGet(get(server.url("/to-other-loopback")));
    ASSERT_TRUE(nextDoor.ok()) << nextDoor.error;
    EXPECT_EQ(nextDoor.response->body, "next door");

    EXPECT_FALSE(httpGet(get(server.url("/to-file"))).ok());
    const std::size_t beforeFtp = server.requestCount();
    EXPECT_FALSE(httpGet(get(server.url("/to-ftp"))).ok());
    EXPECT_EQ(server.requestCount() - beforeFtp, 1u) << "nothing spoke ftp to the server";
}

// Redirects between kinds of network need addresses other than loopback
// ones. The test runs itself again in a network namespace of its own, whose
// loopback interface also carries a documentation address (counted as the
// internet), a private one and a link-local one; nothing leaves it. A URL
// that a server named (the package of a feed) is judged as a redirect from
// it; and so is everything through a proxy, whose own loopback address says
// nothing of where a request goes.
TEST(HttpGet, NeverRedirectsToANearerNetwork)
{
    const char* setUp = "ip link set lo up && ip addr add 203.0.113.1/32 dev lo && ip addr add 203.0.113.2/32 dev lo"
                        " && ip addr add 10.0.0.1/32 dev lo && ip addr add 169.254.1.1/32 dev lo"
                        " && SV_TEST_OWN_NETWORK=1 exec \"$0\" --gtest_filter=HttpGet.NeverRedirectsToANearerNetwork";
    if (!std::getenv("SV_TEST_OWN_NETWORK")) {
        const test::Sandbox box;
        const Globals globals(box.path().string(), 1, "/usr/sbin:/usr/bin:/sbin:/bin");
        const auto possible = run(globals, "/usr/bin/unshare", { "--net", "--map-root-user", "/bin/true" });
        if (possible.status != 0)
            GTEST_SKIP() << "no network namespace can be made here: " << possible.output;
        const auto self = std::filesystem::read_symlink("/proc/self/exe").string();
        const auto inside
            = run(globals, "/usr/bin/unshare", { "--net", "--map-root-user", "/bin/sh", "-c", setUp, self });
        EXPECT_EQ(inside.status, 0) << inside.output;
        EXPECT_NE(inside.output.find("[  PASSED  ] 1 test"), std::string::npos) << inside.output;
        return;
    }

    LoopbackHttpServer internet("203.0.113.1"), elsewhere("203.0.113.2"), privateNetwork("10.0.0.1"),
        linkLocal("169.254.1.1"), loopback("127.0.0.1"), proxy;
    // /go?<url> redirects there; /update.json names a package on this
    // machine; anything else arrives.
    const std::string feed = R"({"version": "2.0", "build": 43, "url": ")" + loopback.url("/Sandvoll.zip")
        + R"(", "sha256": "00", "signature": "AA=="})";
    const auto redirector = [feed](const LoopbackHttpServer::Request& request) {
        if (request.target.starts_with("/go?"))
            return LoopbackHttpServer::redirect(request.target.substr(4));
        return LoopbackHttpServer::json(request.target == "/update.json" ? feed : "arrived");
    };
    for (auto* server : { &internet, &elsewhere, &privateNetwork, &linkLocal, &loopback })
        server->handle(redirector);
    // The proxy answers as the server asked for would.
    proxy.handle([&](const LoopbackHttpServer::Request& request) {
        auto asked = request;
        asked.target = request.target.substr(request.target.find('/', std::string("http://").size()));
        return redirector(asked);
    });
    const auto via = [](const LoopbackHttpServer& from, const std::string& to) { return from.url("/go?" + to); };
    const std::string localhost = "http://localhost:" + std::to_string(loopback.port()) + "/end";

    const struct {
        std::string url;
        bool followed;
        const LoopbackHttpServer* namedBy = nullptr;
    } cases[] = {
        { via(internet, elsewhere.url("/end")), true },
        { via(internet, privateNetwork.url("/end")), false },
        { via(internet, linkLocal.url("/end")), false },
        { via(internet, loopback.url("/end")), false },
        { via(internet, localhost), false }, // judged by where the name led
        { via(privateNetwork, internet.url("/end")), true },
        { via(privateNetwork, privateNetwork.url("/end")), true },
        { via(privateNetwork, linkLocal.url("/end")), false },
        { via(privateNetwork, loopback.url("/end")), false },
        { via(linkLocal, privateNetwork.url("/end")), true },
        { via(linkLocal, loopback.url("/end")), false },
        { via(loopback, internet.url("/end")), true },
        { via(loopback, loopback.url("/end")), true },
        // Each redirect is judged against the server that sent it.
        { via(loopback, via(internet, loopback.url("/end"))), false },
        { via(internet, via(elsewhere, privateNetwork.url("/end"))), false },
        { elsewhere.url("/end"), true, &internet },
        { loopback.url("/end"), false, &internet },
        { via(elsewhere, linkLocal.url("/end")), false, &internet },
        { linkLocal.url("/end"), false, &privateNetwork },
        { privateNetwork.url("/end"), true, &loopback },
    };
    const auto check = [&](const std::string& how) {
        for (const auto& [url, followed, namedBy] : cases) {
            auto request = get(url);
            if (namedBy) {
                const auto feed = httpGet(get(namedBy->url("/feed")));
                ASSERT_TRUE(feed.ok()) << how << ": " << feed.error;
                request.namedFrom = feed.response->scope;
            }
            const auto result = httpGet(request);
            if (followed) {
                ASSERT_TRUE(result.ok()) << how << ": " << url << ": " << result.error;
                EXPECT_EQ(result.response->body, "arrived") << how << ": " << url;
            } else {
                EXPECT_FALSE(result.ok()) << how << ": " << url;
                EXPECT_NE(result.error.find("to a nearer network"), std::string::npos)
                    << how << ": " << url << ": " << result.error;
            }
        }
    };
    check("direct");
    // A refused request is never sent: only the followed ones arrived.
    EXPECT_EQ(privateNetwork.requestCount("/end"), 3u);
    EXPECT_EQ(linkLocal.requestCount("/end"), 0u);
    EXPECT_EQ(loopback.requestCount("/end"), 1u);

    // The publisher's check fetches as the app does: a feed on the internet
    // gets no request sent to this machine.
    const auto verified
        = test::runLocally(SV_BINARY_DIR "/tools/sandvoll-release", { "verify", internet.url("/update.json") });
    EXPECT_EQ(verified.status, 1) << verified.output;
    EXPECT_NE(verified.output.find("request to a nearer network than the server that named it refused"),
        std::string::npos) << verified.output;
    EXPECT_EQ(loopback.requestCount("/Sandvoll.zip"), 0u);

    const test::ScopedVariable httpProxy("http_proxy", proxy.url("/"));
    check("through a proxy");
    const auto proxied = [&](const std::string& url) {
        return std::ranges::count(proxy.requests(), url, &LoopbackHttpServer::Request::target);
    };
    EXPECT_EQ(proxied(privateNetwork.url("/end")), 3);
    EXPECT_EQ(proxied(linkLocal.url("/end")), 0);
    // What this machine cannot resolve cannot be judged.
    const auto unknown = httpGet(get(via(internet, "http://nowhere.invalid/end")));
    EXPECT_EQ(unknown.error,
        "refused: nowhere.invalid does not resolve here, so where the proxy would take the request cannot be judged");
}

TEST(HttpGet, RefusesWhatIsNotAnHttpURL)
{
    LoopbackHttpServer server;
    const std::string withoutScheme = server.url("/update.json").substr(std::string("http://").size());
    for (const std::string& url : { withoutScheme, std::string("file:///etc/passwd"), std::string("update.json"),
             std::string(), std::string("ftp://127.0.0.1:" + std::to_string(server.port()) + "/") }) {
        auto result = httpGet(get(url));
        EXPECT_FALSE(result.ok()) << url;
        EXPECT_FALSE(result.error.empty()) << url;
    }
    EXPECT_EQ(server.requestCount(), 0u) << "nothing guessed its way to the server";
}

TEST(HttpGet, ReportsARefusedConnection)
{
    auto result = httpGet(get("http://127.0.0.1:" + std::to_string(test::refusedLoopbackPort()) + "/"));
    EXPECT_FALSE(result.ok());
    EXPECT_FALSE(result.error.empty());
}

TEST(HttpGet, GivesUpOnASilentServerAfterTheTimeout)
{
    LoopbackHttpServer server;
    server.route("/update.json", LoopbackHttpServer::hanging());
    const auto started = std::chrono::steady_clock::now();
    auto result = httpGet(get(server.url("/update.json"), 400ms));
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_FALSE(result.ok());
    EXPECT_EQ(server.requestCount(), 1u);
    // The library rounds its clock to milliseconds, so allow it one or two.
    EXPECT_GE(took, 395ms);
    EXPECT_LT(took, 5s);
}

TEST(HttpGet, LargeBodiesArriveWholeUnlessOverTheLimit)
{
    LoopbackHttpServer server;
    std::string big(6 * 1024 * 1024, 'x');
    for (std::size_t i = 0; i < big.size(); i += 4096)
        big[i] = static_cast<char>('a' + (i / 4096) % 26);
    server.route("/big", LoopbackHttpServer::json(big));

    auto whole = httpGet(get(server.url("/big")));
    ASSERT_TRUE(whole.ok()) << whole.error;
    EXPECT_EQ(whole.response->body, big);

    auto limited = get(server.url("/big"));
    limited.maxBodyBytes = 1024 * 1024;
    auto cut = httpGet(limited);
    EXPECT_FALSE(cut.ok());

    limited.maxBodyBytes = big.size();
    EXPECT_TRUE(httpGet(limited).ok()) << "a body of exactly the limit is fine";

    // Asking for the status only, the size of the body does not matter.
    auto status = get(server.url("/big"));
    status.statusOnly = true;
    status.maxBodyBytes = 1024;
    auto answered = httpGet(status);
    ASSERT_TRUE(answered.ok()) << answered.error;
    EXPECT_EQ(answered.response->status, 200);
    EXPECT_TRUE(answered.response->body.empty());
}

// The empty text in gzip's format, padded to about `size` bytes with empty
// stored blocks: much on the wire, nothing once decoded.
std::string gzipOfNothing(std::size_t size)
{
    std::string out("\x1f\x8b\x08\0\0\0\0\0\0\xff", 10);
    while (out.size() < size)
        out += std::string("\0\0\0\xff\xff", 5); // not the last block, stored, 0 bytes
    out += std::string("\x03\0", 2); // the last block: fixed codes, ending at once
    return out + std::string(8, '\0'); // the check sum and length of nothing
}

TEST(HttpGet, CompressedBodiesAreStoredAsTheyCameOrLimitedBothWays)
{
    LoopbackHttpServer server;
    const std::string feed = R"({"version": "1.1.0", "notes": ")" + std::string(100000, 'x') + R"("})";
    server.route("/feed.json", LoopbackHttpServer::gzipped(feed));
    // 8 KiB that decode to 8 MiB, and 8 MiB that decode to nothing.
    const auto bomb = LoopbackHttpServer::gzipped(std::string(8 << 20, ' '));
    ASSERT_LT(bomb.body.size(), 16u << 10);
    server.route("/bomb", bomb);
    auto padded = LoopbackHttpServer::gzipped("");
    padded.body = gzipOfNothing(8 << 20);
    server.route("/padded", padded);
    // Its size only known once it has come.
    padded.unannounced = true;
    server.route("/padded-unannounced", padded);
    const auto acceptEncoding = [&] { return server.requests().back().headers["accept-encoding"]; };

    // A package is asked for as it is; compressed anyway, it is stored as it
    // came, and the limit counts those bytes.
    for (const char* path : { "/feed.json", "/bomb" }) {
        auto package = get(server.url(path));
        package.maxBodyBytes = 1 << 20;
        std::string stored;
        package.onBody = [&](std::string_view piece) {
            stored += piece;
            return true;
        };
        const auto result = httpGet(package);
        ASSERT_TRUE(result.ok()) << path << ": " << result.error;
        EXPECT_TRUE(stored == (path == std::string("/bomb") ? bomb.body : test::gzip(feed))) << path;
        EXPECT_EQ(acceptEncoding(), "identity");
    }

    // A feed may come compressed, within its limit before and after decoding.
    auto request = get(server.url("/feed.json"));
    request.acceptCompressed = true;
    request.maxBodyBytes = 1 << 20;
    const auto decoded = httpGet(request);
    ASSERT_TRUE(decoded.ok()) << decoded.error;
    EXPECT_TRUE(decoded.response->body == feed);
    EXPECT_NE(acceptEncoding().find("gzip"), std::string::npos) << acceptEncoding();
    for (const char* path : { "/bomb", "/padded", "/padded-unannounced" }) {
        request.url = server.url(path);
        const auto refused = httpGet(request);
        EXPECT_FALSE(refused.ok()) << path;
        EXPECT_EQ(refused.error, "response body too large") << path;
    }
    // Without a limit, the padded body is whole and decodes to nothing.
    request.maxBodyBytes = 0;
    const auto nothing = httpGet(request);
    ASSERT_TRUE(nothing.ok()) << nothing.error;
    EXPECT_EQ(nothing.response->body, "");
}

TEST(HttpGet, ProxiesAreTheUsersButNeverForTheLoopback)
{
    // The "proxy" answers every request itself and shows what it was asked.
    LoopbackHttpServer proxy, server;
    proxy.handle([](const LoopbackHttpServer::Request&) { return LoopbackHttpServer::json("via proxy"); });
    server.route("/api/state", LoopbackHttpServer::json("direct"));
    const test::ScopedVariable httpProxy("http_proxy", proxy.url("/").c_str());

    // The app's server is reached directly, whatever the proxy settings.
    for (const char* exceptions : { "", "feed.invalid", "*" }) {
        const test::ScopedVariable noProxy("no_proxy", exceptions);
        auto direct = httpGet(get(server.url("/api/state")));
        ASSERT_TRUE(direct.ok()) << direct.error;
        EXPECT_EQ(direct.response->body, "direct") << exceptions;
    }
    EXPECT_EQ(proxy.requestCount(), 0u);

    // Elsewhere the user's proxy is used, except for the hosts the user
    // named (in either spelling of the variable).
    {
        const test::ScopedVariable noProxy("no_proxy", "other.invalid");
        auto proxied = httpGet(get("http://feed.invalid/update.json"));
        ASSERT_TRUE(proxied.ok()) << proxied.error;
        EXPECT_EQ(proxied.response->body, "via proxy");
        EXPECT_EQ(proxy.requests().back().target, "http://feed.invalid/update.json");
    }
    for (const char* name : { "no_proxy", "NO_PROXY" }) {
        const test::ScopedVariable noProxy(name, "downloads.invalid, feed.invalid");
        EXPECT_FALSE(httpGet(get("http://feed.invalid/update.json", 2s)).ok()) << name << ": no such host";
    }
    EXPECT_EQ(proxy.requestCount(), 1u);

    EXPECT_EQ(platform::noProxyHosts(" *"), "*");
    EXPECT_EQ(platform::noProxyHosts(",example.org,"), "example.org,127.0.0.1,localhost,::1");
}

TEST(HttpGet, AwaitedFromATaskResumesOnTheMainThread)
{
    LoopbackHttpServer server;
    server.route("/api/state", LoopbackHttpServer::json(R"({"jobs": {}})"));
    auto task = [](std::string url) -> platform::Task<std::string> {
        HttpRequest request;
        request.url = url;
        request.reloadIgnoringCache = true;
        auto result = co_await platform::fetch(request);
        EXPECT_TRUE(platform::isMainThread());
        co_return result.ok() ? result.response->body : "failed: " + result.error;
    };
    auto record = test::runTask(task(server.url("/api/state")));
    ASSERT_TRUE(record->done);
    EXPECT_EQ(record->value, R"({"jobs": {}})");
}

TEST(IsURL, AcceptsAbsoluteAndRelativeURLsButNotBrokenText)
{
    for (const char* good : { "https://updates.sandvoll.org/update.json", "http://127.0.0.1:9/update.json",
             "update.json", "/feeds/update.json", "mailto:someone@example.org", "http://h/%41" })
        EXPECT_TRUE(platform::isURL(good)) << good;
    for (const char* bad : { "", " ", "http://exa mple.org/", "http://h/a b", "http://h/\n", "http://h/%zz",
             "http://[::1/", "http://h:99999/", "\t", "http://h/\x7f" })
        EXPECT_FALSE(platform::isURL(bad)) << '"' << bad << '"';
}

} // namespace
} // namespace sv
