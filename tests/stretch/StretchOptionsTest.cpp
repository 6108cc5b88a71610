// The options' table against the cross-face cases (tests/data/option_cases.json, which the web
// module's suite runs too): each option set is accepted or refused alike whether it arrives as
// JSON (Python, the page) or as the command line's text, with the same message.
#include "stretch/StretchOptions.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace {

using namespace vt;

TJsonValue Cases() {
    std::ifstream file(std::string(VT_TEST_DATA_DIR) + "/option_cases.json");
    std::stringstream text;
    text << file.rdbuf();
    return ParseJson(text.str())["cases"];
}

// What a face makes of the options: "" when accepted, else the refusal's message.
template <class TRead> std::string Outcome(const TRead& read) {
    try {
        const TStretchRequest r = read();
        CheckStretchRequest(r, 3, TSampleType::UInt8, 64, 48);
        // An accepted request fits an image of that shape.
        std::vector<uint8_t> pixels(64 * 48 * 3);
        for (size_t i = 0; i < pixels.size(); ++i)
            pixels[i] = static_cast<uint8_t>((i * 37 + i / 192 * 11) % 251);
        FitStretch(TImageView::Interleaved(pixels.data(), 64, 48, 3, TSampleType::UInt8),
                   r.Selection, r.Fit);
        return "";
    } catch (const EStretch& e) {
        return e.Message.empty() ? "(empty message)" : e.Message;
    }
}

// The command line's text of a JSON value: numbers and words as they are, lists with commas.
std::string ArgumentText(const TJsonValue& v) {
    if (v.IsString())
        return v.AsString();
    if (!v.IsArray())
        return ToJsonText(v, false);
    std::string text;
    for (size_t i = 0; i < v.Size(); ++i)
        text += (i == 0 ? "" : ",") + ToJsonText(v[i], false);
    return text;
}

TEST(StretchOptions, CrossFaceCasesAsJsonAndAsTheCommandLine) {
    const TJsonValue cases = Cases();
    ASSERT_GT(cases.Size(), 20u);
    for (const TJsonValue& c : cases.AsArray()) {
        const TJsonValue& options = c["options"];
        const std::string name = ToJsonText(options, false);
        const TJsonValue* refused = c.Find("refused");
        const std::string json = Outcome([&] { return ReadStretchRequest(options); });
        const std::string argv = Outcome([&] {
            TStretchRequest r;
            for (const TJsonMember& m : options.AsObject()) {
                const TStretchOption* o = FindStretchOption(m.Key);
                if (o == nullptr)
                    throw EStretch("unknown option \"" + m.Key + "\"");
                SetStretchOption(r, *o,
                                 o->Kind == TOptionKind::Flag
                                     ? m.Value
                                     : StretchArgument(*o, ArgumentText(m.Value)));
            }
            CheckStretchCombination(r);
            return r;
        });
        if (refused == nullptr) {
            EXPECT_EQ(json, "") << name;
            EXPECT_EQ(argv, "") << name;
            continue;
        }
        // The message up to what was given, which the command line quotes as text.
        const std::string expected = refused->AsString();
        const std::string stem = expected.substr(0, expected.find(", not "));
        EXPECT_NE(json.find(expected), std::string::npos) << name << ": " << json;
        EXPECT_NE(argv.find(stem), std::string::npos) << name << ": " << argv;
    }
}

TEST(StretchOptions, EveryOptionHasOneNameKeyAndHelp) {
    for (const TStretchOption& o : StretchOptionTable()) {
        EXPECT_EQ(FindStretchOption(o.Flag), &o);
        EXPECT_EQ(FindStretchOption(o.Key), &o);
        EXPECT_NE(StretchOptionsHelp().find(o.Flag), std::string::npos) << o.Flag;
        EXPECT_NE(StretchOptionsJson().find(std::string("\"") + o.Key + "\""), std::string::npos);
    }
    EXPECT_EQ(FindStretchOption("--colour"), nullptr);
}

TEST(StretchOptions, TheDocumentedListIsTheTable) {
    std::ifstream file(std::string(VT_TEST_DATA_DIR) + "/../../docs/controls.md");
    std::string line, rows;
    while (std::getline(file, line))
        if (line.rfind("| `--", 0) == 0)
            rows += line + "\n";
    for (const TStretchOption& o : StretchOptionTable()) {
        const std::string row = std::string("| `") + o.Flag +
                                (o.Negation != nullptr ? std::string(" / ") + o.Negation : "") +
                                "` | `" + o.Key + "` |";
        const size_t at = rows.find(row);
        ASSERT_NE(at, std::string::npos) << o.Flag;
        EXPECT_NE(rows.find(o.Help, at), std::string::npos) << o.Flag;
    }
}

} // namespace
