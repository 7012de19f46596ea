// Baseline for the launch benchmark: starts a program with posix_spawn and
// exits at once, without waiting for it or changing anything about it.
#include <spawn.h>
#include <unistd.h>

int main(int argc, char* argv[])
{
    if (argc < 2) {
        return 87;
    }
    pid_t pid = 0;
    return posix_spawn(&pid, argv[1], nullptr, nullptr, argv + 1, environ);
}
