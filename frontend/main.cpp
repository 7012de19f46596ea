// Process entry: the runtime's start-up has split the command line into words.
#include "frontend/trustrun_main.h"

int main(int argc, char* argv[])
{
    return TrustrunMain(argc, argv);
}
