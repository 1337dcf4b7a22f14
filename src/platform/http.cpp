#include "platform/http.h"

#include <curl/curl.h>
#include <glib.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>

namespace sv::platform {
namespace {

struct CurlEasyDeleter {
    void operator()(CURL* easy) const
    {
        if (easy)
            curl_easy_cleanup(easy);
    }
};
struct CurlUrlDeleter {
    void operator()(CURLU* url) const
    {
        if (url)
            curl_url_cleanup(url);
    }
};
using CurlEasyPtr = std::unique_ptr<CURL, CurlEasyDeleter>;
using CurlUrlPtr = std::unique_ptr<CURLU, CurlUrlDeleter>;

void initialiseCurlOnce()
{
    // Global initialisation is not safe to race with other threads that use
    // the library, so it happens exactly once, before the first request.
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct Sink {
    std::string body;
    std::size_t limit = 0;
    bool overflowed = false;
    const HttpRequest* request = nullptr;
    std::size_t received = 0;
    // The stall clock: when the count of bytes on the wire last grew.
    curl_off_t lastCount = 0;
    std::chrono::steady_clock::time_point lastGrowth = std::chrono::steady_clock::now();
    bool stalled = false;
    bool stopped = false;
    // A status-only request ended at the first body byte, as it wanted.
    bool statusIn = false;
};

std::size_t collect(char* data, std::size_t size, std::size_t count, void* user)
{
    auto* sink = static_cast<Sink*>(user);
    const std::size_t bytes = size * count;
    if (sink->request->statusOnly) {
        sink->statusIn = true;
        return 0; // the status is in; the body is not wanted
    }
    if (sink->limit && sink->received + bytes > sink->limit) {
        sink->overflowed = true;
        return 0; // makes the transfer fail with a write error
    }
    sink->received += bytes;
    if (sink->request->onBody) {
        if (!sink->request->onBody(std::string_view(data, bytes))) {
            sink->stopped = true;
            return 0;
        }
        return bytes;
    }
    sink->body.append(data, bytes);
    return bytes;
}

// Called by the library about once a second while nothing arrives, and more
// often while data flows; a non-zero answer aborts the transfer.
int watch(void* user, curl_off_t expected, curl_off_t received, curl_off_t, curl_off_t)
{
    auto* sink = static_cast<Sink*>(user);
    const auto now = std::chrono::steady_clock::now();
    if (received != sink->lastCount) { // a redirect starts the count afresh
        sink->lastCount = received;
        sink->lastGrowth = now;
    } else if (sink->request->stallTimeout.count() > 0 && now - sink->lastGrowth >= sink->request->stallTimeout) {
        sink->stalled = true;
        return 1;
    }
    if (sink->request->onProgress
        && !sink->request->onProgress(static_cast<std::uint64_t>(received), static_cast<std::uint64_t>(expected))) {
        sink->stopped = true;
        return 1;
    }
    return 0;
}

HttpResult failure(std::string message)
{
    HttpResult result;
    result.error = std::move(message);
    return result;
}

} // namespace

HttpResult httpGet(const HttpRequest& request)
{
    initialiseCurlOnce();

    // Parsed without scheme guessing: "example.org/feed" is not a URL we can
    // fetch, and must not quietly become a plain-http request.
    CurlUrlPtr url(curl_url());
    if (!url || curl_url_set(url.get(), CURLUPART_URL, request.url.c_str(), 0) != CURLUE_OK)
        return failure("unsupported URL");

    CurlEasyPtr easy(curl_easy_init());
    if (!easy)
        return failure("cannot create a transfer");

    Sink sink;
    sink.limit = request.maxBodyBytes;
    sink.request = &request;
    char errorText[CURL_ERROR_SIZE] = {};
    CURL* e = easy.get();
    curl_easy_setopt(e, CURLOPT_CURLU, url.get());
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(e, CURLOPT_MAXREDIRS, 16L);
    // Worker threads must not get the library's alarm signals.
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    // The app's own server is always on the loopback interface; a proxy
    // from the environment must never stand between us and it. Everything
    // else follows the user's proxy settings, exceptions included.
    const char* userNoProxy = std::getenv("no_proxy");
    if (!userNoProxy)
        userNoProxy = std::getenv("NO_PROXY");
    const std::string noProxy = noProxyHosts(userNoProxy ? userNoProxy : "");
    curl_easy_setopt(e, CURLOPT_NOPROXY, noProxy.c_str());
    curl_easy_setopt(e, CURLOPT_ACCEPT_ENCODING, "");
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, errorText);
    if (request.timeout.count() > 0)
        curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, static_cast<long>(request.timeout.count()));
    if (request.stallTimeout.count() > 0 || request.onProgress) {
        curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, watch);
        curl_easy_setopt(e, CURLOPT_XFERINFODATA, &sink);
        curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L);
    }
    if (request.reloadIgnoringCache) {
        curl_easy_setopt(e, CURLOPT_FRESH_CONNECT, 1L);
        curl_easy_setopt(e, CURLOPT_FORBID_REUSE, 1L);
    }

    const CURLcode code = curl_easy_perform(e);
    if (sink.overflowed)
        return failure("response body too large");
    if (sink.stalled)
        return failure("no data for " + std::to_string(request.stallTimeout.count()) + " ms");
    if (sink.stopped)
        return failure("stopped");
    if (code != CURLE_OK && !(sink.statusIn && code == CURLE_WRITE_ERROR))
        return failure(errorText[0] ? errorText : curl_easy_strerror(code));

    HttpResult result;
    result.response.emplace();
    curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &result.response->status);
    result.response->body = std::move(sink.body);
    return result;
}

std::string noProxyHosts(std::string_view userList)
{
    constexpr std::string_view loopback = "127.0.0.1,localhost,::1";
    std::string_view trimmed = userList;
    while (!trimmed.empty() && (trimmed.front() == ' ' || trimmed.front() == ','))
        trimmed.remove_prefix(1);
    while (!trimmed.empty() && (trimmed.back() == ' ' || trimmed.back() == ','))
        trimmed.remove_suffix(1);
    if (trimmed.empty())
        return std::string(loopback);
    // The library reads "*" (no proxy for anything) only as the whole list.
    if (trimmed == "*")
        return "*";
    return std::string(trimmed) + "," + std::string(loopback);
}

bool isURL(std::string_view text)
{
    if (text.empty())
        return false;
    // GLib's parser lets blanks and control characters through; URL parsers
    // that follow the standard strictly refuse them, and so do we.
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte == 0x7f)
            return false;
    }
    const std::string owned(text);
    return g_uri_split(owned.c_str(), G_URI_FLAGS_NONE, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
               nullptr, nullptr)
        != FALSE;
}

} // namespace sv::platform
