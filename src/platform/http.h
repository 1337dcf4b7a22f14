#pragma once
// Plain HTTP GET for the updater: the feed and the server's state endpoint.

#include "platform/task.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace sv::platform {

// How near a network address is, from the internet at large to this machine;
// each scope is nearer than the one before it.
enum class AddressScope { publicInternet, privateNetwork, linkLocal, loopback };

struct HttpRequest {
    std::string url;
    // Limit for the whole transfer, connecting included; zero for none.
    std::chrono::milliseconds timeout { 0 };
    // Nothing here keeps a response cache or reuses connections between
    // requests, so every request already goes to the network; the flag makes
    // that explicit and also rules out a reused connection.
    bool reloadIgnoringCache = false;
    // A body beyond this many bytes fails the transfer; zero for no limit.
    std::size_t maxBodyBytes = 0;
    // Fails the transfer once no byte has arrived for this long, connecting
    // included; zero for no limit. Unlike `timeout`, a slow line that keeps
    // sending is never cut off.
    std::chrono::milliseconds stallTimeout { 0 };
    // When set, the body goes here piece by piece as it arrives, instead of
    // into the response. Runs on the worker thread; returning false fails
    // the transfer.
    std::function<bool(std::string_view piece)> onBody;
    // When set, called now and then with the body bytes received so far and
    // the bytes the server announced (0 when it did not say). Runs on the
    // worker thread; returning false fails the transfer (a cancel).
    std::function<bool(std::uint64_t received, std::uint64_t expected)> onProgress;
    // Only the status is wanted: the transfer ends where the body begins,
    // and the response comes back with an empty body.
    bool statusOnly = false;
    // Whether the server may send the body compressed, to be decoded here.
    // Off, the request asks for the body as it is, and one compressed anyway
    // comes back exactly as it was sent. Either way maxBodyBytes holds for
    // the bytes as they arrive and for the bytes they decode to.
    bool acceptCompressed = false;
    // Set for a URL that a server's answer named (the package a feed
    // names), to that answer's `scope`: the request itself is then judged
    // as a redirect from that server would be (see redirectAllowed).
    std::optional<AddressScope> namedFrom;
};

struct HttpResponse {
    long status = 0; // the last response's status, after redirects
    std::string body;
    // Where the last response came from, as far out as it may be: what the
    // addresses it names may reach (HttpRequest::namedFrom). The internet
    // when it cannot be told.
    AddressScope scope = AddressScope::publicInternet;
};

struct HttpResult {
    std::optional<HttpResponse> response; // absent when the transfer failed
    std::string error;                    // what went wrong, when it failed

    [[nodiscard]] bool ok() const { return response.has_value(); }
};

// Blocks until the GET has ended. Only http and https are spoken, and a URL
// without a scheme is refused rather than guessed at. The URL itself may
// point anywhere, unless a server named it (namedFrom); redirects are
// followed, at most maxRedirects of them, only to http and https, and each
// only where redirectAllowed lets it go from the address the previous
// connection reached. Where a connection reached a proxy of the environment
// (http_proxy, https_proxy, all_proxy), whose address says nothing of where
// the request goes, the host's own addresses, resolved here, are judged
// instead, and a host that does not resolve here is refused where it has to
// be judged. Any status counts as an answer: an error page is a response,
// not a failure. Call from a worker thread (see fetch), never from the main
// thread.
[[nodiscard]] HttpResult httpGet(const HttpRequest& request);

inline constexpr long maxRedirects = 5;

// The scope of an IPv4 or IPv6 address in numeric form (an IPv6 zone, as in
// "fe80::1%eth0", is allowed); nothing for any other text. IPv4 addresses
// inside IPv6 ones (::ffff:a.b.c.d, and 64:ff9b::a.b.c.d, which a NAT64
// gateway turns into a.b.c.d) have the scope of the IPv4 address. Whatever
// does not lead to the internet at large is counted as near as it can lead.
[[nodiscard]] std::optional<AddressScope> addressScope(std::string_view address);

// Whether a redirect sent by a server at an address of scope `from` may be
// followed to a server at scope `to`: never to a nearer network, so that a
// server out there cannot turn the app against services on the user's own
// network or machine. A scope that is not known counts as the internet where
// the redirect comes from and as this machine where it goes.
[[nodiscard]] bool redirectAllowed(std::optional<AddressScope> from, std::optional<AddressScope> to);

// The same GET, awaited from a main-thread task.
[[nodiscard]] inline auto fetch(HttpRequest request)
{
    return onWorker([request = std::move(request)] { return httpGet(request); });
}

// The hosts that never go through a proxy: the user's own list (from
// no_proxy or NO_PROXY, as the user set it) and the loopback addresses,
// where the app's server is.
[[nodiscard]] std::string noProxyHosts(std::string_view userList);

// Whether the text is a URL as a URL parser takes it: an absolute URL or a
// relative reference, with valid escapes and no blanks or control characters.
// The empty text is not one.
[[nodiscard]] bool isURL(std::string_view text);

} // namespace sv::platform
