// Starts a command line under a token that the platform's Software Restriction
// Policies reduce to a trust level, and reports a failed step.
#pragma once

#include <cstdint>

// Maps levelLetter (C/c Constrained, U/u Untrusted, anything else Normal user)
// to a trust level and starts commandLine under the reduced token in a new
// console, without waiting. Returns 0 when started, 1 when the command line has
// 260 characters or more, or the error code of the step that failed.
std::uint32_t LaunchRestricted(signed char levelLetter, char* commandLine);

// Prints the failed step's line (a wide format taking the code as %lu) on
// stderr, shows the error box, and returns the status the launch ends with.
std::uint32_t ReportFailure(const wchar_t* format);

// Shows the platform's text for code in a modal box captioned "Error".
void ShowErrorBox(std::uint32_t code);
