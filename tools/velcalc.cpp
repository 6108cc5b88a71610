// velcalc: the expression evaluator on the command line, as a filter and as an interactive
// calculator with line editing and history.
#include "expr/ExpressionEval.h"
#include "library/Startup.h"
#include "platform/Console.h"

#include <editline/readline.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <poll.h>
#include <string>
#include <unistd.h>
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
    "  --timeout SECONDS   abandon any evaluation that runs longer (an error of that\n"
    "                      expression); in the interactive calculator Ctrl-C abandons\n"
    "                      the evaluation under way\n"
    "  -h, --help          show this help\n"
    "  --version           show the version\n"
    "\n"
    "Examples: velcalc -e ':f(x)=x^2-2;' -e 'num.root(f(x), x)'\n"
    "          echo '2*sin(pi/4)^2' | velcalc\n"
    "\n"
    "Exit status: 0 when every expression succeeded, 1 when one failed, 2 for a usage error\n"
    "or output that could not be written.\n";

struct TOptions {
    std::vector<std::string> Expressions;
    bool Lenient = false;
    bool RequireValue = false;
    bool List = false;
    std::string Timeout;       // --timeout as given, empty without one
    double TimeoutSeconds = 0; // its value, 0 without one
};

// Standard output could not be written (a full disk, a closed pipe, an I/O error): the values
// are lost, so the program reports it and ends.
struct TOutputFailed {
    int Error; // errno of the failed write
};

// Pushes what was printed to standard output out and raises TOutputFailed when any of it
// could not be written.
void CheckOutput() {
    errno = 0;
    if (std::fflush(stdout) != 0 || std::ferror(stdout))
        throw TOutputFailed{errno != 0 ? errno : EIO};
}

// Error messages may quote a character of the input, which can be a NUL or another control
// character: those are shown as \xHH so that the line is printed whole and stays one line.
std::string Printable(const std::string& text) {
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out;
}

// ---- abandoning evaluations ----------------------------------------------------------------
//
// The evaluator asks the check before each evaluation of a text (every solver step, every
// call of a defined function), so a deadline or a Ctrl-C is noticed within a bounded amount
// of work however deeply the solvers nest.

volatile std::sig_atomic_t Interrupted = 0; // set by SIGINT while the calculator is interactive

void OnInterrupt(int) {
    Interrupted = 1;
}

// What may end an evaluation early: --timeout and, in the interactive calculator, Ctrl-C.
class TLimits {
public:
    // Seconds is 0 for no time limit; Text is how the user wrote it.
    TLimits(double seconds, const std::string& text)
        : Seconds(seconds), Message("Time limit of " + text + " s exceeded") {}

    // Starts the time allowed for the next expression.
    void Start() {
        if (Seconds > 0)
            Deadline = std::chrono::steady_clock::now() +
                       std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                           std::chrono::duration<double>(Seconds));
        Calls = 0;
    }

    // The evaluator's check; the clock is read at every 16th call only.
    static const char* Check(void* data) {
        auto* limits = static_cast<TLimits*>(data);
        if (Interrupted != 0)
            return "Interrupted";
        if (limits->Seconds > 0 && (++limits->Calls & 15u) == 0 &&
            std::chrono::steady_clock::now() >= limits->Deadline)
            return limits->Message.c_str();
        return nullptr;
    }

private:
    double Seconds;
    std::string Message;
    std::chrono::steady_clock::time_point Deadline;
    unsigned Calls = 0;
};

// Installs the limits as the evaluator's check for its lifetime.
class TCheckScope {
public:
    explicit TCheckScope(TLimits& limits) { SetEvaluationCheck(TLimits::Check, &limits); }
    ~TCheckScope() { SetEvaluationCheck(nullptr); }
    TCheckScope(const TCheckScope&) = delete;
    TCheckScope& operator=(const TCheckScope&) = delete;
};

class TCalculator {
public:
    TCalculator(TSymbolTable* table, bool requireValue, TLimits& limits)
        : Table(table), RequireValue(requireValue), Limits(limits) {}

    // Evaluates one expression, printing its value or its error; false when it failed. Raises
    // TOutputFailed when the value cannot be written.
    bool Run(const std::string& text) {
        Limits.Start();
        try {
            bool hasValue = false;
            const Extended value = EvaluateExpression(text, Table, RequireValue, &hasValue);
            if (hasValue)
                std::printf("%.18Lg\n", value);
            CheckOutput();
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
        CheckOutput();
    }

    bool AnyFailed() const { return Failed; }

private:
    static void Report(const std::string& line) {
        CheckOutput();
        std::fprintf(stderr, "%s\n", Printable(line).c_str());
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
    TLimits& Limits;
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

bool GaveUpLine = false; // a Ctrl-C came while the line was being typed

// Reads one byte of the line being edited for libedit. SIGINT is blocked except while
// waiting for input, and the wait lets it in atomically, so a Ctrl-C at the prompt, whenever
// it comes, ends the wait: the byte read is then end of input, which makes readline end the
// line, and GaveUpLine says that it is to be dropped.
int ReadKey(FILE*) {
    sigset_t interrupt, waiting;
    sigemptyset(&interrupt);
    sigaddset(&interrupt, SIGINT);
    sigprocmask(SIG_BLOCK, &interrupt, &waiting);
    sigdelset(&waiting, SIGINT);
    int key = EOF;
    for (;;) {
        if (Interrupted != 0) {
            GaveUpLine = true;
            break;
        }
        pollfd input{STDIN_FILENO, POLLIN, 0};
        const int ready = ppoll(&input, 1, nullptr, &waiting);
        if (ready < 0 && errno == EINTR)
            continue;
        unsigned char byte;
        if (ready > 0 && read(STDIN_FILENO, &byte, 1) == 1)
            key = byte;
        break;
    }
    sigprocmask(SIG_UNBLOCK, &interrupt, nullptr);
    return key;
}

// The interactive calculator: line editing and the session's history through libedit. Ctrl-C
// abandons the evaluation under way (or the line being typed) and comes back to the prompt.
void Interact(TCalculator& calculator) {
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    rl_catch_signals = 0; // SIGINT is this program's, not the line editor's
    rl_getc_function = ReadKey;
    using_history();
    for (;;) {
        // A Ctrl-C from here on belongs to this line: it gives up the typing, or the
        // evaluation once the line has been read whole.
        Interrupted = 0;
        GaveUpLine = false;
        char* raw = readline("> ");
        if (raw == nullptr || GaveUpLine) {
            std::free(raw);
            std::printf("\n");
            CheckOutput();
            if (GaveUpLine)
                continue;
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
        } else if (arg == "--timeout") {
            char* end = nullptr;
            const double seconds = i + 1 < argc ? std::strtod(argv[i + 1], &end) : 0;
            if (i + 1 >= argc || end == argv[i + 1] || *end != '\0' || !(seconds > 0) ||
                !(seconds <= 1e9)) {
                std::fprintf(stderr, "velcalc: --timeout needs a number of seconds above 0\n%s",
                             Usage);
                return 2;
            }
            options.Timeout = argv[++i];
            options.TimeoutSeconds = seconds;
        } else if (arg == "-h" || arg == "--help") {
            std::printf("%s", Usage);
            CheckOutput();
            return -1;
        } else if (arg == "--version") {
            std::printf("velcalc %s\n", VT_VERSION);
            CheckOutput();
            return -1;
        } else {
            std::fprintf(stderr, "velcalc: unknown option %s\n%s", arg.c_str(), Usage);
            return 2;
        }
    }
    return 0;
}

int Main(int argc, char** argv) {
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
    TLimits limits(options.TimeoutSeconds, options.Timeout);
    TCheckScope check(limits);
    TCalculator calculator(table, options.RequireValue, limits);

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

} // namespace

int main(int argc, char** argv) {
    try {
        return Main(argc, argv);
    } catch (const TOutputFailed& failure) {
        std::fprintf(stderr, "velcalc: cannot write the output: %s\n",
                     std::strerror(failure.Error));
        return 2;
    }
}
