// The standard constants and one-argument functions of every table, and the random source.
#include "expr/ExpressionEvalPrivate.h"

#include <cstdint>
#include <limits>
#include <string>

namespace vt {

using namespace expr_detail;

// ---- random source ------------------------------------------------------------------------

namespace {
uint32_t RandSeed = 0; // one state per process; the evaluator is used by one thread at a time
}

Extended RandomUniform() noexcept {
    RandSeed = RandSeed * 134775813u + 1u;
    return static_cast<Extended>(RandSeed) / 4294967296.0L;
}

uint32_t RandomState() noexcept {
    return RandSeed;
}

void SetRandomState(uint32_t State) noexcept {
    RandSeed = State;
}

namespace {

// ---- functions ----------------------------------------------------------------------------
//
// Each reports the faults its formula meets: an undefined intermediate (square root or
// logarithm of a negative number, infinity minus infinity) is an invalid operation, and a
// finite intermediate beyond the extended range is an overflow, just as the formula would
// fault if its steps were done one by one.

Extended Sine(Extended x) {
    if (std::isinf(x))
        RaiseInvalidOp();
    return std::sin(x);
}

Extended Cosine(Extended x) {
    if (std::isinf(x))
        RaiseInvalidOp();
    return std::cos(x);
}

Extended Tangent(Extended x) {
    if (std::isinf(x))
        RaiseInvalidOp();
    return Checked1(std::tan(x), x);
}

Extended Cotangent(Extended x) {
    return FDiv(1, Tangent(x));
}

Extended ArcTan(Extended x) {
    return std::atan(x);
}

Extended ArcCos(Extended x) {
    return std::atan2(FSqrt(FSub(1, FMul(x, x))), x);
}

Extended ArcSin(Extended x) {
    return std::atan2(x, FSqrt(FSub(1, FMul(x, x))));
}

Extended Sinh(Extended x) {
    if (std::fabs(x) <= 1e-16L)
        return 0;
    return FDiv(FSub(FExp(x), FExp(-x)), 2);
}

Extended Cosh(Extended x) {
    if (std::fabs(x) <= 1e-16L)
        return 1;
    return FDiv(FAdd(FExp(x), FExp(-x)), 2);
}

Extended Tanh(Extended x) {
    if (std::fabs(x) <= 1e-16L)
        return 0;
    return FDiv(Sinh(x), Cosh(x));
}

Extended ArcCosh(Extended x) {
    return FLn(FAdd(x, FMul(FSqrt(FDiv(FSub(x, 1), FAdd(x, 1))), FAdd(x, 1))));
}

// ln(x + sqrt(x^2 + 1)) cancels to nothing for large negative x (the logarithm of 0 for
// x = -1e10); the function is odd, so negative arguments are mirrored.
Extended ArcSinh(Extended x) {
    if (x < 0)
        return -ArcSinh(-x);
    return FLn(FAdd(x, FSqrt(FAdd(FMul(x, x), 1))));
}

Extended ArcTanh(Extended x) {
    if (SameValue(x, 1))
        return std::numeric_limits<Extended>::infinity();
    if (SameValue(x, -1))
        return -std::numeric_limits<Extended>::infinity();
    return 0.5L * FLn(FDiv(FAdd(1, x), FSub(1, x)));
}

Extended Log10(Extended x) {
    CheckLogArgument(x);
    return std::log10(x);
}

Extended Log2(Extended x) {
    CheckLogArgument(x);
    return std::log2(x);
}

Extended Ln(Extended x) {
    return FLn(x);
}

Extended SquareRoot(Extended x) {
    return FSqrt(x);
}

Extended Exponential(Extended x) {
    return FExp(x);
}

Extended Absolute(Extended x) {
    return std::fabs(x);
}

// Nearest integer, halves to even, as a signed 64-bit integer; EInvalidOp when it does not
// fit (NaN and infinities included).
Extended Round(Extended x) {
    const Extended r = RoundHalfEven(x);
    if (!(r >= -9223372036854775808.0L && r < 9223372036854775808.0L))
        RaiseInvalidOp();
    return r;
}

// The integer part of x as a 64-bit integer, from which ceil and floor step by one.
Extended TruncateTo64(Extended x) {
    if (!(std::fabs(x) < 9223372036854775808.0L))
        RaiseInvalidOp();
    return std::trunc(x);
}

// Results are signed 32-bit integers; one outside that range is refused with EInvalidOp
// rather than wrapped around into an unrelated number.
Extended FitInt32(Extended r) {
    if (r < -2147483648.0L || r > 2147483647.0L)
        RaiseInvalidOp();
    return r;
}

Extended Ceil(Extended x) {
    const Extended t = TruncateTo64(x);
    return FitInt32(x - t > 0 ? t + 1 : t);
}

Extended Floor(Extended x) {
    const Extended t = TruncateTo64(x);
    return FitInt32(x - t < 0 ? t - 1 : t);
}

Extended Frac(Extended x) {
    return FSub(x, std::trunc(x));
}

Extended Factorial(Extended x) {
    if (x < 0)
        throw Exception(SUndefined);
    const Extended n = Round(x);
    if (std::fabs(x - n) > 1e-6L)
        throw Exception(SUndefined);
    // The product overflows the extended range from 1755! on; a larger N is refused the same
    // way at once instead of being cut to 32 bits.
    if (n > 2147483647.0L)
        RaiseOverflow();
    Extended result = 1;
    for (auto k = static_cast<int32_t>(n); k >= 2; --k)
        result = FMul(result, static_cast<Extended>(k));
    return result;
}

Extended Rand(Extended x) {
    return FMul(x, RandomUniform());
}

// Polar method; the first draw of each pair is U.
Extended RandN(Extended x) {
    Extended u;
    Extended s;
    do {
        u = 2 * RandomUniform() - 1;
        const Extended w = 2 * RandomUniform() - 1;
        s = u * u + w * w;
    } while (s >= 1);
    return FMul(FMul(u, FSqrt(FDiv(FMul(-2, FLn(s)), s))), x) + 0;
}

// Reads the decimal digits of x, rounded to an integer, as binary digits.
Extended Bin(Extended x) {
    const Extended r = RoundHalfEven(x);
    if (!std::isfinite(r))
        throw Exception(SInvalidBinaryNumber); // written as a word, not as digits
    if (std::fabs(r) >= 1e17L)
        throw Exception(SMaxBinaryBits); // at least 18 characters
    const std::string text = std::to_string(static_cast<long long>(r));
    if (text.size() > 16)
        throw Exception(SMaxBinaryBits);
    int32_t value = 0;
    for (char c : text) {
        if (c != '0' && c != '1')
            throw Exception(SInvalidBinaryNumber);
        value = 2 * value + (c - '0');
    }
    return value;
}

struct TStandardEntry {
    const char* Name;
    TStandardFunction::TFunc Func;
    const char* Description;
};

constexpr TStandardEntry StandardFunctions[] = {
    {"sin", Sine, ""},
    {"cos", Cosine, ""},
    {"arctan", ArcTan, ""},
    {"arccos", ArcCos, ""},
    {"arcsin", ArcSin, ""},
    {"tan", Tangent, ""},
    {"cot", Cotangent, ""},
    {"sinh", Sinh, ""},
    {"cosh", Cosh, ""},
    {"tanh", Tanh, ""},
    {"arccosh", ArcCosh, ""},
    {"arcsinh", ArcSinh, ""},
    {"arctanh", ArcTanh, ""},
    {"log10", Log10, "Base 10 logarithm"},
    {"log2", Log2, "Base 2 logarithm"},
    {"ln", Ln, "Base e logarithm"},
    {"sqrt", SquareRoot, "Square root"},
    {"exp", Exponential, "e^x"},
    {"fac", Factorial, "x!"},
    {"abs", Absolute, "|x|"},
    {"ceil", Ceil, "Rounds up toward positive infinity"},
    {"floor", Floor, "Rounds toward negative infinity"},
    {"round", Round, "Round to nearest integer"},
    {"frac", Frac, "Fractional part of real number"},
    {"rand", Rand, "Random number in [0;x["},
    {"randn", RandN, "Gaussian random number, StdDev=x"},
    {"bin", Bin, "Convert binary number"},
};

void Add(TSymbolTable& table, const char* name, TSymbol* symbol) {
    try {
        table.AddWithObject(name, symbol);
    } catch (...) {
        delete symbol;
        throw;
    }
}

} // namespace

namespace expr_detail {

void AddStandardSymbols(TSymbolTable& table) {
    const TFloatEnvironmentGuard environment; // e to full extended precision
    Add(table, "pi", new TSymbolValue(3.14159265358979323846L));
    Add(table, "e", new TSymbolValue(std::exp(1.0L)));
    Add(table, "inf", new TSymbolValue(std::numeric_limits<Extended>::infinity()));
    Add(table, "kb", new TSymbolValue(1024));
    Add(table, "Mb", new TSymbolValue(1048576));
    for (const TStandardEntry& f : StandardFunctions)
        Add(table, f.Name, new TStandardFunction(f.Func, f.Description));
    Add(table, "num.argmin", new TOptimizationFunction(0));
    Add(table, "num.min", new TOptimizationFunction(1));
    Add(table, "num.root", new TOptimizationFunction(2));
    Add(table, "num.solve", new TOptimizationFunction(3));
    Add(table, "num.Guess", new TParameterValue(0.500000001L));
}

} // namespace expr_detail

} // namespace vt
