// Helpers shared by the evaluator tests: evaluation in a private table and error capture.
#pragma once

#include "expr/ExpressionEval.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vt::test {

// What an evaluation raised.
struct TRaised {
    std::string ClassName; // empty when nothing was raised
    std::string Message;
    int32_t Position = -1; // -1 unless an EExpressionError
};

inline TRaised RaisedBy(const std::string& text, TSymbolTable* table, bool requireValue = true) {
    TRaised r;
    try {
        EvaluateExpression(text, table, requireValue);
    } catch (const EExpressionError& e) {
        r = {e.ClassName(), e.Message, e.Position};
    } catch (const Exception& e) {
        r = {e.ClassName(), e.Message, -1};
    }
    return r;
}

// A table that reports undefined names, as the global one does, but private to a test.
class TStrictTable : public TSymbolTable {
public:
    TStrictTable() { ErrorOnUndefined = true; }
};

inline std::vector<std::string> NamesOf(const TSymbolTable& table) {
    std::vector<std::string> names;
    for (int i = 0; i < table.Count(); ++i)
        names.push_back(table.StringAt(i));
    return names;
}

} // namespace vt::test

// Expects an EExpressionError with this message at this position.
#define EXPECT_EXPR_ERROR(table, text, message, position)                                          \
    do {                                                                                           \
        const ::vt::test::TRaised raised_ = ::vt::test::RaisedBy(text, table);                     \
        EXPECT_EQ(raised_.ClassName, "EExpressionError") << (text);                                \
        EXPECT_EQ(raised_.Message, message) << (text);                                             \
        EXPECT_EQ(raised_.Position, position) << (text);                                           \
    } while (0)
