#pragma once
// Whose program listens on the app's loopback port. Before the window shows
// a server it did not start, the app makes sure the server runs under this
// user's account: another account's program must not get the window, the
// page globals and the bridge.

#include <cstdint>
#include <filesystem>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace sv {

// The user ids of the listening TCP sockets in a kernel socket table
// (/proc/net/tcp or /proc/net/tcp6) that take connections to 127.0.0.1 at
// `port`: bound to that address or to any address (IPv4 or IPv6, since an
// IPv6 socket on any address also takes IPv4 unless it refuses to). Lines
// that cannot be read are skipped.
[[nodiscard]] std::vector<uid_t> loopbackListenerUids(std::string_view table, std::int64_t port);

// True when a socket of another user listens for 127.0.0.1:port, and also
// when that cannot be told: a socket table in `tables` (the kernel's
// /proc/net in the app) that cannot be read hides whose listener it is, so
// the port is not taken to be ours. Only the IPv6 table may be missing, as
// it is in a kernel without IPv6, where no IPv6 socket can listen either.
[[nodiscard]] bool portHeldByOtherUser(std::int64_t port, const std::filesystem::path& tables = "/proc/net");

} // namespace sv
