// Fuzzes the command line: arbitrary argument vectors through option scanning, escape decoding,
// server-name normalisation, the length checks and the messages, then through an enumeration of a
// small fixed account list with the settings they produce.
//
// Input: the first byte chooses the scanner's mode (bit 0 set: POSIXLY_CORRECT); the rest is the
// argument vector, program name first, arguments separated by zero bytes.
//
// The parser ends the process on help, version and every command-line error, and libFuzzer counts
// any exit inside the target as a crash. This binary is linked with -Wl,--wrap=exit, so the tool's
// calls of exit come to wrap_exit below, which records the status and jumps back to the harness.
// A jump, not an exception: exit is declared noexcept, so the compiler leaves no unwind entries at
// its call sites and a throw from there would end in std::terminate; and like the real exit, the
// jump runs no destructors. What the abandoned frames own would be released by the process ending,
// so allocations made while the tool runs are left out of leak checking.
#include <fcntl.h>
#include <sanitizer/lsan_interface.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csetjmp>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "enumerate/enumerate.h"
#include "output/output.h"

namespace {

std::jmp_buf g_exit_point;
bool g_inside_tool = false;
int g_exit_status = 0;
int g_output_fd = -1;

// Four accounts on two pages, enough for every selection and layout to write something.
class FixedSource final : public tavrick::AccountSource {
  public:
    FixedSource()
    {
        static const unsigned char hours[tavrick::k_logon_hours_bytes] = {0xFF, 0x00, 0x81};
        const char16_t* names[] = {u"alice", u"J\u00f6rg", u"-dash", u"\u00c0gr\u00e9able"};
        for (std::size_t i = 0; i < std::size(names); ++i) {
            tavrick::USER_INFO_3 record;
            record.name = names[i];
            record.full_name = i == 2 ? nullptr : u"Full, Name";
            record.flags = i % 2 == 0 ? 0x201 : 0x203;
            record.parms = i == 0 ? u"AB" : nullptr;
            record.logon_hours = i == 1 ? nullptr : hours;
            record.last_logon = static_cast<std::uint32_t>(i) * 0x7FFFFFFFU;
            record.max_storage = 0xFFFFFFFF;
            m_records.push_back(record);
        }
    }

    std::uint32_t enumerate_page(std::uint32_t, std::uint32_t& resume_handle, const tavrick::USER_INFO_3*& records,
                                 std::uint32_t& entries_read) override
    {
        records = m_records.data() + 2 * resume_handle;
        entries_read = 2;
        return ++resume_handle == 2 ? tavrick::k_status_success : tavrick::k_status_more_data;
    }

    std::uint32_t user_groups(const char16_t*, std::uint32_t, const char16_t* const*& names,
                              std::uint32_t& entries_read) override
    {
        static const char16_t* const groups[] = {u"users", u"wheel"};
        names = groups;
        entries_read = 2;
        return tavrick::k_status_success;
    }

  private:
    std::vector<tavrick::USER_INFO_3> m_records;
};

std::unique_ptr<tavrick::AccountSource> open_fixed_source(std::u16string_view)
{
    return std::make_unique<FixedSource>();
}

off_t output_size()
{
    struct stat status {};
    if (::fstat(g_output_fd, &status) != 0) {
        __builtin_trap();
    }
    return status.st_size;
}

void check(bool condition)
{
    if (!condition) {
        __builtin_trap();
    }
}

bool setting_ok(const tavrick::SettingString& setting)
{
    const std::u16string_view text = setting.view();
    return text.size() < tavrick::SettingString::k_capacity && text.find(u'\0') == std::u16string_view::npos;
}

// Runs `step` as the tool would; true when it returned, false when it called exit.
template <typename Step> bool run_guarded(Step step)
{
    bool returned = false;
    __lsan_disable();
    g_inside_tool = true;
    if (setjmp(g_exit_point) == 0) {
        step();
        returned = true;
    }
    g_inside_tool = false;
    __lsan_enable();
    return returned;
}

} // namespace

extern "C" [[noreturn]] void __real_exit(int status);

extern "C" [[noreturn]] void __wrap_exit(int status)
{
    if (!g_inside_tool) {
        __real_exit(status);
    }
    g_inside_tool = false;
    g_exit_status = status;
    std::longjmp(g_exit_point, 1);
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    ::setenv("TZ", "UTC0", 1);
    g_output_fd = ::memfd_create("fuzz-output", MFD_CLOEXEC);
    tavrick::set_output_fd(g_output_fd);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) {
        return -1;
    }
    if ((data[0] & 1U) != 0) {
        ::setenv("POSIXLY_CORRECT", "1", 1);
    } else {
        ::unsetenv("POSIXLY_CORRECT");
    }
    std::vector<std::string> arguments(1);
    for (std::size_t i = 1; i < size; ++i) {
        if (data[i] == 0) {
            arguments.emplace_back();
        } else {
            arguments.back().push_back(static_cast<char>(data[i]));
        }
    }
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    const int argc = static_cast<int>(arguments.size());

    ::ftruncate(g_output_fd, 0);
    ::lseek(g_output_fd, 0, SEEK_SET);
    tavrick::g_settings = tavrick::Settings{};

    std::u16string username;
    int specific_user = -1;
    const bool parsed = run_guarded([&] { tavrick::parse_command_line(argc, argv.data(), username, specific_user); });
    if (!parsed) {
        check(g_exit_status == 0 || g_exit_status == 1);
        // The process ends here: output still in the buffer would be lost.
        const off_t written = output_size();
        tavrick::flush_output();
        check(output_size() == written);
        // Only the version text goes to standard output; a refusal writes nothing there.
        check(g_exit_status == 0 || written == 0);
        return 0;
    }
    check(specific_user == 0 || specific_user == 1);
    check(username.size() <= tavrick::k_max_username);
    check(specific_user == 1 || username.empty());
    const tavrick::Settings& settings = tavrick::g_settings;
    check(setting_ok(settings.string_quote) && setting_ok(settings.integer_quote) &&
          setting_ok(settings.field_delimiter) && setting_ok(settings.multi_delimiter) &&
          setting_ok(settings.record_delimiter) && setting_ok(settings.server));
    check(settings.server.view().empty() || settings.server.view().substr(0, 2) == u"\\\\");
    check(output_size() == 0);

    // The same command line again, now driving an enumeration with the settings it gives.
    tavrick::g_settings = tavrick::Settings{};
    int status = -1;
    const bool enumerated =
        run_guarded([&] { status = tavrick::enumerate_accounts(argc, argv.data(), open_fixed_source); });
    check(enumerated && status == 0);
    return 0;
}
