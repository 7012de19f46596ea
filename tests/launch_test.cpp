// The main function and the restricted launch against the recording fake:
// the platform calls made, the output, the status, and every release.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "frontend/trustrun_main.h"
#include "tests/fake_platform.h"

namespace {

struct Outcome {
    std::uint32_t status = 0;
    std::string errorText;  // what went to stderr
    std::vector<std::string> calls;
    int open = -1;
};

std::string ReadFile(std::FILE* file)
{
    std::string text;
    std::rewind(file);
    for (int c; (c = std::fgetc(file)) != EOF;) {
        text += static_cast<char>(c);
    }
    return text;
}

// Runs TrustrunMain in a child process, so that each case gets a fresh stderr
// stream (narrow and wide prints cannot share one) and a fresh fake.
Outcome RunMainArgv(std::vector<char*> argv, const FakeConfig& config)
{
    std::FILE* errors = std::tmpfile();
    std::FILE* report = std::tmpfile();
    const pid_t child = fork();
    if (child == 0) {
        dup2(fileno(errors), 2);
        ResetFake(config);
        const int argc = static_cast<int>(argv.size());
        argv.push_back(nullptr);
        const int status = TrustrunMain(argc, argv.data());
        std::fprintf(report, "%u\n%d\n", static_cast<unsigned>(status), FakeOpenCount());
        for (const std::string& call : FakeCalls()) {
            std::fprintf(report, "%s\n", call.c_str());
        }
        std::fflush(nullptr);
        _exit(0);
    }
    int waitStatus = 0;
    waitpid(child, &waitStatus, 0);
    EXPECT_TRUE(WIFEXITED(waitStatus) && WEXITSTATUS(waitStatus) == 0);

    Outcome outcome;
    outcome.errorText = ReadFile(errors);
    const std::string text = ReadFile(report);
    std::fclose(errors);
    std::fclose(report);
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string line = text.substr(start, end - start);
        if (start == 0) {
            outcome.status = static_cast<std::uint32_t>(std::stoul(line));
        } else if (outcome.open < 0) {
            outcome.open = std::stoi(line);
        } else {
            outcome.calls.push_back(line);
        }
    }
    return outcome;
}

Outcome RunMain(std::vector<std::string> words, const FakeConfig& config = {})
{
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    return RunMainArgv(argv, config);
}

std::string CreateLevel(const char* level)
{
    return std::string("SaferCreateLevel(scope=2, level=") + level +
           ", flags=0, reserved=null) -> level1";
}

const char* const kComputeToken =
    "SaferComputeTokenFromLevel(level1, in=null, flags=0, reserved=null) -> token2";

std::string CreateProcess(const std::string& commandLine)
{
    return "CreateProcessAsUserA(token2, app=null, cmd=\"" + commandLine +
           "\", psa=null, tsa=null, inherit=0, flags=0x10, env=null, dir=null, startup=size)";
}

std::string LaunchedCommand(const Outcome& outcome)
{
    for (const std::string& call : outcome.calls) {
        if (call.rfind("CreateProcessAsUserA(", 0) == 0) {
            const std::size_t start = call.find("cmd=\"") + 5;
            return call.substr(start, call.find("\", psa=") - start);
        }
    }
    return "<not launched>";
}

TEST(Launch, EachLevelWordStartsTheCommandWithTheMatchingLevel)
{
    const struct {
        const char* word;
        const char* level;
    } cases[] = {
        {"Constrained", "0x10000"},
        {"c", "0x10000"},
        {"Untrusted", "0x1000"},
        {"u", "0x1000"},
        {"uX", "0x1000"},
        {"N", "0x20000"},
        {"x", "0x20000"},
        {"1", "0x20000"},
        {"", "0x20000"},
        {"\x80", "0x20000"},
        {"\xC3u", "0x20000"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.word);
        const Outcome outcome = RunMain({"trustrun", c.word, "notepad.exe", "readme.txt"});
        const std::vector<std::string> expected = {
            CreateLevel(c.level),
            kComputeToken,
            CreateProcess("notepad.exe readme.txt ") + " -> process3 thread4",
            "CloseHandle(process3)",
            "CloseHandle(thread4)",
            "CloseHandle(token2)",
            "SaferCloseLevel(level1)",
        };
        EXPECT_EQ(outcome.calls, expected);
        EXPECT_EQ(outcome.status, 0u);
        EXPECT_EQ(outcome.errorText, "");
        EXPECT_EQ(outcome.open, 0);
    }
}

TEST(Launch, AFailedStepIsReportedAndReleasesWhatItHeld)
{
    const std::string box =
        "FormatMessageA(flags=0x1300, source=null, id=5, lang=0x400, "
        "size=0, args=null)";
    const std::string shown =
        "MessageBoxA(owner=null, text=\"text for 5\\r\\n\", caption=\"Error\", style=0x40)";
    const std::vector<std::string> report = {"GetLastError() -> 5", box, shown,
                                             "LocalFree(message)"};
    auto with = [&](std::vector<std::string> head, std::vector<std::string> tail) {
        head.insert(head.end(), report.begin(), report.end());
        head.insert(head.end(), tail.begin(), tail.end());
        return head;
    };
    const struct {
        FailStep step;
        const char* line;
        std::vector<std::string> calls;
    } cases[] = {
        {FailStep::CreateLevel, "SaferCreateLevel() failed (error 5)\n",
         with({"SaferCreateLevel(scope=2, level=0x1000, flags=0, reserved=null)"}, {})},
        {FailStep::ComputeToken, "SaferComputeTokenFromLevel() failed (error 5)\n",
         with({CreateLevel("0x1000"),
               "SaferComputeTokenFromLevel(level1, in=null, flags=0, reserved=null)"},
              {"SaferCloseLevel(level1)"})},
        {FailStep::CreateProcess, "CreateProcessAsUser() failed (error 5)\n",
         with({CreateLevel("0x1000"), kComputeToken, CreateProcess("notepad.exe ")},
              {"CloseHandle(token2)", "SaferCloseLevel(level1)"})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const Outcome outcome = RunMain({"trustrun", "u", "notepad.exe"}, {c.step, 5, false});
        EXPECT_EQ(outcome.errorText, c.line);
        EXPECT_EQ(outcome.calls, c.calls);
        EXPECT_EQ(outcome.status, 5u);
        EXPECT_EQ(outcome.open, 0);
    }
}

TEST(Launch, FailureCodesPassThroughAndNeverReadAsSuccess)
{
    // Code 0: shown as read, but the run must not end as a success.
    Outcome zero = RunMain({"trustrun", "c", "x"}, {FailStep::ComputeToken, 0, false});
    EXPECT_EQ(zero.errorText, "SaferComputeTokenFromLevel() failed (error 0)\n");
    EXPECT_EQ(zero.status, 1359u);
    EXPECT_EQ(zero.open, 0);

    // A code with the top bit set is printed unsigned and kept whole; with no
    // platform text the box names the code and frees nothing it did not get.
    Outcome big = RunMain({"trustrun", "n", "x"}, {FailStep::CreateProcess, 0xC0000005u, true});
    EXPECT_EQ(big.errorText, "CreateProcessAsUser() failed (error 3221225477)\n");
    EXPECT_EQ(big.status, 0xC0000005u);
    EXPECT_EQ(big.open, 0);
    const std::vector<std::string> tail(big.calls.end() - 4, big.calls.end());
    const std::vector<std::string> expected = {
        "FormatMessageA(flags=0x1300, source=null, id=3221225477, lang=0x400, size=0, args=null)",
        "MessageBoxA(owner=null, text=\"Unknown error 3221225477.\", caption=\"Error\", "
        "style=0x40)",
        "CloseHandle(token2)",
        "SaferCloseLevel(level1)",
    };
    EXPECT_EQ(tail, expected);
}

TEST(Launch, MissingWordsAreAUsageFailure)
{
    for (const auto& words :
         {std::vector<std::string>{"trustrun"}, std::vector<std::string>{"trustrun", "u"}}) {
        const Outcome outcome = RunMain(words);
        EXPECT_EQ(outcome.errorText, "Parameters are missing.\n");
        EXPECT_EQ(outcome.status, 87u);
        EXPECT_TRUE(outcome.calls.empty());
    }
}

TEST(Launch, WordsAreJoinedAsGivenEachFollowedByOneBlank)
{
    const struct {
        std::vector<std::string> words;
        const char* joined;
    } cases[] = {
        {{"x"}, "x "},
        {{"notepad.exe", "my file.txt"}, "notepad.exe my file.txt "},
        {{"a", "", "b"}, "a  b "},
        {{"", ""}, "  "},
        {{"cmd", "\"q\"", "*.txt", "\xE9"}, "cmd \"q\" *.txt \xE9 "},
    };
    for (const auto& c : cases) {
        std::vector<std::string> words = {"trustrun", "n"};
        words.insert(words.end(), c.words.begin(), c.words.end());
        EXPECT_EQ(LaunchedCommand(RunMain(words)), c.joined);
    }
}

TEST(Launch, OnlyCommandLinesShorterThan260CharactersAreLaunched)
{
    // One word of n-1 characters joins to n characters with its blank.
    for (const std::size_t length : {259u, 260u, 261u}) {
        SCOPED_TRACE(length);
        const std::string word(length - 1, 'a');
        const Outcome outcome = RunMain({"trustrun", "u", word});
        if (length == 259) {
            EXPECT_EQ(LaunchedCommand(outcome), word + " ");
            EXPECT_EQ(outcome.status, 0u);
        } else {
            EXPECT_TRUE(outcome.calls.empty());
            EXPECT_EQ(outcome.status, 1u);
            EXPECT_EQ(outcome.errorText, "");
        }
    }
    // Several words that total 259 are launched too.
    const std::string half(128, 'b');
    EXPECT_EQ(LaunchedCommand(RunMain({"trustrun", "u", half, half})), half + " " + half + " ");
}

TEST(Launch, AHugeTotalLengthCannotWrapIntoALaunch)
{
    // 4096 words of 1 MiB and one more word: a 32-bit running total would
    // wrap to 2 and launch a cut-short command line.
    std::string big((1u << 20) - 1, 'a');
    std::string name = "trustrun", level = "u", last = "x";
    std::vector<char*> argv = {name.data(), level.data()};
    argv.insert(argv.end(), 4096, big.data());
    argv.push_back(last.data());
    const Outcome outcome = RunMainArgv(argv, {});
    EXPECT_EQ(outcome.status, 1u);
    EXPECT_TRUE(outcome.calls.empty());
}

}  // namespace
