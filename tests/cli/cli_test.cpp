// SPDX-License-Identifier: GPL-3.0-or-later
// The server name as the parser keeps it (tests/fixtures/tables/server_names.tsv).
#include <gtest/gtest.h>

#include "cli/cli.h"
#include "support/support.h"
#include "text/text.h"

namespace tavrick::testing {
namespace {

TEST(CommandLine, ServerNamesGetTwoLeadingBackslashes)
{
    expect_table("server_names.tsv",
                 [](const Row& row) { return encode_units(parse(Row(row.begin(), row.end() - 1)).server.view()); });
}

} // namespace
} // namespace tavrick::testing
