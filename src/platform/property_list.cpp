#include "platform/property_list.h"

#include "platform/gobject_ptr.h"

#include <glib.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <set>
#include <sstream>
#include <system_error>
#include <unistd.h>
#include <utility>
#include <variant>
#include <vector>

namespace sv::platform {
namespace {

// Property list files are small; anything much larger is not ours.
constexpr std::uintmax_t maxFileSize = 16 * 1024 * 1024;
// Real files nest a few levels. The limit on arrays and dictionaries inside
// one another keeps the recursive writer and the tree's destruction far from
// the end of the stack.
constexpr std::size_t maxDepth = 256;
// A binary file may name one array from many places, so a small file can
// stand for a huge tree. Without such sharing a file holds fewer values than
// bytes; reading stops past that, and past this many bytes of text and data.
constexpr std::size_t maxBytes = 64 * 1024 * 1024;
// Dates count seconds from 2001-01-01 00:00:00 UTC.
constexpr std::int64_t referenceDate = 978307200;

// The value types of a property list.
struct Value;
struct Integer {
    std::uint64_t bits = 0; // two's complement
    bool isUnsigned = false; // above INT64_MAX, written without a sign
};
struct Real {
    double value = 0;
};
struct Date {
    double seconds = 0; // since the reference date, fraction included
};
struct Data {
    std::string bytes;
};
struct Array {
    std::vector<Value> items;
};
struct Entry;
// Entries in the file's order. A damaged binary file may name a key twice;
// both entries are kept and written back, and the first one counts.
struct Dict {
    std::vector<Entry> entries;

    [[nodiscard]] const Value* find(const char* key) const;
    void set(const char* key, Value value);
};
struct Value {
    std::variant<std::string, Integer, Real, bool, Date, Data, Array, Dict> content;
};
struct Entry {
    std::string key;
    Value value;
};

const Value* Dict::find(const char* key) const
{
    for (const auto& [name, value] : entries) {
        if (name == key)
            return &value;
    }
    return nullptr;
}

void Dict::set(const char* key, Value value)
{
    for (auto& [name, existing] : entries) {
        if (name == key) {
            existing = std::move(value);
            return;
        }
    }
    entries.push_back(Entry { key, std::move(value) });
}

// ---- Reading: text forms shared by the XML reader ----

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && isBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

// Decimal, or hexadecimal after 0x, or octal after a leading 0, as C reads
// them, with one optional sign. Earlier versions read integers so; a value
// that does not fit in 64 bits is refused.
std::optional<Integer> integerFrom(std::string_view text)
{
    text = trimmed(text);
    if (text.empty())
        return Integer {};
    bool negative = false;
    if (text.front() == '+' || text.front() == '-') {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty() || !g_ascii_isdigit(text.front()))
        return std::nullopt;
    const std::string digits(text);
    char* end = nullptr;
    errno = 0;
    const guint64 magnitude = g_ascii_strtoull(digits.c_str(), &end, 0);
    if (errno != 0 || end != digits.c_str() + digits.size())
        return std::nullopt;
    if (negative) {
        if (magnitude > (std::uint64_t { 1 } << 63))
            return std::nullopt;
        return Integer { ~magnitude + 1, false };
    }
    return Integer { magnitude, magnitude > static_cast<std::uint64_t>(INT64_MAX) };
}

std::optional<Real> realFrom(std::string_view text)
{
    text = trimmed(text);
    if (text.empty())
        return Real {};
    const std::string number(text);
    char* end = nullptr;
    const double value = g_ascii_strtod(number.c_str(), &end);
    if (end != number.c_str() + number.size())
        return std::nullopt;
    return Real { value };
}

// "2024-05-06T07:08:09Z", any fraction of a second ignored. The year is not
// padded (the writer below does not pad it either) and may be negative.
std::optional<Date> dateFrom(std::string_view text)
{
    text = trimmed(text);
    if (text.empty())
        return Date {};
    const std::string date(text);
    long long year = 0;
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
    int used = 0;
    if (std::sscanf(date.c_str(), "%lld-%d-%dT%d:%d:%d%n", &year, &month, &day, &hour, &minute, &second, &used) != 6)
        return std::nullopt;
    std::string_view rest = std::string_view(date).substr(static_cast<std::size_t>(used));
    if (!rest.empty() && rest.front() == '.') {
        rest.remove_prefix(1);
        if (rest.empty() || !g_ascii_isdigit(rest.front()))
            return std::nullopt;
        while (!rest.empty() && g_ascii_isdigit(rest.front()))
            rest.remove_prefix(1);
    }
    if (rest != "Z" || month < 1 || month > 12 || day < 1 || day > 31 || hour < 0 || hour > 23 || minute < 0
        || minute > 59 || second < 0 || second > 60 || year < -1000000000LL || year > 1000000000LL)
        return std::nullopt;
    std::tm fields {};
    fields.tm_year = static_cast<int>(year - 1900);
    fields.tm_mon = month - 1;
    fields.tm_mday = day;
    fields.tm_hour = hour;
    fields.tm_min = minute;
    fields.tm_sec = second;
    const std::time_t time = timegm(&fields);
    return Date { static_cast<double>(static_cast<std::int64_t>(time) - referenceDate) };
}

Data dataFrom(std::string_view text)
{
    // GLib's decoder skips what is not Base64, as the earlier reader did.
    const std::string base64(trimmed(text));
    if (base64.empty())
        return {};
    gsize length = 0;
    const GBytePtr bytes(g_base64_decode(base64.c_str(), &length));
    return Data { std::string(reinterpret_cast<const char*>(bytes.get()), length) };
}

// ---- Reading XML ----

enum class Element { plist, dict, array, key, string, integer, real, trueValue, falseValue, date, data };

std::optional<Element> elementNamed(std::string_view name)
{
    static constexpr std::pair<std::string_view, Element> names[] = {
        { "plist", Element::plist },
        { "dict", Element::dict },
        { "array", Element::array },
        { "key", Element::key },
        { "string", Element::string },
        { "integer", Element::integer },
        { "real", Element::real },
        { "true", Element::trueValue },
        { "false", Element::falseValue },
        { "date", Element::date },
        { "data", Element::data },
    };
    for (const auto& [text, element] : names) {
        if (text == name)
            return element;
    }
    return std::nullopt;
}

bool holdsText(Element element) { return element != Element::plist && element != Element::dict && element != Element::array; }

// One open element: its text so far, or its children.
struct Open {
    Element element;
    std::string text;
    Value value; // an array's or a dictionary's children so far
    std::optional<std::string> key; // in a dictionary: the key waiting for its value
    bool hasRoot = false; // in the plist element
};

struct XMLReader {
    std::vector<Open> open;
    std::size_t containers = 0; // of the open elements, arrays and dictionaries
    std::optional<Value> root;
};

void fail(GError** error, const char* message)
{
    g_set_error_literal(error, G_MARKUP_ERROR, G_MARKUP_ERROR_INVALID_CONTENT, message);
}

// Hands a finished value to the element around it.
void place(XMLReader& reader, Value value, GError** error)
{
    if (reader.open.empty()) {
        reader.root = std::move(value);
        return;
    }
    Open& parent = reader.open.back();
    switch (parent.element) {
    case Element::plist:
        if (parent.hasRoot)
            return fail(error, "more than one value in <plist>");
        parent.hasRoot = true;
        reader.root = std::move(value);
        return;
    case Element::array:
        std::get<Array>(parent.value.content).items.push_back(std::move(value));
        return;
    case Element::dict:
        if (!parent.key)
            return fail(error, "a value without a key");
        // A key named again takes the new value in the old place, as the
        // earlier reader did.
        std::get<Dict>(parent.value.content).set(parent.key->c_str(), std::move(value));
        parent.key.reset();
        return;
    default:
        return fail(error, "an element inside a text element");
    }
}

void startElement(GMarkupParseContext*, const gchar* name, const gchar**, const gchar**, gpointer data, GError** error)
{
    auto& reader = *static_cast<XMLReader*>(data);
    const auto element = elementNamed(name);
    if (!element)
        return fail(error, "an element that is not part of a property list");
    if (reader.open.empty() && reader.root)
        return fail(error, "a second top-level element");
    if (reader.open.empty() && *element == Element::key)
        return fail(error, "a key outside a dictionary");
    if (!reader.open.empty()) {
        const Open& parent = reader.open.back();
        if (holdsText(parent.element))
            return fail(error, "an element inside a text element");
        if (*element == Element::plist)
            return fail(error, "<plist> inside a value");
        const bool wantsKey = parent.element == Element::dict && !parent.key;
        if (wantsKey != (*element == Element::key))
            return fail(error, *element == Element::key ? "a key outside a dictionary" : "a value without a key");
    }
    Open entry { *element, {}, {}, {}, false };
    if (*element == Element::dict || *element == Element::array) {
        // As deep as the binary reader goes, so that what one reads the
        // other reads once written.
        if (reader.containers == maxDepth)
            return fail(error, "nested too deeply");
        ++reader.containers;
        if (*element == Element::dict)
            entry.value.content = Dict {};
        else
            entry.value.content = Array {};
    }
    reader.open.push_back(std::move(entry));
}

void endElement(GMarkupParseContext*, const gchar*, gpointer data, GError** error)
{
    auto& reader = *static_cast<XMLReader*>(data);
    Open closed = std::move(reader.open.back());
    reader.open.pop_back();
    std::optional<Value> value;
    switch (closed.element) {
    case Element::plist:
        if (!closed.hasRoot)
            return fail(error, "an empty <plist>");
        return;
    case Element::key:
        reader.open.back().key = std::move(closed.text);
        return;
    case Element::dict:
        if (closed.key)
            return fail(error, "a key without a value");
        --reader.containers;
        value = std::move(closed.value);
        break;
    case Element::array:
        --reader.containers;
        value = std::move(closed.value);
        break;
    case Element::string:
        value = Value { std::move(closed.text) };
        break;
    case Element::trueValue:
    case Element::falseValue:
        if (!trimmed(closed.text).empty())
            return fail(error, "text in <true/> or <false/>");
        value = Value { closed.element == Element::trueValue };
        break;
    case Element::integer:
        if (const auto integer = integerFrom(closed.text))
            value = Value { *integer };
        break;
    case Element::real:
        if (const auto real = realFrom(closed.text))
            value = Value { *real };
        break;
    case Element::date:
        if (const auto date = dateFrom(closed.text))
            value = Value { *date };
        break;
    case Element::data:
        value = Value { dataFrom(closed.text) };
        break;
    }
    if (!value)
        return fail(error, "a number or date that cannot be read");
    place(reader, std::move(*value), error);
}

void text(GMarkupParseContext*, const gchar* text, gsize length, gpointer data, GError** error)
{
    auto& reader = *static_cast<XMLReader*>(data);
    const std::string_view piece(text, length);
    if (!reader.open.empty() && holdsText(reader.open.back().element)) {
        reader.open.back().text += piece;
        return;
    }
    if (!trimmed(piece).empty())
        fail(error, "text outside a text element");
}

std::optional<Value> parseXML(const std::string& bytes)
{
    // GMarkup refuses NUL bytes and invalid UTF-8 too; checking first keeps
    // that out of the parser's hands.
    if (!g_utf8_validate_len(bytes.data(), bytes.size(), nullptr))
        return std::nullopt;
    static constexpr GMarkupParser parser { startElement, endElement, text, nullptr, nullptr };
    XMLReader reader;
    // Comments, the declaration and the DOCTYPE line go unseen.
    const GMarkupParseContextPtr context(g_markup_parse_context_new(&parser, G_MARKUP_TREAT_CDATA_AS_TEXT, &reader, nullptr));
    GError* error = nullptr;
    const bool parsed = g_markup_parse_context_parse(context.get(), bytes.data(), static_cast<gssize>(bytes.size()), &error)
        && g_markup_parse_context_end_parse(context.get(), &error);
    const GErrorPtr owned(error);
    if (!parsed || !reader.open.empty())
        return std::nullopt;
    return std::move(reader.root);
}

// ---- Reading the binary form ----

// The binary form: "bplist00", the objects, a table of their offsets, and a
// 32-byte trailer that sizes the table and names the top object. Every count,
// offset and reference is checked before use, a reference back to an object
// being read is a cycle, and the objects' total is bounded.
class BinaryReader {
public:
    explicit BinaryReader(std::string_view bytes) : bytes_(bytes) {}

    std::optional<Value> read()
    {
        constexpr std::size_t headerSize = 8;
        constexpr std::size_t trailerSize = 32;
        if (bytes_.size() < headerSize + trailerSize || bytes_.substr(0, headerSize) != "bplist00")
            return std::nullopt;
        const std::size_t trailer = bytes_.size() - trailerSize;
        offsetSize_ = static_cast<unsigned char>(bytes_[trailer + 6]);
        referenceSize_ = static_cast<unsigned char>(bytes_[trailer + 7]);
        if (offsetSize_ < 1 || offsetSize_ > 8 || referenceSize_ < 1 || referenceSize_ > 8)
            return std::nullopt;
        objectCount_ = number(trailer + 8, 8);
        const std::uint64_t top = number(trailer + 16, 8);
        const std::uint64_t table = number(trailer + 24, 8);
        if (table < headerSize || table >= trailer || objectCount_ == 0 || top >= objectCount_
            || objectCount_ > (trailer - table) / offsetSize_)
            return std::nullopt;
        table_ = static_cast<std::size_t>(table);
        reading_.assign(static_cast<std::size_t>(objectCount_), false);
        return object(top, 0);
    }

private:
    // A big-endian unsigned number of 1 to 8 bytes; the caller has checked
    // that they are there.
    std::uint64_t number(std::size_t at, std::size_t size) const
    {
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < size; ++i)
            value = value << 8 | static_cast<unsigned char>(bytes_[at + i]);
        return value;
    }

    // Whether `size` bytes from `at` lie among the objects, before the table.
    bool fits(std::size_t at, std::uint64_t size) const { return at <= table_ && size <= table_ - at; }

    // The object with this index, read at `depth`.
    std::optional<Value> object(std::uint64_t index, std::size_t depth)
    {
        if (index >= objectCount_ || depth >= maxDepth || reading_[static_cast<std::size_t>(index)] || ++values_ > bytes_.size())
            return std::nullopt;
        const std::uint64_t at = number(table_ + static_cast<std::size_t>(index) * offsetSize_, offsetSize_);
        if (at < 8 || at >= table_)
            return std::nullopt;
        reading_[static_cast<std::size_t>(index)] = true;
        auto value = objectAt(static_cast<std::size_t>(at), depth);
        reading_[static_cast<std::size_t>(index)] = false;
        return value;
    }

    std::optional<Value> objectAt(std::size_t at, std::size_t depth)
    {
        const auto marker = static_cast<unsigned char>(bytes_[at]);
        const unsigned kind = marker >> 4;
        const unsigned info = marker & 0x0F;
        std::size_t start = at + 1;
        switch (kind) {
        case 0x0:
            if (marker == 0x08 || marker == 0x09)
                return Value { marker == 0x09 };
            return std::nullopt; // null and fill stand for nothing a dictionary keeps
        case 0x1:
            return integerAt(start, info);
        case 0x2:
            return realAt(start, info);
        case 0x3:
            if (marker != 0x33 || !fits(start, 8))
                return std::nullopt;
            return Value { Date { doubleAt(start) } };
        case 0x8: // a keyed archive's reference, written as XML writes one
            if (info >= 8 || !fits(start, info + 1))
                return std::nullopt;
            {
                const std::uint64_t uid = number(start, info + 1);
                Dict reference;
                reference.entries.push_back(
                    Entry { "CF$UID", Value { Integer { uid, uid > static_cast<std::uint64_t>(INT64_MAX) } } });
                return Value { std::move(reference) };
            }
        default:
            break;
        }
        const auto count = countAt(start, info);
        if (!count)
            return std::nullopt;
        switch (kind) {
        case 0x4:
        case 0x5:
            if (!fits(start, *count) || !spend(*count))
                return std::nullopt;
            if (kind == 0x4)
                return Value { Data { std::string(bytes_.substr(start, static_cast<std::size_t>(*count))) } };
            return asciiAt(start, static_cast<std::size_t>(*count));
        case 0x6:
            if (*count > table_ / 2 || !fits(start, *count * 2) || !spend(*count * 3))
                return std::nullopt;
            return utf16At(start, static_cast<std::size_t>(*count));
        case 0xA:
        case 0xC: // a set is read as the array it is written as
            return arrayAt(start, *count, depth);
        case 0xD:
            return dictAt(start, *count, depth);
        default:
            return std::nullopt;
        }
    }

    // The length of a data, string or container object: the marker's low
    // four bits, or an integer object after it when they are all set.
    std::optional<std::uint64_t> countAt(std::size_t& start, unsigned info) const
    {
        if (info != 0x0F)
            return info;
        if (!fits(start, 1))
            return std::nullopt;
        const auto marker = static_cast<unsigned char>(bytes_[start]);
        const std::size_t size = std::size_t { 1 } << (marker & 0x0F);
        if (marker >> 4 != 0x1 || size > 8 || !fits(start + 1, size))
            return std::nullopt;
        const std::uint64_t count = number(start + 1, size);
        start += 1 + size;
        return count;
    }

    std::optional<Value> integerAt(std::size_t start, unsigned info) const
    {
        if (info > 4)
            return std::nullopt;
        const std::size_t size = std::size_t { 1 } << info;
        if (!fits(start, size))
            return std::nullopt;
        if (size < 8) // one to four bytes are unsigned
            return Value { Integer { number(start, size), false } };
        if (size == 8)
            return Value { Integer { number(start, 8), false } };
        // Sixteen bytes hold a signed 128-bit value; only what fits in 64
        // bits, signed or not, is a value we can keep.
        const std::uint64_t high = number(start, 8);
        const std::uint64_t low = number(start + 8, 8);
        const bool topBit = low >> 63 != 0;
        if (high == 0)
            return Value { Integer { low, topBit } };
        if (high == ~std::uint64_t { 0 } && topBit)
            return Value { Integer { low, false } };
        return std::nullopt;
    }

    double doubleAt(std::size_t start) const
    {
        const std::uint64_t bits = number(start, 8);
        double value = 0;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }

    std::optional<Value> realAt(std::size_t start, unsigned info) const
    {
        if (info == 2 && fits(start, 4)) {
            const auto bits = static_cast<std::uint32_t>(number(start, 4));
            float value = 0;
            std::memcpy(&value, &bits, sizeof value);
            return Value { Real { value } };
        }
        if (info == 3 && fits(start, 8))
            return Value { Real { doubleAt(start) } };
        return std::nullopt;
    }

    // ASCII: a NUL or a byte above 127 is damage.
    std::optional<Value> asciiAt(std::size_t start, std::size_t count) const
    {
        const std::string_view text = bytes_.substr(start, count);
        for (const char c : text) {
            if (c == '\0' || static_cast<unsigned char>(c) > 0x7F)
                return std::nullopt;
        }
        return Value { std::string(text) };
    }

    // UTF-16, big-endian: U+0000 and unpaired surrogates are damage.
    std::optional<Value> utf16At(std::size_t start, std::size_t count) const
    {
        if (count == 0)
            return Value { std::string() };
        std::vector<gunichar2> units(count);
        for (std::size_t i = 0; i < count; ++i) {
            units[i] = static_cast<gunichar2>(number(start + 2 * i, 2));
            if (units[i] == 0)
                return std::nullopt;
        }
        glong length = 0;
        const GCharPtr text(g_utf16_to_utf8(units.data(), static_cast<glong>(count), nullptr, &length, nullptr));
        if (!text)
            return std::nullopt;
        return Value { std::string(text.get(), static_cast<std::size_t>(length)) };
    }

    std::optional<std::uint64_t> referenceAt(std::size_t at) const
    {
        if (!fits(at, referenceSize_))
            return std::nullopt;
        return number(at, referenceSize_);
    }

    std::optional<Value> arrayAt(std::size_t start, std::uint64_t count, std::size_t depth)
    {
        if (count > table_ / referenceSize_ || !fits(start, count * referenceSize_))
            return std::nullopt;
        Array array;
        array.items.reserve(static_cast<std::size_t>(count));
        for (std::uint64_t i = 0; i < count; ++i) {
            auto item = object(number(start + static_cast<std::size_t>(i) * referenceSize_, referenceSize_), depth + 1);
            if (!item)
                return std::nullopt;
            array.items.push_back(std::move(*item));
        }
        return Value { std::move(array) };
    }

    std::optional<Value> dictAt(std::size_t start, std::uint64_t count, std::size_t depth)
    {
        if (count > table_ / referenceSize_ / 2 || !fits(start, count * 2 * referenceSize_))
            return std::nullopt;
        Dict dict;
        dict.entries.reserve(static_cast<std::size_t>(count));
        const std::size_t values = start + static_cast<std::size_t>(count) * referenceSize_;
        for (std::size_t i = 0; i < count; ++i) {
            auto key = object(number(start + i * referenceSize_, referenceSize_), depth + 1);
            if (!key || !std::holds_alternative<std::string>(key->content))
                return std::nullopt;
            auto value = object(number(values + i * referenceSize_, referenceSize_), depth + 1);
            if (!value)
                return std::nullopt;
            // Kept in order and twice if named twice; see Dict.
            dict.entries.push_back(Entry { std::move(std::get<std::string>(key->content)), std::move(*value) });
        }
        return Value { std::move(dict) };
    }

    bool spend(std::uint64_t bytes)
    {
        if (bytes > maxBytes - bytesSpent_)
            return false;
        bytesSpent_ += static_cast<std::size_t>(bytes);
        return true;
    }

    std::string_view bytes_;
    std::size_t offsetSize_ = 0;
    std::size_t referenceSize_ = 0;
    std::uint64_t objectCount_ = 0;
    std::size_t table_ = 0;
    std::vector<bool> reading_; // the objects being read, to find cycles
    std::size_t values_ = 0;
    std::size_t bytesSpent_ = 0;
};

// ---- Writing XML, in the layout earlier versions wrote ----

constexpr std::string_view prolog = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                                    "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                                    "<plist version=\"1.0\">\n";
constexpr std::string_view epilog = "</plist>\n";

// g_markup_escape_text() is not used: it leaves a carriage return as it is,
// which every XML reader (GMarkup too) then reads as a line feed, and it
// rewrites quotes and control characters that earlier versions wrote as they
// were. Only what XML requires is escaped, and CR so that it comes back.
void appendEscaped(std::string& out, const std::string& text)
{
    // The readers only give valid UTF-8; a value set from elsewhere may not be.
    GCharPtr valid;
    std::string_view source = text;
    if (!g_utf8_validate_len(text.data(), text.size(), nullptr)) {
        valid.reset(g_utf8_make_valid(text.data(), static_cast<gssize>(text.size())));
        source = valid.get();
    }
    for (const char c : source) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '\r':
            out += "&#13;";
            break;
        default:
            out += c;
        }
    }
}

std::string realText(double value)
{
    if (std::isnan(value))
        return "nan";
    if (std::isinf(value))
        return value > 0 ? "+infinity" : "-infinity";
    if (value == 0)
        return "0.0";
    char text[G_ASCII_DTOSTR_BUF_SIZE];
    return g_ascii_formatd(text, sizeof text, "%.17g", value);
}

// Whole seconds, cut towards zero; empty when the date has no such form.
std::string dateText(double seconds)
{
    if (!std::isfinite(seconds) || std::fabs(seconds) > 1e17)
        return {};
    const std::time_t time = static_cast<std::time_t>(std::trunc(seconds)) + referenceDate;
    std::tm fields {};
    char text[24];
    if (!gmtime_r(&time, &fields))
        return {};
    const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &fields);
    return std::string(text, length);
}

void writeValue(std::string& out, const Value& value, std::size_t depth);

void writeTag(std::string& out, std::size_t depth, std::string_view tag, std::string_view content)
{
    out.append(depth, '\t');
    out += '<';
    out += tag;
    out += '>';
    out += content;
    out += "</";
    out += tag;
    out += ">\n";
}

void writeEmpty(std::string& out, std::size_t depth, std::string_view tag)
{
    out.append(depth, '\t');
    out += '<';
    out += tag;
    out += "/>\n";
}

void writeData(std::string& out, const Data& data, std::size_t depth)
{
    out.append(depth, '\t');
    out += "<data>\n";
    // Lines of whole groups of three bytes, fewer the deeper the element,
    // indented up to eight tabs.
    const std::size_t indent = std::min<std::size_t>(depth, 8);
    const std::size_t perLine = ((76 - indent * 8) / 4) * 3;
    for (std::size_t at = 0; at < data.bytes.size(); at += perLine) {
        const std::size_t length = std::min(perLine, data.bytes.size() - at);
        const GCharPtr line(g_base64_encode(reinterpret_cast<const guchar*>(data.bytes.data() + at), length));
        out.append(indent, '\t');
        out += line.get();
        out += '\n';
    }
    out.append(depth, '\t');
    out += "</data>\n";
}

void writeDict(std::string& out, const Dict& dict, std::size_t depth)
{
    if (dict.entries.empty())
        return writeEmpty(out, depth, "dict");
    out.append(depth, '\t');
    out += "<dict>\n";
    for (const auto& [key, value] : dict.entries) {
        std::string escaped;
        appendEscaped(escaped, key);
        writeTag(out, depth + 1, "key", escaped);
        writeValue(out, value, depth + 1);
    }
    out.append(depth, '\t');
    out += "</dict>\n";
}

void writeValue(std::string& out, const Value& value, std::size_t depth)
{
    if (const auto* text = std::get_if<std::string>(&value.content)) {
        std::string escaped;
        appendEscaped(escaped, *text);
        writeTag(out, depth, "string", escaped);
    } else if (const auto* integer = std::get_if<Integer>(&value.content)) {
        writeTag(out, depth, "integer",
            integer->isUnsigned ? std::to_string(integer->bits) : std::to_string(static_cast<std::int64_t>(integer->bits)));
    } else if (const auto* real = std::get_if<Real>(&value.content)) {
        writeTag(out, depth, "real", realText(real->value));
    } else if (const auto* boolean = std::get_if<bool>(&value.content)) {
        writeEmpty(out, depth, *boolean ? "true" : "false");
    } else if (const auto* date = std::get_if<Date>(&value.content)) {
        const std::string text = dateText(date->seconds);
        if (text.empty())
            writeEmpty(out, depth, "date");
        else
            writeTag(out, depth, "date", text);
    } else if (const auto* data = std::get_if<Data>(&value.content)) {
        writeData(out, *data, depth);
    } else if (const auto* array = std::get_if<Array>(&value.content)) {
        if (array->items.empty())
            return writeEmpty(out, depth, "array");
        out.append(depth, '\t');
        out += "<array>\n";
        for (const Value& item : array->items)
            writeValue(out, item, depth + 1);
        out.append(depth, '\t');
        out += "</array>\n";
    } else {
        writeDict(out, std::get<Dict>(value.content), depth);
    }
}

} // namespace

struct PropertyList::Dictionary {
    Dict dict;
};

PropertyList::PropertyList() : root_(std::make_unique<Dictionary>()) {}

PropertyList::PropertyList(std::unique_ptr<Dictionary> root) : root_(std::move(root)) {}

PropertyList::~PropertyList() = default;

PropertyList::PropertyList(PropertyList&&) noexcept = default;

PropertyList& PropertyList::operator=(PropertyList&&) noexcept = default;

std::optional<PropertyList> PropertyList::parse(const std::string& bytes)
{
    if (bytes.empty() || bytes.size() > maxFileSize)
        return std::nullopt;
    // Anything else that starts "bplist" is a version we do not know, and
    // not XML either.
    std::optional<Value> root = bytes.starts_with("bplist00") ? BinaryReader(bytes).read() : parseXML(bytes);
    if (!root || !std::holds_alternative<Dict>(root->content))
        return std::nullopt;
    auto dictionary = std::make_unique<Dictionary>();
    dictionary->dict = std::move(std::get<Dict>(root->content));
    return PropertyList(std::move(dictionary));
}

std::optional<PropertyList> PropertyList::load(const std::filesystem::path& file)
{
    std::error_code ec;
    const auto size = std::filesystem::file_size(file, ec);
    if (ec || size > maxFileSize)
        return std::nullopt;
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return parse(bytes.str());
}

// Keys and strings are taken up to a NUL, as C strings, as they always were.

std::optional<std::string> PropertyList::string(const std::string& key) const
{
    const Value* value = root_->dict.find(key.c_str());
    if (!value || !std::holds_alternative<std::string>(value->content))
        return std::nullopt;
    return std::get<std::string>(value->content);
}

std::optional<std::int64_t> PropertyList::integer(const std::string& key) const
{
    const Value* value = root_->dict.find(key.c_str());
    if (!value || !std::holds_alternative<Integer>(value->content))
        return std::nullopt;
    // A value above INT64_MAX comes back as its two's complement.
    return static_cast<std::int64_t>(std::get<Integer>(value->content).bits);
}

std::optional<bool> PropertyList::boolean(const std::string& key) const
{
    const Value* value = root_->dict.find(key.c_str());
    if (!value || !std::holds_alternative<bool>(value->content))
        return std::nullopt;
    return std::get<bool>(value->content);
}

std::map<std::string, std::string> PropertyList::strings() const
{
    std::map<std::string, std::string> result;
    // Only the first entry of a key named twice counts, whatever its type, as
    // for a lookup of that key by string().
    std::set<std::string_view> seen;
    for (const auto& [key, value] : root_->dict.entries) {
        if (seen.insert(key).second && std::holds_alternative<std::string>(value.content))
            result.emplace(key, std::get<std::string>(value.content));
    }
    return result;
}

void PropertyList::setString(const std::string& key, const std::string& value)
{
    root_->dict.set(key.c_str(), Value { std::string(value.c_str()) });
}

void PropertyList::setInteger(const std::string& key, std::int64_t value)
{
    root_->dict.set(key.c_str(), Value { Integer { static_cast<std::uint64_t>(value), false } });
}

void PropertyList::setBoolean(const std::string& key, bool value)
{
    root_->dict.set(key.c_str(), Value { value });
}

std::string PropertyList::toXML() const
{
    std::string out(prolog);
    writeDict(out, root_->dict, 0);
    out += epilog;
    return out;
}

bool PropertyList::save(const std::filesystem::path& file) const
{
    std::error_code ec;
    std::filesystem::create_directories(file.parent_path(), ec);
    const std::filesystem::path temporary = file.string() + ".tmp-" + std::to_string(getpid());
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << toXML();
        out.flush();
        if (!out) {
            std::filesystem::remove(temporary, ec);
            return false;
        }
    }
    std::filesystem::rename(temporary, file, ec);
    if (ec) {
        std::filesystem::remove(temporary, ec);
        return false;
    }
    return true;
}

} // namespace sv::platform
