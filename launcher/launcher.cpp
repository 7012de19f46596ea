// The restricted launch: level, reduced token, process, and the release of
// every handle on every path.
#include "launcher/launcher.h"

#include <cstdio>
#include <cstring>
#include <cwchar>

#include "platform/win32_api.h"
#include "text/bounded_string.h"

namespace {

DWORD LevelIdFor(signed char levelLetter)
{
    switch (levelLetter) {
    case 'C':
    case 'c':
        return SAFER_LEVELID_CONSTRAINED;
    case 'U':
    case 'u':
        return SAFER_LEVELID_UNTRUSTED;
    default:
        return SAFER_LEVELID_NORMALUSER;
    }
}

// "Unknown error N." for a code the platform has no text for, built with the
// bounded string operations rather than a formatted print.
void UnknownErrorText(std::uint32_t code, char* text, std::uint32_t count)
{
    char digits[11];
    char* first = digits + sizeof digits - 1;
    *first = '\0';
    do {
        *--first = static_cast<char>('0' + code % 10);
        code /= 10;
    } while (code != 0);
    BoundedCopy(text, count, "Unknown error ");
    BoundedAppend(text, count, first);
    BoundedAppend(text, count, ".");
}

}  // namespace

void ShowErrorBox(std::uint32_t code)
{
    const char* caption = "Error";
    const UINT style = MB_OK | MB_ICONINFORMATION;
    LPSTR text = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
        nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPSTR>(&text), 0,
        nullptr);
    if (length == 0 || text == nullptr) {
        // The platform has no text for this code and allocated nothing: name
        // the code ourselves rather than show an undefined text.
        char fallback[32];
        UnknownErrorText(code, fallback, sizeof fallback);
        MessageBoxA(nullptr, fallback, caption, style);
        return;
    }
    MessageBoxA(nullptr, text, caption, style);
    LocalFree(text);
}

std::uint32_t ReportFailure(const wchar_t* format)
{
    // Read the code before anything else can overwrite it.
    const DWORD code = GetLastError();
    std::fwprintf(stderr, format, static_cast<unsigned long>(code));
    std::fflush(stderr);
    ShowErrorBox(code);
    // A failed step must never end the run as a success.
    return code != ERROR_SUCCESS ? code : ERROR_INTERNAL_ERROR;
}

std::uint32_t LaunchRestricted(signed char levelLetter, char* commandLine)
{
    std::uint32_t status = 0;
    SAFER_LEVEL_HANDLE level = nullptr;
    HANDLE token = nullptr;
    const DWORD levelId = LevelIdFor(levelLetter);

    if (BoundedLength(commandLine, MAX_PATH, nullptr) < 0) {
        return 1;
    }

    if (!SaferCreateLevel(SAFER_SCOPEID_USER, levelId, 0, &level, nullptr)) {
        return ReportFailure(L"SaferCreateLevel() failed (error %lu)\n");
    }

    if (!SaferComputeTokenFromLevel(level, nullptr, &token, 0, nullptr)) {
        status = ReportFailure(L"SaferComputeTokenFromLevel() failed (error %lu)\n");
        SaferCloseLevel(level);
        return status;
    }

    STARTUPINFOA startup;
    std::memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    std::memset(&process, 0, sizeof process);

    if (CreateProcessAsUserA(token, nullptr, commandLine, nullptr, nullptr, FALSE,
                             CREATE_NEW_CONSOLE, nullptr, nullptr, &startup, &process)) {
        // The started program runs on by itself: it is never waited for.
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
    } else {
        status = ReportFailure(L"CreateProcessAsUser() failed (error %lu)\n");
    }

    CloseHandle(token);
    SaferCloseLevel(level);
    return status;
}
