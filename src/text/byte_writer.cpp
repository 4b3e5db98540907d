// SPDX-License-Identifier: GPL-3.0-or-later
// The one path from the tool to standard output, a buffer flushed in large writes, and the other
// small text helpers.
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "text/text.h"

namespace tavrick {

namespace {

constexpr std::size_t k_buffer_size = std::size_t{64} * 1024;

char g_buffer[k_buffer_size];
std::size_t g_used = 0;
int g_fd = 1; // standard output

bool is_high_surrogate(char16_t unit)
{
    return unit >= 0xD800 && unit <= 0xDBFF;
}
bool is_low_surrogate(char16_t unit)
{
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

[[noreturn]] void fail_output(int error)
{
    if (error == EPIPE) {
        end_for_closed_pipe();
    }
    write_error(std::string("ERR: cannot write output: ") + std::strerror(error) + "\n");
    std::_Exit(1);
}

void write_all(int fd, const char* data, std::size_t size)
{
    while (size > 0) {
        const std::ptrdiff_t written = write_to_descriptor(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            fail_output(errno);
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
}

// The one copy loop: encodes units from `unit` into `out` up to `limit`, advancing `unit` past what
// it took, and returns the new end of the output.
[[gnu::always_inline]] inline char* copy_units(const char16_t*& unit, const char16_t* end, char* out,
                                               const char* const limit)
{
    while (unit != end && out != limit) {
        // The units that have bytes, as many as fit.
        char* const run_limit =
            out + std::min(static_cast<std::size_t>(limit - out), static_cast<std::size_t>(end - unit));
        while (out != run_limit && *unit <= 0xFF) {
            *out++ = static_cast<char>(*unit++);
        }
        if (out != run_limit) {
            // A unit without a byte, so there is room: one '?' per character, a surrogate pair being one.
            const bool pair = is_high_surrogate(*unit) && unit + 1 != end && is_low_surrogate(unit[1]);
            *out++ = '?';
            unit += pair ? 2 : 1;
        }
    }
    return out;
}

// Kept out of write_bytes so that its common case, a few bytes into the buffer, stays a leaf.
[[gnu::noinline]] void write_bytes_past_buffer(std::string_view bytes)
{
    flush_output();
    if (bytes.size() > k_buffer_size) {
        write_all(g_fd, bytes.data(), bytes.size());
        return;
    }
    std::memcpy(g_buffer, bytes.data(), bytes.size());
    g_used = bytes.size();
}

} // namespace

std::u16string widen(std::string_view bytes)
{
    std::u16string units(bytes.size(), u'\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        units[i] = static_cast<unsigned char>(bytes[i]);
    }
    return units;
}

void write_bytes(std::string_view bytes)
{
    if (bytes.size() > k_buffer_size - g_used) {
        write_bytes_past_buffer(bytes);
        return;
    }
    char* const out = g_buffer + g_used;
    g_used += bytes.size();
    if (bytes.size() == 1) { // a delimiter or a quote, around every field: cheaper than a call
        *out = bytes.front();
        return;
    }
    std::memcpy(out, bytes.data(), bytes.size());
}

std::string encode_units(std::u16string_view units)
{
    std::string bytes(units.size(), '\0');
    const char16_t* unit = units.data();
    char* const end = copy_units(unit, unit + units.size(), bytes.data(), bytes.data() + bytes.size());
    bytes.resize(static_cast<std::size_t>(end - bytes.data()));
    return bytes;
}

void write_units(std::u16string_view units)
{
    const char16_t* unit = units.data();
    const char16_t* const end = unit + units.size();
    while (unit != end) {
        if (g_used == k_buffer_size) {
            flush_output();
        }
        g_used =
            static_cast<std::size_t>(copy_units(unit, end, g_buffer + g_used, g_buffer + k_buffer_size) - g_buffer);
    }
}

void write_units(const char16_t* units)
{
    write_units(std::u16string_view(units));
}

[[gnu::noinline]] void flush_output()
{
    const std::size_t size = g_used;
    g_used = 0;
    write_all(g_fd, g_buffer, size);
}

int set_output_fd(int fd)
{
    flush_output();
    const int previous = g_fd;
    g_fd = fd;
    return previous;
}

void set_output_exact()
{
    flush_output();
    keep_line_ends(g_fd);
}

void write_error(std::string_view bytes)
{
    const char* data = bytes.data();
    std::size_t size = bytes.size();
    while (size > 0) {
        const std::ptrdiff_t written = write_to_descriptor(2, data, size);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return; // nowhere left to report to
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
}

} // namespace tavrick
