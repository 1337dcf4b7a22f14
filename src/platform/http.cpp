#include "platform/http.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <glib.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
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
struct CurlSlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using CurlEasyPtr = std::unique_ptr<CURL, CurlEasyDeleter>;
using CurlUrlPtr = std::unique_ptr<CURLU, CurlUrlDeleter>;
using CurlSlistPtr = std::unique_ptr<curl_slist, CurlSlistDeleter>;

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
    CURL* easy = nullptr;
    // The redirect being made (0: the first request) and the scopes of the
    // addresses that it and the one before it connected to.
    long hop = -1;
    std::optional<AddressScope> hopScope;
    std::optional<AddressScope> previousScope;
    bool redirectRefused = false;
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

// Called by the library about once a second while nothing arrives, and
// after every read while data flows; a non-zero answer aborts the transfer.
// `received` counts the body's bytes as they came, before any decoding.
int watch(void* user, curl_off_t expected, curl_off_t received, curl_off_t, curl_off_t)
{
    auto* sink = static_cast<Sink*>(user);
    // A compressed body that decodes to little is still limited by its own
    // size; collect() limits what it decodes to.
    if (sink->limit && static_cast<std::uint64_t>(received) > sink->limit) {
        sink->overflowed = true;
        return 1;
    }
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

// Called once a connection is made (or reused) for the first request and for
// each redirect, before anything is sent. The address is the one really
// reached, whatever a name resolved to; through a proxy it is the proxy's,
// which resolves names itself and so answers for where they lead.
int judgeHop(void* user, char* primaryAddress, char*, int, int)
{
    auto* sink = static_cast<Sink*>(user);
    long redirects = 0;
    curl_easy_getinfo(sink->easy, CURLINFO_REDIRECT_COUNT, &redirects);
    // A request that is sent again on a new connection is judged again
    // against the same origin.
    if (redirects != sink->hop) {
        sink->previousScope = sink->hopScope;
        sink->hop = redirects;
    }
    sink->hopScope = addressScope(primaryAddress ? primaryAddress : "");
    if (redirects > 0 && !redirectAllowed(sink->previousScope, sink->hopScope)) {
        sink->redirectRefused = true;
        return CURL_PREREQFUNC_ABORT;
    }
    return CURL_PREREQFUNC_OK;
}

AddressScope ipv4Scope(std::uint32_t address)
{
    const auto in = [address](std::uint32_t network, int bits) {
        return (address >> (32 - bits)) == (network >> (32 - bits));
    };
    // 0.0.0.0/8 is "this host": connecting to 0.0.0.0 reaches this machine.
    if (in(0x7f000000, 8) || in(0x00000000, 8))
        return AddressScope::loopback;
    if (in(0xa9fe0000, 16))
        return AddressScope::linkLocal;
    if (in(0x0a000000, 8) || in(0xac100000, 12) || in(0xc0a80000, 16))
        return AddressScope::privateNetwork;
    // Not the internet at large either: the carrier-grade NAT space, the
    // protocol assignments, the benchmarking networks, multicast and the
    // reserved block with the broadcast address.
    if (in(0x64400000, 10) || in(0xc0000000, 24) || in(0xc6120000, 15) || in(0xe0000000, 4) || in(0xf0000000, 4))
        return AddressScope::privateNetwork;
    return AddressScope::publicInternet;
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
    // Only the head is read when only the status is wanted.
    sink.limit = request.statusOnly ? 0 : request.maxBodyBytes;
    sink.request = &request;
    sink.easy = easy.get();
    char errorText[CURL_ERROR_SIZE] = {};
    CURL* e = easy.get();
    curl_easy_setopt(e, CURLOPT_CURLU, url.get());
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(e, CURLOPT_MAXREDIRS, maxRedirects);
    curl_easy_setopt(e, CURLOPT_PREREQFUNCTION, judgeHop);
    curl_easy_setopt(e, CURLOPT_PREREQDATA, &sink);
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
    CurlSlistPtr headers;
    if (request.acceptCompressed) {
        // Every coding the library can decode.
        curl_easy_setopt(e, CURLOPT_ACCEPT_ENCODING, "");
    } else {
        // Asked for as it is; a server that compresses anyway is not undone
        // here, so what is stored is what came, byte for byte.
        headers.reset(curl_slist_append(nullptr, "Accept-Encoding: identity"));
        curl_easy_setopt(e, CURLOPT_HTTPHEADER, headers.get());
        curl_easy_setopt(e, CURLOPT_HTTP_CONTENT_DECODING, 0L);
    }
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, errorText);
    if (request.timeout.count() > 0)
        curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, static_cast<long>(request.timeout.count()));
    // A body announced as too large is refused before any of it is read.
    if (sink.limit)
        curl_easy_setopt(e, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(sink.limit));
    if (request.stallTimeout.count() > 0 || request.onProgress || sink.limit) {
        curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, watch);
        curl_easy_setopt(e, CURLOPT_XFERINFODATA, &sink);
        curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L);
    }
    if (request.reloadIgnoringCache) {
        curl_easy_setopt(e, CURLOPT_FRESH_CONNECT, 1L);
        curl_easy_setopt(e, CURLOPT_FORBID_REUSE, 1L);
    }

    const CURLcode code = curl_easy_perform(e);
    if (sink.overflowed || code == CURLE_FILESIZE_EXCEEDED)
        return failure("response body too large");
    if (sink.redirectRefused)
        return failure("redirect to a nearer network refused");
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

std::optional<AddressScope> addressScope(std::string_view address)
{
    // A zone says which interface, not which address.
    const std::string text(address.substr(0, address.find('%')));
    in_addr v4 {};
    if (::inet_pton(AF_INET, text.c_str(), &v4) == 1)
        return ipv4Scope(ntohl(v4.s_addr));
    in6_addr v6 {};
    if (::inet_pton(AF_INET6, text.c_str(), &v6) != 1)
        return std::nullopt;
    const std::uint8_t* b = v6.s6_addr;
    const auto embeddedIPv4 = [b] {
        std::uint32_t embedded;
        std::memcpy(&embedded, b + 12, sizeof embedded);
        return ipv4Scope(ntohl(embedded));
    };
    constexpr std::uint8_t mapped[12] = { 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff };
    constexpr std::uint8_t nat64[12] = { 0, 0x64, 0xff, 0x9b, 0, 0, 0, 0, 0, 0, 0, 0 };
    if (std::memcmp(b, mapped, 12) == 0 || std::memcmp(b, nat64, 12) == 0)
        return embeddedIPv4();
    // :: (unspecified, which reaches this machine) and ::1.
    constexpr std::uint8_t zeros[15] = {};
    if (std::memcmp(b, zeros, 15) == 0 && b[15] <= 1)
        return AddressScope::loopback;
    if (b[0] == 0xfe && (b[1] & 0xc0) == 0x80) // fe80::/10
        return AddressScope::linkLocal;
    // fc00::/7 (unique local), fec0::/10 (the former site-local) and multicast.
    if ((b[0] & 0xfe) == 0xfc || (b[0] == 0xfe && (b[1] & 0xc0) == 0xc0) || b[0] == 0xff)
        return AddressScope::privateNetwork;
    return AddressScope::publicInternet;
}

bool redirectAllowed(std::optional<AddressScope> from, std::optional<AddressScope> to)
{
    return to.value_or(AddressScope::loopback) <= from.value_or(AddressScope::publicInternet);
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
