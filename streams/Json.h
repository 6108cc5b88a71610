// JSON documents for the files the library writes and reads back: a value tree with
// insertion-ordered objects, a strict reader (RFC 8259) and a writer whose numbers read back
// bit-identically, independent of the process locale.
#pragma once

#include "rtl/SysUtils.h"

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace vt {

// Every refusal of the module: a syntax error in a document ("JSON error at line 3, column 14:
// expected ',' or '}', found '\"'"), a value of the wrong kind or a missing key met by an
// accessor (the message names the key path, e.g. "missing key \"transform.matrix\""), and a
// value that cannot be written (a non-finite number, a string that is not UTF-8).
VT_EXCEPTION_CLASS(EJsonError, Exception);

// How deep arrays and objects may nest, in documents read and in values written.
constexpr int JsonMaxDepth = 64;

enum class TJsonKind : uint8_t { Null, Bool, Number, String, Array, Object };

struct TJsonMember;

// One JSON value. Numbers keep their decimal text besides their double, so that integers
// beyond the double's 53 bits (exact 128-bit sums, say) reach the caller unchanged; a parsed
// number is written back with its original text. Every value knows its key path in the
// document it belongs to ("statistics.channels[2].mean", empty for the document itself),
// which the accessors' messages name; Push and Set give an inserted value its new path.
class TJsonValue {
public:
    TJsonValue() = default; // null
    TJsonValue(std::nullptr_t);
    TJsonValue(bool b);
    // A number written with the shortest of %.15g, %.16g and %.17g that reads back to the same
    // double. A NaN or an infinity may be held, but ToJsonText refuses it.
    TJsonValue(double d);
    // An integer, written exactly (all 64 bits); AsDouble gives the nearest double.
    template <std::integral T>
    requires(!std::same_as<T, bool> && !std::same_as<T, char>) TJsonValue(T n) {
        if constexpr (std::is_signed_v<T>)
            SetInteger(static_cast<int64_t>(n));
        else
            SetUnsigned(static_cast<uint64_t>(n));
    }
    TJsonValue(const char* s);
    TJsonValue(std::string_view s);
    TJsonValue(std::string s);

    static TJsonValue Array();
    static TJsonValue Object();
    // A number given by its decimal text in JSON syntax ("-12", "3.5e-7",
    // "170141183460469231731687303715884105727"), written exactly as given. Raises EJsonError
    // when Text is not a JSON number or lies beyond the double range.
    static TJsonValue Number(std::string_view text);

    TJsonKind Kind() const { return FKind; }
    bool IsNull() const { return FKind == TJsonKind::Null; }
    bool IsBool() const { return FKind == TJsonKind::Bool; }
    bool IsNumber() const { return FKind == TJsonKind::Number; }
    bool IsString() const { return FKind == TJsonKind::String; }
    bool IsArray() const { return FKind == TJsonKind::Array; }
    bool IsObject() const { return FKind == TJsonKind::Object; }
    // The key path, e.g. "transform.matrix[2]"; keys other than letters, digits, '_' and '-'
    // appear as ["key"].
    const std::string& Path() const { return FPath; }

    // Each accessor raises EJsonError naming the path and both kinds when the value is of
    // another kind ("\"transform.matrix\" is an object, expected an array").
    bool AsBool() const;
    double AsDouble() const;
    // The integer the number's text denotes ("12", "-3", "1.5e3", "2.0" all qualify). Raises
    // when it has a fraction or lies outside the 64-bit range. A number made from a double
    // is judged by the double itself.
    int64_t AsInt64() const;
    // The number's decimal text: as read, as given to Number, or as the writer writes it.
    // Raises for a non-finite double.
    const std::string& NumberText() const;
    const std::string& AsString() const;
    const std::vector<TJsonValue>& AsArray() const;
    const std::vector<TJsonMember>& AsObject() const;
    // Elements of an array or members of an object; raises for other kinds.
    size_t Size() const;
    // An array's element; raises when Index is not below Size().
    const TJsonValue& At(size_t index) const;
    const TJsonValue& operator[](size_t index) const { return At(index); }
    // An object's member; raises "missing key \"path.key\"" when there is none.
    const TJsonValue& At(std::string_view key) const;
    const TJsonValue& operator[](std::string_view key) const { return At(key); }
    // An object's member, or nullptr; raises only when the value is not an object.
    const TJsonValue* Find(std::string_view key) const;

    // Appends to an array; returns the stored element, which stays where it is until the
    // next Push to the same array. Raises when the value is not an array.
    TJsonValue& Push(TJsonValue value);
    // Replaces the member Key of an object in its place, or appends it; returns the stored
    // value, which stays where it is until the next Set on the same object. Raises when the
    // value is not an object.
    TJsonValue& Set(std::string_view key, TJsonValue value);

private:
    friend class TJsonParser;

    explicit TJsonValue(TJsonKind kind);
    void SetInteger(int64_t n);
    void SetUnsigned(uint64_t n);
    void Expect(TJsonKind kind) const;
    void SetPath(std::string path);

    TJsonKind FKind = TJsonKind::Null;
    bool FBool = false;
    bool FFromDouble = false;          // a number made from a double: FText is its written form
    double FNumber = 0;                // the number's value, correctly rounded from FText
    std::string FText;                 // a string's bytes or a number's decimal text
    std::vector<TJsonValue> FItems;    // an array's elements
    std::vector<TJsonMember> FMembers; // an object's members, in insertion order
    std::string FPath;                 // where the value sits in its document
};

// One member of an object: its key (UTF-8, unescaped) and its value.
struct TJsonMember {
    std::string Key;
    TJsonValue Value;
};

// Defined here, where TJsonMember is complete, as the member vector needs it.
inline TJsonValue::TJsonValue(TJsonKind kind) : FKind(kind) {}
inline TJsonValue::TJsonValue(std::nullptr_t) {}
inline TJsonValue::TJsonValue(bool b) : FKind(TJsonKind::Bool), FBool(b) {}
inline TJsonValue::TJsonValue(std::string s) : FKind(TJsonKind::String), FText(std::move(s)) {}
inline TJsonValue::TJsonValue(const char* s) : TJsonValue(std::string(s)) {}
inline TJsonValue::TJsonValue(std::string_view s) : TJsonValue(std::string(s)) {}
inline TJsonValue TJsonValue::Array() {
    return TJsonValue(TJsonKind::Array);
}
inline TJsonValue TJsonValue::Object() {
    return TJsonValue(TJsonKind::Object);
}

// Reads one document: exactly one value with optional whitespace around it (a leading UTF-8
// byte order mark is skipped). Refused with EJsonError naming the line and column (counted in
// characters from 1): anything outside RFC 8259 (trailing commas, comments, single quotes,
// NaN and Infinity, leading zeros, text after the value), strings with raw control
// characters, invalid UTF-8 or unpaired surrogate escapes, duplicate keys in an object,
// numbers beyond the double range, nesting deeper than MaxDepth.
TJsonValue ParseJson(std::string_view text, int maxDepth = JsonMaxDepth);

// Writes a value compactly, or with line breaks and 2-space indentation when Pretty (no line
// break after the last character either way). Raises EJsonError for a non-finite number, a
// string or key that is not valid UTF-8, or nesting deeper than JsonMaxDepth, so that what
// is written always reads back.
std::string ToJsonText(const TJsonValue& value, bool pretty);

} // namespace vt
