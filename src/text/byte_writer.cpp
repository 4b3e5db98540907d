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
        flush_output();
        if (bytes.size() > k_buffer_size) {
            write_all(g_fd, bytes.data(), bytes.size());
            return;
        }
    }
    std::memcpy(g_buffer + g_used, bytes.data(), bytes.size());
    g_used += bytes.size();
}

void write_units(std::u16string_view units)
{
    const char16_t* unit = units.data();
    const char16_t* const end = unit + units.size();
    while (unit != end) {
        if (g_used == k_buffer_size) {
            flush_output();
        }
        // The units that have bytes, as many as fit.
        char* out = g_buffer + g_used;
        char* const limit = out + std::min(k_buffer_size - g_used, static_cast<std::size_t>(end - unit));
        while (out != limit && *unit <= 0xFF) {
            *out++ = static_cast<char>(*unit++);
        }
        g_used = static_cast<std::size_t>(out - g_buffer);
        if (out != limit) {
            // A unit without a byte, so there is room: one '?' per character, a surrogate pair being one.
            const bool pair = is_high_surrogate(*unit) && unit + 1 != end && is_low_surrogate(unit[1]);
            g_buffer[g_used++] = '?';
            unit += pair ? 2 : 1;
        }
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
