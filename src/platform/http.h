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
};

struct HttpResponse {
    long status = 0; // the last response's status, after redirects
    std::string body;
};

struct HttpResult {
    std::optional<HttpResponse> response; // absent when the transfer failed
    std::string error;                    // what went wrong, when it failed

    [[nodiscard]] bool ok() const { return response.has_value(); }
};

// Blocks until the GET has ended. Redirects are followed; only http and https
// are spoken, and a URL without a scheme is refused rather than guessed at.
// Any status counts as an answer: an error page is a response, not a failure.
// Call from a worker thread (see fetch), never from the main thread.
[[nodiscard]] HttpResult httpGet(const HttpRequest& request);

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
