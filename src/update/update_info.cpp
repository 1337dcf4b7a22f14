#include "update/update_info.h"

#include "base/bundle_info.h"
#include "platform/http.h"
#include "platform/property_list.h"

#include <nlohmann/json.hpp>

#include <map>

namespace sv {
namespace {

using Json = nlohmann::json;

// One member of the top-level object, as far as decoding looks at it.
struct Member {
    enum class Kind { null, boolean, integer, unsignedInteger, floating, string, object, array };
    explicit Member(Kind k) : kind(k) {}
    Kind kind;
    std::int64_t integer = 0;
    std::uint64_t unsignedInteger = 0;
    std::string text; // the string's value, or a floating number as written
};

// Collects the members of a top-level object without building a tree of the
// whole document: nested values are only walked (the parser does that
// without recursion), so a large or deeply nested member costs nothing
// beyond the parse.
class TopLevelMembers final : public nlohmann::json_sax<Json> {
public:
    bool topIsObject = false;
    std::map<std::string, Member> members;
    std::string error;

    bool null() override { return scalar(Member(Member::Kind::null)); }
    bool boolean(bool) override { return scalar(Member(Member::Kind::boolean)); }
    bool number_integer(number_integer_t value) override
    {
        Member member(Member::Kind::integer);
        member.integer = value;
        return scalar(std::move(member));
    }
    bool number_unsigned(number_unsigned_t value) override
    {
        Member member(Member::Kind::unsignedInteger);
        member.unsignedInteger = value;
        return scalar(std::move(member));
    }
    bool number_float(number_float_t, const string_t& written) override
    {
        Member member(Member::Kind::floating);
        member.text = written;
        return scalar(std::move(member));
    }
    bool string(string_t& value) override
    {
        if (depth_ != 1 || !topIsObject)
            return true;
        Member member(Member::Kind::string);
        member.text = std::move(value);
        return scalar(std::move(member));
    }
    bool binary(binary_t&) override { return scalar(Member(Member::Kind::null)); }
    bool start_object(std::size_t) override
    {
        if (depth_ == 0)
            topIsObject = true;
        else
            scalar(Member(Member::Kind::object));
        ++depth_;
        return true;
    }
    bool key(string_t& name) override
    {
        if (depth_ == 1)
            key_ = std::move(name);
        return true;
    }
    bool end_object() override
    {
        --depth_;
        return true;
    }
    bool start_array(std::size_t) override
    {
        scalar(Member(Member::Kind::array));
        ++depth_;
        return true;
    }
    bool end_array() override
    {
        --depth_;
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& failure) override
    {
        error = failure.what();
        return false;
    }

private:
    bool scalar(Member member)
    {
        // A repeated name keeps its last value, as a parsed object would.
        if (depth_ == 1 && topIsObject)
            members.insert_or_assign(key_, std::move(member));
        return true;
    }

    int depth_ = 0;
    std::string key_;
};

// The exact value of a JSON number written with a fraction or an exponent,
// when that value is whole and fits in 64 bits. Worked on the digits as
// written, never on a rounded double.
std::optional<std::int64_t> wholeNumber(std::string_view written)
{
    bool negative = false;
    if (!written.empty() && written.front() == '-') {
        negative = true;
        written.remove_prefix(1);
    }
    const auto exponentAt = written.find_first_of("eE");
    std::string_view mantissa = written.substr(0, exponentAt);
    std::int64_t exponent = 0;
    if (exponentAt != std::string_view::npos) {
        std::string_view text = written.substr(exponentAt + 1);
        bool exponentNegative = false;
        if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
            exponentNegative = text.front() == '-';
            text.remove_prefix(1);
        }
        // Exponents this large decide the answer alone; stop counting there.
        for (char c : text)
            exponent = std::min<std::int64_t>(exponent * 10 + (c - '0'), 1'000'000);
        if (exponentNegative)
            exponent = -exponent;
    }
    std::string digits;
    const auto point = mantissa.find('.');
    digits.append(mantissa.substr(0, point));
    if (point != std::string_view::npos) {
        const std::string_view fraction = mantissa.substr(point + 1);
        digits.append(fraction);
        exponent -= static_cast<std::int64_t>(fraction.size());
    }
    digits.erase(0, digits.find_first_not_of('0'));
    if (digits.empty())
        return 0; // zero, however it is written
    while (digits.back() == '0') {
        digits.pop_back();
        ++exponent;
    }
    // With no trailing zeros left, a negative exponent leaves a fraction.
    if (exponent < 0 || static_cast<std::int64_t>(digits.size()) + exponent > 19)
        return std::nullopt;
    digits.append(static_cast<std::size_t>(exponent), '0');
    return parseSignedInteger((negative ? "-" : "") + digits);
}

const Member* find(const TopLevelMembers& document, const std::string& key)
{
    const auto it = document.members.find(key);
    return it == document.members.end() ? nullptr : &it->second;
}

[[noreturn]] void fail(const std::string& key, const char* what)
{
    throw FeedDecodeError("\"" + key + "\" " + what);
}

std::string requiredString(const TopLevelMembers& document, const std::string& key)
{
    const Member* member = find(document, key);
    if (!member)
        fail(key, "is missing");
    if (member->kind != Member::Kind::string)
        fail(key, "is not a string");
    return member->text;
}

std::int64_t requiredBuild(const TopLevelMembers& document, const std::string& key)
{
    const Member* member = find(document, key);
    if (!member)
        fail(key, "is missing");
    switch (member->kind) {
    case Member::Kind::integer:
        return member->integer;
    case Member::Kind::unsignedInteger:
        if (member->unsignedInteger <= static_cast<std::uint64_t>(INT64_MAX))
            return static_cast<std::int64_t>(member->unsignedInteger);
        break;
    case Member::Kind::floating:
        if (auto value = wholeNumber(member->text))
            return *value;
        break;
    default:
        fail(key, "is not a number");
    }
    fail(key, "is not a whole number within the signed 64-bit range");
}

std::optional<std::string> optionalString(const TopLevelMembers& document, const std::string& key)
{
    const Member* member = find(document, key);
    if (!member || member->kind == Member::Kind::null)
        return std::nullopt;
    if (member->kind != Member::Kind::string)
        fail(key, "is neither a string nor null");
    return member->text;
}

} // namespace

UpdateInfo decodeUpdateInfo(std::string_view body)
{
    TopLevelMembers document;
    if (!Json::sax_parse(body, &document))
        throw FeedDecodeError("not JSON: " + document.error);
    if (!document.topIsObject)
        throw FeedDecodeError("the feed is not a JSON object");

    UpdateInfo info;
    info.version = requiredString(document, "version");
    info.build = requiredBuild(document, "build");
    info.url = requiredString(document, "url");
    if (!platform::isURL(info.url))
        fail("url", "is not a URL");
    info.sha256 = requiredString(document, "sha256");
    info.signature = requiredString(document, "signature");
    info.notesEN = optionalString(document, "notesEN");
    info.minimumSystemVersion = optionalString(document, "minimumSystemVersion");
    return info;
}

std::string chooseFeedURL(const std::optional<std::string>& userDefault, std::string_view fallback)
{
    if (userDefault && platform::isURL(*userDefault))
        return *userDefault;
    return std::string(fallback);
}

std::optional<std::string> readFeedURLDefault(const std::filesystem::path& userDefaults)
{
    const auto defaults = platform::PropertyList::load(userDefaults);
    if (!defaults)
        return std::nullopt;
    return defaults->string("updateFeedURL");
}

} // namespace sv
