// The JSON value tree, its strict reader and its writer.
#include "streams/Json.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <unordered_set>
#include <version>

namespace vt {

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// The length of the well-formed UTF-8 sequence at the start of S (1 to 4), or 0: overlong
// forms, encoded surrogates, code points beyond U+10FFFF, stray continuation bytes and
// truncated sequences are not well-formed.
size_t Utf8Length(std::string_view s) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char b0 = byte(0);
    if (b0 < 0x80)
        return 1;
    size_t n;
    unsigned char low = 0x80; // the range of the second byte, which rules out the bad forms
    unsigned char high = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        n = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        n = 3;
        if (b0 == 0xE0)
            low = 0xA0;
        else if (b0 == 0xED)
            high = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        n = 4;
        if (b0 == 0xF0)
            low = 0x90;
        else if (b0 == 0xF4)
            high = 0x8F;
    } else {
        return 0;
    }
    if (s.size() < n || byte(1) < low || byte(1) > high)
        return 0;
    for (size_t i = 2; i < n; ++i)
        if (byte(i) < 0x80 || byte(i) > 0xBF)
            return 0;
    return n;
}

void AppendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

const char HexDigits[] = "0123456789ABCDEF";

void AppendControlEscape(std::string& out, unsigned char c) {
    out += "\\u00";
    out += HexDigits[c >> 4];
    out += HexDigits[c & 0xF];
}

// Appends S quoted and escaped; returns false, with OUT partly written, at the first byte
// that does not begin a well-formed UTF-8 sequence. Lenient copies such bytes instead.
bool AppendQuoted(std::string& out, std::string_view s, bool lenient = false) {
    out += '"';
    for (size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            AppendControlEscape(out, c);
        } else if (c >= 0x80) {
            size_t n = Utf8Length(s.substr(i));
            if (n == 0) {
                if (!lenient)
                    return false;
                n = 1;
            }
            out.append(s, i, n);
            i += n;
            continue;
        } else {
            out += static_cast<char>(c);
        }
        ++i;
    }
    out += '"';
    return true;
}

// Key paths: simple keys join with '.', others appear as ["key"], indexes as [i].
std::string KeyPath(const std::string& path, std::string_view key) {
    bool simple = !key.empty();
    for (const char c : key)
        simple = simple && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || IsDigit(c) ||
                            c == '_' || c == '-');
    std::string result = path;
    if (simple) {
        if (!result.empty())
            result += '.';
        result += key;
    } else {
        result += '[';
        AppendQuoted(result, key, /*lenient=*/true);
        result += ']';
    }
    return result;
}

std::string IndexPath(const std::string& path, size_t index) {
    return path + '[' + std::to_string(index) + ']';
}

// A number's text for a message, shortened when long.
std::string Excerpt(std::string_view text) {
    return text.size() <= 40 ? std::string(text) : std::string(text.substr(0, 37)) + "...";
}

// How messages name a value: by its path, or as the document itself.
std::string Naming(const std::string& path) {
    return path.empty() ? std::string("the document") : '"' + path + '"';
}

const char* KindName(TJsonKind kind) {
    switch (kind) {
    case TJsonKind::Null:
        return "null";
    case TJsonKind::Bool:
        return "a boolean";
    case TJsonKind::Number:
        return "a number";
    case TJsonKind::String:
        return "a string";
    case TJsonKind::Array:
        return "an array";
    case TJsonKind::Object:
        return "an object";
    }
    return "?";
}

// ---- numbers ---------------------------------------------------------------------------

// Scans a number in JSON syntax from S[Pos]. Returns its end, or sets Error (with ErrorPos)
// to what is wrong.
size_t ScanNumber(std::string_view s, size_t pos, const char*& error, size_t& errorPos) {
    const auto digitAt = [&](size_t i) { return i < s.size() && IsDigit(s[i]); };
    const size_t start = pos;
    error = nullptr;
    if (pos < s.size() && s[pos] == '-')
        ++pos;
    if (!digitAt(pos)) {
        error = "expected a digit after '-'";
        errorPos = pos;
        return pos;
    }
    if (s[pos] == '0' && digitAt(pos + 1)) {
        error = "leading zeros are not allowed in numbers";
        errorPos = start;
        return pos;
    }
    while (digitAt(pos))
        ++pos;
    if (pos < s.size() && s[pos] == '.') {
        ++pos;
        if (!digitAt(pos)) {
            error = "expected a digit after the decimal point";
            errorPos = pos;
            return pos;
        }
        while (digitAt(pos))
            ++pos;
    }
    if (pos < s.size() && (s[pos] == 'e' || s[pos] == 'E')) {
        ++pos;
        if (pos < s.size() && (s[pos] == '+' || s[pos] == '-'))
            ++pos;
        if (!digitAt(pos)) {
            error = "expected a digit in the exponent";
            errorPos = pos;
            return pos;
        }
        while (digitAt(pos))
            ++pos;
    }
    return pos;
}

// A number's text taken apart: the digits before and after the point and the exponent
// (saturated far beyond any digit count that matters).
struct TDecimal {
    bool Negative = false;
    std::string_view Whole;
    std::string_view Fraction;
    int64_t Exponent = 0;
};

TDecimal Decompose(std::string_view text) {
    TDecimal d;
    size_t i = 0;
    d.Negative = !text.empty() && text[0] == '-';
    if (d.Negative)
        ++i;
    const size_t wholeStart = i;
    while (i < text.size() && IsDigit(text[i]))
        ++i;
    d.Whole = text.substr(wholeStart, i - wholeStart);
    if (i < text.size() && text[i] == '.') {
        const size_t fractionStart = ++i;
        while (i < text.size() && IsDigit(text[i]))
            ++i;
        d.Fraction = text.substr(fractionStart, i - fractionStart);
    }
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        const bool negative = text[i] == '-';
        if (text[i] == '-' || text[i] == '+')
            ++i;
        for (; i < text.size(); ++i)
            if (d.Exponent < 1000000000000)
                d.Exponent = d.Exponent * 10 + (text[i] - '0');
        if (negative)
            d.Exponent = -d.Exponent;
    }
    return d;
}

// The correctly rounded double of a number's text (checked JSON syntax), without regard to
// the C locale. False when the value lies beyond the double range; a value too small for the
// smallest subnormal becomes zero of its sign.
bool ToDouble(std::string_view text, double& value) {
#if defined(__cpp_lib_to_chars)
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    (void)end;
    if (ec == std::errc())
        return true;
#else
    // A standard library without the floating-point conversions (the WebAssembly build's, whose
    // only locale is "C"): strtod, correctly rounded there too.
    const std::string copy(text);
    errno = 0;
    value = std::strtod(copy.c_str(), nullptr);
    if (errno != ERANGE)
        return true;
#endif
    // Out of range: overflow when the leading significant digit stands left of the point.
    const TDecimal d = Decompose(text);
    int64_t lead = 0; // the power of ten of the leading non-zero digit, before the exponent
    const size_t w = d.Whole.find_first_not_of('0');
    if (w != std::string_view::npos) {
        lead = static_cast<int64_t>(d.Whole.size() - w) - 1;
    } else {
        const size_t f = d.Fraction.find_first_not_of('0');
        lead = f == std::string_view::npos ? 0 : -static_cast<int64_t>(f) - 1;
    }
    if (lead + d.Exponent >= 0)
        return false;
    value = d.Negative ? -0.0 : 0.0;
    return true;
}

// The text the writer gives a finite double: the shortest of 15, 16 and 17 significant
// digits that reads back to the same bits, in printf's %g form.
std::string DoubleText(double d) {
    char buffer[40];
    for (const int precision : {15, 16, 17}) {
#if defined(__cpp_lib_to_chars)
        const auto written =
            std::to_chars(buffer, buffer + sizeof buffer, d, std::chars_format::general, precision);
        const std::string_view text(buffer, static_cast<size_t>(written.ptr - buffer));
#else
        const int length = std::snprintf(buffer, sizeof buffer, "%.*g", precision, d);
        const std::string_view text(buffer, static_cast<size_t>(length));
#endif
        double back = 0;
        if (precision == 17 || (ToDouble(text, back) && back == d))
            return std::string(text);
    }
    return {};
}

} // namespace

// ---- the value -------------------------------------------------------------------------

TJsonValue::TJsonValue(double d) : FKind(TJsonKind::Number), FFromDouble(true), FNumber(d) {
    if (std::isfinite(d))
        FText = DoubleText(d);
}

void TJsonValue::SetInteger(int64_t n) {
    FKind = TJsonKind::Number;
    FNumber = static_cast<double>(n);
    FText = std::to_string(n);
}

void TJsonValue::SetUnsigned(uint64_t n) {
    FKind = TJsonKind::Number;
    FNumber = static_cast<double>(n);
    FText = std::to_string(n);
}

TJsonValue TJsonValue::Number(std::string_view text) {
    const char* error;
    size_t errorPos;
    const size_t end = ScanNumber(text, 0, error, errorPos);
    if (error != nullptr || end != text.size())
        throw EJsonError('"' + Excerpt(text) + "\" is not a JSON number");
    TJsonValue value(TJsonKind::Number);
    if (!ToDouble(text, value.FNumber))
        throw EJsonError("number " + Excerpt(text) + " is beyond the double range");
    value.FText = text;
    return value;
}

void TJsonValue::Expect(TJsonKind kind) const {
    if (FKind != kind)
        throw EJsonError(Naming(FPath) + " is " + KindName(FKind) + ", expected " + KindName(kind));
}

bool TJsonValue::AsBool() const {
    Expect(TJsonKind::Bool);
    return FBool;
}

double TJsonValue::AsDouble() const {
    Expect(TJsonKind::Number);
    return FNumber;
}

int64_t TJsonValue::AsInt64() const {
    Expect(TJsonKind::Number);
    const auto fraction = [&] {
        return EJsonError(Naming(FPath) + " is not an integer: " + Excerpt(NumberText()));
    };
    const auto range = [&] {
        return EJsonError(Naming(FPath) +
                          " is outside the 64-bit integer range: " + Excerpt(NumberText()));
    };
    if (FFromDouble) {
        if (std::trunc(FNumber) != FNumber)
            throw fraction();
        if (!(FNumber >= -9223372036854775808.0 && FNumber < 9223372036854775808.0))
            throw range();
        return static_cast<int64_t>(FNumber);
    }
    // Exactly from the text: the digits left of the point once the exponent has moved it
    // must make the integer, and every digit right of it must be zero.
    const TDecimal d = Decompose(FText);
    const std::string digits = std::string(d.Whole) + std::string(d.Fraction);
    const int64_t point = static_cast<int64_t>(d.Whole.size()) + d.Exponent;
    const int64_t count = static_cast<int64_t>(digits.size());
    for (int64_t i = point < 0 ? 0 : point; i < count; ++i)
        if (digits[static_cast<size_t>(i)] != '0')
            throw fraction();
    if (digits.find_first_not_of('0') == std::string::npos)
        return 0;
    const uint64_t limit = d.Negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
    uint64_t magnitude = 0;
    for (int64_t i = 0; i < point; ++i) {
        const auto digit =
            static_cast<uint64_t>(i < count ? digits[static_cast<size_t>(i)] - '0' : 0);
        if (magnitude > (limit - digit) / 10)
            throw range();
        magnitude = magnitude * 10 + digit;
    }
    return d.Negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
}

const std::string& TJsonValue::NumberText() const {
    Expect(TJsonKind::Number);
    if (FText.empty())
        throw EJsonError(Naming(FPath) + " is not a finite number");
    return FText;
}

const std::string& TJsonValue::AsString() const {
    Expect(TJsonKind::String);
    return FText;
}

const std::vector<TJsonValue>& TJsonValue::AsArray() const {
    Expect(TJsonKind::Array);
    return FItems;
}

const std::vector<TJsonMember>& TJsonValue::AsObject() const {
    Expect(TJsonKind::Object);
    return FMembers;
}

size_t TJsonValue::Size() const {
    if (FKind == TJsonKind::Object)
        return FMembers.size();
    Expect(TJsonKind::Array);
    return FItems.size();
}

const TJsonValue& TJsonValue::At(size_t index) const {
    Expect(TJsonKind::Array);
    if (index >= FItems.size())
        throw EJsonError("index " + std::to_string(index) + " is out of bounds for " +
                         Naming(FPath) + " (" + std::to_string(FItems.size()) + " elements)");
    return FItems[index];
}

const TJsonValue* TJsonValue::Find(std::string_view key) const {
    Expect(TJsonKind::Object);
    for (const TJsonMember& member : FMembers)
        if (member.Key == key)
            return &member.Value;
    return nullptr;
}

const TJsonValue& TJsonValue::At(std::string_view key) const {
    const TJsonValue* value = Find(key);
    if (value == nullptr)
        throw EJsonError("missing key \"" + KeyPath(FPath, key) + '"');
    return *value;
}

void TJsonValue::SetPath(std::string path) {
    for (size_t i = 0; i < FItems.size(); ++i)
        FItems[i].SetPath(IndexPath(path, i));
    for (TJsonMember& member : FMembers)
        member.Value.SetPath(KeyPath(path, member.Key));
    FPath = std::move(path);
}

TJsonValue& TJsonValue::Push(TJsonValue value) {
    Expect(TJsonKind::Array);
    value.SetPath(IndexPath(FPath, FItems.size()));
    FItems.push_back(std::move(value));
    return FItems.back();
}

TJsonValue& TJsonValue::Set(std::string_view key, TJsonValue value) {
    Expect(TJsonKind::Object);
    value.SetPath(KeyPath(FPath, key));
    for (TJsonMember& member : FMembers) {
        if (member.Key == key) {
            member.Value = std::move(value);
            return member.Value;
        }
    }
    FMembers.push_back({std::string(key), std::move(value)});
    return FMembers.back().Value;
}

// ---- reading ---------------------------------------------------------------------------

class TJsonParser {
public:
    TJsonParser(std::string_view text, int maxDepth) : Text(text), MaxDepth(maxDepth) {}

    TJsonValue Document() {
        if (Text.substr(0, 3) == "\xEF\xBB\xBF")
            Pos = 3;
        SkipWhitespace();
        TJsonValue value = Value(1, std::string());
        SkipWhitespace();
        if (Pos < Text.size())
            Fail(Pos, "unexpected " + Found(Pos) + " after the document");
        return value;
    }

private:
    [[noreturn]] void Fail(size_t pos, const std::string& what) const {
        // Lines count line feeds; columns count characters (UTF-8 lead bytes), both from 1.
        size_t line = 1;
        size_t column = 1;
        for (size_t i = 0; i < pos && i < Text.size(); ++i) {
            const auto c = static_cast<unsigned char>(Text[i]);
            if (c == '\n') {
                ++line;
                column = 1;
            } else if ((c & 0xC0) != 0x80) {
                ++column;
            }
        }
        throw EJsonError("JSON error at line " + std::to_string(line) + ", column " +
                         std::to_string(column) + ": " + what);
    }

    // Describes the character at Pos for a message.
    std::string Found(size_t pos) const {
        if (pos >= Text.size())
            return "end of the document";
        const auto c = static_cast<unsigned char>(Text[pos]);
        if (c < 0x20 || c == 0x7F) {
            std::string code = "control character U+00";
            code += HexDigits[c >> 4];
            code += HexDigits[c & 0xF];
            return code;
        }
        const size_t n = Utf8Length(Text.substr(pos));
        if (n == 0) {
            std::string byte = "byte 0x";
            byte += HexDigits[c >> 4];
            byte += HexDigits[c & 0xF];
            return byte;
        }
        return "'" + std::string(Text.substr(pos, n)) + "'";
    }

    [[noreturn]] void Expected(const char* what) const {
        Fail(Pos, std::string("expected ") + what + ", found " + Found(Pos));
    }

    bool At(char c) const { return Pos < Text.size() && Text[Pos] == c; }

    void SkipWhitespace() {
        while (Pos < Text.size() &&
               (Text[Pos] == ' ' || Text[Pos] == '\t' || Text[Pos] == '\n' || Text[Pos] == '\r'))
            ++Pos;
        if (At('/') && Pos + 1 < Text.size() && (Text[Pos + 1] == '/' || Text[Pos + 1] == '*'))
            Fail(Pos, "comments are not allowed");
    }

    TJsonValue Value(int depth, std::string path) {
        if (Pos >= Text.size())
            Expected("a value");
        const char c = Text[Pos];
        TJsonValue value;
        if (c == '{' || c == '[') {
            if (depth > MaxDepth)
                Fail(Pos,
                     "arrays and objects nest deeper than " + std::to_string(MaxDepth) + " levels");
            value = c == '{' ? Object(depth, path) : Array(depth, path);
        } else if (c == '"') {
            value = TJsonValue(TJsonKind::String);
            String(value.FText);
        } else if (c == '-' || IsDigit(c)) {
            value = Number();
        } else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) {
            value = Literal();
        } else {
            Expected("a value");
        }
        value.FPath = std::move(path);
        return value;
    }

    TJsonValue Literal() {
        size_t end = Pos;
        while (end < Text.size() && ((Text[end] >= 'a' && Text[end] <= 'z') ||
                                     (Text[end] >= 'A' && Text[end] <= 'Z') || IsDigit(Text[end])))
            ++end;
        const std::string_view word = Text.substr(Pos, end - Pos);
        TJsonValue value;
        if (word == "true" || word == "false") {
            value = TJsonValue(word == "true");
        } else if (word == "NaN" || word == "Infinity") {
            Fail(Pos, "NaN and Infinity are not JSON numbers");
        } else if (word != "null") {
            Fail(Pos, "unknown literal \"" + std::string(word) + "\"");
        }
        Pos = end;
        return value;
    }

    TJsonValue Number() {
        if (Text.substr(Pos, 9) == "-Infinity")
            Fail(Pos, "NaN and Infinity are not JSON numbers");
        const char* error;
        size_t errorPos;
        const size_t end = ScanNumber(Text, Pos, error, errorPos);
        if (error != nullptr)
            Fail(errorPos, error);
        TJsonValue value(TJsonKind::Number);
        value.FText = Text.substr(Pos, end - Pos);
        if (!ToDouble(value.FText, value.FNumber))
            Fail(Pos, "number " + Excerpt(value.FText) + " is beyond the double range");
        Pos = end;
        return value;
    }

    uint32_t Hex4(size_t escape) {
        if (Text.size() - Pos < 4)
            Fail(escape, "expected four hex digits after \\u");
        uint32_t code = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = Text[Pos++];
            uint32_t digit;
            if (IsDigit(c))
                digit = static_cast<uint32_t>(c - '0');
            else if (c >= 'a' && c <= 'f')
                digit = static_cast<uint32_t>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F')
                digit = static_cast<uint32_t>(c - 'A' + 10);
            else
                Fail(escape, "expected four hex digits after \\u");
            code = code * 16 + digit;
        }
        return code;
    }

    // Reads the string at Pos (its opening quote) into Out, unescaped, as UTF-8.
    void String(std::string& out) {
        const size_t start = Pos++;
        for (;;) {
            size_t run = Pos;
            while (run < Text.size() && Text[run] != '"' && Text[run] != '\\' &&
                   static_cast<unsigned char>(Text[run]) >= 0x20 &&
                   static_cast<unsigned char>(Text[run]) < 0x80)
                ++run;
            out.append(Text, Pos, run - Pos);
            Pos = run;
            if (Pos >= Text.size())
                Fail(start, "unterminated string");
            const auto c = static_cast<unsigned char>(Text[Pos]);
            if (c == '"') {
                ++Pos;
                return;
            }
            if (c < 0x20)
                Fail(Pos, Found(Pos) + " in a string (write it as an escape)");
            if (c >= 0x80) {
                const size_t n = Utf8Length(Text.substr(Pos));
                if (n == 0)
                    Fail(Pos, "invalid UTF-8 (" + Found(Pos) + ") in a string");
                out.append(Text, Pos, n);
                Pos += n;
                continue;
            }
            Escape(out);
        }
    }

    void Escape(std::string& out) {
        const size_t escape = Pos++;
        const char c = Pos < Text.size() ? Text[Pos++] : '\0';
        switch (c) {
        case '"':
        case '\\':
        case '/':
            out += c;
            return;
        case 'b':
            out += '\b';
            return;
        case 'f':
            out += '\f';
            return;
        case 'n':
            out += '\n';
            return;
        case 'r':
            out += '\r';
            return;
        case 't':
            out += '\t';
            return;
        case 'u':
            break;
        default:
            Fail(escape, "invalid escape in a string");
        }
        uint32_t code = Hex4(escape);
        const auto unpaired = [&](uint32_t unit) {
            std::string hex = "unpaired surrogate \\u";
            for (int shift = 12; shift >= 0; shift -= 4)
                hex += HexDigits[(unit >> shift) & 0xF];
            Fail(escape, hex + " in a string");
        };
        if (code >= 0xDC00 && code <= 0xDFFF)
            unpaired(code);
        if (code >= 0xD800 && code <= 0xDBFF) {
            if (Text.substr(Pos, 2) != "\\u")
                unpaired(code);
            const size_t second = Pos;
            Pos += 2;
            const uint32_t low = Hex4(second);
            if (low < 0xDC00 || low > 0xDFFF)
                unpaired(code);
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
        }
        AppendUtf8(out, code);
    }

    TJsonValue Array(int depth, const std::string& path) {
        TJsonValue array(TJsonKind::Array);
        ++Pos;
        SkipWhitespace();
        if (At(']')) {
            ++Pos;
            return array;
        }
        for (;;) {
            SkipWhitespace();
            if (At(']') && !array.FItems.empty())
                Fail(Pos, "trailing comma before ']'");
            array.FItems.push_back(Value(depth + 1, IndexPath(path, array.FItems.size())));
            SkipWhitespace();
            if (At(']')) {
                ++Pos;
                return array;
            }
            if (!At(','))
                Expected("',' or ']'");
            ++Pos;
        }
    }

    TJsonValue Object(int depth, const std::string& path) {
        TJsonValue object(TJsonKind::Object);
        std::unordered_set<std::string> keys; // for the duplicate check of large objects
        ++Pos;
        SkipWhitespace();
        if (At('}')) {
            ++Pos;
            return object;
        }
        for (;;) {
            SkipWhitespace();
            if (At('}') && !object.FMembers.empty())
                Fail(Pos, "trailing comma before '}'");
            if (!At('"'))
                Expected("a key in double quotes");
            const size_t keyPos = Pos;
            std::string key;
            String(key);
            bool duplicate = false;
            if (object.FMembers.size() < 16) {
                for (const TJsonMember& member : object.FMembers)
                    duplicate = duplicate || member.Key == key;
            } else {
                if (keys.empty())
                    for (const TJsonMember& member : object.FMembers)
                        keys.insert(member.Key);
                duplicate = !keys.insert(key).second;
            }
            if (duplicate)
                Fail(keyPos, "duplicate key \"" + KeyPath(path, key) + '"');
            SkipWhitespace();
            if (!At(':'))
                Expected("':'");
            ++Pos;
            SkipWhitespace();
            std::string memberPath = KeyPath(path, key);
            object.FMembers.push_back({std::move(key), Value(depth + 1, std::move(memberPath))});
            SkipWhitespace();
            if (At('}')) {
                ++Pos;
                return object;
            }
            if (!At(','))
                Expected("',' or '}'");
            ++Pos;
        }
    }

    std::string_view Text;
    size_t Pos = 0;
    int MaxDepth;
};

TJsonValue ParseJson(std::string_view text, int maxDepth) {
    return TJsonParser(text, maxDepth).Document();
}

// ---- writing ---------------------------------------------------------------------------

namespace {

class TJsonWriter {
public:
    explicit TJsonWriter(bool pretty) : Pretty(pretty) {}

    void Write(const TJsonValue& value, int depth) {
        switch (value.Kind()) {
        case TJsonKind::Null:
            Out += "null";
            return;
        case TJsonKind::Bool:
            Out += value.AsBool() ? "true" : "false";
            return;
        case TJsonKind::Number:
            if (std::isnan(value.AsDouble()) || std::isinf(value.AsDouble()))
                throw EJsonError("cannot write " + Naming(value.Path()) + ": " +
                                 (std::isnan(value.AsDouble()) ? "NaN" : "an infinity") +
                                 " is not a JSON number");
            Out += value.NumberText();
            return;
        case TJsonKind::String:
            Quoted(value.AsString(), value.Path(), "");
            return;
        case TJsonKind::Array:
        case TJsonKind::Object:
            break;
        }
        if (depth > JsonMaxDepth)
            throw EJsonError("cannot write " + Naming(value.Path()) +
                             ": arrays and objects nest deeper than " +
                             std::to_string(JsonMaxDepth) + " levels");
        const bool object = value.IsObject();
        const size_t count = value.Size();
        Out += object ? '{' : '[';
        for (size_t i = 0; i < count; ++i) {
            if (i > 0)
                Out += ',';
            NewLine(depth);
            if (object) {
                const TJsonMember& member = value.AsObject()[i];
                Quoted(member.Key, value.Path(), "a key of ");
                Out += Pretty ? ": " : ":";
                Write(member.Value, depth + 1);
            } else {
                Write(value.AsArray()[i], depth + 1);
            }
        }
        if (count > 0)
            NewLine(depth - 1);
        Out += object ? '}' : ']';
    }

    std::string Out;

private:
    void NewLine(int depth) {
        if (Pretty) {
            Out += '\n';
            Out.append(2 * static_cast<size_t>(depth), ' ');
        }
    }

    void Quoted(const std::string& s, const std::string& path, const char* which) {
        if (!AppendQuoted(Out, s))
            throw EJsonError(std::string("cannot write ") + which + Naming(path) +
                             ": the string is not valid UTF-8");
    }

    bool Pretty;
};

} // namespace

std::string ToJsonText(const TJsonValue& value, bool pretty) {
    TJsonWriter writer(pretty);
    writer.Write(value, 1);
    return std::move(writer.Out);
}

} // namespace vt
