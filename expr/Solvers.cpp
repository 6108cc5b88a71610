// The numeric solvers: a one-dimensional pattern search over a variable bound in the table.
#include "expr/ExpressionEvalPrivate.h"

#include <limits>

namespace vt {

using namespace expr_detail;

namespace {

constexpr int MaxIterations = 5000;

// One search over F (a text evaluated with the variable bound to Variable), from the
// variable's current value. Start is the position in the caller's text that positions
// inside F are relative to; Pos is where a failure to converge is reported.
class TPatternSearch {
public:
    TPatternSearch(std::string_view f, TSymbolTable* table, TSymbolValue* variable, bool absolute)
        : F(f), Table(table), Variable(variable), Absolute(absolute) {}

    // Returns the best value (ReturnValue) or the best point.
    Extended Run(int32_t start, int32_t pos, bool returnValue);

private:
    Extended At(Extended x) {
        Variable->Value = x;
        const Extended v = EvaluateExpression(F, Table, true);
        return Absolute ? std::fabs(v) : v;
    }
    // A trial point whose evaluation fails counts as no better than the best so far.
    Extended Trial(Extended x, Extended best) {
        try {
            return At(x);
        } catch (const EEvaluationAbandoned&) {
            throw;
        } catch (const std::exception&) {
            return best;
        }
    }

    std::string_view F;
    TSymbolTable* Table;
    TSymbolValue* Variable;
    bool Absolute;
};

Extended TPatternSearch::Run(int32_t start, int32_t pos, bool returnValue) {
    Extended x = Variable->Value;
    Extended best;
    try {
        best = At(x);
    } catch (const EEvaluationAbandoned&) {
        throw;
    } catch (const EExpressionError& e) {
        throw EExpressionError(Format(SUnableToEvaluateGuess, {e.Message}), start + e.Position);
    }
    Extended d = 1;
    for (int iteration = 0; iteration < MaxIterations; ++iteration) {
        Extended t = x + d;
        if (t == x)
            break; // the step no longer moves the point
        const Extended f1 = Trial(t, best);
        if (f1 < best) {
            x = t;
            d *= 1.1L;
            best = f1;
            continue;
        }
        t = x - d;
        const Extended f2 = Trial(t, best);
        if (f2 < best) {
            x = t;
            d *= -1.1L; // turn round and widen the step
            best = f2;
        } else {
            d /= 2;
        }
    }
    if (returnValue)
        return best;
    if (Absolute && best > 1e-5L)
        throw EExpressionError(SNoSolutionFound, pos);
    return x;
}

} // namespace

std::string TOptimizationFunction::GetParameters() {
    return Mode == 3 ? "equation,x" : "expression,x";
}

std::string TOptimizationFunction::GetDescription() {
    switch (Mode) {
    case 0:
        return "Find x that minimizes expression";
    case 1:
        return "Minimum value for expression in x";
    case 2:
        return "Root of expression in x";
    case 3:
        return "Solve equation in x";
    default:
        return {};
    }
}

Extended TOptimizationFunction::Evaluate(std::string_view Text, int32_t& Pos, TSymbolTable* Table) {
    // Called from outside an evaluation, the search's own steps need the evaluator's
    // environment as much as the evaluations of the argument do.
    if (!FloatEnvironmentReady()) {
        const TFloatEnvironmentGuard environment;
        return TOptimizationFunction::Evaluate(Text, Pos, Table);
    }
    if (Table == nullptr)
        Table = GlobalSymbolTable;
    if (Table == nullptr)
        throw Exception(SNoSymbolTable);
    const auto length = static_cast<int32_t>(Text.size());
    auto at = [&](int32_t p) {
        return (p >= 1 && p <= length) ? Text[static_cast<size_t>(p) - 1] : '\0';
    };

    // The first argument runs to the first "," outside parentheses.
    int32_t start = Pos;
    int depth = 0;
    while (Pos <= length) {
        const char c = at(Pos);
        if (depth == 0 && c == ',')
            break;
        if (c == '(') {
            ++depth;
        } else if (c == ')' && --depth < 0) {
            throw EExpressionError(Format(SCharExpected, {','}), Pos);
        }
        ++Pos;
    }
    if (Pos > length)
        throw EExpressionError(Format(SCharExpected, {','}), Pos);
    const std::string_view argument =
        Text.substr(static_cast<size_t>(start) - 1, static_cast<size_t>(Pos - start));

    // The variable name.
    ++Pos;
    while (Pos <= length && IsSpace(at(Pos)))
        ++Pos;
    const int32_t nameStart = Pos;
    if (!IsIdentStart(at(Pos)))
        throw EExpressionError(SNameExpected, Pos);
    ++Pos;
    while (Pos <= length && IsIdentCont(at(Pos)))
        ++Pos;
    const std::string_view name =
        Text.substr(static_cast<size_t>(nameStart) - 1, static_cast<size_t>(Pos - nameStart));

    const auto* guess = dynamic_cast<const TSymbolValue*>(Table->FindSymbol("num.Guess"));
    if (guess == nullptr)
        throw EExpressionError(SGuessUndefined, Pos);

    Extended r = 0;
    {
        TTemporaryBinding binding(Table, name, guess->Value);
        switch (Mode) {
        case 0:
            r = TPatternSearch(argument, Table, binding.Value, false).Run(start, Pos, false);
            break;
        case 1:
            r = TPatternSearch(argument, Table, binding.Value, false).Run(start, Pos, true);
            break;
        case 2:
            r = TPatternSearch(argument, Table, binding.Value, true).Run(start, Pos, false);
            break;
        case 3: {
            const size_t equal = argument.find('=');
            if (equal == std::string_view::npos)
                throw EExpressionError(Format(SCharNotFound, {'='}), nameStart - 2);
            std::string equation;
            equation.reserve(argument.size() + 4);
            equation += '(';
            equation += argument.substr(0, equal);
            equation += ")-(";
            equation += argument.substr(equal + 1);
            equation += ')';
            if (argument.find('=', equal + 1) != std::string_view::npos)
                throw EExpressionError(SExtraEqualFound, start + static_cast<int32_t>(equal) + 1);
            start -= 3;
            r = TPatternSearch(equation, Table, binding.Value, true).Run(start, Pos, false);
            break;
        }
        default:
            break;
        }
    }

    // Results that are numerically zero or beyond any meaningful scale are clamped.
    if (std::fabs(r) < 1e-100L)
        r = 0;
    else if (r > 1e100L)
        r = std::numeric_limits<Extended>::infinity();
    else if (r < -1e100L)
        r = -std::numeric_limits<Extended>::infinity();
    return r;
}

} // namespace vt
