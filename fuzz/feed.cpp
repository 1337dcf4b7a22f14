// The feed decoder against a reading of the same document as a whole JSON
// tree: it either gives a record that agrees with the tree member by member,
// or throws FeedDecodeError, and it fails exactly when the tree breaks a rule.
// Any other exception escapes and counts as a crash.

#include "fuzz_support.h"
#include "platform/http.h"
#include "update/update_info.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <optional>

namespace {

using Json = nlohmann::json;

enum class Verdict { valid, invalid, undecided };

// A whole number written with a fraction or an exponent ("12.0", "1.2e1") is
// exact only in its digits, which the tree keeps as a rounded double. The
// double still settles the clear cases: with a fraction left, or beyond the
// 64-bit range, the written value cannot be a build number either.
Verdict floatingBuild(double value)
{
    constexpr double limit = 9223372036854775808.0; // 2^63
    if (!std::isfinite(value) || value != std::floor(value) || value > limit || value < -limit)
        return Verdict::invalid;
    return Verdict::undecided;
}

bool stringOrAbsent(const Json& document, const char* key)
{
    const auto it = document.find(key);
    return it == document.end() || it->is_null() || it->is_string();
}

std::optional<std::string> optionalString(const Json& document, const char* key)
{
    const auto it = document.find(key);
    if (it == document.end() || it->is_null())
        return std::nullopt;
    return it->get<std::string>();
}

Verdict judge(const Json& document)
{
    if (document.is_discarded() || !document.is_object())
        return Verdict::invalid;
    for (const char* key : { "version", "url", "sha256", "signature" }) {
        const auto it = document.find(key);
        if (it == document.end() || !it->is_string())
            return Verdict::invalid;
    }
    if (!sv::platform::isURL(document["url"].get<std::string>()))
        return Verdict::invalid;
    if (!stringOrAbsent(document, "notesEN") || !stringOrAbsent(document, "minimumSystemVersion"))
        return Verdict::invalid;
    const auto build = document.find("build");
    if (build == document.end())
        return Verdict::invalid;
    if (build->is_number_integer()) {
        if (build->is_number_unsigned()
            && build->get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX))
            return Verdict::invalid;
        return Verdict::valid;
    }
    if (build->is_number_float())
        return floatingBuild(build->get<double>());
    return Verdict::invalid;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace sv;
    const std::string_view body = fuzz::text(data, size);

    std::optional<UpdateInfo> info;
    try {
        info = decodeUpdateInfo(body);
    } catch (const FeedDecodeError&) {
    }

    const Json document = Json::parse(body, nullptr, false);
    const Verdict verdict = judge(document);
    if (verdict == Verdict::invalid)
        fuzz::require(!info, "a feed that breaks a rule is refused");
    if (verdict == Verdict::valid)
        fuzz::require(info.has_value(), "a feed that keeps every rule is decoded");
    if (!info)
        return 0;

    fuzz::require(info->version == document["version"].get<std::string>(), "version as given");
    fuzz::require(info->url == document["url"].get<std::string>(), "url as given");
    fuzz::require(info->sha256 == document["sha256"].get<std::string>(), "sha256 as given");
    fuzz::require(info->signature == document["signature"].get<std::string>(), "signature as given");
    fuzz::require(info->notesEN == optionalString(document, "notesEN"), "notesEN as given");
    fuzz::require(info->minimumSystemVersion == optionalString(document, "minimumSystemVersion"),
        "minimumSystemVersion as given");
    const Json& build = document["build"];
    if (build.is_number_integer())
        fuzz::require(info->build == build.get<std::int64_t>(), "build as given");
    else
        // The double nearest to the exact whole number is that number rounded once.
        fuzz::require(static_cast<double>(info->build) == build.get<double>(), "build as written");
    return 0;
}
