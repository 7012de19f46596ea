// libFuzzer target for the main function with the recording fake platform:
// fuzzed argument vectors and a fuzzed failing step. Checks that the platform
// is reached exactly when the joined command line is short enough, that the
// status is one the exit-status table allows, and that nothing stays open.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "frontend/trustrun_main.h"
#include "fuzz/fuzz_check.h"
#include "tests/fake_platform.h"

// Input layout: byte 0 picks the failing step, bytes 1-4 its error code, byte
// 5 whether the platform has text for it; the rest is the argument words after
// the utility's name, separated by zero bytes. A word made of one 0x01 byte
// followed by a count byte stands for that many hundred 'x' characters, so
// that long words are cheap to reach.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 6) {
        return 0;
    }
    FakeConfig config;
    config.failStep = static_cast<FailStep>(data[0] % 4);
    std::memcpy(&config.failCode, data + 1, sizeof config.failCode);
    config.noMessageText = (data[5] & 1) != 0;

    std::vector<std::string> words = {"trustrun"};
    for (std::size_t at = 6; at <= size && words.size() < 4096;) {
        const auto* end = static_cast<const std::uint8_t*>(std::memchr(data + at, 0, size - at));
        const std::size_t length = end ? static_cast<std::size_t>(end - (data + at)) : size - at;
        std::string word(reinterpret_cast<const char*>(data + at), length);
        if (word.size() == 2 && word[0] == '\x01') {
            word.assign(static_cast<std::uint8_t>(word[1]) * 100u, 'x');
        }
        words.push_back(word);
        at += length + 1;
    }
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    const int argc = static_cast<int>(words.size());

    std::size_t joined = 0;
    for (int index = 2; index < argc; ++index) {
        joined += words[static_cast<std::size_t>(index)].size() + 1;
    }
    const bool launchable = argc >= 3 && joined < 260;

    ResetFake(config);
    const auto status = static_cast<std::uint32_t>(TrustrunMain(argc, argv.data()));

    Check(FakeCalls().empty() == !launchable, "platform reached exactly when launchable");
    Check(FakeOpenCount() == 0, "every handle and message text released");
    std::uint32_t expected = 0;
    if (argc < 3) {
        expected = 87;
    } else if (!launchable) {
        expected = 1;
    } else if (config.failStep != FailStep::None) {
        expected = config.failCode != 0 ? config.failCode : 1359;
    }
    Check(status == expected, "status as the exit-status table says");
    if (launchable) {
        const std::string& first = FakeCalls().front();
        Check(first.rfind("SaferCreateLevel(scope=2, level=0x", 0) == 0,
              "first call creates a level");
    }
    return 0;
}
