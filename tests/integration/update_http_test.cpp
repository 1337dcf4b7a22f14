#include "platform/http.h"
#include "support/loopback_http_server.h"
#include "support/recording_task.h"
#include "support/scoped_variable.h"

#include <gtest/gtest.h>

#include <chrono>

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

TEST(HttpGet, FollowsRedirectsOnlyToHttp)
{
    LoopbackHttpServer server;
    server.route("/old", LoopbackHttpServer::redirect("/middle", 301));
    server.route("/middle", LoopbackHttpServer::redirect(server.url("/new")));
    server.route("/new", LoopbackHttpServer::json("here"));
    server.route("/to-file", LoopbackHttpServer::redirect("file:///etc/passwd"));

    auto moved = httpGet(get(server.url("/old")));
    ASSERT_TRUE(moved.ok()) << moved.error;
    EXPECT_EQ(moved.response->status, 200);
    EXPECT_EQ(moved.response->body, "here");

    EXPECT_FALSE(httpGet(get(server.url("/to-file"))).ok());
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
