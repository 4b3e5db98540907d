// SPDX-License-Identifier: GPL-3.0-or-later
// The lowest layer, below the command line and the record output: widening bytes into code units,
// the one buffered byte writer for standard output, the error writer and the descriptor guard.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tavrick {

// Widens bytes one to one into code units of the same value; no locale is consulted.
std::u16string widen(std::string_view bytes);

// --- the byte writer --------------------------------------------------------------------------
// Every byte of standard output passes through here. A code unit up to 255 is written as that one
// byte; a larger one as '?', a surrogate pair as a single '?'. A failed write ends the process with
// "ERR: cannot write output: <reason>" and status 1; a closed pipe ends it quietly.

void write_bytes(std::string_view bytes);
void write_units(std::u16string_view units);
// The bytes write_units would write for `units`, for text written many times.
std::string encode_units(std::u16string_view units);
// Writes a zero-terminated wide string.
void write_units(const char16_t* units);
// Sends what is buffered to the output file.
void flush_output();
// Points the writer at another file descriptor (flushing first); returns the previous one.
int set_output_fd(int fd);
// From here on the output file gets exactly the bytes written, for formats that write their own
// line ends: on Windows it leaves the C runtime's text mode, which turns each line feed into CR LF.
void set_output_exact();

// Writes bytes to standard error at once, unbuffered.
void write_error(std::string_view bytes);

// Opens /dev/null on any of the standard descriptors that the process started without, so that no
// file the tool or a library opens later takes their place: standard output read-only, so that
// writing records to it still fails and is reported.
void guard_standard_descriptors();

// --- the platform's side of the streams (streams_posix.cpp, streams_windows.cpp) ---------------

// One write of at most `size` bytes to a file descriptor: the count written, or -1 with errno set.
// On Windows the C runtime's text mode turns each line feed into CR LF on the way.
std::ptrdiff_t write_to_descriptor(int fd, const char* data, std::size_t size);
// Ends the process as a filter ends when the reader of its output has gone.
[[noreturn]] void end_for_closed_pipe();
// Leaves the line ends written to a file descriptor as they are: no text-mode translation.
void keep_line_ends(int fd);
// True where programs take a text file for UTF-8 only when it begins with a byte order mark, as
// the spreadsheet programs of Windows do.
bool utf8_files_need_byte_order_mark();

} // namespace tavrick
