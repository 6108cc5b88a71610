// The one-pass parser and evaluator: reads the text left to right and computes as it reads,
// with an operator-precedence stack per parenthesis level.
#include "expr/ExpressionEvalPrivate.h"

#include <array>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace vt {

using namespace expr_detail;

namespace {

// Precedence of each operator character; 0 for every other character.
constexpr std::array<int32_t, 256> MakeOperatorPrecedence() {
    std::array<int32_t, 256> p{};
    p['^'] = 5;
    p['*'] = p['/'] = p['%'] = 4;
    p['+'] = p['-'] = 3;
    p['='] = p['#'] = p['<'] = p['>'] = 2;
    p['&'] = p['|'] = 1;
    return p;
}
constexpr std::array<int32_t, 256> OperatorPrecedence = MakeOperatorPrecedence();

inline int32_t Precedence(char c) {
    return OperatorPrecedence[static_cast<unsigned char>(c)];
}

// Open expression levels on this thread, across nested evaluations of bodies and solvers.
// Each evaluation finds it once and counts through a reference: thread-local storage costs a
// function call per access in some builds.
thread_local int NestingDepth = 0;

class TNestingGuard {
public:
    TNestingGuard(int& depth, int32_t pos) : Depth(depth) {
        if (Depth >= MaxNestingDepth)
            throw EExpressionError(STooDeeplyNested, pos);
        ++Depth;
    }
    ~TNestingGuard() { --Depth; }
    TNestingGuard(const TNestingGuard&) = delete;
    TNestingGuard& operator=(const TNestingGuard&) = delete;

private:
    int& Depth;
};

// ---- number conversion --------------------------------------------------------------------

// Powers of ten that are exact in extended: 10^27 = 2^27 x 5^27 and 5^27 < 2^64.
constexpr int MaxExactPower = 27;
constexpr std::array<Extended, MaxExactPower + 1> MakePowersOfTen() {
    std::array<Extended, MaxExactPower + 1> p{};
    p[0] = 1;
    for (int i = 1; i <= MaxExactPower; ++i)
        p[static_cast<size_t>(i)] = p[static_cast<size_t>(i) - 1] * 10;
    return p;
}
constexpr std::array<Extended, MaxExactPower + 1> PowersOfTen = MakePowersOfTen();

// The same powers as integers up to 10^18, and for each the largest mantissa whose product
// with it stays below 2^63: such a product is exact in integer arithmetic and converts to
// extended without rounding, which is what the extended multiplication would give.
constexpr int MaxExactIntegerPower = 18;
constexpr std::array<uint64_t, MaxExactIntegerPower + 1> MakeIntegerPowersOfTen() {
    std::array<uint64_t, MaxExactIntegerPower + 1> p{};
    p[0] = 1;
    for (int i = 1; i <= MaxExactIntegerPower; ++i)
        p[static_cast<size_t>(i)] = p[static_cast<size_t>(i) - 1] * 10;
    return p;
}
constexpr std::array<uint64_t, MaxExactIntegerPower + 1> IntegerPowersOfTen =
    MakeIntegerPowersOfTen();
constexpr std::array<uint64_t, MaxExactIntegerPower + 1> MakeIntegerLimits() {
    std::array<uint64_t, MaxExactIntegerPower + 1> l{};
    for (size_t i = 0; i <= MaxExactIntegerPower; ++i)
        l[i] = static_cast<uint64_t>(INT64_MAX) / IntegerPowersOfTen[i];
    return l;
}
constexpr std::array<uint64_t, MaxExactIntegerPower + 1> IntegerLimits = MakeIntegerLimits();

// The platform's conversion of decimal text to extended, independent of the C locale's
// decimal point. S has been checked against the accepted syntax.
bool ConvertWithLibrary(std::string_view s, Extended& value) {
    const char* point = std::localeconv()->decimal_point;
    const size_t pointLength = (point != nullptr && *point != '\0') ? std::strlen(point) : 0;
    std::string buffer;
    buffer.reserve(s.size() + 8);
    for (char c : s) {
        if (c == '.' && pointLength > 0)
            buffer.append(point, pointLength);
        else
            buffer += c;
    }
    char* end = nullptr;
    const Extended v = std::strtold(buffer.c_str(), &end);
    if (end != buffer.c_str() + buffer.size() || std::isinf(v) || std::isnan(v))
        return false;
    value = v;
    return true;
}

// Converts the decimal form: optional "-"; digits; optional "." and digits; optional "E" or
// "e", optional "-" and at least one digit. The digit runs around "." may be empty, but the
// mantissa must hold a digit or the point. A number beyond the extended range does not
// convert; one below it becomes 0 or a denormal.
bool TextToExtended(std::string_view s, Extended& value) {
    size_t i = 0;
    const bool negative = i < s.size() && s[i] == '-';
    if (negative)
        ++i;
    uint64_t mantissa = 0;
    int significant = 0; // digits taken into the mantissa, leading zeros skipped
    int dropped = 0;     // digits before the point that did not fit the mantissa
    int fraction = 0;    // digits after the point taken into the mantissa
    bool anyDigit = false;
    bool inexact = false; // a non-zero digit could not be kept
    bool point = false;
    for (; i < s.size(); ++i) {
        const char c = s[i];
        if (IsDigit(c)) {
            anyDigit = true;
            if (significant < 19) {
                if (mantissa != 0 || c != '0')
                    ++significant;
                mantissa = mantissa * 10 + static_cast<uint64_t>(c - '0');
                if (point)
                    ++fraction;
            } else {
                if (!point)
                    ++dropped;
                if (c != '0')
                    inexact = true;
            }
        } else if (c == '.' && !point) {
            point = true;
        } else {
            break;
        }
    }
    if (!anyDigit && !point)
        return false;
    long exponent = 0;
    if (i < s.size()) {
        if (s[i] != 'e' && s[i] != 'E')
            return false;
        ++i;
        const bool negativeExponent = i < s.size() && s[i] == '-';
        if (negativeExponent)
            ++i;
        if (i >= s.size())
            return false;
        for (; i < s.size(); ++i) {
            if (!IsDigit(s[i]))
                return false;
            if (exponent < 100000000)
                exponent = exponent * 10 + (s[i] - '0');
        }
        if (negativeExponent)
            exponent = -exponent;
    }
    // Fast path: a mantissa below 2^64 scaled by an exact power of ten is one correctly
    // rounded operation, and can be neither infinite nor zero (at most about 1.8e46, at least
    // 1e-27 unless the mantissa is 0).
    const long scale = exponent + dropped - fraction;
    if (!inexact && scale >= -MaxExactPower && scale <= MaxExactPower) {
        Extended v;
        if (FastPaths && scale >= 0 && scale <= MaxExactIntegerPower &&
            mantissa <= IntegerLimits[static_cast<size_t>(scale)]) {
            // The exact product is an integer below 2^63, so its conversion is that rounding.
            v = static_cast<Extended>(
                static_cast<int64_t>(mantissa * IntegerPowersOfTen[static_cast<size_t>(scale)]));
        } else {
            const auto m = static_cast<Extended>(mantissa);
            v = scale >= 0 ? m * PowersOfTen[static_cast<size_t>(scale)]
                           : m / PowersOfTen[static_cast<size_t>(-scale)];
        }
        value = negative ? -v : v;
        return true;
    }
    return ConvertWithLibrary(s, value);
}

// ---- the parser ---------------------------------------------------------------------------

struct TStackEntry {
    Extended Value;
    char Op;
};

class TParser {
public:
    TParser(std::string_view text, TSymbolTable* table, bool requireValue, int& depth)
        : Text(text), Length(static_cast<int32_t>(text.size())), Table(table),
          RequireValue(requireValue), Depth(depth) {}

    Extended ParseExpression(bool* hadValue = nullptr);

private:
    // The character at Pos; NUL outside the text.
    char Ch() const {
        return (Pos >= 1 && Pos <= Length) ? Text[static_cast<size_t>(Pos) - 1] : '\0';
    }
    void SkipSpaces() {
        while (Pos <= Length && IsSpace(Ch()))
            ++Pos;
    }
    void Expect(char c);
    std::string_view ReadName();
    Extended ParseOperand();
    Extended ParseNumber();
    Extended ParseSymbol();
    void ParseDefinition();
    std::string_view ReadBody(int32_t& bodyStart);
    Extended Combine(Extended L, char op, Extended R) const;
    void Reduce(TStackEntry* stack, int& top, int32_t minPrecedence) const;
    [[noreturn]] void Fail(const std::string& message) const {
        throw EExpressionError(message, Pos);
    }
    [[noreturn]] void Fail(const char* message) const { throw EExpressionError(message, Pos); }

    std::string_view Text;
    int32_t Pos = 1;
    int32_t Length;
    TSymbolTable* Table;
    bool RequireValue;
    int& Depth; // this thread's NestingDepth
};

void TParser::Expect(char c) {
    if (Ch() != c)
        Fail(Format(SCharExpected, {c}));
    ++Pos;
}

std::string_view TParser::ReadName() {
    const int32_t start = Pos;
    ++Pos;
    while (Pos <= Length && IsIdentCont(Ch()))
        ++Pos;
    return Text.substr(static_cast<size_t>(start) - 1, static_cast<size_t>(Pos - start));
}

Extended TParser::ParseExpression(bool* hadValue) {
    TNestingGuard nesting(Depth, Pos);
    SkipSpaces();
    // Entry 0 is never popped and ends up holding the level's value. Precedences strictly
    // increase above it, so at most five entries are ever pending.
    TStackEntry stack[11];
    int top = 0;
    stack[0] = {0, ' '};
    char op = '+';
    bool haveOperand = false;
    for (;;) {
        const char ch = Ch();
        if (ch == ':') {
            ++Pos;
            ParseDefinition();
            SkipSpaces();
        } else {
            if (Precedence(ch) != 0) {
                if (!haveOperand && ch != '+' && ch != '-')
                    Fail(Format(SUnexpectedCharacter, {ch}));
                op = ch;
                ++Pos;
                SkipSpaces();
            } else if (haveOperand) {
                Fail(SOperatorExpected);
            }
            const Extended value = ParseOperand();
            haveOperand = true;
            Reduce(stack, top, Precedence(op));
            stack[++top] = {value, op};
            SkipSpaces();
        }
        if (Pos > Length || Ch() == ')' || Ch() == ';')
            break;
    }
    Extended result;
    if (!haveOperand) {
        if (RequireValue)
            Fail(SValueExpected);
        result = std::numeric_limits<Extended>::quiet_NaN();
    } else {
        Reduce(stack, top, 1);
        result = stack[0].Value;
    }
    if (hadValue != nullptr)
        *hadValue = haveOperand;
    ++Pos;
    return result;
}

// The cases of "^" that need no logarithm: R = 0, L = 0 with R > 0, and integral exponents
// up to 2^31 - 1 in magnitude. Sets Result and returns true for them, false for any other;
// never raises.
bool IntegralPower(Extended L, Extended R, Extended& Result) {
    if (R == 0) {
        Result = 1;
        return true;
    }
    if (L == 0 && R > 0) {
        Result = 0;
        return true;
    }
    const Extended magnitude = std::fabs(R);
    if (!(magnitude <= 2147483647.0L))
        return false;
    uint32_t n;
    if (FastPaths) {
        // Through double, which holds every integer of this range exactly, so that no
        // change of the x87 rounding mode is needed; a fractional R does not come back equal.
        const auto i = static_cast<int32_t>(static_cast<double>(magnitude));
        if (static_cast<Extended>(i) != magnitude)
            return false;
        n = static_cast<uint32_t>(i);
    } else {
        if (R != std::trunc(R))
            return false;
        n = static_cast<uint32_t>(static_cast<int64_t>(magnitude));
    }
    Extended base = L;
    Extended result = 1;
    while (n > 0) {
        if (n & 1u)
            result *= base;
        n >>= 1;
        if (n > 0)
            base *= base;
    }
    Result = R < 0 ? 1 / result : result;
    return true;
}

// A finite result of "+", "-", "*", "/" or of an integral power is that operator's value
// whatever the operands were, so Combine, with its fault rules, only steps in for the other
// results (and for a division by zero, which is not even tried here so that no exception
// flag is raised that Combine would not raise).
void TParser::Reduce(TStackEntry* stack, int& top, int32_t minPrecedence) const {
    while (Precedence(stack[top].Op) >= minPrecedence) {
        const char op = stack[top].Op;
        const Extended L = stack[top - 1].Value;
        const Extended R = stack[top].Value;
        Extended r;
        bool combined = false;
        switch (FastPaths ? op : '\0') {
        case '+':
            r = L + R;
            break;
        case '-':
            r = L - R;
            break;
        case '*':
            r = L * R;
            break;
        case '/':
            if (R != 0) {
                r = L / R;
                break;
            }
            [[fallthrough]];
        case '^':
            if (op == '^' && IntegralPower(L, R, r))
                break;
            [[fallthrough]];
        default:
            r = Combine(L, op, R);
            combined = true;
            break;
        }
        if (!combined && !std::isfinite(r))
            r = Combine(L, op, R);
        stack[top - 1].Value = r;
        --top;
    }
}

// "^": an integral exponent up to 2^31 - 1 in magnitude by repeated squaring (a negative one
// through the reciprocal), any other through exp(R ln L). A result beyond the extended range
// is the infinity, or the zero, of its true sign; only an undefined result is a fault.
Extended Power(Extended L, Extended R) {
    Extended r;
    if (IntegralPower(L, R, r))
        return r;
    if (std::isnan(L) || std::isnan(R))
        return std::numeric_limits<Extended>::quiet_NaN();
    if (L < 0)
        RaiseInvalidOp();
    const Extended t = R * std::log(L);
    if (std::isnan(t))
        RaiseInvalidOp(); // infinity x log(1) = infinity x 0
    return std::exp(t);
}

Extended TParser::Combine(Extended L, char op, Extended R) const {
    // Faults of "*", "/", "^" and "%" that the operator does not turn into a value become
    // EExpressionError at the current position; faults of "+" and "-" pass as they are.
    try {
        switch (op) {
        case '+':
            return FAdd(L, R);
        case '-':
            return FSub(L, R);
        case '*': {
            const Extended r = L * R;
            if (std::isnan(r) && !std::isnan(L) && !std::isnan(R))
                RaiseInvalidOp();
            if (std::isinf(r) && std::isfinite(L) && std::isfinite(R)) // overflow
                return (L > 0) == (R > 0) ? HUGE_VALL : -HUGE_VALL;
            return r;
        }
        case '/': {
            if (R == 0 && std::isfinite(L)) {
                if (L == 0)
                    RaiseInvalidOp();
                return L > 0 ? HUGE_VALL : -HUGE_VALL; // division by zero
            }
            const Extended r = L / R;
            if (std::isnan(r) && !std::isnan(L) && !std::isnan(R))
                RaiseInvalidOp();
            if (std::isinf(r) && std::isfinite(L) && std::isfinite(R)) // overflow
                return (L > 0) == (R > 0) ? HUGE_VALL : -HUGE_VALL;
            return r;
        }
        case '%': {
            const Extended q = FDiv(L, R);
            return FMul(FSub(q, std::trunc(q)), R);
        }
        case '^':
            return Power(L, R);
        case '=':
            return SameValue(L, R) ? 1 : 0;
        case '#':
            return SameValue(L, R) ? 0 : 1;
        case '<':
            return !SameValue(L, R) && L < R ? 1 : 0;
        case '>':
            return !SameValue(L, R) && L > R ? 1 : 0;
        case '&':
            return L != 0 && R != 0 ? 1 : 0;
        case '|':
            return L != 0 || R != 0 ? 1 : 0;
        default:
            return 0;
        }
    } catch (const EMathError& e) {
        if (op == '+' || op == '-')
            throw;
        throw EExpressionError(e.Message, Pos);
    }
}

Extended TParser::ParseOperand() {
    const char ch = Ch();
    if (IsIdentStart(ch))
        return ParseSymbol();
    if (IsNumberStart(ch))
        return ParseNumber();
    if (ch == '(') {
        ++Pos;
        return ParseExpression();
    }
    if (Pos > Length)
        Fail(SValueExpected);
    Fail(Format(SUnexpectedCharacter, {ch}));
}

Extended TParser::ParseNumber() {
    const int32_t start = Pos;
    ++Pos;
    if (Text[static_cast<size_t>(start) - 1] == '$') {
        while (Pos <= Length && IsHexDigit(Ch()))
            ++Pos;
        uint32_t value = 0;
        bool any = false;
        for (int32_t i = start + 1; i < Pos; ++i) {
            if (any && value > 0x0FFFFFFFu)
                Fail(SInvalidNumberFormat);
            const char c = Text[static_cast<size_t>(i) - 1];
            const uint32_t digit = IsDigit(c)               ? static_cast<uint32_t>(c - '0')
                                   : (c >= 'a' && c <= 'f') ? static_cast<uint32_t>(c - 'a' + 10)
                                                            : static_cast<uint32_t>(c - 'A' + 10);
            value = value * 16 + digit;
            any = true;
        }
        if (!any)
            Fail(SInvalidNumberFormat);
        return static_cast<Extended>(static_cast<int32_t>(value));
    }
    // The number text runs from index Start - 1 to End - 1 (0-based); the scan looks at the
    // character before each one for the "-" of an exponent.
    const char* const text = Text.data();
    const auto first = static_cast<size_t>(start) - 1;
    size_t end = first + 1;
    size_t comma = std::string_view::npos;
    for (; end < Text.size(); ++end) {
        const char c = text[end];
        if (IsDigit(c) || c == '.' || c == 'E' || c == 'e') {
            continue;
        } else if (c == ',') {
            if (comma == std::string_view::npos)
                comma = end - first;
        } else if (c != '-' || (text[end - 1] != 'E' && text[end - 1] != 'e')) {
            break;
        }
    }
    Pos = static_cast<int32_t>(end) + 1;
    std::string_view number = Text.substr(first, end - first);
    if (number[0] == ',')
        comma = 0;
    // Only the first "," is a decimal separator.
    char small[64];
    std::string large;
    if (comma != std::string_view::npos) {
        char* copy = small;
        if (number.size() > sizeof small) {
            large.assign(number);
            copy = large.data();
        } else {
            std::memcpy(small, number.data(), number.size());
        }
        copy[comma] = '.';
        number = std::string_view(copy, number.size());
    }
    Extended value;
    if (!TextToExtended(number, value))
        Fail(SInvalidNumberFormat);
    return value;
}

Extended TParser::ParseSymbol() {
    const std::string_view name = ReadName();
    const int index = Table->IndexOf(name);
    if (index < 0) {
        if (Table->ErrorOnUndefined)
            Fail(Format(SUndefinedSymbol, {name}));
        return 0;
    }
    const TResolvedSymbol resolved = ResolveSymbol(Table->ObjectAt(index));
    switch (resolved.Kind) {
    case skValue:
        return static_cast<TSymbolValue*>(resolved.Symbol)->Value;
    case skExpression:
        return static_cast<TSymbolExpression*>(resolved.Symbol)->Evaluate(Table);
    case skFunction: {
        auto* function = static_cast<TSymbolFunction*>(resolved.Symbol);
        Expect('(');
        // Pinned: the argument may hold a definition that replaces this very symbol.
        TSymbolPin pin(function);
        try {
            const Extended x = ParseExpression();
            return function->Evaluate(Table, x);
        } catch (const EEvaluationAbandoned&) {
            throw;
        } catch (const std::exception& e) {
            throw EExpressionError(MessageOf(e), Pos - 1);
        }
    }
    case skSymbolicFunction: {
        auto* symbolic = static_cast<TSymbolicFunction*>(resolved.Symbol);
        Expect('(');
        SkipSpaces();
        TSymbolPin pin(symbolic);
        Extended value;
        try {
            value = symbolic->Evaluate(Text, Pos, Table);
        } catch (const EExpressionError&) {
            throw;
        } catch (const std::exception& e) {
            throw EExpressionError(MessageOf(e), Pos - 1);
        }
        SkipSpaces();
        Expect(')');
        return value;
    }
    default:
        Fail(Format(SUnknownSymbolType, {name}));
    }
}

std::string_view TParser::ReadBody(int32_t& bodyStart) {
    bodyStart = Pos;
    while (Pos <= Length && Ch() != ';')
        ++Pos;
    ++Pos;
    const int32_t end = Pos - 1 < Length ? Pos - 1 : Length; // last character of the body
    return Text.substr(static_cast<size_t>(bodyStart) - 1,
                       static_cast<size_t>(end - bodyStart + 1));
}

void TParser::ParseDefinition() {
    SkipSpaces();
    if (!IsIdentStart(Ch()))
        Fail(SNameExpected);
    const std::string_view name = ReadName();
    SkipSpaces();
    if (Ch() == '=') {
        ++Pos;
        const Extended value = ParseExpression();
        Table->DefineSymbol(name, new TSymbolValue(value));
        return;
    }
    if (Ch() != '(')
        Fail(SEqualOrParenExpected);
    ++Pos;
    SkipSpaces();
    int32_t bodyStart;
    if (Ch() == ')') {
        ++Pos;
        SkipSpaces();
        Expect('=');
        SkipSpaces();
        const std::string_view body = ReadBody(bodyStart);
        Table->DefineSymbol(name, new TSymbolExpression(body, bodyStart));
        return;
    }
    if (!IsIdentStart(Ch()))
        Fail(SNameExpected);
    const std::string_view parameter = ReadName();
    SkipSpaces();
    Expect(')');
    SkipSpaces();
    Expect('=');
    SkipSpaces();
    const std::string_view body = ReadBody(bodyStart);
    Table->DefineSymbol(name, new TExpressionFunction(std::string(parameter), body, bodyStart));
}

} // namespace

Extended EvaluateExpression(std::string_view Text, TSymbolTable* Table, bool RequireValue,
                            bool* HasValue) {
    if (Text.empty())
        throw EExpressionError(SExpressionEmpty, 0);
    // Positions are 32-bit and may run two past the end of the text.
    if (Text.size() > static_cast<size_t>(INT32_MAX) - 2)
        throw EExpressionError(SExpressionTooLong, 0);
    if (Table == nullptr)
        Table = GlobalSymbolTable;
    if (Table == nullptr)
        throw Exception(SNoSymbolTable);
    if (EvaluationCheck != nullptr)
        AskEvaluationCheck();
    int& depth = NestingDepth;
    TParser parser(Text, Table, RequireValue, depth);
    // The outermost evaluation sets the precision and rounding the arithmetic relies on.
    if (depth == 0 && !FloatEnvironmentReady()) {
        TFloatEnvironmentGuard environment;
        return parser.ParseExpression(HasValue);
    }
    return parser.ParseExpression(HasValue);
}

} // namespace vt
