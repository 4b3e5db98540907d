// Fuzzes the record writers: arbitrary settings (any code units, also above 255 and zero), arbitrary
// account records and group lists from an in-memory source, through the enumeration driver, both
// layouts, every label format, structure mode and every selection.
#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "enumerate/enumerate.h"
#include "output/output.h"

namespace {

constexpr std::size_t k_max_pages = 4;
constexpr std::size_t k_max_records = 8;
constexpr std::size_t k_max_text = 300;
constexpr std::size_t k_max_groups = 600;

// Code units drawn mostly from the interesting corners: zero, control bytes, 0x80 to 0xFF,
// surrogates and the rest of the plane.
std::u16string consume_units(FuzzedDataProvider& input, std::size_t max_length)
{
    const std::size_t length = input.ConsumeIntegralInRange<std::size_t>(0, max_length);
    std::u16string units;
    for (std::size_t i = 0; i < length && input.remaining_bytes() > 0; ++i) {
        switch (input.ConsumeIntegralInRange(0, 3)) {
        case 0: units.push_back(static_cast<char16_t>(input.ConsumeIntegral<std::uint8_t>())); break;
        case 1: units.push_back(static_cast<char16_t>(input.ConsumeIntegralInRange(0xD800, 0xDFFF))); break;
        default: units.push_back(input.ConsumeIntegral<char16_t>()); break;
        }
    }
    return units;
}

struct Page {
    std::uint32_t status = 0;
    std::vector<tavrick::USER_INFO_3> records;
};

// Everything the source hands out; pointers into it stay valid for the whole input.
struct Script {
    std::deque<std::u16string> texts;
    std::deque<std::vector<unsigned char>> hours;
    std::vector<Page> pages;
    std::vector<const char16_t*> group_answer;
    FuzzedDataProvider* input = nullptr;
    std::size_t enumerate_calls = 0;

    const char16_t* text(std::size_t max_length)
    {
        if (input->ConsumeIntegralInRange(0, 7) == 0) {
            return nullptr;
        }
        texts.push_back(consume_units(*input, max_length));
        return texts.back().c_str();
    }
};

Script* g_script = nullptr;

class ScriptedSource final : public tavrick::AccountSource {
  public:
    std::uint32_t enumerate_page(std::uint32_t, std::uint32_t& resume_handle, const tavrick::USER_INFO_3*& records,
                                 std::uint32_t& entries_read) override
    {
        // The driver stops on status 0 or an error; a page past the script would be a driver fault.
        if (resume_handle >= g_script->pages.size() || ++g_script->enumerate_calls > g_script->pages.size()) {
            __builtin_trap();
        }
        const Page& page = g_script->pages[resume_handle++];
        records = page.records.data();
        entries_read = static_cast<std::uint32_t>(page.records.size());
        return page.status;
    }

    std::uint32_t user_groups(const char16_t*, std::uint32_t, const char16_t* const*& names,
                              std::uint32_t& entries_read) override
    {
        FuzzedDataProvider& input = *g_script->input;
        g_script->group_answer.clear();
        const std::size_t count = input.ConsumeIntegralInRange<std::size_t>(0, k_max_groups);
        for (std::size_t i = 0; i < count && input.remaining_bytes() > 0; ++i) {
            g_script->group_answer.push_back(g_script->text(k_max_text));
        }
        names = g_script->group_answer.empty() ? nullptr : g_script->group_answer.data();
        entries_read = static_cast<std::uint32_t>(g_script->group_answer.size());
        return input.ConsumeIntegral<std::uint32_t>();
    }
};

std::unique_ptr<tavrick::AccountSource> open_scripted_source(std::u16string_view)
{
    return std::make_unique<ScriptedSource>();
}

tavrick::USER_INFO_3 consume_record(Script& script)
{
    FuzzedDataProvider& input = *script.input;
    tavrick::USER_INFO_3 record;
    record.name = script.text(k_max_text);
    record.password = script.text(k_max_text);
    record.password_age = input.ConsumeIntegral<std::uint32_t>();
    record.priv = input.ConsumeIntegral<std::uint32_t>();
    record.home_dir = script.text(k_max_text);
    record.comment = script.text(k_max_text);
    record.flags = input.ConsumeIntegral<std::uint32_t>();
    record.script_path = script.text(k_max_text);
    record.auth_flags = input.ConsumeIntegral<std::uint32_t>();
    record.full_name = script.text(k_max_text);
    record.usr_comment = script.text(k_max_text);
    record.parms = script.text(k_max_text);
    record.workstations = script.text(k_max_text);
    record.last_logon = input.ConsumeIntegral<std::uint32_t>();
    record.last_logoff = input.ConsumeIntegral<std::uint32_t>();
    record.acct_expires = input.ConsumeIntegral<std::uint32_t>();
    record.max_storage = input.ConsumeIntegral<std::uint32_t>();
    record.units_per_week = input.ConsumeIntegral<std::uint32_t>();
    if (input.ConsumeBool()) {
        script.hours.push_back(input.ConsumeBytes<unsigned char>(tavrick::k_logon_hours_bytes));
        script.hours.back().resize(tavrick::k_logon_hours_bytes);
        record.logon_hours = script.hours.back().data();
    }
    record.bad_pw_count = input.ConsumeIntegral<std::uint32_t>();
    record.num_logons = input.ConsumeIntegral<std::uint32_t>();
    record.logon_server = script.text(k_max_text);
    record.country_code = input.ConsumeIntegral<std::uint32_t>();
    record.code_page = input.ConsumeIntegral<std::uint32_t>();
    record.user_id = input.ConsumeIntegral<std::uint32_t>();
    record.primary_group_id = input.ConsumeIntegral<std::uint32_t>();
    record.profile = script.text(k_max_text);
    record.home_dir_drive = script.text(k_max_text);
    record.password_expired = input.ConsumeIntegral<std::uint32_t>();
    return record;
}

std::uint32_t consume_status(FuzzedDataProvider& input)
{
    switch (input.ConsumeIntegralInRange(0, 3)) {
    case 0: return tavrick::k_status_success;
    case 1: return tavrick::k_status_more_data;
    case 2: return input.PickValueInArray({5U, 50U, 53U, 65U, 124U, 1326U, 1331U, 2229U, 2351U});
    default: return input.ConsumeIntegral<std::uint32_t>();
    }
}

tavrick::SettingString consume_setting(FuzzedDataProvider& input)
{
    return tavrick::SettingString(consume_units(input, tavrick::SettingString::k_capacity - 1));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    ::setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tavrick::set_output_fd(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider input(data, size);
    Script script;
    script.input = &input;
    g_script = &script;

    tavrick::Settings& settings = tavrick::g_settings;
    settings = tavrick::Settings{};
    settings.structure_mode = input.ConsumeBool() ? 1 : 0;
    settings.all_info = input.ConsumeBool() ? 1 : 0;
    settings.field_format = static_cast<tavrick::FieldFormat>(input.ConsumeIntegralInRange(0, 2));
    settings.query_type = static_cast<tavrick::QueryType>(input.ConsumeIntegralInRange(0, 2));
    settings.string_quote = consume_setting(input);
    settings.integer_quote = consume_setting(input);
    settings.field_delimiter = consume_setting(input);
    settings.multi_delimiter = consume_setting(input);
    settings.record_delimiter = consume_setting(input);
    // The user-name operand as the command line delivers it: bytes, no zero, at most 79.
    std::string username;
    const bool specific_user = input.ConsumeBool();
    if (specific_user) {
        username = input.ConsumeRandomLengthString(tavrick::k_max_username);
        username.resize(std::min(username.size(), username.find('\0')));
    }

    const std::size_t page_count = input.ConsumeIntegralInRange<std::size_t>(1, k_max_pages);
    for (std::size_t p = 0; p < page_count; ++p) {
        Page page;
        page.status = p + 1 == page_count ? tavrick::k_status_success : consume_status(input);
        const std::size_t records = input.ConsumeIntegralInRange<std::size_t>(0, k_max_records);
        for (std::size_t r = 0; r < records; ++r) {
            page.records.push_back(consume_record(script));
        }
        script.pages.push_back(std::move(page));
    }

    std::string program = "tavrick";
    std::string end_of_options = "--";
    std::vector<char*> argv{program.data()};
    if (specific_user) {
        argv.push_back(end_of_options.data());
        argv.push_back(username.data());
    }
    argv.push_back(nullptr);
    if (tavrick::enumerate_accounts(static_cast<int>(argv.size()) - 1, argv.data(), open_scripted_source) != 0) {
        __builtin_trap();
    }
    g_script = nullptr;
    return 0;
}
