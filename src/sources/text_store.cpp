// SPDX-License-Identifier: GPL-3.0-or-later
#include "sources/text_store.h"

#include <algorithm>

namespace tavrick {

namespace {
constexpr std::size_t k_block_units = std::size_t{32} * 1024;
}

char16_t* TextStore::reserve(std::size_t units)
{
    if (!m_blocks.empty() && m_blocks[m_block].size - m_used >= units) {
        char16_t* start = m_blocks[m_block].units.get() + m_used;
        m_used += units;
        return start;
    }
    if (!m_blocks.empty()) {
        ++m_block;
    }
    if (m_block == m_blocks.size()) {
        m_blocks.emplace_back();
    }
    Block& block = m_blocks[m_block];
    if (block.size < units) {
        block.size = std::max(k_block_units, units);
        block.units = std::make_unique<char16_t[]>(block.size);
    }
    m_used = units;
    return block.units.get();
}

const char16_t* TextStore::store(std::string_view bytes)
{
    char16_t* start = reserve(bytes.size() + 1);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        start[i] = static_cast<unsigned char>(bytes[i]);
    }
    start[bytes.size()] = u'\0';
    return start;
}

const char16_t* TextStore::store(std::u16string_view units)
{
    char16_t* start = reserve(units.size() + 1);
    std::copy(units.begin(), units.end(), start);
    start[units.size()] = u'\0';
    return start;
}

void TextStore::clear()
{
    m_block = 0;
    m_used = 0;
}

} // namespace tavrick
