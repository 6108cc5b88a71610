// velcalc end to end: values and errors on their own streams, definitions that carry over,
// standard input, the table options, the listing and the exit status.
#include <gtest/gtest.h>

#include "platform/Process.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <random>
#include <sstream>
#include <string>

namespace {

struct TRun {
    int Status = -1;
    std::string Out;
    std::string Err;
};

std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) {
        if (c == '\'')
            q += "'\\''";
        else
            q += c;
    }
    return q + "'";
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Runs velcalc with these arguments and this standard input.
TRun Velcalc(std::initializer_list<std::string> args, const std::string& input = "") {
    static int runs = 0;
    const std::string base =
        (std::filesystem::temp_directory_path() /
         ("velcalc-test-" + std::to_string(std::random_device()()) + "-" + std::to_string(++runs)))
            .string();
    std::filesystem::create_directories(base);
    {
        std::ofstream in(base + "/in", std::ios::binary);
        in << input;
    }
    std::string command = Quote(VT_VELCALC_PATH);
    for (const std::string& a : args)
        command += " " + Quote(a);
    command += " < " + base + "/in > " + base + "/out 2> " + base + "/err";
    TRun run;
    run.Status = vt::platform::RunCommand(command);
    run.Out = ReadFile(base + "/out");
    run.Err = ReadFile(base + "/err");
    std::filesystem::remove_all(base);
    return run;
}

} // namespace

TEST(Velcalc, DefinitionsCarryOverBetweenExpressions) {
    const TRun r = Velcalc({"-e", ":f(x)=x^2-2;", "-e", "num.root(f(x), x)", "-e", ":num.Guess=-1;",
                            "-e", "num.solve(f(x)=0, x)"});
    EXPECT_EQ(r.Status, 0);
    EXPECT_EQ(r.Out, "1.41421356237309505\n-1.41421356237309505\n");
    EXPECT_EQ(r.Err, "");
}

TEST(Velcalc, ValuesPrintAsExtendedWithEighteenDigits) {
    const TRun r = Velcalc({"-e", "1/3", "-e", "1/0", "-e", "-1/0", "-e", "(:a=1;)+2", "-e",
                            "rand(1)", "-e", "$FFFFFFFF", "-e", "2*sin(pi/4)^2"});
    EXPECT_EQ(r.Status, 0);
    EXPECT_EQ(r.Out, "0.333333333333333333\ninf\n-inf\nnan\n2.32830643653869629e-10\n-1\n1\n");
}

TEST(Velcalc, ErrorsAreReportedAndEvaluationGoesOn) {
    const TRun r = Velcalc(
        {"-e", "1+", "-e", "2", "-e", "", "-e", "1e4932+1e4932", "-e", "fac(4.5)", "-e", "3"});
    EXPECT_EQ(r.Status, 1);
    EXPECT_EQ(r.Out, "2\n3\n");
    EXPECT_EQ(r.Err, "error at position 3: Value expected\n"
                     "error: Expression is empty\n"
                     "error: Floating point overflow\n"
                     "error at position 8: Undefined\n");
}

TEST(Velcalc, ReadsOneExpressionPerLineFromStandardInput) {
    const TRun r = Velcalc({}, ":x=3\n\nx*2\n  \n3 4\r\n:g()=x+1;\ng\n");
    EXPECT_EQ(r.Status, 1);
    EXPECT_EQ(r.Out, "6\n4\n");
    EXPECT_EQ(r.Err, "error at position 3: Operator expected\n");
    EXPECT_EQ(Velcalc({}, "").Status, 0);
}

TEST(Velcalc, TableOptions) {
    TRun r = Velcalc({"-e", "foo+1"});
    EXPECT_EQ(r.Status, 1);
    EXPECT_EQ(r.Err, "error at position 4: Undefined symbol: foo\n");
    r = Velcalc({"--lenient", "-e", "foo+1"});
    EXPECT_EQ(r.Status, 0);
    EXPECT_EQ(r.Out, "1\n");
    r = Velcalc({"--require-value", "-e", ":x=5", "-e", "x"});
    EXPECT_EQ(r.Status, 1);
    EXPECT_EQ(r.Out, "5\n");
    EXPECT_EQ(r.Err, "error at position 6: Value expected\n");
}

TEST(Velcalc, ListsTheTable) {
    const TRun r = Velcalc({"-e", ":sq(t)=t*t;", "--list"});
    EXPECT_EQ(r.Status, 0);
    EXPECT_NE(r.Out.find("num.root     symbolic   (expression,x)  Root of expression in x\n"),
              std::string::npos)
        << r.Out;
    EXPECT_NE(r.Out.find("num.Guess    parameter  0.500000001\n"), std::string::npos);
    EXPECT_NE(r.Out.find("log10        function   (x)  Base 10 logarithm\n"), std::string::npos);
    EXPECT_NE(r.Out.find("sq           function   (t) = t*t\n"), std::string::npos);
    EXPECT_NE(r.Out.find("pi           value      3.14159265358979324\n"), std::string::npos);
    int lines = 0;
    for (char c : r.Out)
        lines += c == '\n';
    EXPECT_EQ(lines, 38);
}

TEST(Velcalc, Usage) {
    TRun r = Velcalc({"--frobnicate"});
    EXPECT_EQ(r.Status, 2);
    EXPECT_NE(r.Err.find("usage: velcalc"), std::string::npos);
    r = Velcalc({"-e"});
    EXPECT_EQ(r.Status, 2);
    r = Velcalc({"--help"});
    EXPECT_EQ(r.Status, 0);
    EXPECT_NE(r.Out.find("usage: velcalc"), std::string::npos);
}
