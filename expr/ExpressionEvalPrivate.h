// Shared by the evaluator's sources only: character classes, the tolerance of comparisons,
// extended arithmetic with explicit floating-point fault detection, and symbol pins.
#pragma once

#include "expr/ExpressionEval.h"

#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>
#include <typeinfo>

namespace vt::expr_detail {

// ---- character classes -----------------------------------------------------------------

inline bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}
inline bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}
inline bool IsIdentStart(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}
inline bool IsIdentCont(char c) {
    return IsIdentStart(c) || IsDigit(c) || c == '.';
}
inline bool IsNumberStart(char c) {
    return IsDigit(c) || c == '.' || c == ',' || c == '-' || c == '$';
}
inline bool IsHexDigit(char c) {
    return IsDigit(c) || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

// ---- floating-point faults ---------------------------------------------------------------
//
// Faults are found by looking at operands and results, never by unmasking processor traps:
// a NaN produced from operands that are not NaN is an invalid operation, an infinity produced
// from finite operands is an overflow, and a finite non-zero number divided by zero (or the
// logarithm of zero) is a division by zero. Underflow and inexact results are not faults.

[[noreturn]] void RaiseInvalidOp();
[[noreturn]] void RaiseZeroDivide();
[[noreturn]] void RaiseOverflow();

inline Extended Checked2(Extended r, Extended a, Extended b) {
    if (std::isnan(r)) {
        if (!std::isnan(a) && !std::isnan(b))
            RaiseInvalidOp();
    } else if (std::isinf(r) && std::isfinite(a) && std::isfinite(b)) {
        RaiseOverflow();
    }
    return r;
}

// The result of a one-argument function of X: the same two rules.
inline Extended Checked1(Extended r, Extended x) {
    if (std::isnan(r)) {
        if (!std::isnan(x))
            RaiseInvalidOp();
    } else if (std::isinf(r) && std::isfinite(x)) {
        RaiseOverflow();
    }
    return r;
}

inline Extended FAdd(Extended a, Extended b) {
    return Checked2(a + b, a, b);
}
inline Extended FSub(Extended a, Extended b) {
    return Checked2(a - b, a, b);
}
inline Extended FMul(Extended a, Extended b) {
    return Checked2(a * b, a, b);
}
inline Extended FDiv(Extended a, Extended b) {
    if (b == 0 && std::isfinite(a)) {
        if (a == 0)
            RaiseInvalidOp();
        RaiseZeroDivide();
    }
    return Checked2(a / b, a, b);
}
inline Extended FSqrt(Extended x) {
    if (x < 0)
        RaiseInvalidOp();
    return std::sqrt(x);
}
// Natural logarithm; the base-2 and base-10 ones share the checks.
inline void CheckLogArgument(Extended x) {
    if (x < 0)
        RaiseInvalidOp();
    if (x == 0)
        RaiseZeroDivide();
}
inline Extended FLn(Extended x) {
    CheckLogArgument(x);
    return std::log(x);
}
inline Extended FExp(Extended x) {
    return Checked1(std::exp(x), x);
}

// True when the processor already computes as the evaluator needs: x87 with 64-bit precision,
// round to nearest and every exception masked, SSE masked and rounding to nearest without
// flush-to-zero. Inside an evaluation it always is; a public entry point called from outside
// one sets the environment (TFloatEnvironmentGuard) only when this is false, because saving
// and restoring the whole environment costs more than most evaluations.
inline bool FloatEnvironmentReady() noexcept {
#if defined(__i386__) || defined(__x86_64__)
    uint16_t control;
    uint32_t mxcsr;
    __asm__ __volatile__("fnstcw %0" : "=m"(control));
    __asm__ __volatile__("stmxcsr %0" : "=m"(mxcsr));
    return (control & 0x0F3Fu) == 0x033Fu && (mxcsr & 0xFF80u) == 0x1F80u;
#else
    return false;
#endif
}

// L and R are the same value within the evaluator's tolerance. Infinities are the same only
// as themselves.
bool SameValue(Extended L, Extended R);

// Whether the fast paths are taken (SetEvaluatorFastPaths).
extern bool FastPaths;

// The program's evaluation check and its data (SetEvaluationCheck); null when none is set.
extern TEvaluationCheck EvaluationCheck;
extern void* EvaluationCheckData;

// Asks the evaluation check, which must be set, and raises EEvaluationAbandoned with its
// message when it gives one.
void AskEvaluationCheck();

// ---- symbols in the table ------------------------------------------------------------------

// A table item's object as the class its Kind stands for: Kind 1 a TSymbolValue, 0 a
// TSymbolFunction, 2 a TSymbolExpression, 3 a TSymbolicFunction. Kind is skUnknown when
// the object is null, no symbol, or a symbol whose class does not match its Kind.
inline constexpr uint8_t skUnknown = 0xFF;
struct TResolvedSymbol {
    TSymbol* Symbol; // null when the object is no symbol
    uint8_t Kind;
};

// Resolves the classes the library creates by their exact type, a comparison of two
// addresses; anything else (classes derived by users, foreign objects) takes the general
// dynamic_cast path, which gives the same answer more slowly.
TResolvedSymbol ResolveSymbolSlow(TObject* Object) noexcept;
inline TResolvedSymbol ResolveSymbol(TObject* Object) noexcept {
    if (FastPaths && Object != nullptr) {
        const std::type_info* type = &typeid(*Object);
        if (type == &typeid(TSymbolValue) || type == &typeid(TParameterValue))
            return {static_cast<TSymbolValue*>(Object), skValue};
        if (type == &typeid(TStandardFunction) || type == &typeid(TExpressionFunction))
            return {static_cast<TSymbolFunction*>(Object), skFunction};
        if (type == &typeid(TSymbolExpression))
            return {static_cast<TSymbolExpression*>(Object), skExpression};
        if (type == &typeid(TOptimizationFunction))
            return {static_cast<TOptimizationFunction*>(Object), skSymbolicFunction};
    }
    return ResolveSymbolSlow(Object);
}

// ---- symbols in use ------------------------------------------------------------------------

// Keeps a symbol alive while an evaluation uses it. A table that drops a pinned symbol only
// marks it; the last pin frees it.
class TSymbolPin {
public:
    explicit TSymbolPin(TSymbol* symbol) noexcept : Symbol(symbol) { ++Symbol->Pins; }
    ~TSymbolPin() {
        if (--Symbol->Pins == 0 && Symbol->Dropped)
            delete Symbol;
    }
    TSymbolPin(const TSymbolPin&) = delete;
    TSymbolPin& operator=(const TSymbolPin&) = delete;

private:
    TSymbol* Symbol;
};

// Trims a body, refuses an empty one (EExpressionError "Expression is empty" at Position),
// drops one final ";" and turns TAB, LF and CR into spaces.
std::string NormalizeBody(std::string_view Text, int32_t Position);

// The text of any exception, for the guards that re-raise it as EExpressionError.
std::string MessageOf(const std::exception& e);

// Binds Name to a value symbol in Table for the lifetime of this object, shadowing the
// symbol stored there, and puts everything back on destruction.
class TTemporaryBinding {
public:
    // Raises EOutOfMemory; nothing changes then.
    TTemporaryBinding(TSymbolTable* Table, std::string_view Name, Extended Value);
    // Gives the shadowed symbol back (freeing the binding) or removes the binding.
    ~TTemporaryBinding();
    TTemporaryBinding(const TTemporaryBinding&) = delete;
    TTemporaryBinding& operator=(const TTemporaryBinding&) = delete;

private:
    TSymbolTable* Table;
    std::string Name;

public:
    TSymbolValue* const Value; // the bound value, kept alive until the binding is undone

private:
    TSymbolPin Pin;
    TObject* Remembered = nullptr; // the shadowed object, held aside
    bool HadSymbol = false;
};

// Adds the standard constants, functions and solvers to a new table.
void AddStandardSymbols(TSymbolTable& Table);

} // namespace vt::expr_detail
