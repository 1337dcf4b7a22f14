#include "platform/http.h"

#include <gtest/gtest.h>

namespace sv {
namespace {

using platform::AddressScope;
using platform::addressScope;
using platform::redirectAllowed;

TEST(AddressScope, EachAddressCountsAsNearAsItCanLead)
{
    const struct {
        const char* address;
        std::optional<AddressScope> scope;
    } cases[] = {
        { "127.0.0.1", AddressScope::loopback },
        { "127.255.255.254", AddressScope::loopback },
        { "0.0.0.0", AddressScope::loopback }, // connecting there reaches this machine
        { "::1", AddressScope::loopback },
        { "::", AddressScope::loopback },
        { "::ffff:127.0.0.1", AddressScope::loopback }, // an IPv4 address in IPv6 clothes
        { "64:ff9b::7f00:1", AddressScope::loopback }, // what a NAT64 gateway turns into 127.0.0.1
        { "169.254.169.254", AddressScope::linkLocal },
        { "fe80::1", AddressScope::linkLocal },
        { "fe80::1%eth0", AddressScope::linkLocal },
        { "febf::1", AddressScope::linkLocal },
        { "::ffff:169.254.1.1", AddressScope::linkLocal },
        { "10.1.2.3", AddressScope::privateNetwork },
        { "172.16.0.1", AddressScope::privateNetwork },
        { "172.31.255.255", AddressScope::privateNetwork },
        { "192.168.1.1", AddressScope::privateNetwork },
        { "100.64.0.1", AddressScope::privateNetwork }, // a carrier's shared space
        { "100.127.255.255", AddressScope::privateNetwork },
        { "198.18.0.1", AddressScope::privateNetwork },
        { "224.0.0.1", AddressScope::privateNetwork },
        { "255.255.255.255", AddressScope::privateNetwork },
        { "fc00::1", AddressScope::privateNetwork },
        { "fdff:ffff::1", AddressScope::privateNetwork },
        { "fec0::1", AddressScope::privateNetwork },
        { "::ffff:10.0.0.1", AddressScope::privateNetwork },
        { "93.184.216.34", AddressScope::publicInternet },
        { "172.15.255.255", AddressScope::publicInternet }, // just outside 172.16/12
        { "172.32.0.0", AddressScope::publicInternet },
        { "100.63.255.255", AddressScope::publicInternet },
        { "100.128.0.0", AddressScope::publicInternet },
        { "169.253.255.255", AddressScope::publicInternet },
        { "203.0.113.1", AddressScope::publicInternet },
        { "2606:4700::1111", AddressScope::publicInternet },
        { "fbff::1", AddressScope::publicInternet },
        { "fe7f::1", AddressScope::publicInternet },
        { "::ffff:8.8.8.8", AddressScope::publicInternet },
        { "", std::nullopt },
        { "localhost", std::nullopt },
        { "127.1", std::nullopt },
        { "[::1]", std::nullopt },
        { "10.0.0.1:80", std::nullopt },
    };
    for (const auto& [address, scope] : cases)
        EXPECT_EQ(addressScope(address), scope) << '"' << address << '"';
}

TEST(AddressScope, RedirectsNeverLeadToANearerNetwork)
{
    constexpr auto internet = AddressScope::publicInternet, privateNetwork = AddressScope::privateNetwork,
                   linkLocal = AddressScope::linkLocal, loopback = AddressScope::loopback;
    const std::optional<AddressScope> unknown;
    const struct {
        std::optional<AddressScope> from, to;
        bool allowed;
    } cases[] = {
        { internet, internet, true },
        { internet, privateNetwork, false },
        { internet, linkLocal, false },
        { internet, loopback, false },
        { privateNetwork, internet, true },
        { privateNetwork, privateNetwork, true },
        { privateNetwork, linkLocal, false },
        { privateNetwork, loopback, false },
        { linkLocal, privateNetwork, true },
        { linkLocal, linkLocal, true },
        { linkLocal, loopback, false },
        { loopback, internet, true },
        { loopback, loopback, true },
        // Not knowing where a redirect comes from is no licence; not knowing
        // where it goes is no comfort.
        { unknown, internet, true },
        { unknown, privateNetwork, false },
        { loopback, unknown, true },
        { privateNetwork, unknown, false },
    };
    for (const auto& [from, to, allowed] : cases)
        EXPECT_EQ(redirectAllowed(from, to), allowed)
            << (from ? static_cast<int>(*from) : -1) << " -> " << (to ? static_cast<int>(*to) : -1);
}

} // namespace
} // namespace sv
