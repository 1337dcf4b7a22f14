// The bundle information reader: any bytes given as an Info.plist either are
// refused or give a dictionary whose version and build are read by the same
// rules as a reference; a dictionary that is written back (as the window
// frame is saved into the user defaults) reads again with its entries intact.
// The input as a whole is also a CFBundleVersion text for parseSignedInteger.

#include "base/bundle_info.h"
#include "fuzz_support.h"
#include "platform/property_list.h"

#include <set>
#include <string>

namespace {

// Base-10 with one optional sign, checked digit by digit with the overflow
// tests of the compiler, so it shares nothing with the parser under test.
std::optional<std::int64_t> referenceInteger(std::string_view text)
{
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty())
        return std::nullopt;
    std::int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        // Accumulate towards the sign's side, so that INT64_MIN fits.
        const int digit = negative ? -(c - '0') : c - '0';
        if (__builtin_mul_overflow(value, 10, &value) || __builtin_add_overflow(value, digit, &value))
            return std::nullopt;
    }
    return value;
}

const std::string widthKey = "Window Sandvoll Width";
const std::string maximizedKey = "Window Sandvoll Maximized";

// Whether a dictionary names each of its keys once, judged from its XML form,
// in which the top-level keys are the lines that start with one tab and <key>.
bool keysAreUnique(const std::string& xml)
{
    constexpr std::string_view marker = "\n\t<key>";
    std::set<std::string_view> keys;
    std::size_t count = 0;
    for (auto at = xml.find(marker); at != std::string::npos; at = xml.find(marker, at + 1)) {
        keys.insert(std::string_view(xml).substr(at, xml.find('\n', at + 1) - at));
        ++count;
    }
    return keys.size() == count;
}

std::optional<std::string> entry(const sv::InfoDictionary& info, const char* key)
{
    const auto it = info.find(key);
    return it == info.end() ? std::nullopt : std::optional<std::string>(it->second);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace sv;
    const std::string_view input = fuzz::text(data, size);

    fuzz::require(parseSignedInteger(input) == referenceInteger(input), "parseSignedInteger as the reference");

    auto plist = platform::PropertyList::parse(std::string(input));
    if (!plist)
        return 0;
    const InfoDictionary info = plist->strings();

    const auto version = entry(info, "CFBundleShortVersionString");
    fuzz::require(versionFromInfo(info) == version.value_or("?"), "version or \"?\"");
    fuzz::require(plist->string("CFBundleShortVersionString") == version, "one string, two readings");
    const auto buildText = entry(info, "CFBundleVersion");
    fuzz::require(buildFromInfo(info) == referenceInteger(buildText.value_or("")).value_or(0), "build or 0");

    // Saving the window frame keeps the user's other defaults.
    const bool unique = keysAreUnique(plist->toXML());
    auto before = plist->strings();
    plist->setInteger(widthKey, 1440);
    plist->setBoolean(maximizedKey, true);
    before.erase(widthKey);
    before.erase(maximizedKey);
    const auto reread = platform::PropertyList::parse(plist->toXML());
    fuzz::require(reread.has_value(), "a written dictionary reads again");
    fuzz::require(reread->integer(widthKey) == 1440, "the width reads again");
    fuzz::require(reread->boolean(maximizedKey) == true, "the state reads again");
    // A damaged binary dictionary may name a key twice; which of its values
    // a reading sees may then change on the way, but not a second time.
    if (unique)
        fuzz::require(reread->strings() == before, "the other strings survive");
    const auto again = platform::PropertyList::parse(reread->toXML());
    fuzz::require(again && again->strings() == reread->strings(), "a written dictionary reads back the same");
    return 0;
}
