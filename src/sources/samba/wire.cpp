// SPDX-License-Identifier: GPL-3.0-or-later
// The frames between the parallel server source and its worker processes, and what a worker does
// with a request. Both ends are the same program, so the encoding is plain: numbers in the
// machine's own byte order, text as a length and the bytes, an absent text as length 0xFFFFFFFF.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "sources/samba/wire.h"
#include "text/text.h"

namespace tavrick {

namespace {

constexpr std::uint32_t k_absent = 0xFFFFFFFF;
// No answer comes near this: a page of the largest accounts, or thousands of group names.
constexpr std::uint32_t k_largest_frame = 64U << 20;

// The numbers of USER_INFO_3, in the order they travel.
constexpr std::array k_number_members = {
    &USER_INFO_3::password_age,     &USER_INFO_3::priv,        &USER_INFO_3::flags,
    &USER_INFO_3::auth_flags,       &USER_INFO_3::last_logon,  &USER_INFO_3::last_logoff,
    &USER_INFO_3::acct_expires,     &USER_INFO_3::max_storage, &USER_INFO_3::units_per_week,
    &USER_INFO_3::bad_pw_count,     &USER_INFO_3::num_logons,  &USER_INFO_3::country_code,
    &USER_INFO_3::code_page,        &USER_INFO_3::user_id,     &USER_INFO_3::primary_group_id,
    &USER_INFO_3::password_expired,
};

void put(std::string& out, std::uint32_t number)
{
    out.append(reinterpret_cast<const char*>(&number), sizeof number);
}

void put(std::string& out, const std::optional<std::string_view>& text)
{
    put(out, text ? static_cast<std::uint32_t>(text->size()) : k_absent);
    if (text) {
        out.append(*text);
    }
}

std::optional<std::string_view> bytes_of(const char16_t* units, std::string& scratch)
{
    if (units == nullptr) {
        return std::nullopt;
    }
    scratch = encode_units(units);
    return std::string_view(scratch);
}

// Reads what put wrote; once anything is missing every later read fails too.
class Reader {
  public:
    explicit Reader(std::string_view bytes) : m_bytes(bytes) {}

    std::uint32_t number()
    {
        std::uint32_t value = 0;
        if (m_ok && m_bytes.size() >= sizeof value) {
            std::copy_n(m_bytes.data(), sizeof value, reinterpret_cast<char*>(&value));
            m_bytes.remove_prefix(sizeof value);
        } else {
            m_ok = false;
        }
        return value;
    }

    std::optional<std::string> text()
    {
        const std::uint32_t size = number();
        if (!m_ok || size == k_absent) {
            return std::nullopt;
        }
        if (m_bytes.size() < size) {
            m_ok = false;
            return std::nullopt;
        }
        std::string value(m_bytes.substr(0, size));
        m_bytes.remove_prefix(size);
        return value;
    }

    std::vector<std::string> texts()
    {
        std::vector<std::string> values;
        const std::uint32_t count = number();
        for (std::uint32_t i = 0; m_ok && i < count; ++i) {
            values.push_back(text().value_or(std::string()));
        }
        return values;
    }

    bool whole() const { return m_ok && m_bytes.empty(); }

  private:
    std::string_view m_bytes;
    bool m_ok = true;
};

void put_texts(std::string& out, const std::vector<std::string>& texts)
{
    put(out, static_cast<std::uint32_t>(texts.size()));
    for (const std::string& text : texts) {
        put(out, std::optional<std::string_view>(text));
    }
}

void put_record(std::string& out, const USER_INFO_3* record)
{
    put(out, record != nullptr ? 1U : 0U);
    if (record == nullptr) {
        return;
    }
    std::string scratch;
    for (const auto member : k_text_members) {
        put(out, bytes_of(record->*member, scratch));
    }
    for (const auto member : k_number_members) {
        put(out, record->*member);
    }
    put(out, record->logon_hours != nullptr ? 1U : 0U);
    if (record->logon_hours != nullptr) {
        put(out, std::string_view(reinterpret_cast<const char*>(record->logon_hours), k_logon_hours_bytes));
    }
}

std::optional<WireRecord> take_record(Reader& in)
{
    if (in.number() == 0) {
        return std::nullopt;
    }
    WireRecord record;
    for (std::size_t i = 0; i < k_text_members.size(); ++i) {
        record.texts.push_back(in.text());
    }
    for (const auto member : k_number_members) {
        record.numbers.*member = in.number();
    }
    if (in.number() != 0) {
        const std::optional<std::string> hours = in.text();
        if (hours && hours->size() == k_logon_hours_bytes) {
            record.hours.emplace(hours->begin(), hours->end());
        }
    }
    return record;
}

bool transfer(int fd, char* data, std::size_t size, bool reading)
{
    while (size > 0) {
        // A worker that has died must not end the tool with SIGPIPE: its connection counts as lost.
        const ssize_t done = reading ? ::read(fd, data, size) : ::send(fd, data, size, MSG_NOSIGNAL);
        if (done < 0 && errno == EINTR) {
            continue;
        }
        if (done <= 0) {
            return false;
        }
        data += done;
        size -= static_cast<std::size_t>(done);
    }
    return true;
}

} // namespace

std::string encode_request(const Request& request)
{
    std::string out;
    put(out, static_cast<std::uint32_t>(request.kind));
    put(out, request.preferred_max_bytes);
    put(out, request.resume_handle);
    put(out, std::optional<std::string_view>(request.name));
    put(out, request.renew ? 1U : 0U);
    return out;
}

std::string answer_request(ServerConnection& connection, std::string_view request)
{
    Reader in(request);
    const auto kind = static_cast<RequestKind>(in.number());
    const std::uint32_t preferred_max_bytes = in.number();
    std::uint32_t resume_handle = in.number();
    const std::string name = in.text().value_or(std::string());
    const bool renew = in.number() != 0;
    std::vector<std::string> names;
    const USER_INFO_3* record = nullptr;
    std::uint32_t status = k_status_not_supported;
    const auto started = std::chrono::steady_clock::now();
    if (in.whole()) {
        if (renew) {
            connection.renew();
        }
        switch (kind) {
        case RequestKind::page_names: status = connection.page_names(preferred_max_bytes, resume_handle, names); break;
        case RequestKind::account: status = connection.account(name, record); break;
        case RequestKind::groups: status = connection.groups(name, names); break;
        }
    }
    const auto took = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started);
    std::string out;
    put(out, status);
    put(out, resume_handle);
    put(out, std::optional<std::string_view>(connection.take_printed()));
    put_texts(out, names);
    put_record(out, record);
    put(out, static_cast<std::uint32_t>(std::min<std::int64_t>(took.count(), k_absent)));
    return out;
}

std::optional<Answer> decode_answer(std::string_view frame)
{
    Reader in(frame);
    Answer answer;
    answer.status = in.number();
    answer.resume_handle = in.number();
    answer.printed = in.text().value_or(std::string());
    answer.names = in.texts();
    answer.record = take_record(in);
    answer.took_microseconds = in.number();
    if (!in.whole()) {
        return std::nullopt;
    }
    return answer;
}

bool read_frame(int fd, std::string& frame)
{
    std::uint32_t size = 0;
    if (!transfer(fd, reinterpret_cast<char*>(&size), sizeof size, true) || size > k_largest_frame) {
        return false;
    }
    frame.resize(size);
    return transfer(fd, frame.data(), size, true);
}

bool write_frame(int fd, std::string_view frame)
{
    std::string out;
    put(out, static_cast<std::uint32_t>(frame.size()));
    out.append(frame);
    return transfer(fd, out.data(), out.size(), false);
}

} // namespace tavrick
