// Process entry: the runtime's start-up has split the command line into words.
#include "frontend/trustrun_main.h"

#if defined(_WIN32)
// The mingw-w64 start-up expands wildcards in the arguments when this is
// nonzero. Words must reach the command as typed (a "*.txt" meant for the
// started program is not ours to expand), so say no explicitly rather than
// rely on the runtime's default.
extern "C" {
int _dowildcard = 0;
}
#endif

int main(int argc, char* argv[])
{
    return TrustrunMain(argc, argv);
}
