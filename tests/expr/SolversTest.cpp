// The numeric solvers: the worked examples, their error messages and positions, the starting
// guess, the variable binding that is always undone, and the clamping of results.
#include "ExprTestSupport.h"

#include <cmath>
#include <limits>

using namespace vt;
using namespace vt::test;

namespace {

class Solvers : public ::testing::Test {
protected:
    Extended Eval(const std::string& text) { return EvaluateExpression(text, &Table); }
    TStrictTable Table;
};

constexpr Extended Sqrt2 = 1.41421356237309504880L;

} // namespace

TEST_F(Solvers, RootsAndSolutions) {
    EXPECT_NEAR(static_cast<double>(Eval("num.root(x^2-2, x)")), static_cast<double>(Sqrt2), 1e-5);
    EXPECT_NEAR(static_cast<double>(Eval("num.solve(x^2=2, x)")), static_cast<double>(Sqrt2), 1e-5);
    EXPECT_EQ(Eval("num.root(x^2-2, x)"), Eval("num.solve(x^2=2, x)"))
        << "the equation is rewritten as (x^2)-(2)";
    EXPECT_NEAR(static_cast<double>(Eval("num.solve(2^x = 8, x)")), 3, 1e-5);
}

TEST_F(Solvers, Minimization) {
    EXPECT_NEAR(static_cast<double>(Eval("num.min((x-3)^2+1, x)")), 1, 1e-9);
    EXPECT_NEAR(static_cast<double>(Eval("num.argmin((x-3)^2+1, x)")), 3, 1e-4);
    EXPECT_NEAR(static_cast<double>(Eval("num.argmin(cos(t), t)")), 3.14159265, 1e-4);
    // The search stops in the nearest local minimum.
    EXPECT_NEAR(static_cast<double>(Eval("num.argmin((x^2-4)^2, x)")), 2, 1e-4);
    // Nested searches each bind their own variable.
    EXPECT_NEAR(static_cast<double>(Eval("num.argmin(num.min((y-x)^2+(x-3)^2, y), x)")), 3, 1e-3);
}

TEST_F(Solvers, TheGuessIsTheStartingPoint) {
    EXPECT_NEAR(static_cast<double>(Eval(":num.Guess=-2; num.root(x^2-2, x)")),
                -static_cast<double>(Sqrt2), 1e-5);
    Eval(":num.Guess()=1; 0");
    EXPECT_EXPR_ERROR(&Table, "num.root(x, x)", "Guess undefined", 14);
    EXPECT_EXPR_ERROR(&Table, "num.min(x, x)", "Guess undefined", 13);
    EXPECT_EXPR_ERROR(&Table, "num.solve(x=1, x)", "Guess undefined", 17);
    Table.RemoveSymbol("num.Guess");
    EXPECT_EXPR_ERROR(&Table, "num.argmin(x, x)", "Guess undefined", 16);
}

TEST_F(Solvers, TheVariableIsAlwaysPutBack) {
    Eval(":x=7; 0");
    const TSymbol* x = Table.FindSymbol("x");
    Eval("num.root(x^2-2, x)");
    EXPECT_EQ(Table.FindSymbol("x"), x);
    EXPECT_EQ(Eval("x"), 7);
    EXPECT_EQ(RaisedBy("num.root(x^2+1, x)", &Table).Message,
              "No solution found, try changing starting guess");
    EXPECT_EQ(Eval("x"), 7);

    Eval("num.min((fresh-1)^2, fresh)");
    EXPECT_EQ(Table.FindSymbol("fresh"), nullptr);
    EXPECT_EQ(RaisedBy("num.min(fresh+, fresh)", &Table).Message,
              "Unable to evaluate guess: Value expected");
    EXPECT_EQ(Table.FindSymbol("fresh"), nullptr);

    // A definition of the variable inside the searched text replaces the binding; the
    // evaluator keeps the binding alive and removes the definition afterwards.
    Eval("num.min(:fresh=3;(fresh-1)^2, fresh)");
    EXPECT_EQ(Table.FindSymbol("fresh"), nullptr);
}

TEST_F(Solvers, ErrorsAndPositions) {
    EXPECT_EXPR_ERROR(&Table, "num.root(x^2+1, x)",
                      "No solution found, try changing starting guess", 18);
    EXPECT_EXPR_ERROR(&Table, "num.solve(x+1, x)", "= not found", 14);
    EXPECT_EXPR_ERROR(&Table, "num.solve(x=1=2, x)", "Extra = found", 13);
    EXPECT_EXPR_ERROR(&Table, "num.root(x, 1)", "Name expected", 13);
    EXPECT_EXPR_ERROR(&Table, "num.root(x)", ", expected", 11);
    EXPECT_EXPR_ERROR(&Table, "num.root(x", ", expected", 11);
    EXPECT_EXPR_ERROR(&Table, "num.root((x, x)", ", expected", 16);
    EXPECT_EXPR_ERROR(&Table, "num.root(x, x", ") expected", 14);
    EXPECT_EXPR_ERROR(&Table, "num.root(x, x y)", ") expected", 15);
    EXPECT_EXPR_ERROR(&Table, "num.root (x, x)", "( expected", 9);
    // The first evaluation's error, relative to the argument's start (three places earlier
    // for an equation, which is rewritten with a parenthesis in front).
    EXPECT_EXPR_ERROR(&Table, "num.min(x+, x)", "Unable to evaluate guess: Value expected", 12);
    EXPECT_EXPR_ERROR(&Table, "num.min(x+nothing, x)",
                      "Unable to evaluate guess: Undefined symbol: nothing", 19);
    EXPECT_EXPR_ERROR(&Table, "num.solve(x=nothing, x)",
                      "Unable to evaluate guess: Undefined symbol: nothing", 21);
    // A comma inside parentheses belongs to the argument; one at depth 0 ends it.
    EXPECT_NEAR(static_cast<double>(Eval("num.root((x-1,5), x)")), 1.5, 1e-5);
    EXPECT_EXPR_ERROR(&Table, "num.root(x-1,5, x)", "Name expected", 14);
}

TEST_F(Solvers, FailuresDuringTheSearchOnlyRejectTrialPoints) {
    EXPECT_NEAR(static_cast<double>(Eval("num.root(sqrt(x)-1, x)")), 1, 1e-5);
    EXPECT_NEAR(static_cast<double>(Eval("num.argmin(1/(x-0.5)^2*0+(x-2)^2+ln(x), x)")),
                1.707106781, 1e-4);
}

TEST_F(Solvers, ResultsAreClamped) {
    EXPECT_EQ(Eval("num.min(1e-120+0*x, x)"), 0);
    EXPECT_EQ(Eval("num.min(1e200+0*x, x)"), std::numeric_limits<Extended>::infinity());
    EXPECT_EQ(Eval("num.min(0-1e200+0*x, x)"), -std::numeric_limits<Extended>::infinity());
}

TEST_F(Solvers, AnUnknownModeReadsItsArgumentsAndGivesZero) {
    TOptimizationFunction other(9);
    EXPECT_EQ(other.GetDescription(), "");
    EXPECT_EQ(other.GetParameters(), "expression,x");
    int32_t pos = 1;
    EXPECT_EQ(other.Evaluate("1, x", pos, &Table), 0);
    EXPECT_EQ(pos, 5);
}

namespace {

// An evaluation check that counts its calls and abandons from call Limit on.
struct TCountingCheck {
    long Calls = 0;
    long Limit = 0;
    static const char* Ask(void* data) {
        auto* check = static_cast<TCountingCheck*>(data);
        return ++check->Calls >= check->Limit ? "Stopped by the test" : nullptr;
    }
};

} // namespace

TEST_F(Solvers, TheEvaluationCheckAbandonsNestedSearchesAndLeavesTheTableWhole) {
    TCountingCheck check;
    check.Limit = 1000000;
    SetEvaluationCheck(TCountingCheck::Ask, &check);
    // One call per evaluation of a text: the outer text and each of the two bodies.
    EXPECT_EQ(Eval(":f(a)=a+1; :g()=2; f(f(g))"), 4);
    EXPECT_EQ(check.Calls, 4);

    // Abandoned in the first search's first trial, in the first evaluation at the guess, and
    // deep inside nested searches reached through a function: never taken for a failed trial
    // point nor re-raised as another error.
    const char* const texts[] = {"num.root(x^2-2, x)", "num.root(x^2-2, x)",
                                 ":h(t)=num.min(num.min((x-y)^2,x)+y^2+t,y); 1+h(2)"};
    const long limits[] = {3, 2, 5000};
    const std::vector<std::string> before = NamesOf(Table);
    for (int i = 0; i < 3; ++i) {
        check.Calls = 0;
        check.Limit = limits[i];
        const TRaised raised = RaisedBy(texts[i], &Table);
        EXPECT_EQ(raised.ClassName, "EEvaluationAbandoned") << texts[i];
        EXPECT_EQ(raised.Message, "Stopped by the test");
        EXPECT_EQ(raised.Position, 0);
        EXPECT_EQ(check.Calls, limits[i]) << "abandoned at once";
    }
    std::vector<std::string> after = NamesOf(Table);
    EXPECT_EQ(after.size(), before.size() + 1) << "only h was defined";
    EXPECT_EQ(Table.FindSymbol("x"), nullptr);
    EXPECT_EQ(Table.FindSymbol("y"), nullptr);
    SetEvaluationCheck(nullptr);
    EXPECT_NEAR(static_cast<double>(Eval("num.root(x^2-2, x)")), static_cast<double>(Sqrt2), 1e-5);
}
