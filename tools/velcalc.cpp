// velcalc: the expression evaluator on the command line, as a filter and as an interactive
// calculator with line editing and history.
#include "expr/ExpressionEval.h"
#include "library/Startup.h"
#include "platform/Console.h"

#include <editline/readline.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#ifndef VT_VERSION
#define VT_VERSION "unknown"
#endif

using namespace vt;

namespace {

const char* const Usage =
    "usage: velcalc [options] [-e EXPR]...\n"
    "\n"
    "Evaluates each EXPR in turn in one symbol table, so that definitions carry over, and\n"
    "prints each value on its own line. Without -e it reads one expression per line from\n"
    "standard input; on a terminal it is an interactive calculator (Ctrl-D ends it).\n"
    "\n"
    "  -e, --expr EXPR     evaluate EXPR (may be repeated)\n"
    "  --lenient           use a new table in which undefined names read as 0\n"
    "  --require-value     treat a line of definitions alone as an error\n"
    "  --list              print every symbol of the table (after the -e expressions)\n"
    "  -h, --help          show this help\n"
    "  --version           show the version\n"
    "\n"
    "Examples: velcalc -e ':f(x)=x^2-2;' -e 'num.root(f(x), x)'\n"
    "          echo '2*sin(pi/4)^2' | velcalc\n"
    "\n"
    "Exit status: 0 when every expression succeeded, 1 when one failed, 2 for a usage error.\n";

struct TOptions {
    std::vector<std::string> Expressions;
    bool Lenient = false;
    bool RequireValue = false;
    bool List = false;
};

class TCalculator {
public:
    TCalculator(TSymbolTable* table, bool requireValue)
        : Table(table), RequireValue(requireValue) {}

    // Evaluates one expression, printing its value or its error; false when it failed.
    bool Run(const std::string& text) {
        try {
            bool hasValue = false;
            const Extended value = EvaluateExpression(text, Table, RequireValue, &hasValue);
            if (hasValue)
                std::printf("%.18Lg\n", value);
            std::fflush(stdout);
            return true;
        } catch (const EExpressionError& e) {
            if (e.Position > 0)
                Report("error at position " + std::to_string(e.Position) + ": " + e.Message);
            else
                Report("error: " + e.Message);
        } catch (const Exception& e) {
            Report("error: " + e.Message);
        } catch (const std::bad_alloc&) {
            Report("error: Out of memory");
        }
        Failed = true;
        return false;
    }

    void List() const {
        for (int i = 0; i < Table->Count(); ++i) {
            const std::string name = Table->StringAt(i);
            std::string kind;
            std::string detail;
            Describe(Table->ObjectAt(i), kind, detail);
            std::printf("%-12s %-10s %s\n", name.c_str(), kind.c_str(), detail.c_str());
        }
        std::fflush(stdout);
    }

    bool AnyFailed() const { return Failed; }

private:
    static void Report(const std::string& line) {
        std::fflush(stdout);
        std::fprintf(stderr, "%s\n", line.c_str());
        std::fflush(stderr);
    }

    static std::string Number(Extended v) {
        char buffer[64];
        std::snprintf(buffer, sizeof buffer, "%.18Lg", v);
        return buffer;
    }

    static void Describe(TObject* object, std::string& kind, std::string& detail) {
        if (auto* parameter = dynamic_cast<TParameterValue*>(object)) {
            kind = "parameter";
            detail = Number(parameter->Value);
        } else if (auto* value = dynamic_cast<TSymbolValue*>(object)) {
            kind = "value";
            detail = Number(value->Value);
        } else if (auto* standard = dynamic_cast<TStandardFunction*>(object)) {
            kind = "function";
            detail = "(x)";
            if (!standard->Description.empty())
                detail += "  " + standard->Description;
        } else if (auto* function = dynamic_cast<TExpressionFunction*>(object)) {
            kind = "function";
            detail = "(" + function->ParameterName + ") = " + function->Expression;
        } else if (auto* expression = dynamic_cast<TSymbolExpression*>(object)) {
            kind = "expression";
            detail = "() = " + expression->Expression;
        } else if (auto* symbolic = dynamic_cast<TSymbolicFunction*>(object)) {
            kind = "symbolic";
            detail = "(" + symbolic->GetParameters() + ")  " + symbolic->GetDescription();
        } else {
            kind = "unknown";
        }
    }

    TSymbolTable* Table;
    bool RequireValue;
    bool Failed = false;
};

bool IsBlank(const std::string& line) {
    return line.find_first_not_of(" \t\r\n") == std::string::npos;
}

// One expression per line; blank lines are skipped.
void ReadLines(TCalculator& calculator) {
    std::string line;
    while (std::getline(std::cin, line))
        if (!IsBlank(line))
            calculator.Run(line);
}

// The interactive calculator: line editing and the session's history through libedit.
void Interact(TCalculator& calculator) {
    using_history();
    for (;;) {
        char* raw = readline("> ");
        if (raw == nullptr) {
            std::printf("\n");
            break;
        }
        const std::string line(raw);
        std::free(raw);
        if (IsBlank(line))
            continue;
        add_history(line.c_str());
        calculator.Run(line);
    }
}

// Returns 0 to go on, or the exit status of a usage error, help or version request.
int ParseArguments(int argc, char** argv, TOptions& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-e" || arg == "--expr") {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "velcalc: %s needs an expression\n%s", arg.c_str(), Usage);
                return 2;
            }
            options.Expressions.emplace_back(argv[++i]);
        } else if (arg.rfind("--expr=", 0) == 0) {
            options.Expressions.push_back(arg.substr(7));
        } else if (arg == "--lenient") {
            options.Lenient = true;
        } else if (arg == "--require-value") {
            options.RequireValue = true;
        } else if (arg == "--list") {
            options.List = true;
        } else if (arg == "-h" || arg == "--help") {
            std::printf("%s", Usage);
            return -1;
        } else if (arg == "--version") {
            std::printf("velcalc %s\n", VT_VERSION);
            return -1;
        } else {
            std::fprintf(stderr, "velcalc: unknown option %s\n%s", arg.c_str(), Usage);
            return 2;
        }
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    TOptions options;
    const int status = ParseArguments(argc, argv, options);
    if (status != 0)
        return status < 0 ? 0 : status;

    TLibraryScope library;
    std::unique_ptr<TSymbolTable> lenient;
    TSymbolTable* table = GlobalSymbolTable;
    if (options.Lenient) {
        lenient = std::make_unique<TSymbolTable>();
        table = lenient.get();
    }
    TCalculator calculator(table, options.RequireValue);

    for (const std::string& expression : options.Expressions)
        calculator.Run(expression);
    if (options.Expressions.empty() && !options.List) {
        if (vt::platform::IsTerminal(0))
            Interact(calculator);
        else
            ReadLines(calculator);
    }
    if (options.List)
        calculator.List();
    return calculator.AnyFailed() ? 1 : 0;
}
