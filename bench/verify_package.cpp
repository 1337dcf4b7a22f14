// Verifying a 256 MiB update package (Ed25519 signature, then SHA-256
// digest) as the app does it, from the file the download wrote, against the
// same two operations done by the openssl command line on the same file,
// side by side in one run. Verifying bytes already in memory is shown too.
//
//   bench_verify_package [MiB] [rounds]

#include "platform/crypto.h"
#include "support/local_runner.h"
#include "support/sandbox.h"
#include "timing.h"
#include "update/package_verify.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>


namespace {

using sv::bench::median;
using sv::bench::seconds;

void require(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "bench_verify_package: %s\n", what);
        std::exit(1);
    }
}

} // namespace

int main(int argc, char** argv)
{
    using namespace sv;
    const std::size_t mebibytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    require(mebibytes > 0 && rounds > 0, "usage: bench_verify_package [MiB] [rounds]");

    test::Sandbox sandbox;
    std::string package(mebibytes << 20, '\0');
    std::mt19937_64 random(20240601);
    for (std::size_t i = 0; i + 8 <= package.size(); i += 8) {
        const auto word = random();
        std::memcpy(package.data() + i, &word, 8);
    }
    const auto keys = platform::generateEd25519KeyPair();
    require(keys.has_value(), "cannot make a key");
    const auto signature = platform::signEd25519(keys->privateKeyPEM, package);
    require(signature.has_value(), "cannot sign");
    const auto sha256 = platform::sha256Hex(package);
    const auto signatureText = platform::base64Encode(*signature);
    const auto publicKeyText = platform::base64Encode(keys->publicKey);

    // The same bytes for the command line: the package, the raw signature
    // and the public key as SubjectPublicKeyInfo PEM.
    const auto packageFile = sandbox / "update.zip";
    const auto signatureFile = sandbox / "signature.bin";
    const auto publicKeyFile = sandbox / "public.pem";
    test::writeFile(packageFile, package);
    test::writeFile(signatureFile, *signature);
    const std::string spkiPrefix("\x30\x2a\x30\x05\x06\x03\x2b\x65\x70\x03\x21\x00", 12);
    test::writeFile(publicKeyFile,
        "-----BEGIN PUBLIC KEY-----\n" + platform::base64Encode(spkiPrefix + keys->publicKey)
            + "\n-----END PUBLIC KEY-----\n");

    const auto ours = [&] { verifyPackage(package, sha256, signatureText, { publicKeyText }); };
    const auto oursFromFile = [&] { verifyPackageFile(packageFile, sha256, signatureText, { publicKeyText }); };
    double lastVerify = 0, lastDigest = 0;
    const auto theirs = [&] {
        lastVerify = seconds([&] {
            const auto verified = test::runLocally("/usr/bin/openssl",
                { "pkeyutl", "-verify", "-pubin", "-inkey", publicKeyFile.string(), "-rawin", "-in",
                    packageFile.string(), "-sigfile", signatureFile.string() });
            require(verified.status == 0, "openssl pkeyutl -verify failed");
        });
        lastDigest = seconds([&] {
            const auto digest
                = test::runLocally("/usr/bin/openssl", { "dgst", "-sha256", "-r", packageFile.string() });
            require(digest.status == 0 && digest.output.starts_with(sha256), "openssl dgst gave another digest");
        });
    };

    // One untimed round each warms the page cache and the code.
    ours();
    theirs();
    std::vector<double> oursTimes, oursFileTimes, theirTimes, theirVerifyTimes, theirDigestTimes;
    for (int round = 0; round < rounds; ++round) {
        oursTimes.push_back(seconds(ours));
        oursFileTimes.push_back(seconds(oursFromFile));
        theirTimes.push_back(seconds(theirs));
        theirVerifyTimes.push_back(lastVerify);
        theirDigestTimes.push_back(lastDigest);
    }

    const double us = median(oursTimes), usFile = median(oursFileTimes), them = median(theirTimes);
    const double size = static_cast<double>(mebibytes);
    std::printf("package: %zu MiB, %d rounds, medians\n", mebibytes, rounds);
    std::printf("  verifyPackageFile (the app):           %7.3f s  %7.0f MiB/s\n", usFile, size / usFile);
    std::printf("  verifyPackage (bytes in memory):       %7.3f s  %7.0f MiB/s\n", us, size / us);
    std::printf("  openssl pkeyutl -verify + dgst -sha256: %6.3f s  %7.0f MiB/s  (%.3f s + %.3f s)\n", them,
        size / them, median(theirVerifyTimes), median(theirDigestTimes));
    std::printf("ratio ours/openssl: %.2f from the file (target: at most 1.00), %.2f in memory\n", usFile / them,
        us / them);
    return 0;
}
