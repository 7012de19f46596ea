// The utility's main function, kept apart from main() so that tests can call it.
#pragma once

// Checks the arguments (level word, then the command), joins the command's
// words into one bounded command line and returns the process exit status.
int TrustrunMain(int argc, char* argv[]);
