// The evaluator benchmark: one-shot parse-and-evaluate of a fixed set of expressions, each
// measured against muparser's SetExpr plus Eval in the same run, and the solver calls; prints
// the median time per evaluation, the ratio per expression and in total, and whether both
// evaluators gave the same value.
#include "expr/ExpressionEval.h"
#include "library/Startup.h"

#include <muParser.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <time.h>
#include <vector>

namespace {

// One benchmark expression: our text and muparser's equivalent, or null when muparser has no
// way to say the same thing in one expression (definitions, "%", "$" hexadecimal).
struct TCase {
    const char* Group;
    const char* Ours;
    const char* Peer;
};

// Texts whose two spellings differ are marked in the table by the peer column.
const TCase Cases[] = {
    {"arithmetic", "1+2*3", "1+2*3"},
    {"arithmetic", "(1+2)*3-4/5", "(1+2)*3-4/5"},
    {"arithmetic", "(x+1)*(x-1)/(x*x+1)", "(x+1)*(x-1)/(x*x+1)"},
    {"arithmetic", "2^10+3^3-x^2", "2^10+3^3-x^2"},
    {"arithmetic", "1.5e3*2.25-0.125/8", "1.5e3*2.25-0.125/8"},
    {"arithmetic", "((((1+x)*2)+y)*3)-4", "((((1+x)*2)+y)*3)-4"},
    {"arithmetic", "a*x^3+b*x^2+c*x+d", "a*x^3+b*x^2+c*x+d"},
    {"arithmetic", "x*y+x/y-(x-y)*(x+y)", "x*y+x/y-(x-y)*(x+y)"},
    {"functions", "sin(x)^2+cos(x)^2", "sin(x)^2+cos(x)^2"},
    {"functions", "2*sin(pi/4)^2", "2*sin(_pi/4)^2"},
    {"functions", "sqrt(x*x+y*y)", "sqrt(x*x+y*y)"},
    {"functions", "exp(-x*x/2)/sqrt(2*pi)", "exp(-x*x/2)/sqrt(2*_pi)"},
    {"functions", "ln(x)+log10(y)+log2(8)", "ln(x)+log10(y)+log2(8)"},
    {"functions", "arctan(y/x)+abs(-3)", "atan(y/x)+abs(-3)"},
    {"functions", "tanh(0.5)+sinh(1)-cosh(1)", "tanh(0.5)+sinh(1)-cosh(1)"},
    {"functions", "round(x*10)+abs(y-5)", "rint(x*10)+abs(y-5)"},
    {"comparisons", "x<y", "x<y"},
    {"comparisons", "(x+1>2)|(y<3)", "(x+1>2)||(y<3)"},
    {"comparisons", "(x>0)&(y<10)&(x#y)", "(x>0)&&(y<10)&&(x!=y)"},
    {"comparisons", "x*2=3.4", "x*2==3.4"},
    {"definitions", ":z=x*2; z+1", nullptr},
    {"definitions", ":f(t)=t*t+1; f(3)+f(x)", nullptr},
    {"definitions", ":g()=x+y; g*g", nullptr},
    {"definitions", "sq(x)+sq(y)", nullptr},
    {"numbers", "$FF+$10*2", nullptr},
    {"numbers", "7%3+x%2", nullptr},
};

const char* const SolverCalls[] = {
    "num.root(x^2-2, x)",
    "num.min((x-3)^2+1, x)",
    "num.solve(x^2=2, x)",
    "num.argmin((x-3)^2+1, x)",
};

// The variables both evaluators see.
struct TVariable {
    const char* Name;
    double Value;
};
const TVariable Variables[] = {{"x", 1.7},   {"y", 2.3}, {"a", 0.5},
                               {"b", -1.25}, {"c", 3.0}, {"d", 7.0}};

volatile double Sink; // keeps the timed results alive

// The process's CPU time in nanoseconds: on a machine shared with other work it counts only
// the time this program ran, not the time it waited for a core.
double CpuNs() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

// How many calls of Work make a batch of about TargetMs.
long CallsPerBatch(const std::function<void()>& work, double targetMs) {
    long count = 1;
    for (;;) {
        const double start = CpuNs();
        for (long i = 0; i < count; ++i)
            work();
        const double ms = (CpuNs() - start) / 1e6;
        if (ms >= targetMs / 4 || count >= (1L << 30))
            return std::max(
                1L, static_cast<long>(static_cast<double>(count) * targetMs / std::max(ms, 1e-3)));
        count *= 4;
    }
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Nanoseconds per call of each of Works, as the median over Repeats rounds; every round runs
// one batch of each work in turn, so that a change in the machine's load affects all alike.
std::vector<double> MedianNs(const std::vector<std::function<void()>>& works, double targetMs,
                             int repeats) {
    std::vector<long> counts;
    for (const auto& work : works)
        counts.push_back(CallsPerBatch(work, targetMs));
    std::vector<std::vector<double>> times(works.size());
    for (int r = 0; r < repeats; ++r) {
        for (size_t w = 0; w < works.size(); ++w) {
            const double start = CpuNs();
            for (long i = 0; i < counts[w]; ++i)
                works[w]();
            times[w].push_back((CpuNs() - start) / static_cast<double>(counts[w]));
        }
    }
    std::vector<double> medians;
    for (const auto& t : times)
        medians.push_back(Median(t));
    return medians;
}

struct TOptions {
    int Repeats = 15;
    double BatchMs = 20;
};

TOptions ParseOptions(int argc, char** argv) {
    TOptions options;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--repeats") == 0 && i + 1 < argc) {
            options.Repeats = std::max(1, std::atoi(argv[++i]));
        } else if (std::strcmp(argv[i], "--batch-ms") == 0 && i + 1 < argc) {
            options.BatchMs = std::max(1.0, std::atof(argv[++i]));
        } else {
            std::fprintf(stderr, "usage: expr_bench [--repeats N] [--batch-ms MS]\n");
            std::exit(2);
        }
    }
    return options;
}

} // namespace

int main(int argc, char** argv) {
    const TOptions options = ParseOptions(argc, argv);
    vt::TLibraryScope library;

    vt::TSymbolTable table;
    table.ErrorOnUndefined = true;
    std::vector<double> peerValues(std::size(Variables));
    mu::Parser peer;
    for (size_t i = 0; i < std::size(Variables); ++i) {
        table.DefineSymbol(Variables[i].Name, new vt::TSymbolValue(Variables[i].Value));
        peerValues[i] = Variables[i].Value;
        peer.DefineVar(Variables[i].Name, &peerValues[i]);
    }
    vt::EvaluateExpression(":sq(t)=t*t;", &table, false);

    // Our evaluation of a text on the fast paths (the default) or on the general ones.
    const auto evaluate = [&](const std::string& text, bool fast) {
        vt::SetEvaluatorFastPaths(fast);
        const vt::Extended v = vt::EvaluateExpression(text, &table);
        vt::SetEvaluatorFastPaths(true);
        return v;
    };

    std::printf("One-shot parse and evaluate: CPU time per evaluation in ns, median of %d "
                "batches of about %.0f ms each;\n\"general\" is ours with the fast paths "
                "switched off, \"ratio\" is muparser / ours; \"mu Eval\" is muparser's Eval "
                "alone\n(the bytecode it compiled once, no parsing)\n\n",
                options.Repeats, options.BatchMs);
    std::printf("%-12s %-26s %7s %8s %9s %7s %8s  %s\n", "group", "expression", "ours", "general",
                "muparser", "ratio", "mu Eval", "muparser's text / value");
    double oursTotal = 0, generalTotal = 0, peerTotal = 0, logRatios = 0;
    int compared = 0;
    bool allSame = true;
    for (const TCase& c : Cases) {
        const std::string ours = c.Ours;
        const vt::Extended oursValue = evaluate(ours, true);
        const vt::Extended generalValue = evaluate(ours, false);
        const bool pathsAgree = std::memcmp(&oursValue, &generalValue, 10) == 0;
        allSame = allSame && pathsAgree;
        std::vector<std::function<void()>> works = {
            [&] { Sink = static_cast<double>(evaluate(ours, true)); },
            [&] { Sink = static_cast<double>(evaluate(ours, false)); }};
        const std::string peerText = c.Peer != nullptr ? c.Peer : "";
        if (c.Peer != nullptr) {
            works.push_back([&] {
                peer.SetExpr(peerText);
                Sink = peer.Eval();
            });
            // For scale: muparser's evaluation of the bytecode it compiled, without SetExpr.
            works.push_back([&] { Sink = peer.Eval(); });
        }
        const std::vector<double> ns = MedianNs(works, options.BatchMs, options.Repeats);
        const char* const agreement = pathsAgree ? "" : "  PATHS DIFFER";
        if (c.Peer == nullptr) {
            std::printf("%-12s %-26s %7.0f %8.0f %9s %7s %8s  (ours only) = %.17g%s\n", c.Group,
                        c.Ours, ns[0], ns[1], "-", "-", "-", static_cast<double>(oursValue),
                        agreement);
            continue;
        }
        peer.SetExpr(peerText);
        const double peerValue = peer.Eval();
        const bool same = std::fabs(static_cast<double>(oursValue) - peerValue) <=
                          1e-12 * std::max(1.0, std::fabs(peerValue));
        allSame = allSame && same;
        const std::string note = std::strcmp(c.Ours, c.Peer) == 0 ? "" : peerText + " ";
        std::printf("%-12s %-26s %7.0f %8.0f %9.0f %6.1fx %8.0f  %s= %.17g%s%s\n", c.Group, c.Ours,
                    ns[0], ns[1], ns[2], ns[2] / ns[0], ns[3], note.c_str(),
                    static_cast<double>(oursValue), same ? "" : "  VALUES DIFFER", agreement);
        oursTotal += ns[0];
        generalTotal += ns[1];
        peerTotal += ns[2];
        logRatios += std::log(ns[2] / ns[0]);
        ++compared;
    }
    std::printf("\nTotal over the %d expressions both evaluate: ours %.0f ns, general %.0f ns, "
                "muparser %.0f ns;\nratio %.1fx (geometric mean of the ratios %.1fx), fast "
                "paths "
                "%.2fx faster than general\n",
                compared, oursTotal, generalTotal, peerTotal, peerTotal / oursTotal,
                std::exp(logRatios / compared), generalTotal / oursTotal);
    std::printf("Values: %s\n\n", allSame ? "equal to muparser's within 1e-12, and the same bits "
                                            "on both of our paths"
                                          : "SOME DIFFER");

    std::printf("Solver calls from num.Guess = 0.500000001: CPU time per call in us, median of "
                "%d batches\n\n",
                options.Repeats);
    std::printf("%-28s %8s %8s\n", "call", "ours", "general");
    for (const char* call : SolverCalls) {
        const std::string text = call;
        const vt::Extended value = evaluate(text, true);
        const vt::Extended general = evaluate(text, false);
        const bool pathsAgree = std::memcmp(&value, &general, 10) == 0;
        allSame = allSame && pathsAgree;
        const std::vector<double> ns =
            MedianNs({[&] { Sink = static_cast<double>(evaluate(text, true)); },
                      [&] { Sink = static_cast<double>(evaluate(text, false)); }},
                     options.BatchMs, options.Repeats);
        std::printf("%-28s %8.1f %8.1f  = %.17g%s\n", call, ns[0] / 1000, ns[1] / 1000,
                    static_cast<double>(value), pathsAgree ? "" : "  PATHS DIFFER");
    }
    return allSame ? 0 : 1;
}
