#pragma once
// The Ed25519 public keys that update packages may be signed with.

#include <string>
#include <vector>

namespace sv {

// Each 44 characters of standard Base64 holding 32 raw key bytes, fixed at
// build time (SANDVOLL_UPDATE_PUBLIC_KEY). Empty for a build that was given
// none: such an app installs no update.
[[nodiscard]] std::vector<std::string> updatePublicKeys();

// The repository's test keys, whose private halves are in tests/fixtures/keys.
// Only the tests' own bundle trusts them; a build that did would accept
// updates signed by anyone.
[[nodiscard]] std::vector<std::string> testUpdatePublicKeys();

} // namespace sv
