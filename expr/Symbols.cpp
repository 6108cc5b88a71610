// Symbols, symbol tables and the evaluator's global state and start-up.
#include "expr/ExpressionEvalPrivate.h"

#include "rtl/ModuleCounter.h"

#include <cstring>
#include <new>

namespace vt {

using namespace expr_detail;

TSymbolTable* GlobalSymbolTable = nullptr;
std::vector<TRegisteredSymbolicFunction> RegisteredSymbolicFunctions;

void SetEvaluatorFastPaths(bool On) noexcept {
    FastPaths = On;
}

bool EvaluatorFastPaths() noexcept {
    return FastPaths;
}

void SetEvaluationCheck(TEvaluationCheck Check, void* Data) noexcept {
    EvaluationCheck = Check;
    EvaluationCheckData = Data;
}

void RegisterSymbolicFunction(std::string Name, TSymbolicFunctionClass Class) {
    RegisteredSymbolicFunctions.push_back({std::move(Name), Class});
}

// ---- shared helpers ----------------------------------------------------------------------

namespace expr_detail {

bool FastPaths = true;
TEvaluationCheck EvaluationCheck = nullptr;
void* EvaluationCheckData = nullptr;

void AskEvaluationCheck() {
    if (const char* message = EvaluationCheck(EvaluationCheckData))
        throw EEvaluationAbandoned(message);
}

void RaiseInvalidOp() {
    throw EInvalidOp();
}
void RaiseZeroDivide() {
    throw EZeroDivide();
}
void RaiseOverflow() {
    throw EOverflow();
}

bool SameValue(Extended L, Extended R) {
    if (L == R)
        return true;
    // Without this an infinity would be "the same" as the opposite infinity (the tolerance
    // grows with the operands); two different infinities, or an infinity and a number, are
    // never the same.
    if (std::isinf(L) || std::isinf(R))
        return false;
    const Extended a = std::fabs(L);
    const Extended b = std::fabs(R);
    const Extended scaled = (a < b ? a : b) * 1e-16L;
    const Extended tolerance = scaled > 1e-16L ? scaled : 1e-16L;
    return std::fabs(L - R) <= tolerance;
}

std::string NormalizeBody(std::string_view Text, int32_t Position) {
    size_t first = 0;
    size_t last = Text.size();
    while (last > first && IsSpace(Text[last - 1]))
        --last;
    while (first < last && IsSpace(Text[first]))
        ++first;
    if (first == last)
        throw EExpressionError(SExpressionEmpty, Position);
    if (Text[last - 1] == ';')
        --last;
    std::string body(Text.substr(first, last - first));
    for (char& c : body)
        if (c == '\t' || c == '\n' || c == '\r')
            c = ' ';
    return body;
}

TResolvedSymbol ResolveSymbolSlow(TObject* Object) noexcept {
    auto* symbol = dynamic_cast<TSymbol*>(Object);
    if (symbol == nullptr)
        return {nullptr, skUnknown};
    bool matches = false;
    switch (symbol->Kind) {
    case skValue:
        matches = dynamic_cast<TSymbolValue*>(symbol) != nullptr;
        break;
    case skFunction:
        matches = dynamic_cast<TSymbolFunction*>(symbol) != nullptr;
        break;
    case skExpression:
        matches = dynamic_cast<TSymbolExpression*>(symbol) != nullptr;
        break;
    case skSymbolicFunction:
        matches = dynamic_cast<TSymbolicFunction*>(symbol) != nullptr;
        break;
    default:
        break;
    }
    return {symbol, matches ? symbol->Kind : skUnknown};
}

std::string MessageOf(const std::exception& e) {
    if (const auto* own = dynamic_cast<const Exception*>(&e))
        return own->Message;
    if (dynamic_cast<const std::bad_alloc*>(&e) != nullptr)
        return EOutOfMemory().Message;
    return e.what();
}

TTemporaryBinding::TTemporaryBinding(TSymbolTable* table, std::string_view name, Extended value)
    : Table(table), Name(name), Value(new TSymbolValue(value)), Pin(Value) {
    const int index = Table->IndexOf(Name);
    if (index >= 0) {
        Remembered = Table->ObjectAt(index);
        HadSymbol = true;
        Table->SetObjectAt(index, Value);
        return;
    }
    try {
        Table->AddWithObject(Name, Value);
    } catch (...) {
        TSymbolTable::Drop(Value); // the pin frees it
        throw;
    }
}

TTemporaryBinding::~TTemporaryBinding() {
    // Neither step can fail while the name is in the table, and no evaluation removes names
    // it did not add; should an extension have removed it, the binding is simply gone.
    try {
        if (HadSymbol)
            Table->Store(Name, Remembered);
        else
            Table->RemoveSymbol(Name);
    } catch (const std::exception&) {
        if (HadSymbol)
            TSymbolTable::Drop(Remembered);
    }
}

} // namespace expr_detail

// ---- symbols ------------------------------------------------------------------------------

Extended TStandardFunction::Evaluate(TSymbolTable*, Extended X) {
    if (Func == nullptr)
        throw EAbstractError("Abstract error");
    if (FloatEnvironmentReady())
        return Func(X); // inside an evaluation, or a caller that computes as it does
    const TFloatEnvironmentGuard environment;
    return Func(X);
}

TSymbolExpression::TSymbolExpression(std::string_view text, int32_t position)
    : TSymbol(skExpression), Expression(NormalizeBody(text, position)), Position(position) {}

Extended TSymbolExpression::Evaluate(TSymbolTable* Table) {
    if (Evaluating)
        throw EExpressionError(SRecursiveReference, 0);
    // Destroyed in reverse order: the flag is cleared before the pin may free this symbol.
    TSymbolPin pin(this);
    Evaluating = true;
    struct TReset {
        bool& Flag;
        ~TReset() { Flag = false; }
    } reset{Evaluating};
    return EvaluateExpression(Expression, Table, true);
}

TExpressionFunction::TExpressionFunction(std::string parameterName, std::string_view text,
                                         int32_t position)
    : Expression(NormalizeBody(text, position)), ParameterName(std::move(parameterName)),
      Position(position) {}

Extended TExpressionFunction::Evaluate(TSymbolTable* Table, Extended X) {
    if (Evaluating)
        throw EExpressionError(SRecursiveReference, 0);
    if (Table == nullptr)
        Table = GlobalSymbolTable;
    if (Table == nullptr)
        throw Exception(SNoSymbolTable);
    TSymbolPin pin(this);
    TTemporaryBinding binding(Table, ParameterName, X);
    Evaluating = true;
    struct TReset {
        bool& Flag;
        ~TReset() { Flag = false; }
    } reset{Evaluating};
    return EvaluateExpression(Expression, Table, true);
}

// ---- the table ----------------------------------------------------------------------------

TSymbolTable::TSymbolTable() {
    SetSorted(true);
    Duplicates = dupIgnore;
    AddStandardSymbols(*this);
    for (const TRegisteredSymbolicFunction& entry : RegisteredSymbolicFunctions) {
        if (entry.Class == nullptr)
            continue;
        TSymbolicFunction* symbol = entry.Class();
        if (symbol == nullptr)
            continue;
        // A registered name that is already taken replaces the symbol there.
        DefineSymbol(entry.Name, symbol);
    }
}

void TSymbolTable::Drop(TObject* Object) noexcept {
    if (Object == nullptr)
        return;
    if (TSymbol* symbol = ResolveSymbol(Object).Symbol; symbol != nullptr && symbol->Pins > 0) {
        symbol->Dropped = true;
        return;
    }
    delete Object;
}

void TSymbolTable::Store(std::string_view Name, TObject* Object) {
    const int index = IndexOf(Name);
    if (index < 0) {
        TOpenStringList::AddWithObject(Name, Object);
        return;
    }
    TObject* previous = ObjectAt(index);
    if (previous == Object)
        return;
    SetObjectAt(index, Object);
    Drop(previous);
}

TSymbol* TSymbolTable::DefineSymbol(std::string_view Name, TSymbol* Symbol) {
    try {
        Store(Name, Symbol);
    } catch (...) {
        Drop(Symbol);
        throw;
    }
    return Symbol;
}

namespace {

// FNV-1a: short names spread well over the slots.
uint32_t HashName(std::string_view S) {
    uint32_t h = 2166136261u;
    for (const char c : S)
        h = (h ^ static_cast<unsigned char>(c)) * 16777619u;
    return h;
}

} // namespace

bool TSymbolTable::Find(std::string_view S, int& Index) const {
    if (!FastPaths)
        return TOpenStringList::Find(S, Index);
    if (S.size() > sizeof(TLookup::Name))
        return TOpenStringList::Find(S, Index);
    TLookup& slot = Lookups[HashName(S) & (LookupSlots - 1)];
    if (slot.Generation == Generation && slot.Length == S.size() && slot.Duplicates == Duplicates &&
        std::memcmp(slot.Name, S.data(), S.size()) == 0) {
        Index = slot.Index;
        return slot.Found;
    }
    const bool found = TOpenStringList::Find(S, Index);
    slot.Generation = Generation;
    slot.Index = Index;
    slot.Found = found;
    slot.Duplicates = Duplicates;
    slot.Length = static_cast<uint8_t>(S.size());
    std::memcpy(slot.Name, S.data(), S.size());
    return found;
}

int TSymbolTable::Add(std::string_view S) {
    TChange change(*this);
    return TStringObjectList::Add(S);
}

int TSymbolTable::AddWithObject(std::string_view S, TObject* Obj) {
    TChange change(*this);
    return TStringObjectList::AddWithObject(S, Obj);
}

void TSymbolTable::Insert(int Index, std::string_view S) {
    TChange change(*this);
    TStringObjectList::Insert(Index, S);
}

void TSymbolTable::SetStringAt(int Index, std::string_view S) {
    TChange change(*this);
    TStringObjectList::SetStringAt(Index, S);
}

void TSymbolTable::Delete(int Index) {
    TChange change(*this);
    TStringObjectList::Delete(Index);
}

void TSymbolTable::Clear() {
    TChange change(*this);
    TStringObjectList::Clear();
}

void TSymbolTable::Swap(int Index1, int Index2) {
    TChange change(*this);
    TStringObjectList::Swap(Index1, Index2);
}

void TSymbolTable::SetCount(int N) {
    TChange change(*this);
    TStringObjectList::SetCount(N);
}

void TSymbolTable::SortWith(TStringListCompare Compare) {
    TChange change(*this);
    TStringObjectList::SortWith(Compare);
}

TSymbol* TSymbolTable::FindSymbol(std::string_view Name) const {
    const int index = IndexOf(Name);
    return index < 0 ? nullptr : ResolveSymbol(ObjectAt(index)).Symbol;
}

void TSymbolTable::RemoveSymbol(std::string_view Name) {
    const int index = IndexOf(Name);
    if (index < 0)
        throw Exception(SSymbolNotFound);
    TObject* object = ObjectAt(index);
    SetObjectAt(index, nullptr);
    Delete(index);
    Drop(object);
}

// ---- start-up -----------------------------------------------------------------------------

namespace {
TModuleCounter ExpressionEvalCounter;
}

void ExpressionEvalStartup() {
    if (!ExpressionEvalCounter.Enter())
        return;
    GlobalSymbolTable = new TSymbolTable();
    GlobalSymbolTable->ErrorOnUndefined = true;
}

void ExpressionEvalShutdown() noexcept {
    if (!ExpressionEvalCounter.Leave())
        return;
    delete GlobalSymbolTable;
    GlobalSymbolTable = nullptr;
    RegisteredSymbolicFunctions.clear();
}

} // namespace vt
