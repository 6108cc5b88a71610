// Fuzz target: EvaluateExpression on arbitrary text in a table of its own. Whatever the text,
// the evaluation returns a value or raises one of the library's exceptions, and afterwards the
// table holds exactly the symbols it held before, except for names the text defines with ":"
// (definitions stay, also when a later part of the text fails): no temporary binding of a
// function parameter or a solver variable is left behind, no symbol is lost or replaced behind
// the caller's back, and the table is still sorted. Evaluations that would run for long are
// abandoned after a fixed number of steps, and must then leave the table as well.
#include "FuzzSupport.h"

#include "expr/ExpressionEval.h"

#include <cmath>
#include <cstring>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace {

using vt::fuzz::TFuzzInput;

// Texts beyond this length add nothing but time: the evaluator reads every text once, left
// to right.
constexpr size_t MaxText = 1024;

// Evaluations one input may start (each solver step and each call of a defined body is one)
// before the evaluation check abandons it. A solver call takes up to 10,001 of them, and
// nested solver calls multiply them into hours of honest work; the budget lets a few solver
// calls finish and abandons the rest, deterministically, so that only a real hang (a loop
// that never comes back to the evaluator) is left for the fuzzer's timeout to find.
constexpr long MaxEvaluations = 200000;
long Evaluations = 0;

const char* CountEvaluation(void*) {
    return ++Evaluations > MaxEvaluations ? "Evaluation budget used up" : nullptr;
}

// One entry of the table as it was before the evaluation.
struct TEntry {
    std::string Name;
    const vt::TObject* Symbol;
    uint8_t Kind;
    vt::Extended Value; // for value symbols
};

std::vector<TEntry> Snapshot(const vt::TSymbolTable& table) {
    std::vector<TEntry> entries;
    for (int i = 0; i < table.Count(); ++i) {
        const auto* symbol = dynamic_cast<const vt::TSymbol*>(table.ObjectAt(i));
        VT_FUZZ_CHECK(symbol != nullptr, "an item without a symbol: " + table.StringAt(i));
        const auto* value = dynamic_cast<const vt::TSymbolValue*>(symbol);
        entries.push_back({table.StringAt(i), symbol, symbol->Kind, value ? value->Value : 0});
    }
    return entries;
}

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}
bool IsIdentStart(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}
bool IsIdentCont(char c) {
    return IsIdentStart(c) || (c >= '0' && c <= '9') || c == '.';
}

// Every name that stands after a ":" (and white space) somewhere in the text: the only names
// an evaluation of it may define or redefine, directly or in a function body it calls.
std::set<std::string> DefinableNames(std::string_view text) {
    std::set<std::string> names;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != ':')
            continue;
        size_t start = i + 1;
        while (start < text.size() && IsSpace(text[start]))
            ++start;
        if (start >= text.size() || !IsIdentStart(text[start]))
            continue;
        size_t end = start + 1;
        while (end < text.size() && IsIdentCont(text[end]))
            ++end;
        names.emplace(text.substr(start, end - start));
    }
    return names;
}

bool SameValue(vt::Extended a, vt::Extended b) {
    return (std::isnan(a) && std::isnan(b)) || std::memcmp(&a, &b, 10) == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > MaxText + 1)
        return 0;
    vt::fuzz::Startup();
    TFuzzInput in(data, size);
    const uint8_t flags = in.U8();
    const std::string text(in.Rest());

    vt::TSymbolTable table;
    table.ErrorOnUndefined = (flags & 1) != 0;
    const bool requireValue = (flags & 2) != 0;
    const std::vector<TEntry> before = Snapshot(table);
    vt::SetRandomState(0);
    Evaluations = 0;
    vt::SetEvaluationCheck(CountEvaluation);

    bool failed = false;
    std::string error;
    try {
        bool hasValue = true;
        const vt::Extended value = vt::EvaluateExpression(text, &table, requireValue, &hasValue);
        VT_FUZZ_CHECK(hasValue || (!requireValue && std::isnan(value)),
                      "a text without a value gave a number: " + text);
    } catch (const vt::EEvaluationAbandoned& e) {
        failed = true;
        error = e.Message;
        VT_FUZZ_CHECK(Evaluations > MaxEvaluations, "abandoned within the budget: " + text);
    } catch (const vt::EExpressionError& e) {
        failed = true;
        error = e.Message;
        VT_FUZZ_CHECK(!e.Message.empty(), "an error without a message: " + text);
        VT_FUZZ_CHECK(e.Position >= 0, "a negative error position: " + text);
    } catch (const vt::EMathError& e) {
        // A fault of "+" or "-" outside a function call reaches the caller as it is.
        failed = true;
        error = e.Message;
    } catch (const vt::Exception& e) {
        failed = true;
        error = e.Message;
    } catch (const std::exception& e) {
        VT_FUZZ_CHECK(false, std::string("a foreign exception escaped: ") + e.what() + ": " + text);
    }

    // The table: still sorted, every earlier name still there and, unless the text may
    // define it, with the same symbol of the same kind and value; no name the text cannot
    // define has been added.
    const std::set<std::string> definable = DefinableNames(text);
    const std::string context = (failed ? "failing (" + error + ")" : "succeeding") +
                                std::string(" evaluation of: ") + text;
    for (int i = 1; i < table.Count(); ++i)
        VT_FUZZ_CHECK(table.StringView(i - 1) < table.StringView(i),
                      "table out of order at " + table.StringAt(i) + " after a " + context);
    for (const TEntry& entry : before) {
        const int index = table.IndexOf(entry.Name);
        VT_FUZZ_CHECK(index >= 0, "symbol " + entry.Name + " lost after a " + context);
        if (definable.count(entry.Name) != 0)
            continue;
        const auto* symbol = dynamic_cast<const vt::TSymbol*>(table.ObjectAt(index));
        VT_FUZZ_CHECK(symbol == entry.Symbol && symbol->Kind == entry.Kind,
                      "symbol " + entry.Name + " replaced after a " + context);
        if (const auto* value = dynamic_cast<const vt::TSymbolValue*>(symbol))
            VT_FUZZ_CHECK(SameValue(value->Value, entry.Value),
                          "value of " + entry.Name + " changed after a " + context);
    }
    std::set<std::string> known = definable;
    for (const TEntry& entry : before)
        known.insert(entry.Name);
    for (int i = 0; i < table.Count(); ++i)
        VT_FUZZ_CHECK(known.count(table.StringAt(i)) != 0,
                      "symbol " + table.StringAt(i) + " left behind after a " + context);
    return 0;
}
