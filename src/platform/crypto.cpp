#include "platform/crypto.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>

#include <array>
#include <climits>
#include <memory>
#include <stdexcept>

namespace sv::platform {
namespace {

struct EvpPkeyDeleter {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct EvpMdCtxDeleter {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
struct EvpPkeyCtxDeleter {
    void operator()(EVP_PKEY_CTX* context) const { EVP_PKEY_CTX_free(context); }
};
struct BioDeleter {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, EvpPkeyDeleter>;
using EvpMdCtxPtr = std::unique_ptr<EVP_MD_CTX, EvpMdCtxDeleter>;
using EvpPkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, EvpPkeyCtxDeleter>;
using BioPtr = std::unique_ptr<BIO, BioDeleter>;

const unsigned char* bytesOf(std::string_view text) { return reinterpret_cast<const unsigned char*>(text.data()); }

// The value of a standard Base64 letter, or -1 for anything else.
int base64Value(char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

std::optional<std::string> rawPublicKey(EVP_PKEY* key)
{
    std::string raw(ed25519PublicKeySize, '\0');
    std::size_t length = raw.size();
    if (EVP_PKEY_get_raw_public_key(key, reinterpret_cast<unsigned char*>(raw.data()), &length) != 1
        || length != ed25519PublicKeySize)
        return std::nullopt;
    return raw;
}

std::optional<std::string> privateKeyPEM(EVP_PKEY* key)
{
    BioPtr out(BIO_new(BIO_s_mem()));
    if (!out || PEM_write_bio_PrivateKey(out.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1)
        return std::nullopt;
    char* data = nullptr;
    const long length = BIO_get_mem_data(out.get(), &data);
    if (length <= 0 || !data)
        return std::nullopt;
    return std::string(data, static_cast<std::size_t>(length));
}

EvpPkeyPtr readEd25519PrivateKey(std::string_view pem)
{
    if (pem.size() > INT_MAX)
        return nullptr;
    BioPtr in(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    if (!in)
        return nullptr;
    EvpPkeyPtr key(PEM_read_bio_PrivateKey(in.get(), nullptr, nullptr, nullptr));
    if (!key || EVP_PKEY_get_id(key.get()) != EVP_PKEY_ED25519)
        return nullptr;
    return key;
}

} // namespace

std::string sha256Hex(std::string_view bytes)
{
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest {};
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_sha256(), nullptr) != 1 || length != 32)
        throw std::runtime_error("SHA-256 is not available");
    static constexpr char hexDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(2 * length);
    for (unsigned int i = 0; i < length; ++i) {
        hex.push_back(hexDigits[digest[i] >> 4]);
        hex.push_back(hexDigits[digest[i] & 0x0f]);
    }
    return hex;
}

std::string base64Encode(std::string_view bytes)
{
    std::string text;
    // EVP_EncodeBlock takes an int length; encode in whole groups of three.
    constexpr std::size_t chunk = 3 * 1024 * 1024;
    text.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t offset = 0; offset < bytes.size(); offset += chunk) {
        const auto part = bytes.substr(offset, chunk);
        std::string encoded((part.size() + 2) / 3 * 4 + 1, '\0');
        const int length = EVP_EncodeBlock(
            reinterpret_cast<unsigned char*>(encoded.data()), bytesOf(part), static_cast<int>(part.size()));
        text.append(encoded.data(), static_cast<std::size_t>(length));
    }
    return text;
}

std::optional<std::string> base64Decode(std::string_view text)
{
    // EVP_DecodeBlock skips blanks and line breaks, so the shape of the text
    // is checked here first; OpenSSL only turns letters into bytes.
    if (text.size() % 4 != 0 || text.size() > INT_MAX)
        return std::nullopt;
    if (text.empty())
        return std::string();
    std::size_t padding = 0;
    if (text.ends_with("=="))
        padding = 2;
    else if (text.ends_with('='))
        padding = 1;
    const auto letters = text.substr(0, text.size() - padding);
    for (char c : letters) {
        if (base64Value(c) < 0)
            return std::nullopt;
    }
    // The bits that the padding leaves over must be zero, so that every byte
    // string has exactly one text.
    const int last = base64Value(letters.back());
    if ((padding == 2 && (last & 0x0f) != 0) || (padding == 1 && (last & 0x03) != 0))
        return std::nullopt;

    std::string bytes(text.size() / 4 * 3, '\0');
    const int length = EVP_DecodeBlock(
        reinterpret_cast<unsigned char*>(bytes.data()), bytesOf(text), static_cast<int>(text.size()));
    if (length < 0 || static_cast<std::size_t>(length) != bytes.size())
        return std::nullopt;
    bytes.resize(bytes.size() - padding);
    return bytes;
}

bool verifyEd25519(std::string_view publicKey, std::string_view message, std::string_view signature)
{
    if (publicKey.size() != ed25519PublicKeySize || signature.size() != ed25519SignatureSize)
        return false;
    EvpPkeyPtr key(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, bytesOf(publicKey), publicKey.size()));
    if (!key)
        return false;
    EvpMdCtxPtr context(EVP_MD_CTX_new());
    if (!context || EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1)
        return false;
    // Ed25519 signs the message in one pass; only a result of exactly 1 means valid.
    return EVP_DigestVerify(context.get(), bytesOf(signature), signature.size(), bytesOf(message), message.size())
        == 1;
}

std::optional<Ed25519KeyPair> generateEd25519KeyPair()
{
    EvpPkeyCtxPtr context(EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr));
    if (!context || EVP_PKEY_keygen_init(context.get()) != 1)
        return std::nullopt;
    EVP_PKEY* generated = nullptr;
    if (EVP_PKEY_keygen(context.get(), &generated) != 1)
        return std::nullopt;
    EvpPkeyPtr key(generated);
    auto pem = privateKeyPEM(key.get());
    auto publicKey = rawPublicKey(key.get());
    if (!pem || !publicKey)
        return std::nullopt;
    return Ed25519KeyPair { std::move(*pem), std::move(*publicKey) };
}

std::optional<Ed25519KeyPair> loadEd25519PrivateKey(std::string_view pem)
{
    EvpPkeyPtr key = readEd25519PrivateKey(pem);
    if (!key)
        return std::nullopt;
    auto publicKey = rawPublicKey(key.get());
    if (!publicKey)
        return std::nullopt;
    return Ed25519KeyPair { std::string(pem), std::move(*publicKey) };
}

std::optional<std::string> signEd25519(std::string_view privateKeyPEM, std::string_view message)
{
    EvpPkeyPtr key = readEd25519PrivateKey(privateKeyPEM);
    if (!key)
        return std::nullopt;
    EvpMdCtxPtr context(EVP_MD_CTX_new());
    if (!context || EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1)
        return std::nullopt;
    std::string signature(ed25519SignatureSize, '\0');
    std::size_t length = signature.size();
    if (EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &length,
            bytesOf(message), message.size())
            != 1
        || length != ed25519SignatureSize)
        return std::nullopt;
    return signature;
}

std::string randomUUIDString()
{
    std::array<unsigned char, 16> bytes {};
    if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1)
        throw std::runtime_error("the random source failed");
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0f) | 0x40); // version 4
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3f) | 0x80); // RFC 4122 variant
    static constexpr char hexDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(36);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            text.push_back('-');
        text.push_back(hexDigits[bytes[i] >> 4]);
        text.push_back(hexDigits[bytes[i] & 0x0f]);
    }
    return text;
}

} // namespace sv::platform
