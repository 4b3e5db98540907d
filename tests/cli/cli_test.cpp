// SPDX-License-Identifier: GPL-3.0-or-later
// The server name as the parser keeps it; the case table cannot show it without a server to ask.
#include <gtest/gtest.h>

#include "cli/cli.h"
#include "support/support.h"

namespace tavrick::testing {
namespace {

TEST(CommandLine, ServerNamesGetTwoLeadingBackslashes)
{
    const std::pair<std::vector<std::string>, std::u16string> cases[] = {
        {{"-S", "srv"}, u"\\\\srv"},
        {{"-S", "\\\\\\\\srv"}, u"\\\\srv"},       // four typed backslashes decode to two
        {{"-S", "\\\\\\\\\\\\srv"}, u"\\\\\\srv"}, // three decoded ones are kept
        {{"-S", ""}, u"\\\\"},
        {{"-S", "ab\\0cd"}, u"\\\\ab"},
        {{"-S", "first", "-S", "\\second"}, u"\\\\second"},
        // 255 characters as typed, of which the name before the \0 escape is 77 long.
        {{"-S", std::string(77, 's') + "\\0" + std::string(176, 'j')}, u"\\\\" + std::u16string(77, u's')},
    };
    for (const auto& [args, server] : cases) {
        EXPECT_EQ(parse(args).server.view(), server) << args.back();
    }
}

} // namespace
} // namespace tavrick::testing
