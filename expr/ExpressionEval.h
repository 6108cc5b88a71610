// The expression evaluator: symbols and symbol tables, the one-pass parser and evaluator of
// extended-precision expressions with definitions, the standard functions and the numeric
// solvers.
#pragma once

#include "rtl/Extended.h"
#include "rtl/SysUtils.h"
#include "streams/StringLists.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vt {

// The evaluator's error: a message and the 1-based index of the character of the evaluated
// text at which the error was found (0 when no position applies).
class EExpressionError : public Exception {
public:
    EExpressionError(std::string message, int32_t position)
        : Exception(std::move(message)), Position(position) {}
    const char* ClassName() const override { return "EExpressionError"; }

    int32_t Position;
};

// An evaluation abandoned because the program's evaluation check asked for it
// (SetEvaluationCheck); it carries the check's message and no position. Solvers do not take
// it for a failed trial and the function-call guard passes it on as it is, so that it reaches
// the caller of the outermost evaluation.
class EEvaluationAbandoned : public EExpressionError {
public:
    explicit EEvaluationAbandoned(std::string message) : EExpressionError(std::move(message), 0) {}
    const char* ClassName() const override { return "EEvaluationAbandoned"; }
};

inline constexpr const char* SExpressionEmpty = "Expression is empty";
inline constexpr const char* SValueExpected = "Value expected";
inline constexpr const char* SUnexpectedCharacter = "Unexpected character: %s";
inline constexpr const char* SOperatorExpected = "Operator expected";
inline constexpr const char* SInvalidNumberFormat = "Invalid number format";
inline constexpr const char* SUndefinedSymbol = "Undefined symbol: %s";
inline constexpr const char* SUnknownSymbolType = "Unknown symbol type: %s";
inline constexpr const char* SCharExpected = "%s expected";
inline constexpr const char* SNameExpected = "Name expected";
inline constexpr const char* SEqualOrParenExpected = "= or ( expected";
inline constexpr const char* SRecursiveReference = "Recursive reference";
inline constexpr const char* SSymbolNotFound = "Symbol not found";
inline constexpr const char* SCharNotFound = "%s not found";
inline constexpr const char* SExtraEqualFound = "Extra = found";
inline constexpr const char* SUnableToEvaluateGuess = "Unable to evaluate guess: %s";
inline constexpr const char* SNoSolutionFound = "No solution found, try changing starting guess";
inline constexpr const char* SGuessUndefined = "Guess undefined";
inline constexpr const char* SUndefined = "Undefined";
inline constexpr const char* SMaxBinaryBits = "Max 16 bits in binary number";
inline constexpr const char* SInvalidBinaryNumber = "Invalid binary number";
inline constexpr const char* STooDeeplyNested = "Expression too deeply nested";
inline constexpr const char* SExpressionTooLong = "Expression too long";
inline constexpr const char* SNoSymbolTable = "No symbol table";

// How many expression levels (parentheses, function arguments, definitions, bodies of
// functions and expression symbols, solver evaluations) may be open at once on one thread.
// Deeper input is refused with EExpressionError "Expression too deeply nested" at the
// position where the limit was reached, before the stack can run out.
inline constexpr int MaxNestingDepth = 250;

class TSymbolTable;

namespace expr_detail {
class TSymbolPin;
class TTemporaryBinding;
} // namespace expr_detail

// Symbol kinds: how the parser uses a name.
enum : uint8_t {
    skFunction = 0,         // one-argument function: name "(" argument ")"
    skValue = 1,            // value, read as is
    skExpression = 2,       // expression symbol, evaluated at each use, no parentheses
    skSymbolicFunction = 3, // reads its own argument list from the text
};

// Base of everything a table holds. Kind is fixed by the class at construction.
class TSymbol : public TObject {
public:
    VT_CLASS_NAME(TSymbol)

    const uint8_t Kind;

protected:
    explicit TSymbol(uint8_t kind) : Kind(kind) {}

private:
    // Symbols in use by a running evaluation are pinned: a table that drops a pinned symbol
    // (a definition replacing it while its body or argument is being read) hands it over to
    // the last pin, which frees it.
    friend class expr_detail::TSymbolPin;
    friend class TSymbolTable;
    int Pins = 0;
    bool Dropped = false;
};

// A constant or variable.
class TSymbolValue : public TSymbol {
public:
    VT_CLASS_NAME(TSymbolValue)
    explicit TSymbolValue(Extended value) : TSymbol(skValue), Value(value) {}

    Extended Value;
};

// A value meant to be adjusted by users (the solvers' starting guess); otherwise a value.
class TParameterValue : public TSymbolValue {
public:
    VT_CLASS_NAME(TParameterValue)
    using TSymbolValue::TSymbolValue;
};

// A one-argument function.
class TSymbolFunction : public TSymbol {
public:
    VT_CLASS_NAME(TSymbolFunction)
    // The function's value at X; Table is the table the call is evaluated in. Raises what the
    // function raises (floating-point faults, Exception, EExpressionError). The library's
    // functions compute in the evaluator's floating-point environment also when called
    // directly, as EvaluateExpression does, and give the caller's back.
    virtual Extended Evaluate(TSymbolTable* Table, Extended X) = 0;

protected:
    TSymbolFunction() : TSymbol(skFunction) {}
};

// A built-in function.
class TStandardFunction : public TSymbolFunction {
public:
    VT_CLASS_NAME(TStandardFunction)
    using TFunc = Extended (*)(Extended);
    TStandardFunction(TFunc func, std::string description)
        : Func(func), Description(std::move(description)) {}

    // Func applied to X; the table is not used. Sets the evaluator's floating-point
    // environment for the call when the caller's differs.
    Extended Evaluate(TSymbolTable* Table, Extended X) override;

    TFunc Func;
    std::string Description; // short help text, empty when there is none
};

// A function defined by an expression in one parameter; the body is re-read at each call,
// and its names are resolved in the calling table at that time.
class TExpressionFunction : public TSymbolFunction {
public:
    VT_CLASS_NAME(TExpressionFunction)
    // Raises EExpressionError "Expression is empty" at Position when Text is empty once
    // trimmed.
    TExpressionFunction(std::string parameterName, std::string_view text, int32_t position);

    // Binds the parameter to X in Table (shadowing any symbol of that name), evaluates the
    // body and undoes the binding, also when the body fails. Raises EExpressionError
    // "Recursive reference" (position 0) when called from its own body, and whatever the
    // body raises.
    Extended Evaluate(TSymbolTable* Table, Extended X) override;

    std::string Expression;    // normalized body
    std::string ParameterName; // the name bound to the argument
    int32_t Position;          // where the body began in the defining text
    bool Evaluating = false;   // true while the body runs
};

// A named formula evaluated at each use.
class TSymbolExpression : public TSymbol {
public:
    VT_CLASS_NAME(TSymbolExpression)
    // Raises EExpressionError "Expression is empty" at Position when Text is empty once
    // trimmed.
    TSymbolExpression(std::string_view text, int32_t position);

    // Evaluates the body in Table. Raises EExpressionError "Recursive reference" (position
    // 0) when reached from its own body, and whatever the body raises.
    virtual Extended Evaluate(TSymbolTable* Table);

    std::string Expression;  // normalized body
    int32_t Position;        // where the body began in the defining text
    bool Evaluating = false; // true while the body runs
};

// A function that reads its own argument list from the text under evaluation.
class TSymbolicFunction : public TSymbol {
public:
    VT_CLASS_NAME(TSymbolicFunction)

    // Text is the whole text under evaluation and Pos the 1-based index of the first
    // character of the argument list; the function must leave Pos on the first character
    // it did not consume (the parser then requires ")").
    virtual Extended Evaluate(std::string_view Text, int32_t& Pos, TSymbolTable* Table) = 0;
    // The parameter list and a description, for listings.
    virtual std::string GetParameters() = 0;
    virtual std::string GetDescription() = 0;

protected:
    TSymbolicFunction() : TSymbol(skSymbolicFunction) {}
};

// The class of a symbolic function: its constructor without arguments.
using TSymbolicFunctionClass = TSymbolicFunction* (*)();

// The solvers "num.argmin" (Mode 0), "num.min" (1), "num.root" (2) and "num.solve" (3): a
// one-dimensional pattern search from the value of "num.Guess", over a variable that is
// bound in the table only for the duration of the call.
class TOptimizationFunction : public TSymbolicFunction {
public:
    VT_CLASS_NAME(TOptimizationFunction)
    explicit TOptimizationFunction(uint8_t mode) : Mode(mode) {}

    // Reads "expression, name" (Mode 3: "equation, name") and runs the solver, in the
    // evaluator's floating-point environment whatever the caller's. Raises EExpressionError
    // for a malformed argument list, a missing guess, an unusable equation, a failed first
    // evaluation and (Modes 2 and 3) a search that ends away from zero.
    Extended Evaluate(std::string_view Text, int32_t& Pos, TSymbolTable* Table) override;
    std::string GetParameters() override;
    std::string GetDescription() override;

    uint8_t Mode;
};

// A sorted, case-sensitive map from names to the symbols it owns, filled with the standard
// symbols at construction. ErrorOnUndefined decides whether a name that is not in the table
// is an error (true) or reads as 0 (false, the default). A table is used by one thread at a
// time, its lookups included (Find remembers its answers).
class TSymbolTable : public TStringObjectList {
public:
    VT_CLASS_NAME(TSymbolTable)

    // Adds the standard symbols, then one instance of each RegisteredSymbolicFunctions
    // entry. Raises EOutOfMemory (nothing leaks).
    TSymbolTable();

    // Stores Symbol under Name, freeing the symbol stored there before. The table owns
    // Symbol from the call on, also when it raises (EOutOfMemory; Symbol is then freed).
    TSymbol* DefineSymbol(std::string_view Name, TSymbol* Symbol);
    // The symbol of Name, or null.
    TSymbol* FindSymbol(std::string_view Name) const;
    // Deletes Name and frees its symbol. Raises Exception "Symbol not found" when absent.
    void RemoveSymbol(std::string_view Name);

    // The string list's binary search (same order, same index for every list), with the
    // names compared in place and recent answers remembered until the list next changes:
    // every name the parser reads is looked up through it.
    bool Find(std::string_view S, int& Index) const override;

    // The list operations that change names or their order, each also forgetting the
    // remembered answers of Find; otherwise as in the string list. A derived class changes
    // the items through these only, never through the list's protected members.
    int Add(std::string_view S) override;
    int AddWithObject(std::string_view S, TObject* Obj) override;
    void Insert(int Index, std::string_view S) override;
    void SetStringAt(int Index, std::string_view S) override;
    void Delete(int Index) override;
    void Clear() override;
    void Swap(int Index1, int Index2) override;
    void SetCount(int N) override;
    void SortWith(TStringListCompare Compare) override;

    bool ErrorOnUndefined = false;

private:
    // One remembered answer of Find for a name of up to 19 bytes; it holds while Generation
    // is that of the table and Duplicates is unchanged.
    struct TLookup {
        uint64_t Generation;
        int32_t Index;
        bool Found;
        uint8_t Duplicates;
        uint8_t Length;
        char Name[19];
    };
    static constexpr int LookupSlots = 64; // a power of two; the slot is a hash of the name
    // Changes on every change of the names or their order, before and after it, so that an
    // answer found while a change is under way is never taken for one about its result.
    uint64_t Generation = 1;
    mutable TLookup Lookups[LookupSlots] = {};
    // Moves Generation on when it is made and when it goes, around one change of the list.
    class TChange {
    public:
        explicit TChange(TSymbolTable& table) noexcept : Table(table) { ++Table.Generation; }
        ~TChange() { ++Table.Generation; }
        TChange(const TChange&) = delete;
        TChange& operator=(const TChange&) = delete;

    private:
        TSymbolTable& Table;
    };

    // Puts Object under Name (adding the name when absent) and drops the object stored there.
    void Store(std::string_view Name, TObject* Object);
    // Frees an object the table no longer holds, or hands a pinned symbol to its last pin.
    static void Drop(TObject* Object) noexcept;
    friend class expr_detail::TTemporaryBinding;
};

struct TRegisteredSymbolicFunction {
    std::string Name;
    TSymbolicFunctionClass Class;
};

// Symbolic functions that every new table instantiates, after the standard symbols, in list
// order. The library registers none; RegisterSymbolicFunction appends one. Emptied at
// shut-down.
extern std::vector<TRegisteredSymbolicFunction> RegisteredSymbolicFunctions;
void RegisterSymbolicFunction(std::string Name, TSymbolicFunctionClass Class);

// The process-wide default table, with ErrorOnUndefined set; exists between
// ExpressionEvalStartup and ExpressionEvalShutdown.
extern TSymbolTable* GlobalSymbolTable;

// Evaluates Text in Table (GlobalSymbolTable when null) and returns its value. Definitions
// in the text stay in the table, also when a later part fails. With RequireValue false a
// text of definitions alone gives a quiet NaN (and HasValue, when given, is set false);
// with it true that is an error. Raises EExpressionError with a position for every error of
// the text; a fault of "+" or "-" outside a function call reaches the caller as EInvalidOp
// or EOverflow. Runs in round-to-nearest 64-bit extended precision whatever the caller's
// floating-point settings, and restores them.
Extended EvaluateExpression(std::string_view Text, TSymbolTable* Table = nullptr,
                            bool RequireValue = true, bool* HasValue = nullptr);

// A program's way to stop evaluations that run too long or that its user interrupts: the
// check is called with Data before every evaluation of a text, that is at each call of
// EvaluateExpression, and so at each step of a solver, each call of a function defined by an
// expression and each use of an expression symbol. Between two calls the evaluator reads at
// most one text once, so a check is reached again after a bounded amount of work however the
// solvers nest. A check that returns a message (not null) abandons the evaluation under way
// with EEvaluationAbandoned carrying that message; the table is left as after any failed
// evaluation (definitions made before stay, parameter and solver bindings are undone). The
// check may be called millions of times a second and should be cheap; it must not evaluate
// anything itself. None is set at start-up: the evaluator then only tests for one, and its
// values, errors and speed are those it has without the hook. Process-wide; not to be changed
// while an evaluation runs.
using TEvaluationCheck = const char* (*)(void* Data);
void SetEvaluationCheck(TEvaluationCheck Check, void* Data = nullptr) noexcept;

// The evaluator's uniform random source: one 32-bit state per process, 0 at load; each draw
// sets S = S * 134775813 + 1 (mod 2^32) and yields S / 2^32. "rand" and "randn" draw from it.
Extended RandomUniform() noexcept;
uint32_t RandomState() noexcept;
// Puts the state back to a given value (0 is the state at load), so that tests and tools can
// replay the sequence.
void SetRandomState(uint32_t State) noexcept;

// The evaluator's fast paths (on by default): symbols of the library's own classes resolved
// by their exact type, names searched in place with the tables' answers remembered until the
// table changes, integral numbers converted in integer arithmetic, and "+", "-", "*", "/"
// computed directly when the result is finite. Switched off, the evaluator takes the general
// path each of them stands for; both give the same values, messages and positions, and the
// switch exists so that tests can show it. Not to be changed while an evaluation runs.
void SetEvaluatorFastPaths(bool On) noexcept;
bool EvaluatorFastPaths() noexcept;

// Module start-up: creates GlobalSymbolTable and sets its ErrorOnUndefined; shut-down destroys
// it and empties RegisteredSymbolicFunctions. Guarded by a counter.
void ExpressionEvalStartup();
void ExpressionEvalShutdown() noexcept;

} // namespace vt
