// Argument checks and command-line building: every command word followed by
// one blank, in a buffer of 260 characters plus the NUL.
#include "frontend/trustrun_main.h"

#include <cstdio>
#include <cstring>

#include "launcher/launcher.h"
#include "text/bounded_string.h"

namespace {

constexpr std::uint32_t kCommandLineCount = 261;
constexpr std::size_t kLongestJoined = kCommandLineCount - 1;
constexpr int kErrorInvalidParameter = 87;
constexpr int kCommandLineTooLong = 1;

}  // namespace

int TrustrunMain(int argc, char* argv[])
{
    char commandLine[kCommandLineCount];
    std::memset(commandLine, 0, sizeof commandLine);

    if (argc < 3) {
        std::fprintf(stderr, "Parameters are missing.\n");
        return kErrorInvalidParameter;
    }

    // Stop counting as soon as the total is over the limit, so that no number
    // or size of arguments can make the running total wrap around.
    std::size_t total = 0;
    for (int index = 2; index < argc; ++index) {
        total += std::strlen(argv[index]) + 1;
        if (total > kLongestJoined) {
            return kCommandLineTooLong;
        }
    }

    // Every append fits once the total has passed the check above.
    for (int index = 2; index < argc; ++index) {
        BoundedAppend(commandLine, kCommandLineCount, argv[index]);
        BoundedAppend(commandLine, kCommandLineCount, " ");
    }

    return static_cast<int>(LaunchRestricted(static_cast<signed char>(argv[1][0]), commandLine));
}
