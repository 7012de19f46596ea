// The recording fake behind the platform header, for the unit tests.
#include "tests/fake_platform.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "platform/win32_api.h"

namespace {

// Successful calls may change the last-error code; the fake makes them do so,
// so that a code read too late shows up as this value.
constexpr DWORD kClobbered = 0xDEAD;

FakeConfig g_config;
std::vector<std::string> g_calls;
std::map<std::uintptr_t, std::string> g_open;
std::uintptr_t g_nextId = 0;
DWORD g_lastError = 0;

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...)
{
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

void* Open(const char* kind)
{
    const std::uintptr_t id = ++g_nextId;
    g_open[id] = Format("%s%" PRIuPTR, kind, id);
    return reinterpret_cast<void*>(id);
}

std::string Name(const void* handle)
{
    auto found = g_open.find(reinterpret_cast<std::uintptr_t>(handle));
    return found == g_open.end() ? "invalid" : found->second;
}

std::string Release(const void* handle)
{
    const std::string name = Name(handle);
    g_open.erase(reinterpret_cast<std::uintptr_t>(handle));
    return name;
}

const char* Ptr(const void* pointer)
{
    return pointer == nullptr ? "null" : "set";
}

bool Failing(FailStep step)
{
    if (g_config.failStep != step) {
        return false;
    }
    g_lastError = g_config.failCode;
    return true;
}

// "size" when the record holds its own size and nothing else, else "dirty".
const char* StartupState(const STARTUPINFOA* startup)
{
    if (startup == nullptr) {
        return "null";
    }
    STARTUPINFOA expected;
    std::memset(&expected, 0, sizeof expected);
    expected.cb = sizeof expected;
    return std::memcmp(startup, &expected, sizeof expected) == 0 ? "size" : "dirty";
}

}  // namespace

void ResetFake(const FakeConfig& config)
{
    g_config = config;
    g_calls.clear();
    g_open.clear();
    g_nextId = 0;
    g_lastError = 0;
}

const std::vector<std::string>& FakeCalls()
{
    return g_calls;
}

int FakeOpenCount()
{
    return static_cast<int>(g_open.size());
}

extern "C" {

BOOL WINAPI SaferCreateLevel(DWORD dwScopeId, DWORD dwLevelId, DWORD OpenFlags,
                             SAFER_LEVEL_HANDLE* pLevelHandle, LPVOID lpReserved)
{
    std::string call = Format("SaferCreateLevel(scope=%u, level=0x%X, flags=%u, reserved=%s)",
                              dwScopeId, dwLevelId, OpenFlags, Ptr(lpReserved));
    const bool fails = Failing(FailStep::CreateLevel);
    if (!fails) {
        *pLevelHandle = static_cast<SAFER_LEVEL_HANDLE>(Open("level"));
        call += " -> " + Name(*pLevelHandle);
    }
    g_calls.push_back(call);
    return !fails;
}

BOOL WINAPI SaferComputeTokenFromLevel(SAFER_LEVEL_HANDLE LevelHandle, HANDLE InAccessToken,
                                       PHANDLE OutAccessToken, DWORD dwFlags, LPVOID lpReserved)
{
    std::string call =
        Format("SaferComputeTokenFromLevel(%s, in=%s, flags=%u, reserved=%s)",
               Name(LevelHandle).c_str(), Ptr(InAccessToken), dwFlags, Ptr(lpReserved));
    const bool fails = Failing(FailStep::ComputeToken);
    if (!fails) {
        *OutAccessToken = Open("token");
        call += " -> " + Name(*OutAccessToken);
    }
    g_calls.push_back(call);
    return !fails;
}

BOOL WINAPI SaferCloseLevel(SAFER_LEVEL_HANDLE hLevelHandle)
{
    g_calls.push_back("SaferCloseLevel(" + Release(hLevelHandle) + ")");
    g_lastError = kClobbered;
    return TRUE;
}

BOOL WINAPI CreateProcessAsUserA(HANDLE hToken, LPCSTR lpApplicationName, LPSTR lpCommandLine,
                                 LPSECURITY_ATTRIBUTES lpProcessAttributes,
                                 LPSECURITY_ATTRIBUTES lpThreadAttributes, BOOL bInheritHandles,
                                 DWORD dwCreationFlags, LPVOID lpEnvironment,
                                 LPCSTR lpCurrentDirectory, LPSTARTUPINFOA lpStartupInfo,
                                 LPPROCESS_INFORMATION lpProcessInformation)
{
    std::string call = Format(
        "CreateProcessAsUserA(%s, app=%s, cmd=\"%s\", psa=%s, tsa=%s, inherit=%d, flags=0x%X, "
        "env=%s, dir=%s, startup=%s)",
        Name(hToken).c_str(), Ptr(lpApplicationName), lpCommandLine, Ptr(lpProcessAttributes),
        Ptr(lpThreadAttributes), bInheritHandles, dwCreationFlags, Ptr(lpEnvironment),
        Ptr(lpCurrentDirectory), StartupState(lpStartupInfo));
    const bool fails = Failing(FailStep::CreateProcess);
    if (!fails) {
        lpProcessInformation->hProcess = Open("process");
        lpProcessInformation->hThread = Open("thread");
        call += " -> " + Name(lpProcessInformation->hProcess) + " " +
                Name(lpProcessInformation->hThread);
    }
    g_calls.push_back(call);
    return !fails;
}

BOOL WINAPI CloseHandle(HANDLE hObject)
{
    g_calls.push_back("CloseHandle(" + Release(hObject) + ")");
    g_lastError = kClobbered;
    return TRUE;
}

DWORD WINAPI GetLastError(void)
{
    g_calls.push_back(Format("GetLastError() -> %u", g_lastError));
    return g_lastError;
}

void WINAPI SetLastError(DWORD dwErrCode)
{
    g_lastError = dwErrCode;
}

DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                            LPSTR lpBuffer, DWORD nSize, va_list* Arguments)
{
    g_calls.push_back(
        Format("FormatMessageA(flags=0x%X, source=%s, id=%u, lang=0x%X, size=%u, "
               "args=%s)",
               dwFlags, Ptr(lpSource), dwMessageId, dwLanguageId, nSize, Ptr(Arguments)));
    g_lastError = kClobbered;
    if (g_config.noMessageText) {
        return 0;
    }
    const std::string text = Format("text for %u\r\n", dwMessageId);
    char* buffer = static_cast<char*>(std::malloc(text.size() + 1));
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    g_open[reinterpret_cast<std::uintptr_t>(buffer)] = "message";
    *reinterpret_cast<char**>(lpBuffer) = buffer;
    return static_cast<DWORD>(text.size());
}

HLOCAL WINAPI LocalFree(HLOCAL hMem)
{
    const std::string name = Release(hMem);
    g_calls.push_back("LocalFree(" + name + ")");
    if (name != "invalid") {
        std::free(hMem);
    }
    return nullptr;
}

int WINAPI MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType)
{
    std::string text = lpText;
    // Show the line end as escapes so the log stays one line.
    for (std::size_t at = 0; (at = text.find_first_of("\r\n", at)) != std::string::npos;) {
        text.replace(at, 1, text[at] == '\r' ? "\\r" : "\\n");
    }
    g_calls.push_back(Format("MessageBoxA(owner=%s, text=\"%s\", caption=\"%s\", style=0x%X)",
                             Ptr(hWnd), text.c_str(), lpCaption, uType));
    g_lastError = kClobbered;
    return IDOK;
}

}  // extern "C"
