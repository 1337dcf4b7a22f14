#include "server/port_owner.h"

#include "setup/text_file.h"

#include <arpa/inet.h>
#include <array>
#include <charconv>
#include <cstring>
#include <netinet/in.h>
#include <unistd.h>

namespace sv {
namespace {

constexpr std::string_view listenState = "0A";

std::vector<std::string_view> fields(std::string_view line)
{
    std::vector<std::string_view> result;
    std::size_t at = 0;
    while (at < line.size()) {
        while (at < line.size() && line[at] == ' ')
            ++at;
        const std::size_t end = std::min(line.find(' ', at), line.size());
        if (end > at)
            result.push_back(line.substr(at, end - at));
        at = end;
    }
    return result;
}

template <typename Number>
bool parseNumber(std::string_view text, Number& value, int base)
{
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    return error == std::errc() && end == text.data() + text.size();
}

// The kernel prints each 32-bit word of the address as the hexadecimal
// value it has in memory, so turning the words back into memory gives the
// address's bytes in network order whatever this machine's byte order.
bool parseAddress(std::string_view hex, std::array<unsigned char, 16>& bytes, std::size_t& length)
{
    if (hex.size() != 8 && hex.size() != 32)
        return false;
    length = hex.size() / 2;
    for (std::size_t word = 0; word < hex.size() / 8; ++word) {
        std::uint32_t value = 0;
        if (!parseNumber(hex.substr(word * 8, 8), value, 16))
            return false;
        std::memcpy(bytes.data() + word * 4, &value, 4);
    }
    return true;
}

bool takesLoopbackV4(const std::array<unsigned char, 16>& bytes, std::size_t length)
{
    static constexpr std::array<unsigned char, 4> loopback { 127, 0, 0, 1 };
    static constexpr std::array<unsigned char, 4> any { 0, 0, 0, 0 };
    if (length == 4)
        return std::memcmp(bytes.data(), loopback.data(), 4) == 0 || std::memcmp(bytes.data(), any.data(), 4) == 0;
    // IPv6: the unspecified address, or 127.0.0.1 mapped into IPv6.
    static constexpr std::array<unsigned char, 16> anyV6 {};
    static constexpr std::array<unsigned char, 16> mapped { 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 127, 0, 0, 1 };
    return std::memcmp(bytes.data(), anyV6.data(), 16) == 0 || std::memcmp(bytes.data(), mapped.data(), 16) == 0;
}

} // namespace

std::vector<uid_t> loopbackListenerUids(std::string_view table, std::int64_t port)
{
    std::vector<uid_t> uids;
    std::size_t at = 0;
    while (at < table.size()) {
        const std::size_t end = std::min(table.find('\n', at), table.size());
        const auto columns = fields(table.substr(at, end - at));
        at = end + 1;
        // sl local_address rem_address st tx_queue:rx_queue tr:tm->when retrnsmt uid ...
        if (columns.size() < 8 || columns[3] != listenState)
            continue;
        const std::string_view local = columns[1];
        const auto colon = local.find(':');
        if (colon == std::string_view::npos)
            continue;
        std::uint32_t localPort = 0;
        std::array<unsigned char, 16> address {};
        std::size_t length = 0;
        uid_t uid = 0;
        if (!parseNumber(local.substr(colon + 1), localPort, 16) || localPort != port
            || !parseAddress(local.substr(0, colon), address, length) || !takesLoopbackV4(address, length)
            || !parseNumber(columns[7], uid, 10))
            continue;
        uids.push_back(uid);
    }
    return uids;
}

bool portHeldByOtherUser(std::int64_t port, const std::filesystem::path& tables)
{
    const uid_t self = ::getuid();
    for (const char* name : { "tcp", "tcp6" }) {
        const auto table = tables / name;
        const auto text = readTextFile(table);
        if (!text) {
            std::error_code ec;
            const bool noIPv6 = name == std::string_view("tcp6")
                && std::filesystem::symlink_status(table, ec).type() == std::filesystem::file_type::not_found;
            if (noIPv6)
                continue;
            return true;
        }
        for (const uid_t uid : loopbackListenerUids(*text, port)) {
            if (uid != self)
                return true;
        }
    }
    return false;
}

} // namespace sv
