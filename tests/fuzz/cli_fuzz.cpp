// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzzes the tool from its command line (a mode byte, bit 0 for POSIXLY_CORRECT, then arguments
// separated by zero bytes) over accounts holding the writer's corner cases. With -Wl,--wrap=exit the
// tool's exits jump back here (exit is noexcept: no throw) and run no destructors, so the tool's
// allocations are left out of leak checks.
#include <fcntl.h>
#include <sanitizer/lsan_interface.h>
#include <sys/mman.h>
#include <unistd.h>

#include <csetjmp>
#include <cstdlib>

#include "cli/cli.h"
#include "enumerate/enumerate.h"
#include "text/text.h"

namespace {

std::jmp_buf g_exit_point;
bool g_inside_tool = false;
int g_output_fd = -1;

// Four accounts on two pages, with two groups each, whose texts hold the writer's corner cases.
class CornerSource final : public tavrick::AccountSource {
  public:
    std::uint32_t enumerate_page(std::uint32_t, std::uint32_t& resume_handle, const tavrick::USER_INFO_3*& records,
                                 std::uint32_t& entries_read) override
    {
        static const unsigned char hours[tavrick::k_logon_hours_bytes] = {0xFF, 0x00, 0x81};
        static const tavrick::USER_INFO_3 all[] = {
            {.name = u"alice", .flags = 0x201, .parms = u"-d\xD800", .logon_hours = hours},
            {.name = u"J\u00f6rg\uFFFF", .flags = 0x203, .full_name = u"\xDC00\u0100", .last_logon = 0x7FFFFFFF},
            {.name = u"-d\xD800sh\U0001F600", .flags = 0x201, .last_logon = 0xFFFFFFFE, .logon_hours = hours},
            {.name = u"\xDC00\u0100", .flags = 0x203, .full_name = u"alice", .acct_expires = 0x80000000},
        };
        records = all + 2 * resume_handle;
        entries_read = 2;
        return ++resume_handle == 2 ? tavrick::k_status_success : tavrick::k_status_more_data;
    }
    std::uint32_t user_groups(const char16_t*, std::uint32_t, const char16_t* const*& names,
                              std::uint32_t& entries_read) override
    {
        static const char16_t* const groups[] = {u"users", u"\xD83D\xDE00\u00FF"};
        names = groups;
        entries_read = 2;
        return tavrick::k_status_success;
    }
};

} // namespace

extern "C" [[noreturn]] void __real_exit(int status);

extern "C" [[noreturn]] void __wrap_exit(int status)
{
    if (!g_inside_tool || (status != 0 && status != 1)) {
        __real_exit(status);
    }
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
    (data[0] & 1U) != 0 ? (void)::setenv("POSIXLY_CORRECT", "1", 1) : (void)::unsetenv("POSIXLY_CORRECT");
    std::vector<std::string> arguments(1);
    for (std::size_t i = 1; i < size; ++i) {
        data[i] == 0 ? (void)arguments.emplace_back() : arguments.back().push_back(static_cast<char>(data[i]));
    }
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    tavrick::g_settings = tavrick::Settings{};
    ::ftruncate(g_output_fd, 0);
    ::lseek(g_output_fd, 0, SEEK_SET);
    g_inside_tool = true;
    __lsan_disable(); // what an exit leaves is the process end's to release
    if (setjmp(g_exit_point) == 0) {
        const int status =
            tavrick::enumerate_accounts(static_cast<int>(arguments.size()), argv.data(),
                                        [](std::u16string_view) { return std::make_unique<CornerSource>(); });
        if (status != 0) {
            __builtin_trap();
        }
    }
    __lsan_enable();
    g_inside_tool = false;
    tavrick::flush_output();
    return 0;
}
