// SPDX-License-Identifier: GPL-3.0-or-later
// Storage for the wide strings of the records that the POSIX sources build.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>
#include <vector>

namespace tavrick {

// Stable storage for the wide strings of one answer: pointers stay valid until clear(), which keeps
// the memory for the next answer.
class TextStore {
  public:
    // Stores the bytes widened one to one, with a terminating zero.
    const char16_t* store(std::string_view bytes);
    const char16_t* store(std::u16string_view units);
    void clear();

  private:
    char16_t* reserve(std::size_t units);

    struct Block {
        std::unique_ptr<char16_t[]> units;
        std::size_t size = 0;
    };
    std::vector<Block> m_blocks;
    std::size_t m_block = 0; // the block being filled
    std::size_t m_used = 0;  // units used in it
};

} // namespace tavrick
