#include "update/package_verify.h"

#include "platform/crypto.h"
#include "base/unique_fd.h"
#include "update/update_error.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <fcntl.h>
#include <mutex>
#include <sys/mman.h>
#include <sys/stat.h>
#include <system_error>
#include <thread>

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

[[noreturn]] void throwErrno(const std::string& what)
{
    throw std::system_error(errno, std::generic_category(), what);
}

// A whole file mapped for reading. The package sits in the install's private
// work directory, where nobody but the user could shorten it under us.
class MappedFile {
public:
    explicit MappedFile(const std::filesystem::path& file)
    {
        const UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
        struct stat info {};
        if (!fd || ::fstat(fd.get(), &info) != 0)
            throwErrno("cannot read " + file.string());
        size_ = static_cast<std::size_t>(info.st_size);
        if (size_ == 0)
            return; // nothing to map; an empty package is simply refused
        void* data = ::mmap(nullptr, size_, PROT_READ, MAP_SHARED, fd.get(), 0);
        if (data == MAP_FAILED)
            throwErrno("cannot map " + file.string());
        data_ = static_cast<char*>(data);
        ::madvise(data_, size_, MADV_SEQUENTIAL);
    }
    ~MappedFile()
    {
        if (data_)
            ::munmap(data_, size_);
    }
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    [[nodiscard]] std::string_view bytes() const { return { data_, size_ }; }

    // Takes every page of the mapping out of this process's memory. The
    // contents stay in the page cache, and a page that is read again is
    // mapped again from there, unchanged.
    void release() const
    {
        if (data_)
            ::madvise(data_, size_, MADV_DONTNEED);
    }

private:
    char* data_ = nullptr;
    std::size_t size_ = 0;
};

// The library verifies an Ed25519 signature in one call over the whole
// message, and hashes it from start to end once on the way. While this
// lives, a helper thread takes the mapping's pages out of memory every few
// milliseconds, so only the pages read last are resident: a 1 GiB package
// costs a few MiB instead of 1 GiB.
class ResidentWindow {
public:
    explicit ResidentWindow(const MappedFile& file)
        : thread_([this, &file] {
            std::unique_lock lock(mutex_);
            while (!wake_.wait_for(lock, std::chrono::milliseconds(5), [this] { return stop_; }))
                file.release();
        })
    {
    }
    ~ResidentWindow()
    {
        {
            const std::lock_guard lock(mutex_);
            stop_ = true;
        }
        wake_.notify_one();
        thread_.join();
    }
    ResidentWindow(const ResidentWindow&) = delete;
    ResidentWindow& operator=(const ResidentWindow&) = delete;

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread thread_;
};

} // namespace

PackageFindings examinePackage(std::string_view package, std::string_view expectedSHA256,
    std::string_view signatureBase64, const std::vector<std::string>& publicKeysBase64)
{
    PackageFindings findings;
    const auto signature = platform::base64Decode(signatureBase64);
    findings.signatureDecodes = signature.has_value();
    // Any one trusted key will do: during a move to a new key, a build
    // trusts both the old and the new one.
    for (std::size_t index = 0; signature && index < publicKeysBase64.size(); ++index) {
        const auto publicKey = platform::base64Decode(publicKeysBase64[index]);
        if (publicKey && publicKey->size() == platform::ed25519PublicKeySize
            && platform::verifyEd25519(*publicKey, package, *signature)) {
            findings.signingKey = index;
            break;
        }
    }
    // A good signature with a digest that does not match is still a package
    // that the feed does not describe, so it is refused the same way. The
    // digest is taken even after a bad signature, as it tells a changed
    // package from a wrong key.
    findings.sha256 = platform::sha256Hex(package);
    findings.digestMatches = findings.sha256 == asciiLowercase(expectedSHA256);
    return findings;
}

PackageFindings examinePackageFile(const std::filesystem::path& package, std::string_view expectedSHA256,
    std::string_view signatureBase64, const std::vector<std::string>& publicKeysBase64)
{
    const MappedFile mapped(package);
    const ResidentWindow window(mapped);
    return examinePackage(mapped.bytes(), expectedSHA256, signatureBase64, publicKeysBase64);
}

void verifyPackage(std::string_view package, std::string_view expectedSHA256, std::string_view signatureBase64,
    const std::vector<std::string>& publicKeysBase64)
{
    if (!examinePackage(package, expectedSHA256, signatureBase64, publicKeysBase64).valid())
        rejectSignature();
}

void verifyPackageFile(const std::filesystem::path& package, std::string_view expectedSHA256,
    std::string_view signatureBase64, const std::vector<std::string>& publicKeysBase64)
{
    if (!examinePackageFile(package, expectedSHA256, signatureBase64, publicKeysBase64).valid())
        rejectSignature();
}

} // namespace sv
