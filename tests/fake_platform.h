// Recording fake of the platform calls: every call is logged as one line with
// its arguments, failures are injected on request, and open handles are counted.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class FailStep { None, CreateLevel, ComputeToken, CreateProcess };

struct FakeConfig {
    FailStep failStep = FailStep::None;
    std::uint32_t failCode = 0;
    bool noMessageText = false;  // FormatMessageA finds no text
};

// Sets what the next calls do and clears the log.
void ResetFake(const FakeConfig& config);
const std::vector<std::string>& FakeCalls();
// Handles and message buffers obtained and not yet released.
int FakeOpenCount();
