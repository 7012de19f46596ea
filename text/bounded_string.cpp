// Bounded string operations: the only string code that writes into the
// fixed-size command-line buffer.
#include "text/bounded_string.h"

namespace {

// Walks text for at most maxCount characters; returns how many are left of
// the bound when the NUL is found, or 0 when there is no NUL within it.
std::uint32_t RemainingAfterWalk(const char* text, std::uint32_t maxCount)
{
    std::uint32_t remaining = maxCount;
    while (remaining != 0 && *text != '\0') {
        ++text;
        --remaining;
    }
    return remaining;
}

}  // namespace

StatusCode BoundedLength(const char* text, std::uint32_t maxCount, std::uint32_t* length)
{
    StatusCode status = STATUS_INVALID_ARGUMENT;
    std::uint32_t found = 0;
    if (text != nullptr && maxCount <= BOUNDED_MAX_COUNT) {
        const std::uint32_t remaining = RemainingAfterWalk(text, maxCount);
        if (remaining != 0) {
            status = STATUS_OK;
            found = maxCount - remaining;
        }
    }
    if (length != nullptr) {
        *length = found;
    }
    return status;
}

StatusCode BoundedAppend(char* destination, std::uint32_t destinationCount, const char* source)
{
    // Null buffers are refused rather than dereferenced.
    if (destination == nullptr || source == nullptr || destinationCount > BOUNDED_MAX_COUNT) {
        return STATUS_INVALID_ARGUMENT;
    }
    const std::uint32_t remaining = RemainingAfterWalk(destination, destinationCount);
    if (remaining == 0) {
        return STATUS_INVALID_ARGUMENT;
    }
    const std::uint32_t used = destinationCount - remaining;
    return BoundedCopy(destination + used, remaining, source);
}

StatusCode BoundedCopy(char* destination, std::uint32_t destinationCount, const char* source)
{
    if (destinationCount == 0 || destination == nullptr || source == nullptr) {
        return STATUS_INVALID_ARGUMENT;
    }
    StatusCode status = STATUS_OK;
    std::uint32_t remaining = destinationCount;
    while (remaining != 0 && *source != '\0') {
        *destination++ = *source++;
        --remaining;
    }
    if (remaining == 0) {
        // No room for the NUL: give up the last character copied.
        --destination;
        status = STATUS_INSUFFICIENT_BUFFER;
    }
    *destination = '\0';
    return status;
}
