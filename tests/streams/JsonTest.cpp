// The JSON module: numbers read correctly rounded and written to read back bit-identically,
// exact integers, strings and escapes, every refusal with its position, the nesting limit, the
// accessors' messages and the writer's layout. Expected bit patterns and texts were computed
// with Python (float(), '%.15g' / '%.16g' / '%.17g').
#include "streams/Json.h"

#include <gtest/gtest.h>

#include <bit>
#include <clocale>
#include <cmath>
#include <limits>
#include <random>
#include <string>

using namespace vt;

namespace {

uint64_t Bits(double d) {
    return std::bit_cast<uint64_t>(d);
}

template <class F> std::string JsonError(F&& f) {
    try {
        f();
    } catch (const EJsonError& e) {
        return e.Message;
    }
    return "(nothing raised)";
}

std::string ParseError(std::string_view text) {
    return JsonError([&] { ParseJson(text); });
}

} // namespace

// ---- numbers -------------------------------------------------------------------------------

TEST(Json, NumbersReadCorrectlyRounded) {
    const struct {
        const char* Text;
        uint64_t Bits;
    } cases[] = {
        {"0.1", 0x3fb999999999999a},
        {"5e-324", 0x0000000000000001},
        {"3e-324", 0x0000000000000001},
        {"2.4703282292062327e-324", 0x0000000000000000}, // just below half the least subnormal
        {"2.4703282292062328e-324", 0x0000000000000001}, // just above
        {"2.2250738585072011e-308", 0x000fffffffffffff},
        {"2.2250738585072014e-308", 0x0010000000000000},
        {"1.7976931348623157e308", 0x7fefffffffffffff},
        {"-0", 0x8000000000000000},
        {"-1e-400", 0x8000000000000000},
        {"9007199254740993", 0x4340000000000000}, // a tie, to even
        {"1.00000000000000011102230246251565404236316680908203125", 0x3ff0000000000000},
        {"1.00000000000000011102230246251565404236316680908203126", 0x3ff0000000000001},
        {"0.30000000000000004", 0x3fd3333333333334},
        {"1E2", 0x4059000000000000},
        {"170141183460469231731687303715884105727", 0x47e0000000000000},
    };
    for (const auto& c : cases) {
        const TJsonValue v = ParseJson(c.Text);
        EXPECT_EQ(Bits(v.AsDouble()), c.Bits) << c.Text;
        EXPECT_EQ(v.NumberText(), c.Text);
        EXPECT_EQ(ToJsonText(v, false), c.Text) << "a parsed number keeps its text";
    }
}

TEST(Json, DoublesWriteShortestAndReadBackBitIdentically) {
    const struct {
        uint64_t Bits;
        const char* Text;
    } cases[] = {
        {0x3fb999999999999a, "0.1"},
        {0x3fd5555555555555, "0.3333333333333333"},
        {0x3fd3333333333334, "0.30000000000000004"},
        {0x0000000000000001, "4.94065645841247e-324"},
        {0x0000000000000003, "1.48219693752374e-323"},
        {0x0010000000000000, "2.2250738585072014e-308"},
        {0x7fefffffffffffff, "1.7976931348623157e+308"},
        {0x8000000000000000, "-0"},
        {0x4341c37937e08000, "1e+16"},
        {0x4340000000000000, "9007199254740992"},
        {0x3ee4f8b588e368f1, "1e-05"},
        {0x81b01297d23ab683, "-1.5e-300"},
    };
    for (const auto& c : cases) {
        const TJsonValue v(std::bit_cast<double>(c.Bits));
        EXPECT_EQ(ToJsonText(v, false), c.Text);
        EXPECT_EQ(Bits(ParseJson(c.Text).AsDouble()), c.Bits) << c.Text;
    }
    // Random bit patterns of every class (subnormals, normals of all exponents, both signs).
    std::mt19937_64 random(20240611);
    for (int i = 0; i < 20000; ++i) {
        const double d = std::bit_cast<double>(random() >> (i % 2 == 0 ? 0 : 12));
        if (!std::isfinite(d))
            continue;
        const std::string text = ToJsonText(TJsonValue(d), false);
        ASSERT_EQ(Bits(ParseJson(text).AsDouble()), Bits(d)) << text;
    }
}

TEST(Json, NonFiniteNumbersAreNotWritten) {
    for (const double d :
         {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
          -std::numeric_limits<double>::infinity()}) {
        TJsonValue doc = TJsonValue::Object();
        doc.Set("stats", TJsonValue::Array()).Push(d);
        const std::string message = JsonError([&] { ToJsonText(doc, true); });
        EXPECT_NE(message.find("cannot write \"stats[0]\""), std::string::npos) << message;
        EXPECT_NE(message.find(std::isnan(d) ? "NaN" : "infinity"), std::string::npos);
    }
}

TEST(Json, IntegersAreExact) {
    const TJsonValue doc = ParseJson("[9223372036854775807, -9223372036854775808, 1.5e1, 2.0, -0,"
                                     " 1e18, 0.0e99999999999999999999, 9223372036854775808,"
                                     " 1.5, 1e19, 12.000001e5,"
                                     " 340282366920938463463374607431768211455]");
    EXPECT_EQ(doc[0].AsInt64(), std::numeric_limits<int64_t>::max());
    EXPECT_EQ(doc[1].AsInt64(), std::numeric_limits<int64_t>::min());
    EXPECT_EQ(doc[2].AsInt64(), 15);
    EXPECT_EQ(doc[3].AsInt64(), 2);
    EXPECT_EQ(doc[4].AsInt64(), 0);
    EXPECT_EQ(doc[5].AsInt64(), 1000000000000000000);
    EXPECT_EQ(doc[6].AsInt64(), 0);
    EXPECT_EQ(JsonError([&] { doc[7].AsInt64(); }),
              "\"[7]\" is outside the 64-bit integer range: 9223372036854775808");
    EXPECT_EQ(JsonError([&] { doc[8].AsInt64(); }), "\"[8]\" is not an integer: 1.5");
    EXPECT_NE(JsonError([&] { doc[9].AsInt64(); }).find("range"), std::string::npos);
    EXPECT_NE(JsonError([&] { doc[10].AsInt64(); }).find("not an integer"), std::string::npos);
    // A 128-bit sum reaches the caller digit for digit, and is written back unchanged.
    EXPECT_EQ(doc[11].NumberText(), "340282366920938463463374607431768211455");
    EXPECT_EQ(Bits(doc[11].AsDouble()), 0x47f0000000000000u);
    EXPECT_NE(ToJsonText(doc, false).find(",340282366920938463463374607431768211455]"),
              std::string::npos);

    // Numbers made by the caller: integers exactly, decimal text as given, doubles by value.
    EXPECT_EQ(ToJsonText(TJsonValue(std::numeric_limits<uint64_t>::max()), false),
              "18446744073709551615");
    EXPECT_EQ(ToJsonText(TJsonValue(int64_t{-9007199254740993}), false), "-9007199254740993");
    const TJsonValue big = TJsonValue::Number("-170141183460469231731687303715884105728");
    EXPECT_EQ(ToJsonText(big, false), "-170141183460469231731687303715884105728");
    EXPECT_EQ(Bits(big.AsDouble()), 0xc7e0000000000000u);
    for (const char* bad : {"01", "+1", "1.", "0x10", " 1", "NaN", ""})
        EXPECT_NE(JsonError([&] { TJsonValue::Number(bad); }).find("is not a JSON number"),
                  std::string::npos)
            << bad;
    EXPECT_NE(JsonError([&] { TJsonValue::Number("-1e309"); }).find("beyond the double range"),
              std::string::npos);
    EXPECT_EQ(TJsonValue(1e16).AsInt64(), 10000000000000000);
    EXPECT_EQ(TJsonValue(-9223372036854775808.0).AsInt64(), std::numeric_limits<int64_t>::min());
    EXPECT_NE(JsonError([] { TJsonValue(9223372036854775808.0).AsInt64(); }).find("range"),
              std::string::npos);
    EXPECT_NE(JsonError([] { TJsonValue(0.5).AsInt64(); }).find("not an integer"),
              std::string::npos);
}

TEST(Json, NumbersIgnoreTheProcessLocale) {
    const char* const names[] = {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "German_Germany.1252"};
    const char* chosen = nullptr;
    for (const char* name : names)
        if (chosen == nullptr && std::setlocale(LC_ALL, name) != nullptr &&
            std::string(std::localeconv()->decimal_point) == ",")
            chosen = name;
    if (chosen == nullptr) {
        std::setlocale(LC_ALL, "C");
        GTEST_SKIP() << "no locale with a decimal comma is installed";
    }
    const std::string written = ToJsonText(TJsonValue(0.5), false);
    const double read = ParseJson("2.25").AsDouble();
    std::setlocale(LC_ALL, "C");
    EXPECT_EQ(written, "0.5") << chosen;
    EXPECT_EQ(read, 2.25) << chosen;
}

// ---- strings -------------------------------------------------------------------------------

TEST(Json, StringsUnescapeToUtf8AndEscapeControls) {
    EXPECT_EQ(ParseJson(R"("\u00e9\ud83d\ude00\n\/\"\\ \u0000x")").AsString(),
              std::string("\xC3\xA9\xF0\x9F\x98\x80\n/\"\\ \0x", 13));
    EXPECT_EQ(ParseJson("\"\xE2\x82\xAC\x7F\"").AsString(), "\xE2\x82\xAC\x7F");
    EXPECT_EQ(ToJsonText(TJsonValue(std::string("a\"b\\c\x01\n\x1F/\xC3\xA9\0", 12)), false),
              "\"a\\\"b\\\\c\\u0001\\u000A\\u001F/\xC3\xA9\\u0000\"");
    TJsonValue doc = TJsonValue::Object();
    doc.Set("name", "\xC3\x28");
    EXPECT_EQ(JsonError([&] { ToJsonText(doc, false); }),
              "cannot write \"name\": the string is not valid UTF-8");
}

// ---- refusals ------------------------------------------------------------------------------

TEST(Json, RefusalsNameTheProblemAndItsPosition) {
    const struct {
        const char* Text;
        const char* Message;
    } cases[] = {
        {"[1,2,]", "line 1, column 6: trailing comma before ']'"},
        {"{\"a\":1,}", "line 1, column 8: trailing comma before '}'"},
        {"[1] // note", "line 1, column 5: comments are not allowed"},
        {"/* note */ 1", "line 1, column 1: comments are not allowed"},
        {"[NaN]", "line 1, column 2: NaN and Infinity are not JSON numbers"},
        {"-Infinity", "line 1, column 1: NaN and Infinity"},
        {"[01]", "line 1, column 2: leading zeros are not allowed"},
        {"[-]", "line 1, column 3: expected a digit after '-'"},
        {"1.", "line 1, column 3: expected a digit after the decimal point"},
        {"1e+", "line 1, column 4: expected a digit in the exponent"},
        {"1e400", "line 1, column 1: number 1e400 is beyond the double range"},
        {"{\"a\":1,\n \"a\":2}", "line 2, column 2: duplicate key \"a\""},
        {"\"\xC3\x28\"", "line 1, column 2: invalid UTF-8 (byte 0xC3)"},
        {"\"\xED\xA0\x80\"", "line 1, column 2: invalid UTF-8"},     // an encoded surrogate
        {"\"\xC0\xAF\"", "line 1, column 2: invalid UTF-8"},         // overlong
        {"\"\xF4\x90\x80\x80\"", "line 1, column 2: invalid UTF-8"}, // beyond U+10FFFF
        {"\"\x80\"", "line 1, column 2: invalid UTF-8"},             // stray continuation
        {"\"\xE2\x82\"", "line 1, column 2: invalid UTF-8"},         // truncated
        {R"(["\ud800"])", "line 1, column 3: unpaired surrogate \\uD800"},
        {R"("\udc00\ud800")", "line 1, column 2: unpaired surrogate \\uDC00"},
        {R"("\ud800\u0041")", "line 1, column 2: unpaired surrogate \\uD800"},
        {"\"a\tb\"", "line 1, column 3: control character U+0009 in a string"},
        {R"("\x")", "line 1, column 2: invalid escape"},
        {R"("\u12g4")", "line 1, column 2: expected four hex digits"},
        {"\"abc", "line 1, column 1: unterminated string"},
        {"[1] 2", "line 1, column 5: unexpected '2' after the document"},
        {"", "line 1, column 1: expected a value, found end of the document"},
        {"{\"a\" 1}", "line 1, column 6: expected ':'"},
        {"{\"a\":1 \"b\":2}", "line 1, column 8: expected ',' or '}', found '\"'"},
        {"[1 2]", "line 1, column 4: expected ',' or ']'"},
        {"{'a':1}", "line 1, column 2: expected a key in double quotes, found '''"},
        {"[tru]", "line 1, column 2: unknown literal \"tru\""},
        {"[\"\xC3\xA9\", x]",
         "line 1, column 7: unknown literal \"x\""}, // columns count characters
        {"{\n  \"matrix\": [1, 2\n  \"x\"", "line 3, column 3: expected ',' or ']'"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ParseError(c.Text).rfind(std::string("JSON error at ") + c.Message, 0), 0u)
            << c.Text << "\n"
            << ParseError(c.Text);
    std::string many = "{";
    for (int i = 0; i < 40; ++i)
        many += "\"k" + std::to_string(i) + "\":0,";
    EXPECT_NE(ParseError(many + "\"k7\":1}").find("column 312: duplicate key \"k7\""),
              std::string::npos);
}

TEST(Json, NestingIsLimited) {
    const auto nested = [](int depth) {
        return std::string(static_cast<size_t>(depth), '[') +
               std::string(static_cast<size_t>(depth), ']');
    };
    const TJsonValue deepest = ParseJson(nested(64));
    EXPECT_EQ(ToJsonText(deepest, false), nested(64));
    EXPECT_EQ(ParseError(nested(65)),
              "JSON error at line 1, column 65: arrays and objects nest deeper than 64 levels");
    EXPECT_NE(ParseError("{\"a\":" + nested(64) + "}").find("column 69: arrays and objects"),
              std::string::npos);
    EXPECT_NO_THROW(ParseJson(nested(3), 3));
    EXPECT_NE(JsonError([&] { ParseJson(nested(4), 3); }).find("column 4: arrays and objects"),
              std::string::npos);

    TJsonValue built = TJsonValue::Array();
    TJsonValue* inner = &built;
    for (int i = 1; i < 64; ++i)
        inner = &inner->Push(TJsonValue::Array());
    EXPECT_EQ(ToJsonText(built, false), nested(64));
    inner->Push(TJsonValue::Array());
    EXPECT_NE(JsonError([&] { ToJsonText(built, false); }).find("deeper than 64 levels"),
              std::string::npos);
}

// ---- accessors and layout ------------------------------------------------------------------

TEST(Json, AccessorsNameTheKeyPath) {
    const TJsonValue doc = ParseJson(
        "\xEF\xBB\xBF {\"transform\": {\"matrix\": [[1, 2], [3, \"x\"]], \"on\": true},\r\n"
        "  \"a b\": {}, \"z\": null}");
    EXPECT_EQ(JsonError([&] { doc.At("matrix"); }), "missing key \"matrix\"");
    EXPECT_EQ(JsonError([&] { doc["transform"]["matrix"][1][1].AsDouble(); }),
              "\"transform.matrix[1][1]\" is a string, expected a number");
    EXPECT_EQ(JsonError([&] { doc["transform"]["matrix"].At(2); }),
              "index 2 is out of bounds for \"transform.matrix\" (2 elements)");
    EXPECT_EQ(JsonError([&] { doc["transform"].AsArray(); }),
              "\"transform\" is an object, expected an array");
    EXPECT_EQ(JsonError([&] { doc["a b"].At("c"); }), "missing key \"[\"a b\"].c\"");
    EXPECT_EQ(JsonError([&] { doc.AsString(); }), "the document is an object, expected a string");
    EXPECT_EQ(JsonError([&] { doc["z"].Size(); }), "\"z\" is null, expected an array");
    EXPECT_EQ(JsonError([&] { doc["transform"]["on"].Find("x"); }),
              "\"transform.on\" is a boolean, expected an object");
    EXPECT_EQ(doc.Find("nothing"), nullptr);
    EXPECT_TRUE(doc["transform"]["on"].AsBool());
    EXPECT_EQ(doc["transform"]["matrix"][1][0].AsInt64(), 3);
    EXPECT_EQ(doc.Size(), 3u);
    EXPECT_EQ(doc.AsObject()[2].Key, "z");

    // Built values take the path where they are inserted; Set replaces in place.
    TJsonValue built = TJsonValue::Object();
    TJsonValue channel = TJsonValue::Object();
    channel.Set("mean", "high");
    built.Set("b", 1);
    built.Set("channels", TJsonValue::Array()).Push(channel);
    built.Set("b", false);
    EXPECT_EQ(JsonError([&] { built["channels"][0]["mean"].AsDouble(); }),
              "\"channels[0].mean\" is a string, expected a number");
    EXPECT_EQ(ToJsonText(built, false), R"({"b":false,"channels":[{"mean":"high"}]})");
}

TEST(Json, WriterLayout) {
    TJsonValue doc = TJsonValue::Object();
    TJsonValue& list = doc.Set("z", TJsonValue::Array()); // insertion order, not key order
    list.Push(1);
    list.Push(TJsonValue::Object());
    doc.Set("a", "x");
    doc.Set("e", TJsonValue::Array());
    doc.Set("n", nullptr);
    EXPECT_EQ(ToJsonText(doc, false), R"({"z":[1,{}],"a":"x","e":[],"n":null})");
    const std::string pretty = ToJsonText(doc, true);
    EXPECT_EQ(pretty, "{\n  \"z\": [\n    1,\n    {}\n  ],\n  \"a\": \"x\",\n  \"e\": [],\n"
                      "  \"n\": null\n}");
    EXPECT_EQ(ToJsonText(ParseJson(pretty), false), ToJsonText(doc, false));
}
