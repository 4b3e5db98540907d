// SPDX-License-Identifier: GPL-3.0-or-later
// The byte writer with code units above 255 at the buffer's edge; layouts are in tests/cases.
#include <gtest/gtest.h>

#include "support/support.h"
#include "text/text.h"

namespace tavrick::testing {
namespace {

// Each byte and each '?' lands on its side of the 64 KiB buffer's flush, and a surrogate pair
// split by it still counts as one character; text encoded ahead of time gets the same bytes.
TEST(ByteWriter, WritesUnitsUpTo255AsBytesAndEachWiderCharacterAsOneQuestionMark)
{
    const std::u16string units = u"\u0001\u007F\u0080\u00FFa\u0100b\U0001F600c\xD800"
                                 u"d\xDC00\xD800";
    const std::string bytes = "\x01\x7F\x80\xFF"
                              "a?b?c?d??";
    EXPECT_EQ(encode_units(units), bytes);
    for (std::size_t before = 64 * 1024 - 12; before <= 64 * 1024 + 1; ++before) {
        const std::string filler(before, '.');
        EXPECT_EQ(capture_output([&] {
                      write_bytes(filler);
                      write_units(units);
                      write_units(units.c_str());
                  }),
                  filler + bytes + bytes)
            << before;
    }
}

} // namespace
} // namespace tavrick::testing
