// The parser and evaluator: precedence, number forms, definitions, every message with its
// position, the fault table of the operators, and the nesting limit.
#include "ExprTestSupport.h"

#include <cfenv>
#include <cmath>
#include <limits>
#include <random>

using namespace vt;
using namespace vt::test;

namespace {

constexpr Extended Inf = std::numeric_limits<Extended>::infinity();

class Parser : public ::testing::Test {
protected:
    Extended Eval(const std::string& text, bool requireValue = true) {
        return EvaluateExpression(text, &Table, requireValue);
    }
    TStrictTable Table;
};

struct TCase {
    const char* Text;
    Extended Value;
};

} // namespace

TEST_F(Parser, PrecedenceAndAssociativity) {
    const TCase cases[] = {
        {"1+2*3", 7},        {"(1+2)*3", 9}, {"2^3^2", 64}, {"-2^2", -4}, {"2^-1", 0.5},
        {"8/2/2", 2},        {"2<3=1", 1},   {"1+2=3", 1},  {"1|0&0", 0}, {"1|(0&0)", 1},
        {"2*-3", -6},        {"2--3", 5},    {"- 2", -2},   {"--2", 2},   {"+5", 5},
        {"10-2-3", 5},       {"2*3^2", 18},  {"7-3<5", 1},  {"1#2", 1},   {"3>2>0", 1},
        {" \t1 + 2\r\n", 3},
    };
    for (const TCase& c : cases)
        EXPECT_EQ(Eval(c.Text), c.Value) << c.Text;
}

TEST_F(Parser, NumberForms) {
    const TCase cases[] = {
        {"1,5*2", 3},
        {".5", 0.5},
        {"5.", 5},
        {".", 0},
        {",25", 0.25},
        {"$FF", 255},
        {"$ff", 255},
        {"$FFFFFFFF", -1},
        {"$7FFFFFFF", 2147483647},
        {"$80000000", -2147483648.0L},
        {"$000000001F", 31},
        {"$1E-1", 29},
        {"1e5", 100000},
        {"1E-5", 1e-5L},
        {"2.5e2", 250},
        {"0.1", 0.1L},
        {"123456789012345678901234567890", 123456789012345678901234567890.0L},
        {"1e-5000", 0},
        {"-0", 0},
    };
    for (const TCase& c : cases)
        EXPECT_EQ(Eval(c.Text), c.Value) << c.Text;
    // Long mantissas and far exponents take the platform's conversion.
    EXPECT_EQ(Eval("3.14159265358979323846264338"), 3.14159265358979323846264338L);
    EXPECT_EQ(Eval("1.5e300"), 1.5e300L);
    EXPECT_EQ(Eval("1e4000"), 1e4000L);
}

TEST_F(Parser, MalformedNumbers) {
    EXPECT_EXPR_ERROR(&Table, "1,5,2", "Invalid number format", 6);
    EXPECT_EXPR_ERROR(&Table, "$100000000", "Invalid number format", 11);
    EXPECT_EXPR_ERROR(&Table, "$", "Invalid number format", 2);
    EXPECT_EXPR_ERROR(&Table, "$G", "Invalid number format", 2);
    EXPECT_EXPR_ERROR(&Table, "1e+5", "Invalid number format", 3);
    EXPECT_EXPR_ERROR(&Table, "1e", "Invalid number format", 3);
    EXPECT_EXPR_ERROR(&Table, "1e5e5", "Invalid number format", 6);
    EXPECT_EXPR_ERROR(&Table, "1..2", "Invalid number format", 5);
    EXPECT_EXPR_ERROR(&Table, "2*-x", "Invalid number format", 4);
    EXPECT_EXPR_ERROR(&Table, "1e5000", "Invalid number format", 7);
}

TEST_F(Parser, ErrorsAndTheirPositions) {
    EXPECT_EXPR_ERROR(&Table, "", "Expression is empty", 0);
    EXPECT_EXPR_ERROR(&Table, "3 4", "Operator expected", 3);
    EXPECT_EXPR_ERROR(&Table, "2x", "Operator expected", 2);
    EXPECT_EXPR_ERROR(&Table, "*3", "Unexpected character: *", 1);
    EXPECT_EXPR_ERROR(&Table, "()", "Unexpected character: )", 2);
    EXPECT_EXPR_ERROR(&Table, "1+:y=2;", "Unexpected character: :", 3);
    EXPECT_EXPR_ERROR(&Table, "1+@", "Unexpected character: @", 3);
    EXPECT_EXPR_ERROR(&Table, "2+", "Value expected", 3);
    EXPECT_EXPR_ERROR(&Table, "   ", "Value expected", 4);
    EXPECT_EQ(RaisedBy("   ", &Table, false).Message, "Value expected");
    EXPECT_EXPR_ERROR(&Table, "sin (0)", "( expected", 4);
    EXPECT_EXPR_ERROR(&Table, "sin", "( expected", 4);
    EXPECT_EXPR_ERROR(&Table, "foo+1", "Undefined symbol: foo", 4);
    EXPECT_EXPR_ERROR(&Table, ":1=2", "Name expected", 2);
    EXPECT_EXPR_ERROR(&Table, ":f(2)=1", "Name expected", 4);
    EXPECT_EXPR_ERROR(&Table, ":f(a=1", ") expected", 5);
    EXPECT_EXPR_ERROR(&Table, ":f() 1", "= expected", 6);
    EXPECT_EXPR_ERROR(&Table, ":f 1", "= or ( expected", 4);
    EXPECT_EXPR_ERROR(&Table, ":f()=", "Expression is empty", 6);
    EXPECT_EXPR_ERROR(&Table, ":x=5", "Value expected", 6);
    EXPECT_EXPR_ERROR(&Table, "0/0", "Invalid floating point operation", 4);
    // Inside a function call the guard reports the position before the current one.
    EXPECT_EXPR_ERROR(&Table, "sin(2+", "Value expected", 6);
    EXPECT_EXPR_ERROR(&Table, "sin(2+)", "Unexpected character: )", 6);
    EXPECT_EXPR_ERROR(&Table, "abs(foo)", "Undefined symbol: foo", 7);
    EXPECT_EXPR_ERROR(&Table, "sqrt(-1)+1", "Invalid floating point operation", 8);
}

TEST_F(Parser, TextAfterTheTopLevelIsIgnored) {
    EXPECT_EQ(Eval("(1+2"), 3);
    EXPECT_EQ(Eval("1+2)+5"), 3);
    EXPECT_EQ(Eval("1;2"), 1);
    EXPECT_EQ(Eval("(1;*2"), 2) << "a \";\" closes a parenthesis level";
}

TEST_F(Parser, DefinitionsStayInTheTable) {
    EXPECT_EQ(Eval(":x=5; x*2"), 10);
    EXPECT_EQ(Eval("x"), 5);
    EXPECT_EQ(Eval("1 :y=2; +y"), 3);
    EXPECT_EQ(Eval(":f(a)=a*a; f(3)"), 9);
    EXPECT_EQ(Eval(":g()=2*x; :x=3; g"), 6);
    EXPECT_EQ(Eval(":x=4; g"), 8) << "names in a body are resolved at each use";
    EXPECT_EQ(Eval(":h(t)=\tt\n+ 1; h(1)"), 2);
    EXPECT_EQ(Eval(":a=:b=3;+1; a*10+b"), 13);
    EXPECT_EXPR_ERROR(&Table, ":k()=1;; k", "Value expected", 8);
    // A definition made before a failure stays.
    EXPECT_EQ(RaisedBy(":late=7; 1+", &Table).Message, "Value expected");
    EXPECT_EQ(Eval("late"), 7);
}

TEST_F(Parser, DefinitionsAloneGiveNaNUnlessAValueIsRequired) {
    bool hasValue = true;
    EXPECT_TRUE(std::isnan(EvaluateExpression(":x=5", &Table, false, &hasValue)));
    EXPECT_FALSE(hasValue);
    EXPECT_EQ(Eval("x"), 5);
    EXPECT_TRUE(std::isnan(EvaluateExpression("(:y=1;)+2", &Table, false, &hasValue)));
    EXPECT_TRUE(hasValue);
    EXPECT_EXPR_ERROR(&Table, "(:y=1;)+2", "Value expected", 7);
}

TEST_F(Parser, UndefinedNamesReadAsZeroInALenientTable) {
    TSymbolTable lenient;
    EXPECT_EQ(EvaluateExpression("foo+1", &lenient), 1);
    EXPECT_EQ(EvaluateExpression("x.5", &lenient), 0) << "one name";
    EXPECT_EQ(EvaluateExpression(":x.5=3; x.5", &lenient), 3);
}

TEST_F(Parser, ComparisonTolerance) {
    EXPECT_EQ(Eval("1=1+1e-17"), 1);
    EXPECT_EQ(Eval("1<1+1e-17"), 0);
    EXPECT_EQ(Eval("1<1+1e-15"), 1);
    EXPECT_EQ(Eval("0=1e-17"), 1);
    EXPECT_EQ(Eval("1e20=1e20+1000"), 1);
    EXPECT_EQ(Eval("1e20=1e20+100000"), 0);
    // Infinities are the same only as themselves.
    EXPECT_EQ(Eval("inf=inf"), 1);
    EXPECT_EQ(Eval("inf=(-inf)"), 0);
    EXPECT_EXPR_ERROR(&Table, "inf=-inf", "Invalid number format", 6);
    EXPECT_EQ(Eval("inf>1e4000"), 1);
    EXPECT_EQ(Eval("-inf<inf"), 1);
}

TEST_F(Parser, LogicalOperatorsEvaluateBothSides) {
    EXPECT_EQ(Eval("0&(1/0)"), 0);
    EXPECT_EQ(Eval("0&(:side=1;1)"), 0);
    EXPECT_EQ(Eval("side"), 1);
    EXPECT_EQ(Eval("2&-1"), 1);
}

TEST_F(Parser, Remainder) {
    EXPECT_NEAR(static_cast<double>(Eval("7%3")), 1, 1e-15);
    EXPECT_NEAR(static_cast<double>(Eval("-7%3")), -1, 1e-15);
    EXPECT_EQ(Eval("7.5%2"), 1.5L);
    EXPECT_EXPR_ERROR(&Table, "7%0", "Floating point division by zero", 4);
    EXPECT_EXPR_ERROR(&Table, "inf%2", "Invalid floating point operation", 6);
    EXPECT_EXPR_ERROR(&Table, "1e4932%1e-10", "Floating point overflow", 13);
}

TEST_F(Parser, OperatorFaults) {
    EXPECT_EQ(Eval("1/0"), Inf);
    EXPECT_EQ(Eval("-1/0"), -Inf);
    EXPECT_EQ(Eval("0^-1"), Inf);
    EXPECT_EQ(Eval("1e4000*1e4000"), Inf);
    EXPECT_EQ(Eval("1e4000*-1e4000"), -Inf);
    EXPECT_EQ(Eval("1e4000/1e-4000"), Inf);
    EXPECT_EQ(Eval("inf/0"), Inf) << "an infinity divided by zero is no fault";
    EXPECT_EXPR_ERROR(&Table, "inf*0", "Invalid floating point operation", 6);
    EXPECT_EXPR_ERROR(&Table, "inf/inf", "Invalid floating point operation", 8);

    // "+" and "-" let the fault itself through, outside function calls.
    EXPECT_THROW(Eval("1e4932+1e4932"), EOverflow);
    EXPECT_THROW(Eval("inf-inf"), EInvalidOp);
    EXPECT_EQ(RaisedBy("1e4932-1e4932*-1", &Table).Message, "Floating point overflow");
    EXPECT_EXPR_ERROR(&Table, "abs(1e4932+1e4932)", "Floating point overflow", 17);
    EXPECT_EQ(Eval("inf+1"), Inf);
}

TEST_F(Parser, PowersBeyondTheRangeKeepTheirTrueSign) {
    EXPECT_EQ(Eval("2^10"), 1024);
    EXPECT_NEAR(static_cast<double>(Eval("2^0.5") - std::sqrt(2.0L)), 0, 1e-18);
    EXPECT_EQ(Eval("(-2)^3"), -8);
    EXPECT_EQ(Eval("(-2)^-2"), 0.25);
    EXPECT_EQ(Eval("0^0"), 1);
    EXPECT_EQ(Eval("0^2.5"), 0);
    EXPECT_EQ(Eval("10^5000"), Inf);
    EXPECT_EQ(Eval("(-10)^5001"), -Inf);
    EXPECT_EQ(Eval("(-10)^5000"), Inf);
    EXPECT_EQ(Eval("10^-5000"), 0);
    EXPECT_EQ(Eval("10^5000.5"), Inf);
    EXPECT_EQ(Eval("0.1^-5000.5"), Inf);
    EXPECT_EQ(Eval("0^-0.5"), Inf);
    EXPECT_EQ(Eval("2^3000000000"), Inf);
    EXPECT_EXPR_ERROR(&Table, "(-8)^(1/3)", "Invalid floating point operation", 11);
    EXPECT_EXPR_ERROR(&Table, "1^inf", "Invalid floating point operation", 6);
}

TEST_F(Parser, SymbolsReplacedWhileInUseStayAliveUntilTheyAreDone) {
    // Each of these frees a symbol while the evaluator still reads it (ASan would see it).
    EXPECT_EQ(Eval(":f(a)=(:f=1)+a*2; f(3)"), 6);
    EXPECT_EQ(Eval("f"), 1);
    EXPECT_EQ(Eval("sin(:sin=1;0)"), 0);
    EXPECT_EQ(Eval("sin"), 1);
    EXPECT_EQ(Eval(":g()=(:g=5)+7; g+g"), 12);
    EXPECT_EQ(Eval(":p(a)=(:a=a+1)+a; p(1)"), 2);
    EXPECT_EQ(Table.FindSymbol("a"), nullptr) << "the parameter binding is gone";
}

TEST_F(Parser, DeepNestingIsRefusedNotOverflowingTheStack) {
    const std::string parens = std::string(10000, '(') + "1";
    EXPECT_EXPR_ERROR(&Table, parens, "Expression too deeply nested", MaxNestingDepth + 1);
    const std::string ok = std::string(MaxNestingDepth - 1, '(') + "1";
    EXPECT_EQ(Eval(ok), 1);

    std::string calls;
    for (int i = 0; i < 5000; ++i)
        calls += "abs(";
    calls += "1";
    EXPECT_EQ(RaisedBy(calls, &Table).Message, "Expression too deeply nested");

    std::string definitions;
    for (int i = 0; i < 5000; ++i)
        definitions += ":a=";
    EXPECT_EQ(RaisedBy(definitions + "1", &Table).Message, "Expression too deeply nested");

    // A chain of function bodies counts as well, and leaves no binding behind.
    const std::vector<std::string> before = NamesOf(Table);
    Eval(":f0(v)=v;", false);
    for (int i = 1; i < 400; ++i)
        Eval(":f" + std::to_string(i) + "(v)=f" + std::to_string(i - 1) + "(v)+1;", false);
    EXPECT_EQ(Eval("f50(0)"), 50);
    EXPECT_EQ(RaisedBy("f399(0)", &Table).Message, "Expression too deeply nested");
    EXPECT_EQ(Table.FindSymbol("v"), nullptr);
    EXPECT_EQ(Table.Count(), static_cast<int>(before.size()) + 400);

    // Long flat input needs no depth at all.
    std::string flat = "0";
    for (int i = 0; i < 100000; ++i)
        flat += "+1";
    EXPECT_EQ(Eval(flat), 100000);
}

TEST_F(Parser, UsesTheGlobalTableWhenGivenNone) {
    ASSERT_NE(GlobalSymbolTable, nullptr);
    EXPECT_TRUE(GlobalSymbolTable->ErrorOnUndefined);
    EXPECT_EQ(EvaluateExpression(":globaltestvalue=41; globaltestvalue+1"), 42);
    EXPECT_NE(GlobalSymbolTable->FindSymbol("globaltestvalue"), nullptr);
    EXPECT_EQ(Table.FindSymbol("globaltestvalue"), nullptr);
    GlobalSymbolTable->RemoveSymbol("globaltestvalue");
    EXPECT_EXPR_ERROR(nullptr, "globaltestvalue", "Undefined symbol: globaltestvalue", 16);
}

TEST_F(Parser, ComputesInItsOwnFloatingPointSettingsAndRestoresTheCallers) {
    const Extended nearest = Eval("1/3+2/3*1e-5");
    const int saved = std::fegetround();
    ASSERT_EQ(std::fesetround(FE_UPWARD), 0);
    const Extended upward = Eval("1/3+2/3*1e-5");
    const int after = std::fegetround();
    std::fesetround(saved);
    EXPECT_EQ(upward, nearest);
    EXPECT_EQ(after, FE_UPWARD);
}

// Random texts over the evaluator's alphabet: every outcome is a value or one of the
// library's exceptions, and under the sanitizers no memory is misused or leaked.
TEST(ParserRobustness, RandomTextsFailCleanly) {
    const char* pieces[] = {
        "0",    "1",     "2.5",  "1e3",  "$1F", ",", ".",  "-",      "+",        "*",   "/",
        "%",    "^",     "=",    "#",    "<",   ">", "&",  "|",      "(",        ")",   ";",
        ":",    " ",     "x",    "y",    "f",   "g", "a",  ":f(a)=", ":g()=",    ":x=", "f(",
        "sin(", "sqrt(", "fac(", "bin(", "inf", "e", "\t", "@",      "num.Guess"};
    std::mt19937 rng(2024);
    TSymbolTable table;
    int values = 0;
    for (int round = 0; round < 20000; ++round) {
        std::string text;
        const size_t n = 1 + rng() % 24;
        for (size_t i = 0; i < n; ++i)
            text += pieces[rng() % (sizeof pieces / sizeof pieces[0])];
        try {
            EvaluateExpression(text, &table, rng() % 2 == 0);
            ++values;
        } catch (const Exception&) {
        }
    }
    EXPECT_GT(values, 0);
}
