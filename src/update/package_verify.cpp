#include "update/package_verify.h"

#include "platform/crypto.h"
#include "update/update_error.h"

#include <algorithm>
#include <string>

namespace sv {

namespace {

[[noreturn]] void rejectSignature() { throw UpdateFailure(UpdateError::badSignature); }

std::string asciiLowercase(std::string_view text)
{
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
        [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
    return lower;
}

} // namespace

void verifyPackage(std::string_view package, std::string_view expectedSHA256, std::string_view signatureBase64,
    std::string_view publicKeyBase64)
{
    const auto publicKey = platform::base64Decode(publicKeyBase64);
    if (!publicKey || publicKey->size() != platform::ed25519PublicKeySize)
        rejectSignature();
    const auto signature = platform::base64Decode(signatureBase64);
    if (!signature)
        rejectSignature();
    if (!platform::verifyEd25519(*publicKey, package, *signature))
        rejectSignature();
    // A good signature with a digest that does not match is still a package
    // that the feed does not describe, so it is refused the same way.
    if (platform::sha256Hex(package) != asciiLowercase(expectedSHA256))
        rejectSignature();
}

} // namespace sv
