// End-to-end tests of the host binary with the real POSIX stand-in: programs
// really start, reduced, detached, and failures come back as Win32 codes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/win32_api.h"

namespace {

struct Result {
    int status = -1;
    std::string errorText;
};

// Runs trustrun with words, in a session of its own (no controlling terminal,
// so an error box never waits for a key), from directory cwd.
Result RunTrustrun(const std::vector<std::string>& words, const std::string& cwd = ".")
{
    int errors[2];
    EXPECT_EQ(pipe(errors), 0);
    const pid_t child = fork();
    if (child == 0) {
        setsid();
        dup2(errors[1], 2);
        close(errors[0]);
        close(errors[1]);
        if (chdir(cwd.c_str()) != 0) {
            _exit(126);
        }
        std::vector<char*> argv = {const_cast<char*>(TRUSTRUN_BINARY)};
        for (const std::string& word : words) {
            argv.push_back(const_cast<char*>(word.c_str()));
        }
        argv.push_back(nullptr);
        execv(TRUSTRUN_BINARY, argv.data());
        _exit(127);
    }
    close(errors[1]);
    Result result;
    char chunk[256];
    for (ssize_t n; (n = read(errors[0], chunk, sizeof chunk)) > 0;) {
        result.errorText.append(chunk, static_cast<std::size_t>(n));
    }
    close(errors[0]);
    int waitStatus = 0;
    waitpid(child, &waitStatus, 0);
    result.status = WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : -1;
    return result;
}

std::string TempDir()
{
    char pattern[] = "/tmp/trustrun-test-XXXXXX";
    const char* dir = mkdtemp(pattern);
    EXPECT_NE(dir, nullptr);
    return dir ? dir : "/nonexistent";
}

// Waits (boundedly) for a file that the started program writes, then reads it
// as key=value lines; /proc status lines ("Key:\tvalue") are read too.
std::multimap<std::string, std::string> AwaitReport(const std::string& path)
{
    for (int i = 0; i < 500 && access(path.c_str(), F_OK) != 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::multimap<std::string, std::string> report;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        const std::size_t at = line.find_first_of("=:");
        if (at == std::string::npos) {
            continue;
        }
        std::string value = line.substr(at + 1);
        value.erase(0, value.find_first_not_of(" \t"));
        report.emplace(line.substr(0, at), value);
    }
    return report;
}

std::string One(const std::multimap<std::string, std::string>& report, const std::string& key)
{
    auto found = report.find(key);
    return found == report.end() ? "<missing>" : found->second;
}

TEST(Host, StartedProgramIsReducedDetachedAndGetsTheSplitWords)
{
    const std::string dir = TempDir();
    const std::string out = dir + "/report";
    // A descriptor the caller leaves open must not reach the program.
    const int leaked = open("/dev/null", O_RDONLY);
    ASSERT_GE(leaked, 3);
    setenv("TRUSTRUN_PROBE_MARK", "inherited", 1);
    setenv("TRUSTRUN_PROBE_STAY", "1", 1);

    // Words holding quotes and backslashes reach the program split by the
    // Windows runtime's rules: "a b" groups, \" is a literal quote.
    const Result run = RunTrustrun({"u", PROBE_BINARY, out, "\"a b\"", "c\\\"d", "e\\\\f"}, dir);
    unsetenv("TRUSTRUN_PROBE_STAY");
    close(leaked);

    // trustrun has ended while the program still runs: it was not waited for.
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.errorText, "");
    const auto report = AwaitReport(out);
    const pid_t pid = std::atoi(One(report, "pid").c_str());
    ASSERT_GT(pid, 1);
    EXPECT_EQ(kill(pid, 0), 0) << "the started program should still be running";
    kill(pid, SIGKILL);

    EXPECT_EQ(One(report, "NoNewPrivs"), "1");
    EXPECT_EQ(One(report, "CapEff"), "0000000000000000");
    EXPECT_EQ(One(report, "CapPrm"), "0000000000000000");
    EXPECT_EQ(One(report, "CapInh"), "0000000000000000");
    EXPECT_EQ(One(report, "CapAmb"), "0000000000000000");
    EXPECT_EQ(One(report, "CapBnd"), "0000000000000000");
    EXPECT_EQ(One(report, "sid"), One(report, "pid"));  // a session of its own
    EXPECT_EQ(One(report, "uid"), std::to_string(getuid()));
    EXPECT_EQ(One(report, "gid"), std::to_string(getgid()));
    EXPECT_EQ(One(report, "cwd"), dir);
    EXPECT_EQ(One(report, "mark"), "inherited");
    EXPECT_EQ(One(report, "fds"), "0 1 2");
    for (const char* fd : {"fd0", "fd1", "fd2"}) {
        EXPECT_EQ(One(report, fd), "/dev/null");
    }
    std::vector<std::string> args;
    for (auto [it, end] = report.equal_range("arg"); it != end; ++it) {
        args.push_back(it->second);
    }
    EXPECT_EQ(args, (std::vector<std::string>{"a b", "c\"d", "e\\\\f"}));
    std::filesystem::remove_all(dir);
}

TEST(Host, ARealCommandOnThePathCopiesItsOwnReducedStatus)
{
    const std::string dir = TempDir();
    const Result run = RunTrustrun({"u", "cp", "/proc/self/status", "status.txt"}, dir);
    EXPECT_EQ(run.status, 0);
    const auto report = AwaitReport(dir + "/status.txt");
    EXPECT_EQ(One(report, "NoNewPrivs"), "1");
    EXPECT_EQ(One(report, "CapEff"), "0000000000000000");
    std::filesystem::remove_all(dir);
}

TEST(Host, ExitStatusesOfTheHostBinary)
{
    const std::string dir = TempDir();
    const std::string script = dir + "/plain.txt";
    std::ofstream(script) << "not a program\n";
    chmod(script.c_str(), 0755);
    const std::string locked = dir + "/locked";
    std::ofstream(locked) << "#!/bin/sh\n";
    chmod(locked.c_str(), 0644);

    const struct {
        std::vector<std::string> words;
        int status;
        const char* errorText;
    } cases[] = {
        {{}, 87, "Parameters are missing.\n"},
        {{"u"}, 87, "Parameters are missing.\n"},
        {{"u", std::string(259, 'a')}, 1, ""},
        {{"u", std::string(258, 'a')}, 2, "CreateProcessAsUser() failed (error 2)\n"},
        {{"u", "/no/such/program"}, 2, "CreateProcessAsUser() failed (error 2)\n"},
        {{"c", "no-such-program-on-path"}, 2, "CreateProcessAsUser() failed (error 2)\n"},
        {{"n", ""}, 2, "CreateProcessAsUser() failed (error 2)\n"},
        {{"n", locked}, 5, "CreateProcessAsUser() failed (error 5)\n"},
        {{"n", script}, 193, "CreateProcessAsUser() failed (error 193)\n"},
        {{"n", "true"}, 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.words.empty() ? "(none)" : c.words.back().substr(0, 40));
        const Result run = RunTrustrun(c.words);
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(run.errorText, c.errorText);
    }
    std::filesystem::remove_all(dir);
}

TEST(Host, StandInReleasesHandlesAndLeavesNoChildBehind)
{
    SAFER_LEVEL_HANDLE level = nullptr;
    EXPECT_FALSE(SaferCreateLevel(SAFER_SCOPEID_USER, 0x40000, 0, &level, nullptr));
    EXPECT_EQ(GetLastError(), 87u);
    ASSERT_TRUE(SaferCreateLevel(SAFER_SCOPEID_USER, SAFER_LEVELID_NORMALUSER, 0, &level, nullptr));
    HANDLE token = nullptr;
    ASSERT_TRUE(SaferComputeTokenFromLevel(level, nullptr, &token, 0, nullptr));

    char commandLine[] = "true ";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    ASSERT_TRUE(CreateProcessAsUserA(token, nullptr, commandLine, nullptr, nullptr, FALSE,
                                     CREATE_NEW_CONSOLE, nullptr, nullptr, &startup, &process));
    EXPECT_GT(process.dwProcessId, 0u);
    // Nothing is left for the caller to reap: the program is not its child.
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);

    EXPECT_TRUE(CloseHandle(process.hProcess));
    EXPECT_TRUE(CloseHandle(process.hThread));
    EXPECT_TRUE(CloseHandle(token));
    EXPECT_TRUE(SaferCloseLevel(level));
    // Released handles are gone: using them again is an invalid handle.
    EXPECT_FALSE(CloseHandle(token));
    EXPECT_EQ(GetLastError(), 6u);
    EXPECT_FALSE(SaferComputeTokenFromLevel(level, nullptr, &token, 0, nullptr));
    EXPECT_EQ(GetLastError(), 6u);

    char* text = nullptr;
    const DWORD flags = 0x1300;
    EXPECT_GT(FormatMessageA(flags, nullptr, 2, 0x400, reinterpret_cast<LPSTR>(&text), 0, nullptr),
              0u);
    EXPECT_STREQ(text, "The system cannot find the file specified.\r\n");
    LocalFree(text);
    EXPECT_EQ(
        FormatMessageA(flags, nullptr, 54321, 0x400, reinterpret_cast<LPSTR>(&text), 0, nullptr),
        0u);
}

}  // namespace
