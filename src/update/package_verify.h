#pragma once
// Is a downloaded update package the one its publisher signed?

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sv {

// What verifying a package found, check by check, so that a publisher's tool
// can say why a package would be refused. valid() is the only way to "valid":
// verifyPackage accepts a package exactly when it is true.
struct PackageFindings {
    // The signature text is strict Base64.
    bool signatureDecodes = false;
    // The position in the trusted keys of the first key that the signature
    // verifies with; none when no key does.
    std::optional<std::size_t> signingKey;
    // The package's SHA-256 digest in lower-case hexadecimal.
    std::string sha256;
    // Whether that digest is the expected text in lower case.
    bool digestMatches = false;

    [[nodiscard]] bool valid() const { return signatureDecodes && signingKey && digestMatches; }
};

// Examines the package as verifyPackage does, but runs every check and
// reports what each found instead of stopping at the first that fails.
[[nodiscard]] PackageFindings examinePackage(std::string_view package, std::string_view expectedSHA256,
    std::string_view signatureBase64, const std::vector<std::string>& publicKeysBase64);

// The same for a package on disk, read as verifyPackageFile reads it.
[[nodiscard]] PackageFindings examinePackageFile(const std::filesystem::path& package,
    std::string_view expectedSHA256, std::string_view signatureBase64,
    const std::vector<std::string>& publicKeysBase64);

// Checks, in this order, that the signature text is strict Base64, that it
// verifies over the exact package bytes with one of the trusted public keys
// (each 44-character Base64 text; texts that are no usable Ed25519 key are
// passed over, and no key at all trusts nothing), and that the package's
// SHA-256 digest equals the expected hexadecimal text (compared in lower
// case; nothing is trimmed). Throws UpdateFailure(badSignature) unless all
// pass, which is examinePackage(...).valid().
void verifyPackage(std::string_view package, std::string_view expectedSHA256, std::string_view signatureBase64,
    const std::vector<std::string>& publicKeysBase64);

// The same for a package on disk. The file is read through a mapping of
// which only a few MiB are resident at any time, so a package of any size
// costs the app little memory. Throws std::system_error when the file cannot
// be read.
void verifyPackageFile(const std::filesystem::path& package, std::string_view expectedSHA256,
    std::string_view signatureBase64, const std::vector<std::string>& publicKeysBase64);

} // namespace sv
