// SPDX-License-Identifier: GPL-3.0-or-later
// Between a server listing and its worker processes: each request and each answer travels as one
// frame, a 32-bit length, then the bytes. Text is the library's bytes; a record's absent text
// stays absent.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "account/account.h"
#include "sources/samba/connection.h"

namespace tavrick {

enum class RequestKind : std::uint8_t { page_names = 1, account = 2, groups = 3 };

struct Request {
    RequestKind kind = RequestKind::page_names;
    std::uint32_t preferred_max_bytes = 0; // of a page
    std::uint32_t resume_handle = 0;       // before a page
    std::string name;                      // of the account asked about
    bool renew = false;                    // a fresh context first: this request logs on again
};

// A USER_INFO_3 in transit: the numbers in place, the text and the hours beside them.
struct WireRecord {
    USER_INFO_3 numbers;
    std::vector<std::optional<std::string>> texts; // in the order of k_text_members
    std::optional<std::vector<unsigned char>> hours;
};

struct Answer {
    std::uint32_t status = 0;
    std::uint32_t resume_handle = 0; // after a page
    std::string printed;             // by the library while it answered
    std::vector<std::string> names;  // of a page's accounts, or of an account's groups
    std::optional<WireRecord> record;
    std::uint32_t took_microseconds = 0; // the library call's own time
};

// The text members of USER_INFO_3, in the order they travel.
inline constexpr std::array k_text_members = {
    &USER_INFO_3::name,         &USER_INFO_3::password,     &USER_INFO_3::home_dir,    &USER_INFO_3::comment,
    &USER_INFO_3::script_path,  &USER_INFO_3::full_name,    &USER_INFO_3::usr_comment, &USER_INFO_3::parms,
    &USER_INFO_3::workstations, &USER_INFO_3::logon_server, &USER_INFO_3::profile,     &USER_INFO_3::home_dir_drive,
};

std::string encode_request(const Request& request);
// What a worker does with one request frame: makes the call on `connection`, timed, and encodes the
// answer.
std::string answer_request(ServerConnection& connection, std::string_view request);
// Empty when the frame is not a whole answer.
std::optional<Answer> decode_answer(std::string_view frame);
// False at the end of the stream or on an error.
bool read_frame(int fd, std::string& frame);
bool write_frame(int fd, std::string_view frame);

} // namespace tavrick
