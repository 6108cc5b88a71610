// Symbol tables and symbols: the standard contents, definitions and their ownership, the
// recursion guards that leave the table as it was, shadowing, symbolic-function extensions.
#include "ExprTestSupport.h"

#include <algorithm>

using namespace vt;
using namespace vt::test;

namespace {

int LiveCounted = 0;

// A value whose lifetime the tests can watch.
class TCountedValue : public TSymbolValue {
public:
    explicit TCountedValue(Extended v) : TSymbolValue(v) { ++LiveCounted; }
    ~TCountedValue() override { --LiveCounted; }
};

// Reads its argument list up to ")" and returns its length; "!" in it raises a runtime
// exception, "?" an evaluator error at position 99.
class TLengthFunction : public TSymbolicFunction {
public:
    Extended Evaluate(std::string_view Text, int32_t& Pos, TSymbolTable*) override {
        const int32_t start = Pos;
        while (Pos <= static_cast<int32_t>(Text.size()) &&
               Text[static_cast<size_t>(Pos) - 1] != ')') {
            if (Text[static_cast<size_t>(Pos) - 1] == '!')
                throw EConvertError("bang");
            if (Text[static_cast<size_t>(Pos) - 1] == '?')
                throw EExpressionError("question", 99);
            ++Pos;
        }
        return Pos - start;
    }
    std::string GetParameters() override { return "text"; }
    std::string GetDescription() override { return "Length of the argument text"; }
};

TSymbolicFunction* NewLengthFunction() {
    return new TLengthFunction();
}

// A symbol of a kind the parser does not know.
class TOddSymbol : public TSymbol {
public:
    TOddSymbol() : TSymbol(7) {}
};

} // namespace

TEST(SymbolTable, NewTableHoldsExactlyTheStandardSymbols) {
    TSymbolTable table;
    EXPECT_FALSE(table.ErrorOnUndefined);
    EXPECT_TRUE(table.Sorted());
    std::vector<std::string> expected = {
        "pi",         "e",       "inf",      "kb",        "Mb",       "sin",  "cos",   "arctan",
        "arccos",     "arcsin",  "tan",      "cot",       "sinh",     "cosh", "tanh",  "arccosh",
        "arcsinh",    "arctanh", "log10",    "log2",      "ln",       "sqrt", "exp",   "fac",
        "abs",        "ceil",    "floor",    "round",     "frac",     "rand", "randn", "bin",
        "num.argmin", "num.min", "num.root", "num.solve", "num.Guess"};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(NamesOf(table), expected);

    EXPECT_NE(table.FindSymbol("pi"), nullptr);
    EXPECT_EQ(table.FindSymbol("PI"), nullptr) << "names are case-sensitive";
    EXPECT_EQ(table.IndexOf("Sin"), -1);

    auto* guess = dynamic_cast<TParameterValue*>(table.FindSymbol("num.Guess"));
    ASSERT_NE(guess, nullptr);
    EXPECT_EQ(guess->Value, 0.500000001L);
    EXPECT_EQ(guess->Kind, skValue);
    auto* pi = dynamic_cast<TSymbolValue*>(table.FindSymbol("pi"));
    ASSERT_NE(pi, nullptr);
    EXPECT_EQ(pi->Value, 3.14159265358979323846L);
    EXPECT_EQ(table.FindSymbol("sin")->Kind, skFunction);
    EXPECT_EQ(table.FindSymbol("num.root")->Kind, skSymbolicFunction);
    auto* log10 = dynamic_cast<TStandardFunction*>(table.FindSymbol("log10"));
    ASSERT_NE(log10, nullptr);
    EXPECT_EQ(log10->Description, "Base 10 logarithm");
    EXPECT_EQ(dynamic_cast<TStandardFunction*>(table.FindSymbol("abs"))->Description, "|x|");
    EXPECT_EQ(dynamic_cast<TStandardFunction*>(table.FindSymbol("tanh"))->Description, "");
}

TEST(SymbolTable, DefineReplacesAndFreesRemoveRefusesUnknownNames) {
    TSymbolTable table;
    table.DefineSymbol("v", new TCountedValue(1));
    EXPECT_EQ(LiveCounted, 1);
    table.DefineSymbol("v", new TCountedValue(2));
    EXPECT_EQ(LiveCounted, 1) << "the replaced symbol is freed";
    EXPECT_EQ(EvaluateExpression("v", &table), 2);
    auto* same = table.FindSymbol("v");
    table.DefineSymbol("v", same); // storing the same symbol again changes nothing
    EXPECT_EQ(LiveCounted, 1);
    table.RemoveSymbol("v");
    EXPECT_EQ(LiveCounted, 0);
    try {
        table.RemoveSymbol("v");
        ADD_FAILURE() << "no exception";
    } catch (const EExpressionError&) {
        ADD_FAILURE() << "Symbol not found is a plain Exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message, "Symbol not found");
    }

    // A standard name can be redefined; the function is gone from this table only.
    EXPECT_EQ(EvaluateExpression(":sin=3; sin*2", &table), 6);
    EXPECT_EQ(table.FindSymbol("sin")->Kind, skValue);
    TSymbolTable other;
    EXPECT_EQ(EvaluateExpression("sin(0)", &other), 0);
}

TEST(SymbolTable, TablesFreeTheirSymbols) {
    {
        TSymbolTable table;
        table.DefineSymbol("a", new TCountedValue(1));
        table.DefineSymbol("b", new TCountedValue(2));
    }
    EXPECT_EQ(LiveCounted, 0);
}

TEST(SymbolTable, RecursionIsRefusedAndLeavesTheTableAsItWas) {
    TStrictTable table;
    EvaluateExpression(":f(a)=f(a)+1;", &table, false);
    EvaluateExpression(":g()=h+1; :h()=g*2;", &table, false);
    const std::vector<std::string> before = NamesOf(table);
    EXPECT_EXPR_ERROR(&table, "2+f(1)", "Recursive reference", 6);
    EXPECT_EQ(NamesOf(table), before);
    EXPECT_EQ(table.FindSymbol("a"), nullptr);
    EXPECT_EXPR_ERROR(&table, "g", "Recursive reference", 0);
    EXPECT_EQ(NamesOf(table), before);

    // A call whose argument is a call of the same function is not recursive.
    EvaluateExpression(":sq(a)=a*a;", &table, false);
    EXPECT_EQ(EvaluateExpression("sq(sq(3))", &table), 81);

    // The guards were cleared: the symbols work again once the cycle is broken.
    EvaluateExpression(":h()=5;", &table, false);
    EXPECT_EQ(EvaluateExpression("g", &table), 6);
}

TEST(SymbolTable, ParametersShadowOnlyWhileTheBodyRuns) {
    TStrictTable table;
    EvaluateExpression(":a=10; :f(a)=a*2; :bad(a)=a+nothing;", &table, false);
    EXPECT_EQ(EvaluateExpression("f(3)", &table), 6);
    EXPECT_EQ(EvaluateExpression("a", &table), 10);
    const TSymbol* a = table.FindSymbol("a");
    EXPECT_EXPR_ERROR(&table, "bad(3)", "Undefined symbol: nothing", 6);
    EXPECT_EQ(table.FindSymbol("a"), a) << "the very same symbol is back";
    EXPECT_EQ(EvaluateExpression("a", &table), 10);

    // Without a symbol of that name, the binding disappears again, also on failure.
    EvaluateExpression(":u(b)=b+nothing; :w(b)=b;", &table, false);
    EXPECT_EQ(EvaluateExpression("w(4)", &table), 4);
    EXPECT_EQ(table.FindSymbol("b"), nullptr);
    EXPECT_EQ(RaisedBy("u(4)", &table).Message, "Undefined symbol: nothing");
    EXPECT_EQ(table.FindSymbol("b"), nullptr);

    // A function may even take its own name as parameter.
    EvaluateExpression(":self(self)=self+1;", &table, false);
    EXPECT_EQ(EvaluateExpression("self(1)", &table), 2);
    EXPECT_EQ(table.FindSymbol("self")->Kind, skFunction);
}

TEST(SymbolTable, BodiesAreNormalizedAndCheckedAtConstruction) {
    TExpressionFunction f("x", "  \tx*2;\r\n", 4);
    EXPECT_EQ(f.Expression, "x*2");
    TSymbolExpression e(";;", 1);
    EXPECT_EQ(e.Expression, ";") << "only one final \";\" goes";
    TSymbolExpression tabs("1\t+\n2", 1);
    EXPECT_EQ(tabs.Expression, "1 + 2");
    try {
        TSymbolExpression empty(" \t\r\n", 12);
        ADD_FAILURE() << "no exception";
    } catch (const EExpressionError& error) {
        EXPECT_EQ(error.Message, "Expression is empty");
        EXPECT_EQ(error.Position, 12);
    }

    // A body of ";" alone is accepted, and fails when evaluated.
    TStrictTable table;
    EvaluateExpression(":z()=;", &table, false);
    EXPECT_EXPR_ERROR(&table, "z", "Expression is empty", 0);
    EXPECT_EQ(f.Evaluate(&table, 21), 42);
}

TEST(SymbolTable, SymbolicFunctionsReadTheirOwnArguments) {
    RegisterSymbolicFunction("len", NewLengthFunction);
    RegisterSymbolicFunction("pi", NewLengthFunction); // replaces the constant in new tables
    TStrictTable table;
    RegisteredSymbolicFunctions.clear();
    EXPECT_EQ(GlobalSymbolTable->FindSymbol("len"), nullptr);
    EXPECT_EQ(EvaluateExpression("len( abc )*10", &table), 40);
    EXPECT_EQ(EvaluateExpression("pi(xy)", &table), 2);
    EXPECT_EXPR_ERROR(&table, "len(a!b)", "bang", 5);
    EXPECT_EXPR_ERROR(&table, "len(a?b)", "question", 99);
    EXPECT_EXPR_ERROR(&table, "len(abc", ") expected", 8);
    EXPECT_EXPR_ERROR(&table, "len", "( expected", 4);
    auto* len = dynamic_cast<TSymbolicFunction*>(table.FindSymbol("len"));
    ASSERT_NE(len, nullptr);
    EXPECT_EQ(len->GetParameters(), "text");

    TSymbolTable fresh;
    EXPECT_EQ(fresh.FindSymbol("len"), nullptr);
}

TEST(SymbolTable, UnknownKindsAndForeignObjectsAreReported) {
    TStrictTable table;
    table.DefineSymbol("odd", new TOddSymbol());
    EXPECT_EXPR_ERROR(&table, "1+odd", "Unknown symbol type: odd", 6);
    table.AddWithObject("bare", nullptr);
    EXPECT_EXPR_ERROR(&table, "bare", "Unknown symbol type: bare", 5);
    EXPECT_EQ(table.FindSymbol("bare"), nullptr);
}

TEST(SymbolTable, GlobalTableReportsUndefinedNames) {
    ASSERT_NE(GlobalSymbolTable, nullptr);
    EXPECT_TRUE(GlobalSymbolTable->ErrorOnUndefined);
    EXPECT_NE(GlobalSymbolTable->FindSymbol("num.solve"), nullptr);
}
