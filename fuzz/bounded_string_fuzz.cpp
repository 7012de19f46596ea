// libFuzzer target for the bounded string operations: runs one operation on a
// buffer with guard bytes and checks what must always hold, against an
// independent measurement.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fuzz/fuzz_check.h"
#include "text/bounded_string.h"

namespace {

// The real memory behind a destination; counts above it are exercised only
// where the operation provably stays inside it.
constexpr std::size_t kRoom = 600;
constexpr std::size_t kGuard = 16;
constexpr unsigned char kPattern = 0xA5;

// Reads the fuzzer's bytes front to back; zeros once they run out.
struct Input {
    const std::uint8_t* data;
    std::size_t size;
    std::uint8_t Byte()
    {
        if (size == 0) {
            return 0;
        }
        --size;
        return *data++;
    }
};

std::uint32_t PickCount(Input& in)
{
    static const std::uint32_t kInteresting[] = {
        0,   1,           2,           3,           259,         260,        261,
        262, 0x7FFFFFFEu, 0x7FFFFFFFu, 0x80000000u, 0x80000001u, 0xFFFFFFFFu};
    const std::uint8_t pick = in.Byte();
    if (pick < sizeof kInteresting / sizeof kInteresting[0]) {
        return kInteresting[pick];
    }
    return static_cast<std::uint32_t>(pick) * 2 + in.Byte() % 2;  // 26 .. 511
}

// A string of up to limit bytes taken from the input, stopping at a zero byte.
std::size_t TakeString(Input& in, char* out, std::size_t limit)
{
    std::size_t length = 0;
    while (length < limit && in.size > 0) {
        const std::uint8_t c = in.Byte();
        if (c == 0) {
            break;
        }
        out[length++] = static_cast<char>(c);
    }
    out[length] = '\0';
    return length;
}

// Bytes from..to of block are as they were in the snapshot before.
bool Untouched(const unsigned char* block, const unsigned char* before, std::size_t from,
               std::size_t to)
{
    return std::memcmp(block + from, before + from, to - from) == 0;
}

// Expected outcome of copying source into count characters at destination.
void CheckCopy(StatusCode status, const char* destination, std::uint32_t count, const char* source,
               std::size_t sourceLength)
{
    if (count == 0) {
        Check(status == STATUS_INVALID_ARGUMENT, "copy into 0 characters is refused");
        return;
    }
    if (sourceLength < count) {
        Check(status == STATUS_OK, "a source shorter than the space fits");
        Check(std::memcmp(destination, source, sourceLength + 1) == 0, "copy holds the source");
    } else {
        Check(status == STATUS_INSUFFICIENT_BUFFER, "a source as long as the space is cut");
        Check(std::memcmp(destination, source, count - 1) == 0, "cut copy holds the prefix");
        Check(destination[count - 1] == '\0', "cut copy ends in a NUL within its count");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Input in{data, size};
    const int operation = in.Byte() % 3;
    const std::uint32_t count = PickCount(in);
    const bool nullText = in.Byte() == 0xFF;

    // Destination: [guard][kRoom][guard], heap-allocated so that any access
    // beyond it is caught by AddressSanitizer.
    auto* block = static_cast<unsigned char*>(std::malloc(kRoom + 2 * kGuard));
    std::memset(block, kPattern, kRoom + 2 * kGuard);
    char* buffer = reinterpret_cast<char*>(block + kGuard);
    // Existing content: some bytes, then a NUL unless the input says not to.
    const std::size_t contentLimit = in.Byte() % 2 == 0 ? kRoom - 1 : 300;
    const std::size_t existing = TakeString(in, buffer, contentLimit);
    const bool terminated = in.Byte() % 4 != 0;
    if (!terminated) {
        buffer[existing] = static_cast<char>(kPattern);
    }
    char source[kRoom];
    const std::size_t sourceLength = TakeString(in, source, kRoom - 1);

    // The real memory ends at kRoom: skip cases whose legitimate accesses
    // would go past it (a caller's error, not the operation's).
    const std::size_t firstNul = terminated ? existing : kRoom;
    const std::size_t reach = count < kRoom ? count : kRoom;
    const bool fitsLength = count <= kRoom || firstNul < kRoom;
    const bool fitsCopy = count <= kRoom || sourceLength < kRoom;
    const bool fitsAppend = count > BOUNDED_MAX_COUNT || count <= kRoom ||
                            (firstNul < reach && existing + sourceLength < kRoom);

    unsigned char before[kRoom + 2 * kGuard];
    std::memcpy(before, block, sizeof before);

    if (operation == 0 && fitsLength) {
        std::uint32_t length = 12345;
        const StatusCode status = BoundedLength(nullText ? nullptr : buffer, count, &length);
        const std::size_t measured = strnlen(buffer, reach);
        if (nullText || count > BOUNDED_MAX_COUNT || measured >= count) {
            Check(status == STATUS_INVALID_ARGUMENT, "length refuses");
            Check(length == 0, "a refused length is 0");
        } else {
            Check(status == STATUS_OK, "length succeeds");
            Check(length == measured, "length matches strnlen");
        }
        Check(std::memcmp(before, block, sizeof before) == 0, "length writes nothing");
    } else if (operation == 1 && fitsCopy && count <= BOUNDED_MAX_COUNT) {
        const StatusCode status = BoundedCopy(buffer, count, source);
        CheckCopy(status, buffer, count, source, sourceLength);
        const std::size_t written =
            count == 0 ? 0 : (sourceLength < count ? sourceLength + 1 : count);
        Check(Untouched(block, before, 0, kGuard), "nothing before the destination");
        Check(Untouched(block, before, kGuard + written, sizeof before),
              "nothing after the copied string");
    } else if (operation == 2 && fitsAppend) {
        const StatusCode status = BoundedAppend(buffer, count, source);
        const std::size_t measured = strnlen(buffer, reach);
        if (count > BOUNDED_MAX_COUNT || !(firstNul < count)) {
            Check(status == STATUS_INVALID_ARGUMENT, "append refuses");
            Check(std::memcmp(before, block, sizeof before) == 0,
                  "a refused append changes nothing");
        } else {
            Check(measured >= existing, "append keeps what was there");
            Check(std::memcmp(buffer, before + kGuard, existing) == 0, "append keeps the prefix");
            const auto space = static_cast<std::uint32_t>(count - existing);
            CheckCopy(status, buffer + existing, space, source, sourceLength);
            const std::size_t written =
                existing + (sourceLength < space ? sourceLength + 1 : space);
            Check(Untouched(block, before, kGuard + written, sizeof before),
                  "nothing after the appended string");
        }
        Check(Untouched(block, before, 0, kGuard), "nothing before the destination");
    }
    std::free(block);
    return 0;
}
