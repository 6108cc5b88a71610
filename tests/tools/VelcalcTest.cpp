// velcalc end to end: values and errors on their own streams, definitions that carry over,
// standard input, the table options, the listing and the exit status.
#include <gtest/gtest.h>

#include "platform/Process.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <random>
#include <sstream>
#include <string>

#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

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

// Runs velcalc with these arguments and this standard input; standard output goes to Output
// when one is named.
TRun Velcalc(std::initializer_list<std::string> args, const std::string& input = "",
             const std::string& output = "") {
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
    command += " < " + base + "/in > " + (output.empty() ? base + "/out" : output) + " 2> " + base +
               "/err";
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

TEST(Velcalc, OutputThatCannotBeWrittenIsAnError) {
    for (const auto& args : {std::initializer_list<std::string>{"-e", "1+1"},
                             std::initializer_list<std::string>{"--list"},
                             std::initializer_list<std::string>{},
                             {"--help"}}) {
        const TRun r = Velcalc(args, "1+1\n", "/dev/full");
        EXPECT_EQ(r.Status, 2);
        EXPECT_EQ(r.Err, "velcalc: cannot write the output: No space left on device\n");
    }
}

TEST(Velcalc, ControlCharactersInMessagesAreShownEscaped) {
    const TRun r = Velcalc({}, std::string("1+\0\n2*\x01\n3\n", 10));
    EXPECT_EQ(r.Status, 1);
    EXPECT_EQ(r.Out, "3\n");
    EXPECT_EQ(r.Err, "error at position 3: Unexpected character: \\x00\n"
                     "error at position 3: Unexpected character: \\x01\n");
}

// Three nested searches: some 10^12 evaluations, hours of work.
const std::string Endless = "num.min(num.min(num.min((x-y)^2,x)+y^2,y)+z^2,z)";

TEST(Velcalc, TimeoutAbandonsAnEvaluationAsItsError) {
    TRun r = Velcalc({"--timeout", "0.5", "-e", Endless, "-e", ":a=1; a+1"});
    EXPECT_EQ(r.Status, 1);
    EXPECT_EQ(r.Out, "2\n");
    EXPECT_EQ(r.Err, "error: Time limit of 0.5 s exceeded\n");
    r = Velcalc({"--timeout", "1"}, Endless + "\n4\n");
    EXPECT_EQ(r.Out, "4\n");
    EXPECT_EQ(r.Err, "error: Time limit of 1 s exceeded\n");
    for (const char* bad : {"0", "-1", "x", "1s"})
        EXPECT_EQ(Velcalc({"--timeout", bad, "-e", "1"}).Status, 2) << bad;
}

namespace {

// velcalc as an interactive calculator on a pseudo-terminal of its own.
class TTerminalSession {
public:
    TTerminalSession() {
        Pid = forkpty(&Master, nullptr, nullptr, nullptr);
        if (Pid == 0) {
            execl(VT_VELCALC_PATH, "velcalc", static_cast<char*>(nullptr));
            _exit(127);
        }
    }
    ~TTerminalSession() {
        if (Pid > 0 && waitpid(Pid, nullptr, WNOHANG) == 0) {
            kill(Pid, SIGKILL);
            waitpid(Pid, nullptr, 0);
        }
        if (Master >= 0)
            close(Master);
    }

    // Reads until Text has appeared since the last call (only a hang guard limits it), then
    // waits until the line editor has the terminal (no canonical input), so that what is
    // typed next is read by it and not first echoed by the terminal.
    bool Await(const std::string& text) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (Seen.find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            pollfd p{Master, POLLIN, 0};
            char buffer[256];
            if (poll(&p, 1, 100) > 0) {
                const ssize_t n = read(Master, buffer, sizeof buffer);
                if (n <= 0)
                    return false;
                Seen.append(buffer, static_cast<size_t>(n));
            }
        }
        Seen.erase(0, Seen.find(text) + text.size());
        return true;
    }
    bool AwaitPrompt() {
        if (!Await("> "))
            return false;
        termios mode{};
        for (int i = 0; i < 6000 && tcgetattr(Master, &mode) == 0 && (mode.c_lflag & ICANON); ++i)
            usleep(10000);
        return (mode.c_lflag & ICANON) == 0;
    }
    void Type(const std::string& text) {
        ASSERT_EQ(write(Master, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    void Interrupt() { kill(Pid, SIGINT); }
    int ExitStatus() {
        int status = 0;
        waitpid(Pid, &status, 0);
        Pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    int Master = -1;
    pid_t Pid = -1;
    std::string Seen;
};

} // namespace

TEST(Velcalc, CtrlCAbandonsTheEvaluationOrTheLineAndComesBackToThePrompt) {
    TTerminalSession session;
    ASSERT_TRUE(session.AwaitPrompt());
    // Once the line editor has echoed the end of the line, the line is the calculator's.
    session.Type(Endless + "\n");
    ASSERT_TRUE(session.Await(Endless + "\r\n"));
    session.Interrupt();
    ASSERT_TRUE(session.Await("error: Interrupted\r\n"));
    // At the prompt it drops what was typed, on an empty line too.
    ASSERT_TRUE(session.AwaitPrompt());
    session.Type("7*");
    ASSERT_TRUE(session.Await("7*"));
    session.Interrupt();
    ASSERT_TRUE(session.AwaitPrompt());
    session.Interrupt();
    ASSERT_TRUE(session.AwaitPrompt());
    session.Type("6*7\n");
    ASSERT_TRUE(session.Await("6*7\r\n42\r\n"));
    ASSERT_TRUE(session.AwaitPrompt());
    session.Type("\x04");
    EXPECT_EQ(session.ExitStatus(), 1); // one expression failed
}
