#pragma once
// Digests, Base64 and Ed25519 signatures for update packages and the
// publisher's tools. Byte strings travel as std::string / std::string_view.
//
// Every check here fails closed: a function that answers "valid" does so on
// exactly one path, and any error of the library underneath is a rejection.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace sv::platform {

inline constexpr std::size_t ed25519PublicKeySize = 32;
inline constexpr std::size_t ed25519SignatureSize = 64;

// The SHA-256 digest of the bytes as 64 lower-case hexadecimal digits.
[[nodiscard]] std::string sha256Hex(std::string_view bytes);

// Standard Base64 (RFC 4648 section 4) with padding, no line breaks.
[[nodiscard]] std::string base64Encode(std::string_view bytes);

// Strict standard Base64: the length is a multiple of four, the padding is
// present, only the standard alphabet is used (no blanks, line breaks or
// URL-safe letters) and the unused bits of the last group are zero. Anything
// else gives nullopt; the empty text decodes to no bytes.
[[nodiscard]] std::optional<std::string> base64Decode(std::string_view text);

// Ed25519 (RFC 8032) verification of a 64-byte signature over the message
// with a 32-byte raw public key. Wrong sizes and every library failure are false.
[[nodiscard]] bool verifyEd25519(
    std::string_view publicKey, std::string_view message, std::string_view signature);

// A signing key for the publisher's side. The private half is kept as a
// PKCS#8 PEM text, the format the openssl command line reads and writes.
struct Ed25519KeyPair {
    std::string privateKeyPEM;
    std::string publicKey; // 32 raw bytes
};

// A fresh key pair from the system's random source; nullopt on failure.
[[nodiscard]] std::optional<Ed25519KeyPair> generateEd25519KeyPair();

// Reads a PKCS#8 PEM private key; nullopt unless it is an Ed25519 key.
[[nodiscard]] std::optional<Ed25519KeyPair> loadEd25519PrivateKey(std::string_view pem);

// The 64-byte signature over the message; nullopt when the key is unusable.
[[nodiscard]] std::optional<std::string> signEd25519(std::string_view privateKeyPEM, std::string_view message);

// A new random (version 4) UUID in its 36-character upper-case text form,
// such as "1B4E28BA-2FA1-41D2-883F-0016D3CCA427".
[[nodiscard]] std::string randomUUIDString();

} // namespace sv::platform
