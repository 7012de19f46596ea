// POSIX stand-in for the Win32 calls the launcher uses, so that the utility
// really starts commands on a Linux host. The token's reduction here is the
// host's own kind: no_new_privs and every capability dropped; identity unchanged.
#include <errno.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "platform/win32_api.h"

namespace {

// ---- Last-error code and handles -----------------------------------------

thread_local DWORD t_lastError = ERROR_SUCCESS;

enum HandleKind { kFree = 0, kLevel = 1, kToken = 2, kProcess = 4, kThread = 8 };

struct HandleSlot {
    HandleKind kind;
    DWORD value;  // level id, or process id
};

constexpr int kHandleSlots = 64;
HandleSlot g_handles[kHandleSlots];
pthread_mutex_t g_handleLock = PTHREAD_MUTEX_INITIALIZER;

// Handles are small multiples of 4, as the platform's own are; 0 is never one.
HANDLE OpenHandle(HandleKind kind, DWORD value)
{
    HANDLE handle = nullptr;
    pthread_mutex_lock(&g_handleLock);
    for (int index = 0; index < kHandleSlots; ++index) {
        if (g_handles[index].kind == kFree) {
            g_handles[index] = HandleSlot{kind, value};
            handle = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(index + 1) * 4);
            break;
        }
    }
    pthread_mutex_unlock(&g_handleLock);
    if (handle == nullptr) {
        t_lastError = ERROR_NOT_ENOUGH_MEMORY;
    }
    return handle;
}

int SlotOf(const void* handle)
{
    const std::uintptr_t raw = reinterpret_cast<std::uintptr_t>(handle);
    if (raw == 0 || raw % 4 != 0 || raw / 4 > kHandleSlots) {
        return -1;
    }
    return static_cast<int>(raw / 4 - 1);
}

// True when handle is open and of one of the kinds in kinds (a mask); with
// release, frees it.
bool CheckHandle(const void* handle, int kinds, bool release)
{
    const int slot = SlotOf(handle);
    bool valid = false;
    pthread_mutex_lock(&g_handleLock);
    if (slot >= 0 && (g_handles[slot].kind & kinds) != 0) {
        valid = true;
        if (release) {
            g_handles[slot].kind = kFree;
        }
    }
    pthread_mutex_unlock(&g_handleLock);
    if (!valid) {
        t_lastError = ERROR_INVALID_HANDLE;
    }
    return valid;
}

BOOL Fail(DWORD code)
{
    t_lastError = code;
    return FALSE;
}

DWORD Win32CodeFor(int error)
{
    switch (error) {
    case ENOENT:
    case ENOTDIR:
        return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
    case ETXTBSY:
        return ERROR_ACCESS_DENIED;
    case ENOEXEC:
        return ERROR_BAD_EXE_FORMAT;
    case ENOMEM:
    case E2BIG:
    case EAGAIN:
        return ERROR_NOT_ENOUGH_MEMORY;
    case ENAMETOOLONG:
        return ERROR_FILENAME_EXCED_RANGE;
    case ELOOP:
        return ERROR_CANT_RESOLVE_FILENAME;
    default:
        return ERROR_INTERNAL_ERROR;
    }
}

// ---- Command line ----------------------------------------------------------

// Splits commandLine into words by the Windows C runtime's rules: blanks and
// tabs separate words, double quotes group, 2n backslashes before a quote give
// n backslashes and a grouping quote, 2n+1 give n and a literal quote, and ""
// inside a group is a literal quote. The first word (the program) takes quotes
// for grouping only, as the runtime does. words gets a NULL-terminated vector
// pointing into buffer, which needs strlen(commandLine)+1 bytes.
int SplitCommandLine(const char* commandLine, char* buffer, char** words)
{
    const char* in = commandLine;
    char* out = buffer;
    int count = 0;
    auto isBlank = [](char c) { return c == ' ' || c == '\t'; };

    while (isBlank(*in)) {
        ++in;
    }
    if (*in != '\0') {
        words[count++] = out;
        bool quoted = false;
        while (*in != '\0' && (quoted || !isBlank(*in))) {
            if (*in == '"') {
                quoted = !quoted;
            } else {
                *out++ = *in;
            }
            ++in;
        }
        *out++ = '\0';
    }
    for (;;) {
        while (isBlank(*in)) {
            ++in;
        }
        if (*in == '\0') {
            break;
        }
        words[count++] = out;
        bool quoted = false;
        while (*in != '\0' && (quoted || !isBlank(*in))) {
            std::size_t slashes = 0;
            while (*in == '\\') {
                ++in;
                ++slashes;
            }
            if (*in == '"') {
                for (std::size_t i = 0; i < slashes / 2; ++i) {
                    *out++ = '\\';
                }
                if (slashes % 2 == 1) {
                    *out++ = '"';
                } else if (quoted && in[1] == '"') {
                    *out++ = '"';
                    ++in;
                } else {
                    quoted = !quoted;
                }
                ++in;
            } else {
                for (std::size_t i = 0; i < slashes; ++i) {
                    *out++ = '\\';
                }
                if (*in != '\0' && (quoted || !isBlank(*in))) {
                    *out++ = *in++;
                }
            }
        }
        *out++ = '\0';
    }
    words[count] = nullptr;
    return count;
}

// Finds program on PATH, as a shell would, when it names no directory. Returns
// 0 with path filled, or the errno of the search.
int ResolveProgram(const char* program, char* path, std::size_t pathSize)
{
    if (std::strchr(program, '/') != nullptr) {
        const std::size_t length = std::strlen(program);
        if (length >= pathSize) {
            return ENAMETOOLONG;
        }
        std::memcpy(path, program, length + 1);
        return 0;
    }
    const char* search = std::getenv("PATH");
    if (search == nullptr) {
        search = "/bin:/usr/bin";
    }
    int result = ENOENT;
    for (const char* dir = search;; ++dir) {
        const char* end = std::strchr(dir, ':');
        const std::size_t dirLength = end ? static_cast<std::size_t>(end - dir) : std::strlen(dir);
        const int written = dirLength == 0
                                ? std::snprintf(path, pathSize, "%s", program)
                                : std::snprintf(path, pathSize, "%.*s/%s",
                                                static_cast<int>(dirLength), dir, program);
        struct stat info;
        if (written > 0 && static_cast<std::size_t>(written) < pathSize && stat(path, &info) == 0 &&
            !S_ISDIR(info.st_mode)) {
            if (access(path, X_OK) == 0) {
                return 0;
            }
            result = EACCES;
        }
        if (end == nullptr) {
            break;
        }
        dir = end;
    }
    return result;
}

// ---- Starting the program --------------------------------------------------

// The reduced token's meaning on this host: no privileges can be gained by
// exec, and no capability is kept. Returns 0 or the errno that refused it.
int ApplyReduction()
{
    // The bounding set can only be dropped with CAP_SETPCAP; without it the
    // caller has no capability to pass on in the first place.
    for (int cap = 0; prctl(PR_CAPBSET_READ, cap, 0, 0, 0) >= 0; ++cap) {
        if (prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0 && errno != EPERM) {
            return errno;
        }
    }
    if (prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0 && errno != EINVAL) {
        return errno;
    }
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        return errno;
    }
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (syscall(SYS_capset, &header, data) != 0) {
        return errno;
    }
    return 0;
}

// What the intermediate process works on; it shares the caller's memory.
struct SpawnJob {
    const char* path;
    char** words;
    const posix_spawn_file_actions_t* actions;
    const posix_spawnattr_t* attributes;
    pid_t pid;
    int error;
};

// The intermediate process: takes the reduction on itself and starts the
// program, whose exec posix_spawn waits for and reports.
int RunIntermediate(void* argument)
{
    auto* job = static_cast<SpawnJob*>(argument);
    job->error = ApplyReduction();
    if (job->error == 0) {
        job->error =
            posix_spawn(&job->pid, job->path, job->actions, job->attributes, job->words, environ);
    }
    return 0;
}

// Starts the program so that it never becomes the caller's child (and so never
// its zombie), and reports the outcome of its exec synchronously. The
// intermediate process shares the caller's memory and runs while the caller
// is suspended (as vfork does), so it costs no copy of the caller and hands
// its result back in place; it runs with every signal blocked, so that none of
// the caller's handlers can run in it, and the program gets the caller's mask.
int SpawnDetached(const char* path, char** words, pid_t* started)
{
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_t actions;
    int error = posix_spawnattr_init(&attributes);
    if (error != 0) {
        return error;
    }
    error = posix_spawn_file_actions_init(&actions);
    if (error != 0) {
        posix_spawnattr_destroy(&attributes);
        return error;
    }
    sigset_t all;
    sigset_t callerMask;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &callerMask);
    // A session of its own, the three standard descriptors on /dev/null, no
    // other descriptor inherited, and the caller's signal mask.
    const int steps[] = {
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK),
        posix_spawnattr_setsigmask(&attributes, &callerMask),
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDWR, 0),
        posix_spawn_file_actions_adddup2(&actions, 0, 1),
        posix_spawn_file_actions_adddup2(&actions, 0, 2),
        posix_spawn_file_actions_addclosefrom_np(&actions, 3),
    };
    const int* failed =
        std::find_if(std::begin(steps), std::end(steps), [](int step) { return step != 0; });
    error = failed == std::end(steps) ? 0 : *failed;

    constexpr std::size_t kStackSize = std::size_t{64} * 1024;
    void* stack = MAP_FAILED;
    if (error == 0) {
        stack = mmap(nullptr, kStackSize, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
        error = stack == MAP_FAILED ? errno : 0;
    }
    if (error == 0) {
        // ECHILD stays if the intermediate dies without a word.
        SpawnJob job{path, words, &actions, &attributes, 0, ECHILD};
        const pid_t intermediate = clone(RunIntermediate, static_cast<char*>(stack) + kStackSize,
                                         CLONE_VM | CLONE_VFORK | SIGCHLD, &job);
        if (intermediate < 0) {
            error = errno;
        } else {
            while (waitpid(intermediate, nullptr, 0) < 0 && errno == EINTR) {}
            error = job.error;
            *started = job.pid;
        }
        munmap(stack, kStackSize);
    }
    pthread_sigmask(SIG_SETMASK, &callerMask, nullptr);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    return error;
}

// ---- Message texts ---------------------------------------------------------

struct MessageText {
    DWORD code;
    const char* text;
};

// The platform's English texts for every code this stand-in can produce.
const MessageText kMessages[] = {
    {ERROR_SUCCESS, "The operation completed successfully.\r\n"},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified.\r\n"},
    {ERROR_ACCESS_DENIED, "Access is denied.\r\n"},
    {ERROR_INVALID_HANDLE, "The handle is invalid.\r\n"},
    {ERROR_NOT_ENOUGH_MEMORY,
     "Not enough memory resources are available to process this command.\r\n"},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect.\r\n"},
    {ERROR_BAD_EXE_FORMAT, "%1 is not a valid Win32 application.\r\n"},
    {ERROR_FILENAME_EXCED_RANGE, "The filename or extension is too long.\r\n"},
    {ERROR_INTERNAL_ERROR, "An internal error occurred.\r\n"},
    {ERROR_CANT_RESOLVE_FILENAME, "The name of the file cannot be resolved by the system.\r\n"},
};

// ---- Message box -----------------------------------------------------------

void WriteAll(int fd, const char* text, std::size_t length)
{
    while (length > 0) {
        const ssize_t done = write(fd, text, length);
        if (done < 0 && errno == EINTR) {
            continue;
        }
        if (done <= 0) {
            return;
        }
        text += done;
        length -= static_cast<std::size_t>(done);
    }
}

// Writes one box row: "| " + text padded to width + " |".
void WriteRow(int fd, const char* text, std::size_t length, std::size_t width)
{
    WriteAll(fd, "| ", 2);
    WriteAll(fd, text, length);
    for (std::size_t i = length; i < width; ++i) {
        WriteAll(fd, " ", 1);
    }
    WriteAll(fd, " |\n", 3);
}

void WriteBorder(int fd, const char* caption, std::size_t width)
{
    const std::size_t captionLength = caption ? std::strlen(caption) : 0;
    WriteAll(fd, "+-", 2);
    std::size_t used = 0;
    if (captionLength > 0) {
        WriteAll(fd, " ", 1);
        WriteAll(fd, caption, captionLength);
        WriteAll(fd, " ", 1);
        used = captionLength + 2;
    }
    for (std::size_t i = used; i < width + 1; ++i) {
        WriteAll(fd, "-", 1);
    }
    WriteAll(fd, "+\n", 2);
}

// Length of the line at text without its line end.
std::size_t LineLength(const char* text)
{
    std::size_t length = std::strcspn(text, "\n");
    if (length > 0 && text[length - 1] == '\r') {
        --length;
    }
    return length;
}

// The start of the line after the one at text (its end when there is none).
const char* NextLine(const char* text)
{
    text += std::strcspn(text, "\n");
    return *text == '\n' ? text + 1 : text;
}

}  // namespace

extern "C" {

DWORD WINAPI GetLastError(void)
{
    return t_lastError;
}

void WINAPI SetLastError(DWORD dwErrCode)
{
    t_lastError = dwErrCode;
}

BOOL WINAPI SaferCreateLevel(DWORD dwScopeId, DWORD dwLevelId, DWORD OpenFlags,
                             SAFER_LEVEL_HANDLE* pLevelHandle, LPVOID lpReserved)
{
    const bool knownLevel = dwLevelId == SAFER_LEVELID_NORMALUSER ||
                            dwLevelId == SAFER_LEVELID_CONSTRAINED ||
                            dwLevelId == SAFER_LEVELID_UNTRUSTED;
    if (dwScopeId != SAFER_SCOPEID_USER || !knownLevel || OpenFlags != 0 ||
        pLevelHandle == nullptr || lpReserved != nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    HANDLE level = OpenHandle(kLevel, dwLevelId);
    *pLevelHandle = static_cast<SAFER_LEVEL_HANDLE>(level);
    return level != nullptr;
}

BOOL WINAPI SaferComputeTokenFromLevel(SAFER_LEVEL_HANDLE LevelHandle, HANDLE InAccessToken,
                                       PHANDLE OutAccessToken, DWORD dwFlags, LPVOID lpReserved)
{
    if (!CheckHandle(LevelHandle, kLevel, false)) {
        return FALSE;
    }
    if (InAccessToken != nullptr || OutAccessToken == nullptr || dwFlags != 0 ||
        lpReserved != nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    // Every level reduces the same way on this host; the token records nothing more.
    *OutAccessToken = OpenHandle(kToken, 0);
    return *OutAccessToken != nullptr;
}

BOOL WINAPI SaferCloseLevel(SAFER_LEVEL_HANDLE hLevelHandle)
{
    return CheckHandle(hLevelHandle, kLevel, true);
}

BOOL WINAPI CloseHandle(HANDLE hObject)
{
    return CheckHandle(hObject, kToken | kProcess | kThread, true);
}

BOOL WINAPI CreateProcessAsUserA(HANDLE hToken, LPCSTR lpApplicationName, LPSTR lpCommandLine,
                                 LPSECURITY_ATTRIBUTES lpProcessAttributes,
                                 LPSECURITY_ATTRIBUTES lpThreadAttributes, BOOL bInheritHandles,
                                 DWORD dwCreationFlags, LPVOID lpEnvironment,
                                 LPCSTR lpCurrentDirectory, LPSTARTUPINFOA lpStartupInfo,
                                 LPPROCESS_INFORMATION lpProcessInformation)
{
    (void)lpProcessAttributes;
    (void)lpThreadAttributes;
    (void)dwCreationFlags;  // every program gets a session of its own
    if (!CheckHandle(hToken, kToken, false)) {
        return FALSE;
    }
    // Only what the launcher asks for is supported; refuse the rest openly.
    if (lpApplicationName != nullptr || lpCommandLine == nullptr || bInheritHandles ||
        lpEnvironment != nullptr || lpCurrentDirectory != nullptr || lpStartupInfo == nullptr ||
        lpStartupInfo->cb < sizeof(STARTUPINFOA) || lpProcessInformation == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }

    const std::size_t length = std::strlen(lpCommandLine);
    char* buffer = static_cast<char*>(std::malloc(length + 1));
    char** words = static_cast<char**>(std::malloc((length / 2 + 2) * sizeof(char*)));
    char* path = static_cast<char*>(std::malloc(PATH_MAX));
    int error = ENOMEM;
    pid_t started = 0;
    if (buffer != nullptr && words != nullptr && path != nullptr) {
        const int count = SplitCommandLine(lpCommandLine, buffer, words);
        error =
            count == 0 || words[0][0] == '\0' ? ENOENT : ResolveProgram(words[0], path, PATH_MAX);
        if (error == 0) {
            error = SpawnDetached(path, words, &started);
        }
    }
    std::free(path);
    std::free(words);
    std::free(buffer);
    if (error != 0) {
        return Fail(Win32CodeFor(error));
    }

    lpProcessInformation->hProcess = OpenHandle(kProcess, static_cast<DWORD>(started));
    lpProcessInformation->hThread = OpenHandle(kThread, static_cast<DWORD>(started));
    lpProcessInformation->dwProcessId = static_cast<DWORD>(started);
    lpProcessInformation->dwThreadId = static_cast<DWORD>(started);
    if (lpProcessInformation->hProcess == nullptr || lpProcessInformation->hThread == nullptr) {
        // The program runs, but the caller cannot be handed both handles.
        if (lpProcessInformation->hProcess != nullptr) {
            CloseHandle(lpProcessInformation->hProcess);
        }
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    return TRUE;
}

DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                            LPSTR lpBuffer, DWORD nSize, va_list* Arguments)
{
    (void)lpSource;
    (void)nSize;
    (void)Arguments;
    const DWORD supported =
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM;
    if (dwFlags != supported || lpBuffer == nullptr ||
        (dwLanguageId != 0 && dwLanguageId != MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT))) {
        t_lastError = ERROR_INVALID_PARAMETER;
        return 0;
    }
    for (const MessageText& message : kMessages) {
        if (message.code == dwMessageId) {
            char* copy = strdup(message.text);
            if (copy == nullptr) {
                t_lastError = ERROR_NOT_ENOUGH_MEMORY;
                return 0;
            }
            *reinterpret_cast<char**>(lpBuffer) = copy;
            return static_cast<DWORD>(std::strlen(copy));
        }
    }
    t_lastError = 317;  // ERROR_MR_MID_NOT_FOUND: no text for this code
    return 0;
}

HLOCAL WINAPI LocalFree(HLOCAL hMem)
{
    std::free(hMem);
    return nullptr;
}

int WINAPI MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType)
{
    (void)hWnd;
    (void)uType;  // always one OK button
    const int tty = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (tty < 0) {
        return 0;  // no terminal to show it on, as with no display
    }
    const char* text = lpText ? lpText : "";
    const char* button = "[ OK ]";
    std::size_t width = std::strlen(button);
    if (lpCaption != nullptr && std::strlen(lpCaption) + 2 > width) {
        width = std::strlen(lpCaption) + 2;
    }
    for (const char* line = text; *line != '\0';) {
        const std::size_t length = LineLength(line);
        width = length > width ? length : width;
        line = NextLine(line);
    }

    WriteAll(tty, "\n", 1);
    WriteBorder(tty, lpCaption, width);
    for (const char* line = text; *line != '\0';) {
        WriteRow(tty, line, LineLength(line), width);
        line = NextLine(line);
    }
    WriteRow(tty, "", 0, width);
    char centred[256];
    const std::size_t indent = (width - std::strlen(button)) / 2;
    std::snprintf(centred, sizeof centred, "%*s%s", static_cast<int>(indent), "", button);
    WriteRow(tty, centred, std::strlen(centred), width);
    WriteBorder(tty, nullptr, width);
    WriteAll(tty, "Press Enter to continue.\n", 25);

    char key = 0;
    for (;;) {
        const ssize_t got = read(tty, &key, 1);
        if ((got < 0 && errno != EINTR) || got == 0 || key == '\n' || key == '\r') {
            break;
        }
    }
    close(tty);
    return IDOK;
}

}  // extern "C"
