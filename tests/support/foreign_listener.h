#pragma once
// A socket that another account ("nobody") listens on, on a loopback port
// the system picks: what a server of another user on the machine looks like
// to the owner check. Making one takes root, as changing account does.

#include <string>
#include <sys/types.h>

namespace sv::test {

class ForeignListener {
public:
    // `address` as a server would bind it: "127.0.0.1", "::ffff:127.0.0.1",
    // or "::" taking IPv4 connections too. port() is 0 when no listener
    // could be made.
    explicit ForeignListener(const std::string& address);
    ~ForeignListener();
    ForeignListener(const ForeignListener&) = delete;
    ForeignListener& operator=(const ForeignListener&) = delete;

    [[nodiscard]] int port() const { return port_; }

private:
    pid_t pid_ = -1;
    int port_ = 0;
};

} // namespace sv::test
