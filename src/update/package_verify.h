#pragma once
// Is a downloaded update package the one its publisher signed?

#include <string_view>

namespace sv {

// Checks, in this order, that the public key (44-character Base64 text) is a
// usable Ed25519 key, that the signature text is strict Base64, that the
// signature verifies over the exact package bytes, and that the package's
// SHA-256 digest equals the expected hexadecimal text (compared in lower
// case; nothing is trimmed). Throws UpdateFailure(badSignature) on the first
// check that fails; returns only when all pass.
void verifyPackage(std::string_view package, std::string_view expectedSHA256, std::string_view signatureBase64,
    std::string_view publicKeyBase64);

} // namespace sv
