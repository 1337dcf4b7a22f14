#include "platform/http.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <glib.h>
#include <netdb.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

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
    // The redirect being made (0: the first request), the nearest and the
    // farthest scope the server it reached may be at, and the farthest of
    // the one before it (for the first request, of the server that named
    // its URL). Reached directly, a server is at one address.
    long hop = -1;
    std::optional<AddressScope> hopNearest;
    std::optional<AddressScope> hopFarthest;
    std::optional<AddressScope> previousFarthest;
    // The addresses of the environment's proxies, as inet_ntop writes them.
    std::vector<std::string> proxyAddresses;
    std::string refusal; // why a connection was not used
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

// An address in the one text form inet_ntop gives it; empty when the text
// is not an address.
std::string canonicalAddress(const std::string& text)
{
    char out[INET6_ADDRSTRLEN] = {};
    in_addr v4 {};
    in6_addr v6 {};
    if (::inet_pton(AF_INET, text.c_str(), &v4) == 1)
        return ::inet_ntop(AF_INET, &v4, out, sizeof out) ? out : "";
    if (::inet_pton(AF_INET6, text.c_str(), &v6) == 1)
        return ::inet_ntop(AF_INET6, &v6, out, sizeof out) ? out : "";
    return "";
}

// The addresses a host name (or address) leads to from here.
std::vector<std::string> resolve(const std::string& host)
{
    std::vector<std::string> found;
    addrinfo hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0)
        return found;
    for (const addrinfo* entry = list; entry; entry = entry->ai_next) {
        char text[INET6_ADDRSTRLEN] = {};
        const void* address = entry->ai_family == AF_INET
            ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in*>(entry->ai_addr)->sin_addr)
            : static_cast<const void*>(&reinterpret_cast<const sockaddr_in6*>(entry->ai_addr)->sin6_addr);
        if ((entry->ai_family == AF_INET || entry->ai_family == AF_INET6)
            && ::inet_ntop(entry->ai_family, address, text, sizeof text))
            found.push_back(text);
    }
    ::freeaddrinfo(list);
    return found;
}

// The host of a URL as a resolver takes it (an IPv6 address without its
// brackets); empty when there is none. Proxy settings may leave out the
// scheme.
std::string hostOf(const char* url)
{
    CurlUrlPtr parsed(curl_url());
    char* host = nullptr;
    if (!parsed || !url
        || curl_url_set(parsed.get(), CURLUPART_URL, url, CURLU_GUESS_SCHEME | CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK
        || curl_url_get(parsed.get(), CURLUPART_HOST, &host, 0) != CURLUE_OK)
        return "";
    std::string text = host;
    curl_free(host);
    if (text.size() > 2 && text.front() == '[' && text.back() == ']')
        text = text.substr(1, text.size() - 2);
    return text;
}

// Where the proxies the library takes from the environment are. Names it
// ignores (HTTP_PROXY) are included: a connection to such an address is
// then judged by its host too, which costs nothing but a lookup.
std::vector<std::string> environmentProxyAddresses()
{
    std::vector<std::string> addresses;
    for (const char* name : { "http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY" }) {
        const char* value = std::getenv(name);
        if (!value || !*value)
            continue;
        for (auto& address : resolve(hostOf(value)))
            addresses.push_back(std::move(address));
    }
    return addresses;
}

// Called once a connection is made (or reused) for the first request and for
// each redirect, before anything is sent. The address is the one really
// reached, whatever a name resolved to, unless it is a proxy's: a proxy
// resolves names itself, so its own address says nothing of where the
// request goes, and the host's addresses as resolved here stand in for it.
int judgeHop(void* user, char* primaryAddress, char*, int, int)
{
    auto* sink = static_cast<Sink*>(user);
    long redirects = 0;
    curl_easy_getinfo(sink->easy, CURLINFO_REDIRECT_COUNT, &redirects);
    // A request that is sent again on a new connection is judged again
    // against the same origin.
    if (redirects != sink->hop) {
        sink->previousFarthest = sink->hopFarthest;
        sink->hop = redirects;
    }
    const bool judged = redirects > 0 || sink->request->namedFrom;
    const std::string reached = primaryAddress ? primaryAddress : "";
    if (std::ranges::find(sink->proxyAddresses, canonicalAddress(reached)) == sink->proxyAddresses.end()) {
        sink->hopNearest = sink->hopFarthest = addressScope(reached);
    } else {
        char* url = nullptr;
        curl_easy_getinfo(sink->easy, CURLINFO_EFFECTIVE_URL, &url);
        const std::string host = hostOf(url);
        sink->hopNearest = sink->hopFarthest = std::nullopt;
        for (const auto& address : resolve(host)) {
            const auto scope = addressScope(address);
            if (!scope)
                continue;
            sink->hopNearest = std::max(sink->hopNearest.value_or(*scope), *scope);
            sink->hopFarthest = std::min(sink->hopFarthest.value_or(*scope), *scope);
        }
        if (judged && !sink->hopNearest) {
            sink->refusal = "refused: " + host
                + " does not resolve here, so where the proxy would take the request cannot be judged";
            return CURL_PREREQFUNC_ABORT;
        }
    }
    if (judged && !redirectAllowed(sink->previousFarthest, sink->hopNearest)) {
        sink->refusal = redirects > 0 ? "redirect to a nearer network refused"
                                      : "request to a nearer network than the server that named it refused";
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
    sink.hopFarthest = request.namedFrom;
    sink.proxyAddresses = environmentProxyAddresses();
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
    if (!sink.refusal.empty())
        return failure(sink.refusal);
    if (sink.stalled)
        return failure("no data for " + std::to_string(request.stallTimeout.count()) + " ms");
    if (sink.stopped)
        return failure("stopped");
    if (code != CURLE_OK && !(sink.statusIn && code == CURLE_WRITE_ERROR))
        return failure(errorText[0] ? errorText : curl_easy_strerror(code));

    HttpResult result;
    result.response.emplace();
    curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &result.response->status);
    result.response->scope = sink.hopFarthest.value_or(AddressScope::publicInternet);
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
