// The evaluator's fast paths against the general paths they stand for: the same values (to the
// bit), messages and positions on random texts and numbers, symbols of unexpected classes, and
// the tables' name search against the string list's own, also on lists with duplicates or out
// of order. With VT_EXPR_FAST_PATHS=0 in the environment the whole evaluator suite runs on the
// general paths (CTest registers the program a second time that way).
#include "ExprTestSupport.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>

using namespace vt;
using namespace vt::test;

namespace {

bool FastPathsWanted() {
    const char* value = std::getenv("VT_EXPR_FAST_PATHS");
    return value == nullptr || std::strcmp(value, "0") != 0;
}

class TPathsEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        SetEvaluatorFastPaths(FastPathsWanted());
        if (!FastPathsWanted())
            std::printf("The evaluator runs on its general paths (VT_EXPR_FAST_PATHS=0).\n");
    }
    void TearDown() override { SetEvaluatorFastPaths(true); }
};

[[maybe_unused]] const ::testing::Environment* const PathsEnvironment =
    ::testing::AddGlobalTestEnvironment(new TPathsEnvironment);

// Switches the paths for one scope and puts the suite's choice back.
class TPaths {
public:
    explicit TPaths(bool fast) : Saved(EvaluatorFastPaths()) { SetEvaluatorFastPaths(fast); }
    ~TPaths() { SetEvaluatorFastPaths(Saved); }
    TPaths(const TPaths&) = delete;
    TPaths& operator=(const TPaths&) = delete;

private:
    bool Saved;
};

// Everything an evaluation shows to its caller: the value's bits or the exception, and the
// random state it leaves.
struct TOutcome {
    std::string ClassName;
    std::string Message;
    int32_t Position = -1;
    unsigned char Bits[10] = {};
    uint32_t RandomAfter = 0;

    bool operator==(const TOutcome& o) const {
        return ClassName == o.ClassName && Message == o.Message && Position == o.Position &&
               std::memcmp(Bits, o.Bits, sizeof Bits) == 0 && RandomAfter == o.RandomAfter;
    }
};

std::ostream& operator<<(std::ostream& out, const TOutcome& o) {
    out << (o.ClassName.empty() ? "value" : o.ClassName) << " '" << o.Message << "' at "
        << o.Position << " bits";
    for (unsigned char b : o.Bits)
        out << ' ' << static_cast<int>(b);
    return out << " random " << o.RandomAfter;
}

TOutcome Outcome(const std::string& text, TSymbolTable& table, bool requireValue, bool fast,
                 uint32_t randomState) {
    TPaths paths(fast);
    SetRandomState(randomState);
    TOutcome o;
    try {
        const Extended v = EvaluateExpression(text, &table, requireValue);
        std::memcpy(o.Bits, &v, sizeof o.Bits); // the 80 significant bits of the extended
    } catch (const EExpressionError& e) {
        o.ClassName = e.ClassName();
        o.Message = e.Message;
        o.Position = e.Position;
    } catch (const Exception& e) {
        o.ClassName = e.ClassName();
        o.Message = e.Message;
    }
    o.RandomAfter = RandomState();
    return o;
}

// The fields of Text between "~" separators, empty ones included.
std::vector<std::string> Split(std::string_view text) {
    std::vector<std::string> fields(1);
    for (const char c : text) {
        if (c == '~')
            fields.emplace_back();
        else
            fields.back() += c;
    }
    return fields;
}

// A value symbol of a class the library does not know, and a symbol whose Kind claims a class
// it does not have.
class TUserValue : public TParameterValue {
public:
    using TParameterValue::TParameterValue;
};

class TMislabelled : public TSymbol {
public:
    explicit TMislabelled(uint8_t kind) : TSymbol(kind) {}
};

} // namespace

TEST(FastPaths, TheSwitchFollowsTheEnvironment) {
    EXPECT_EQ(EvaluatorFastPaths(), FastPathsWanted());
}

// Random texts over the evaluator's alphabet, each evaluated on both paths in two tables that
// start alike and receive the same definitions.
TEST(FastPaths, RandomTextsGiveTheSameOutcomeOnBothPaths) {
    const std::vector<std::string> pieces =
        Split("0~1~7~2.5~1e3~0.1~1,25~$1F~4.2E-7~1e30~1e-30~1e45~9007199254740993~"
              "12345678901234567890~-~+~*~/~%~^~=~#~<~>~&~|~(~)~;~:~ ~x~y~f~g~t~:f(t)=~:g()=~"
              ":x=~f(~sin(~sqrt(~ln(~fac(~round(~rand(~inf~e~pi~@~num.Guess~.~,~kb");
    std::mt19937 rng(1957);
    TStrictTable fastTable, generalTable;
    TSymbolTable lenientFast, lenientGeneral;
    int values = 0;
    for (int round = 0; round < 20000; ++round) {
        std::string text;
        const size_t n = 1 + rng() % 20;
        for (size_t i = 0; i < n; ++i)
            text += pieces[rng() % pieces.size()];
        const bool requireValue = rng() % 2 == 0;
        const bool strict = rng() % 2 == 0;
        const uint32_t state = static_cast<uint32_t>(rng());
        const TOutcome fast =
            Outcome(text, strict ? fastTable : lenientFast, requireValue, true, state);
        const TOutcome general =
            Outcome(text, strict ? generalTable : lenientGeneral, requireValue, false, state);
        ASSERT_EQ(fast, general) << text;
        values += fast.ClassName.empty() ? 1 : 0;
    }
    EXPECT_GT(values, 1000);
    EXPECT_EQ(NamesOf(fastTable), NamesOf(generalTable));
    EXPECT_EQ(NamesOf(lenientFast), NamesOf(lenientGeneral));
}

// Decimal numbers of every shape the integer conversion may take, and just beyond it: the
// same bits on both paths, and the platform's own conversion of the same text.
TEST(FastPaths, NumbersConvertToTheSameBits) {
    std::mt19937 rng(42);
    TSymbolTable table;
    for (int round = 0; round < 20000; ++round) {
        std::string text;
        const size_t digits = 1 + rng() % 21;
        const size_t point = rng() % (digits + 3); // beyond the digits: no point
        for (size_t i = 0; i < digits; ++i) {
            if (i == point)
                text += '.';
            text += static_cast<char>('0' + (i == 0 && rng() % 4 == 0 ? 0 : rng() % 10));
        }
        if (rng() % 3 == 0)
            text += "e" + std::to_string(static_cast<int>(rng() % 61) - 30);
        const TOutcome fast = Outcome(text, table, true, true, 0);
        const TOutcome general = Outcome(text, table, true, false, 0);
        ASSERT_EQ(fast, general) << text;
        ASSERT_TRUE(fast.ClassName.empty()) << text;
        const Extended platform = std::strtold(text.c_str(), nullptr);
        ASSERT_EQ(std::memcmp(fast.Bits, &platform, sizeof fast.Bits), 0) << text;
    }
    // The edges of the integer range: 2^63 - 1 and 2^63 converted both ways.
    for (const char* text : {"9223372036854775807", "9223372036854775808", "922337203685477580.7e1",
                             "18446744073709551615", "1000000000000000000", "999999999e9"}) {
        TSymbolTable t;
        EXPECT_EQ(Outcome(text, t, true, true, 0), Outcome(text, t, true, false, 0)) << text;
    }
}

TEST(FastPaths, SymbolsOfOtherClassesTakeTheGeneralPath) {
    for (const bool fast : {true, false}) {
        TPaths paths(fast);
        TStrictTable table;
        table.DefineSymbol("u", new TUserValue(21));
        EXPECT_EQ(EvaluateExpression("u*2", &table), 42);
        // A Kind that the class does not back is unknown, never read as that class.
        for (const uint8_t kind : {skFunction, skValue, skExpression, skSymbolicFunction}) {
            table.DefineSymbol("m", new TMislabelled(kind));
            EXPECT_EXPR_ERROR(&table, "1+m(2)", "Unknown symbol type: m", 4);
        }
    }
}

// The tables' name search, with its remembered answers, returns what the string list's own
// binary search returns on the list as it is: the same found flag and index for present,
// absent, empty and long names, after every kind of change, with duplicates accepted or
// ignored, and on lists that Swap or an unsorted phase has put out of order.
TEST(FastPaths, NameSearchMatchesTheStringListThroughEveryChange) {
    TPaths paths(true);
    // The empty name, names around the standard ones, and names on both sides of the
    // longest one that is remembered (19 bytes).
    std::vector<std::string> names =
        Split("~a~ab~b~B~e~exp~num.Guess~\xff~sin~x~a_name_of_19_bytes_~"
              "a_name_of_twenty_bytes~a_name_of_twenty_bytez");
    names.push_back(std::string("n\0ul", 4));
    const auto matches = [](const TSymbolTable& t, const std::string& probe) {
        int fastIndex = -2, listIndex = -2;
        const bool fastFound = t.Find(probe, fastIndex);
        const bool listFound = t.TOpenStringList::Find(probe, listIndex);
        return fastFound == listFound && fastIndex == listIndex;
    };
    {
        // Seven equal names: the first probe finds the middle one, which is the answer when
        // duplicates are ignored, while accepting them asks for the first.
        TSymbolTable run;
        run.Clear();
        run.Duplicates = dupAccept;
        for (int i = 0; i < 7; ++i)
            run.Add("m");
        for (const TDuplicates policy : {dupIgnore, dupAccept, dupError, dupAccept}) {
            run.Duplicates = policy;
            EXPECT_TRUE(matches(run, "m")) << policy;
        }
    }
    std::mt19937 rng(7);
    TSymbolTable table;
    const auto name = [&] { return names[rng() % names.size()]; };
    const auto index = [&] {
        return static_cast<int>(rng() % static_cast<unsigned>(table.Count() + 2)) - 1;
    };
    for (int round = 0; round < 4000; ++round) {
        const unsigned op = rng() % 16;
        try {
            switch (op) {
            case 0:
                table.Add(name());
                break;
            case 1:
            case 2: {
                // A refused name leaves the object with its caller.
                auto value = std::make_unique<TSymbolValue>(1);
                table.AddWithObject(name(), value.get());
                value.release();
                break;
            }
            case 3:
                table.DefineSymbol(name(), new TSymbolValue(2));
                break;
            case 4:
                table.RemoveSymbol(name());
                break;
            case 5:
                table.Delete(index());
                break;
            case 6:
                table.Swap(index(), index());
                break;
            case 7:
                table.SetCount(static_cast<int>(rng() % 40));
                break;
            case 8:
                table.SetSorted(!table.Sorted());
                break;
            case 9:
                table.Insert(index(), name());
                break;
            case 10:
                table.SetStringAt(index(), name());
                break;
            case 11:
                table.Duplicates = static_cast<TDuplicates>(rng() % 3);
                break;
            case 12:
                if (rng() % 8 == 0)
                    table.Clear();
                break;
            case 13: {
                // A run of equal names, where the two duplicate policies find different items.
                const TDuplicates saved = table.Duplicates;
                table.Duplicates = dupAccept;
                const std::string repeated = name();
                for (int i = 0; i < 4; ++i)
                    table.Add(repeated);
                table.Duplicates = saved;
                break;
            }
            default:
                break; // lookups only, so that answers are remembered and reused
            }
        } catch (const Exception&) {
            // Refused changes (bad index, unsorted-only operations, duplicates) change nothing.
        }
        for (const std::string& probe : names)
            ASSERT_TRUE(matches(table, probe))
                << "round " << round << " op " << op << ": " << probe;
    }
}
