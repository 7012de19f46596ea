// Bounded operations on narrow NUL-terminated strings: every bound is a count
// of characters (room for the NUL included) and every result is a StatusCode.
#pragma once

#include <cstdint>

using StatusCode = std::int32_t;

// HRESULT-form results; zero is success, negative is failure.
constexpr StatusCode STATUS_OK = 0;
constexpr StatusCode STATUS_INVALID_ARGUMENT = static_cast<StatusCode>(0x80070057u);
constexpr StatusCode STATUS_INSUFFICIENT_BUFFER = static_cast<StatusCode>(0x8007007Au);

// The largest count any operation accepts.
constexpr std::uint32_t BOUNDED_MAX_COUNT = 0x7FFFFFFFu;

// Length of text, provided its NUL lies within the first maxCount characters.
// length (may be null) receives the length, or 0 on any failure.
StatusCode BoundedLength(const char* text, std::uint32_t maxCount, std::uint32_t* length);

// Appends source to the string in destination (a buffer of destinationCount
// characters). Leaves destination unchanged on STATUS_INVALID_ARGUMENT and
// cut short but terminated on STATUS_INSUFFICIENT_BUFFER.
StatusCode BoundedAppend(char* destination, std::uint32_t destinationCount, const char* source);

// Copies source into destination (destinationCount characters), always leaving
// a terminated string when the count is not zero.
StatusCode BoundedCopy(char* destination, std::uint32_t destinationCount, const char* source);
