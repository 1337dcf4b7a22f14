#include "support/offline_wheel.h"

#include "support/local_runner.h"

namespace sv::test {
namespace {

// The package files come first and the .dist-info last, as standard wheel
// builders write them, so that pip's own installation order is the usual one.
constexpr const char* wheelScript = R"(
import base64, hashlib, sys, zipfile
directory, version = sys.argv[1], sys.argv[2]
info = f"svprobe-{version}.dist-info"
files = {
    "svprobe/__init__.py": f"VALUE = 'probe {version}'\n",
    f"{info}/METADATA": f"Metadata-Version: 2.1\nName: svprobe\nVersion: {version}\n",
    f"{info}/WHEEL": "Wheel-Version: 1.0\nGenerator: sandvoll-test\nRoot-Is-Purelib: true\nTag: py3-none-any\n",
}
record = ""
with zipfile.ZipFile(f"{directory}/svprobe-{version}-py3-none-any.whl", "w") as wheel:
    for name, text in files.items():
        data = text.encode()
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        record += f"{name},sha256={digest},{len(data)}\n"
        wheel.writestr(name, data)
    wheel.writestr(f"{info}/RECORD", record + f"{info}/RECORD,,\n")
)";

} // namespace

std::string buildOfflineWheel(const std::filesystem::path& directory, const std::string& version)
{
    std::filesystem::create_directories(directory);
    const auto built = runLocally(systemPython, { "-c", wheelScript, directory.string(), version });
    if (built.status == 0)
        return {};
    return built.output.empty() ? "the wheel script failed with status " + std::to_string(built.status) : built.output;
}

std::string offlineRequirements(const std::filesystem::path& wheels, const std::string& version)
{
    return "--no-index\n--find-links " + wheels.string() + "\nsvprobe==" + version + "\n";
}

std::string probeOutput(const std::string& version) { return "probe " + version + "\n"; }

} // namespace sv::test
