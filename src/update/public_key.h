#pragma once
// The Ed25519 public key that update packages must be signed for.

#include <string_view>

namespace sv {

// 44 characters of standard Base64 holding the 32 raw key bytes, fixed at
// build time (SANDVOLL_UPDATE_PUBLIC_KEY).
[[nodiscard]] std::string_view updatePublicKey();

// The repository's test key, whose private half is in tests/fixtures/keys.
// A build that trusts it accepts updates signed by anyone.
[[nodiscard]] std::string_view testUpdatePublicKey();

} // namespace sv
