#pragma once
// Is a downloaded update package the one its publisher signed?

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace sv {

// Checks, in this order, that the signature text is strict Base64, that it
// verifies over the exact package bytes with one of the trusted public keys
// (each 44-character Base64 text; texts that are no usable Ed25519 key are
// passed over, and no key at all trusts nothing), and that the package's
// SHA-256 digest equals the expected hexadecimal text (compared in lower
// case; nothing is trimmed). Throws UpdateFailure(badSignature) on the first
// check that fails; returns only when all pass.
void verifyPackage(std::string_view package, std::string_view expectedSHA256, std::string_view signatureBase64,
    const std::vector<std::string>& publicKeysBase64);

// The same for a package on disk. The file is read through a mapping of
// which only a few MiB are resident at any time, so a package of any size
// costs the app little memory. Throws std::system_error when the file cannot
// be read.
void verifyPackageFile(const std::filesystem::path& package, std::string_view expectedSHA256,
    std::string_view signatureBase64, const std::vector<std::string>& publicKeysBase64);

} // namespace sv
