#include "support/loopback_http_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <stdexcept>

namespace sv::test {
namespace {

const char* reason(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 404:
        return "Not Found";
    case 500:
        return "Internal Server Error";
    default:
        return "Status";
    }
}

std::string lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

void sendAll(int fd, const std::string& data)
{
    std::size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return; // the client went away; nothing to do about it
        sent += static_cast<std::size_t>(n);
    }
}

sockaddr_in loopback(int port, const std::string& host = "127.0.0.1")
{
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1)
        throw std::invalid_argument("not an IPv4 address: " + host);
    return address;
}

} // namespace

LoopbackHttpServer::Response LoopbackHttpServer::json(std::string body, int status)
{
    Response response;
    response.status = status;
    response.body = std::move(body);
    return response;
}

LoopbackHttpServer::Response LoopbackHttpServer::html(std::string body, int status)
{
    Response response;
    response.status = status;
    response.body = std::move(body);
    response.contentType = "text/html; charset=utf-8";
    return response;
}

LoopbackHttpServer::Response LoopbackHttpServer::redirect(const std::string& location, int status)
{
    Response response = html("<a href='" + location + "'>moved</a>", status);
    response.headers.emplace_back("Location", location);
    return response;
}

LoopbackHttpServer::Response LoopbackHttpServer::hanging()
{
    Response response;
    response.hang = true;
    return response;
}

LoopbackHttpServer::Response LoopbackHttpServer::gzipped(const std::string& body)
{
    Response response;
    response.body = gzip(body);
    response.headers.emplace_back("Content-Encoding", "gzip");
    return response;
}

LoopbackHttpServer::LoopbackHttpServer(std::string host)
    : address_(std::move(host))
{
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0 || ::pipe2(wake_, O_CLOEXEC) != 0)
        throw std::runtime_error("cannot create the loopback server's sockets");
    const int yes = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address = loopback(0, address_);
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
        || ::listen(listener_, 64) != 0)
        throw std::runtime_error("cannot listen on the loopback interface");
    socklen_t length = sizeof address;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
}

LoopbackHttpServer::~LoopbackHttpServer()
{
    const char stop = 'x';
    [[maybe_unused]] const auto written = ::write(wake_[1], &stop, 1);
    thread_.join();
    for (int fd : hanging_)
        ::close(fd);
    for (int fd : kept_)
        ::close(fd);
    if (listener_ >= 0)
        ::close(listener_);
    ::close(wake_[0]);
    ::close(wake_[1]);
}

std::string LoopbackHttpServer::url(const std::string& path) const
{
    return "http://" + address_ + ":" + std::to_string(port_) + path;
}

void LoopbackHttpServer::route(const std::string& path, Response response)
{
    std::lock_guard lock(mutex_);
    routes_[path] = std::move(response);
}

void LoopbackHttpServer::handle(std::function<Response(const Request&)> handler)
{
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
}

std::vector<LoopbackHttpServer::Request> LoopbackHttpServer::requests() const
{
    std::lock_guard lock(mutex_);
    return requests_;
}

std::size_t LoopbackHttpServer::requestCount() const
{
    std::lock_guard lock(mutex_);
    return requests_.size();
}

std::size_t LoopbackHttpServer::requestCount(const std::string& path) const
{
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count_if(requests_.begin(), requests_.end(),
        [&](const Request& r) { return r.target.substr(0, r.target.find('?')) == path; }));
}

void LoopbackHttpServer::serve()
{
    for (;;) {
        std::vector<pollfd> fds { { wake_[0], POLLIN, 0 } };
        if (listener_ >= 0)
            fds.push_back({ listener_, POLLIN, 0 });
        for (int fd : kept_)
            fds.push_back({ fd, POLLIN, 0 });
        if (::poll(fds.data(), fds.size(), -1) < 0)
            continue;
        if (fds[0].revents)
            return;
        for (std::size_t i = 1; i < fds.size(); ++i) {
            if (!fds[i].revents)
                continue;
            if (fds[i].fd != listener_) {
                // A kept connection's next request, or its end.
                std::erase(kept_, fds[i].fd);
                answer(fds[i].fd);
                continue;
            }
            const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0)
                answer(client);
        }
    }
}

void LoopbackHttpServer::answer(int client)
{
    // Read up to the end of the headers; GET requests carry no body.
    std::string head;
    char buffer[4096];
    while (head.find("\r\n\r\n") == std::string::npos) {
        pollfd fds[2] = { { client, POLLIN, 0 }, { wake_[0], POLLIN, 0 } };
        if (::poll(fds, 2, 5000) <= 0 || fds[1].revents) {
            ::close(client);
            return;
        }
        const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
        if (n <= 0) {
            ::close(client);
            return;
        }
        head.append(buffer, static_cast<std::size_t>(n));
    }

    Request request;
    request.received = std::chrono::steady_clock::now();
    const auto lineEnd = head.find("\r\n");
    const std::string line = head.substr(0, lineEnd);
    const auto firstSpace = line.find(' ');
    const auto secondSpace = line.find(' ', firstSpace + 1);
    request.method = line.substr(0, firstSpace);
    request.target = line.substr(firstSpace + 1, secondSpace - firstSpace - 1);
    for (std::size_t at = lineEnd + 2; at < head.size();) {
        const auto end = head.find("\r\n", at);
        if (end == std::string::npos || end == at)
            break;
        const std::string header = head.substr(at, end - at);
        if (const auto colon = header.find(':'); colon != std::string::npos) {
            std::string value = header.substr(colon + 1);
            value.erase(0, value.find_first_not_of(' '));
            request.headers[lower(header.substr(0, colon))] = value;
        }
        at = end + 2;
    }

    Response response = html("<html><body><h1>Not Found</h1></body></html>", 404);
    std::function<Response(const Request&)> handler;
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
        handler = handler_;
        if (auto it = routes_.find(request.target.substr(0, request.target.find('?'))); it != routes_.end())
            response = it->second;
    }
    if (handler)
        response = handler(request);

    if (response.hang) {
        hanging_.push_back(client);
        return;
    }
    std::string out = "HTTP/1.1 " + std::to_string(response.status) + " " + reason(response.status) + "\r\n";
    out += "Content-Type: " + response.contentType + "\r\n";
    if (!response.unannounced)
        out += "Content-Length: " + std::to_string(response.body.size()) + "\r\n";
    out += response.keepAlive ? "Connection: keep-alive\r\n" : "Connection: close\r\n";
    for (const auto& [name, value] : response.headers)
        out += name + ": " + value + "\r\n";
    out += "\r\n";
    if (response.hangAfter) {
        sendAll(client, out + response.body.substr(0, *response.hangAfter));
        hanging_.push_back(client);
        return;
    }
    out += response.body;
    sendAll(client, out);
    if (response.thenStopListening && listener_ >= 0) {
        ::close(listener_);
        listener_ = -1;
    }
    if (response.keepAlive)
        kept_.push_back(client);
    else
        ::close(client);
}

std::string gzip(const std::string& bytes)
{
    z_stream stream {};
    // 16 above the largest window: the gzip format rather than zlib's own.
    if (::deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("cannot start compressing");
    std::string out(::deflateBound(&stream, bytes.size()), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
    stream.avail_in = static_cast<uInt>(bytes.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    const int result = ::deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    ::deflateEnd(&stream);
    if (result != Z_STREAM_END)
        throw std::runtime_error("cannot compress");
    return out;
}

int refusedLoopbackPort()
{
    // Bind a port, then give it up without listening: until something else
    // takes it, connecting there is refused.
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(0);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

} // namespace sv::test
