// The bounded string operations at and around their bounds, with guard bytes
// to catch any write outside the destination.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "text/bounded_string.h"

namespace {

// A 261-character buffer between guard bytes.
struct Guarded {
    char before[8];
    char buffer[261];
    char after[8];
};

void ExpectGuardsIntact(const Guarded& g)
{
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(g.before[i], '#');
        EXPECT_EQ(g.after[i], '#');
    }
}

Guarded Filled(const std::string& content)
{
    Guarded g;
    std::memset(&g, '#', sizeof g);
    std::memcpy(g.buffer, content.c_str(), content.size() + 1);
    return g;
}

TEST(BoundedString, LengthFindsTheNulOnlyWithinTheBound)
{
    std::uint32_t length = 99;
    const std::string s259(259, 'a');
    const std::string s260(260, 'a');
    EXPECT_EQ(BoundedLength(s259.c_str(), 260, &length), STATUS_OK);
    EXPECT_EQ(length, 259u);
    EXPECT_EQ(BoundedLength(s260.c_str(), 260, &length), STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(BoundedLength(s259.c_str(), 260, nullptr), STATUS_OK);

    length = 99;
    EXPECT_EQ(BoundedLength(nullptr, 260, &length), STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(length, 0u);
    length = 99;
    EXPECT_EQ(BoundedLength("", 0, &length), STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(BoundedLength("abc", BOUNDED_MAX_COUNT, &length), STATUS_OK);
    EXPECT_EQ(length, 3u);

    // A count above the maximum is refused before the text is read: this
    // pointer would fault if it were.
    const char* unreadable = reinterpret_cast<const char*>(8);
    length = 99;
    EXPECT_EQ(BoundedLength(unreadable, 0x80000000u, &length), STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(BoundedLength(unreadable, 0xFFFFFFFFu, &length), STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(length, 0u);
}

TEST(BoundedString, AppendFitsOnlyWithRoomForTheNul)
{
    const std::string s255(255, 'x');

    Guarded fits = Filled(s255);
    EXPECT_EQ(BoundedAppend(fits.buffer, 261, "abcde"), STATUS_OK);
    EXPECT_EQ(std::string(fits.buffer), s255 + "abcde");
    ExpectGuardsIntact(fits);

    Guarded cut = Filled(s255);
    EXPECT_EQ(BoundedAppend(cut.buffer, 261, "abcdef"), STATUS_INSUFFICIENT_BUFFER);
    EXPECT_EQ(std::string(cut.buffer), s255 + "abcde");
    ExpectGuardsIntact(cut);

    // No NUL within the count, a zero count, or a count over the maximum:
    // refused, nothing changed.
    Guarded full = Filled(std::string(260, 'y'));
    full.buffer[260] = 'z';
    const Guarded before = full;
    EXPECT_EQ(BoundedAppend(full.buffer, 261, "a"), STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(BoundedAppend(full.buffer, 0, "a"), STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(BoundedAppend(full.buffer, 0x80000000u, "a"), STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(std::memcmp(&full, &before, sizeof full), 0);

    Guarded empty = Filled("");
    EXPECT_EQ(BoundedAppend(empty.buffer, 261, ""), STATUS_OK);
    EXPECT_EQ(BoundedAppend(empty.buffer, 261, "ab"), STATUS_OK);
    EXPECT_EQ(BoundedAppend(empty.buffer, 261, " "), STATUS_OK);
    EXPECT_STREQ(empty.buffer, "ab ");
}

TEST(BoundedString, CopyAlwaysTerminatesWithinTheCount)
{
    Guarded one = Filled("zzz");
    EXPECT_EQ(BoundedCopy(one.buffer, 1, "abc"), STATUS_INSUFFICIENT_BUFFER);
    EXPECT_STREQ(one.buffer, "");
    EXPECT_EQ(one.buffer[1], 'z');
    EXPECT_EQ(BoundedCopy(one.buffer, 1, ""), STATUS_OK);
    EXPECT_STREQ(one.buffer, "");

    // A source that exactly fills the space loses its last character.
    Guarded exact = Filled("");
    EXPECT_EQ(BoundedCopy(exact.buffer, 4, "abcd"), STATUS_INSUFFICIENT_BUFFER);
    EXPECT_STREQ(exact.buffer, "abc");
    EXPECT_EQ(BoundedCopy(exact.buffer, 4, "abc"), STATUS_OK);
    EXPECT_STREQ(exact.buffer, "abc");

    Guarded zero = Filled("keep");
    EXPECT_EQ(BoundedCopy(zero.buffer, 0, "abc"), STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(zero.buffer, "keep");
    ExpectGuardsIntact(zero);
}

}  // namespace
