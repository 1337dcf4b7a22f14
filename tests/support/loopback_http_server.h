#pragma once
// A small HTTP/1.1 server on 127.0.0.1 with a port the system picks, run on
// its own thread, for tests that need a real peer: feeds, state endpoints,
// redirects, error pages, and servers that never answer.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace sv::test {

class LoopbackHttpServer {
public:
    struct Request {
        std::string method;
        std::string target; // path and query, as sent
        std::map<std::string, std::string> headers; // names lower-cased
        std::chrono::steady_clock::time_point received;
    };

    struct Response {
        int status = 200;
        std::string body;
        std::string contentType = "application/json";
        std::vector<std::pair<std::string, std::string>> headers;
        // Read the request, then say nothing and keep the connection open
        // until the server is destroyed.
        bool hang = false;
        // Send the head and this many bytes of the body, then hang.
        std::optional<std::size_t> hangAfter;
        // Announce no length: the body ends where the connection does.
        bool unannounced = false;
        // Keep the connection open for the client's next requests.
        bool keepAlive = false;
        // Once this is sent, stop listening, as a program that gave up the
        // port would, but go on answering on the connections kept open.
        bool thenStopListening = false;
    };

    static Response json(std::string body, int status = 200);
    static Response html(std::string body, int status);
    static Response redirect(const std::string& location, int status = 302);
    static Response hanging();
    // The body gzip-compressed, with a Content-Encoding that says so.
    static Response gzipped(const std::string& body);

    // Answers 404 with an HTML page until routes are set. Listens on the
    // given IPv4 address, which must be one of this machine's (tests that
    // want others make them in a network namespace of their own).
    explicit LoopbackHttpServer(std::string address = "127.0.0.1");
    ~LoopbackHttpServer();
    LoopbackHttpServer(const LoopbackHttpServer&) = delete;
    LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

    [[nodiscard]] int port() const { return port_; }
    // http://<address>:<port> followed by the path.
    [[nodiscard]] std::string url(const std::string& path = "/") const;

    // Serves the response for requests whose path (without query) matches.
    void route(const std::string& path, Response response);
    // Decides every response itself; runs on the server thread.
    void handle(std::function<Response(const Request&)> handler);

    [[nodiscard]] std::vector<Request> requests() const;
    [[nodiscard]] std::size_t requestCount() const;
    [[nodiscard]] std::size_t requestCount(const std::string& path) const;

private:
    void serve();
    void answer(int client);

    std::string address_;
    int listener_ = -1;
    int wake_[2] = { -1, -1 };
    int port_ = 0;
    mutable std::mutex mutex_;
    std::map<std::string, Response> routes_;
    std::function<Response(const Request&)> handler_;
    std::vector<Request> requests_;
    std::vector<int> hanging_;
    std::vector<int> kept_; // connections kept open for further requests
    std::thread thread_;
};

// The bytes in gzip's format.
[[nodiscard]] std::string gzip(const std::string& bytes);

// A loopback port on which nothing listens: connections to it are refused.
[[nodiscard]] int refusedLoopbackPort();

} // namespace sv::test
