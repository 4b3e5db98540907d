// The built tool run as a user runs it, on the fixture accounts, compared byte for byte.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>

#include "sources/sources.h"
#include "support/support.h"

namespace tavrick::testing {
namespace {

const std::string k_usage_tail =
    " [options] [username]\n"
    "#   options :\n"
    "#     -Q <qt> query <qt> user information (default: enabled)\n"
    "#        <qt>  : \"a\" all, \"e\" enabled, \"d\" disabled users\n"
    "#     -a all user information (default: username, fullname, groups)\n"
    "#     -s structure information (default: data)\n"
    "#     -q <s> String Quote character\n"
    "#     -i <s> Integer Quote character\n"
    "#     -d <s> field delimitation character\n"
    "#     -m <s> multi field delimitation character\n"
    "#     -r <s> record delimitation character\n"
    "#        <s>   : any string, including \\n, \\r, \\0, \\t, \\\"\n"
    "#     -F <ft> field output format\n"
    "#        <ft>  : \"h\" human readable, \"s\" short descriptions, \"n\" no description\n"
    "#     -S <s> query information from server <s>\n"
    "#     -v     show version info\n"
    "#     -h     show this help screen\n"
    "#   username: specific user (default: all users)\n";
const std::string k_program = TAVRICK_BINARY;
const std::string k_usage = "# Usage: " + k_program + k_usage_tail;
const std::string k_version = "Tavrick v0.7 rev 1\n"
                              "Lists the user accounts of a server, a domain controller or this machine as delimited "
                              "text.\n";

const std::string k_enabled_listing = "\"root\",\"root\",\"root\"\n"
                                      "\"alice\",\"Alice M\xC3\xBCller\",\"users\":\"staff\":\"devs\"\n"
                                      "\"bob\",\"Bob Builder\",\"users\":\"staff\":\"ops\"\n"
                                      "\"j\xC3\xB6rg\",\"J\xC3\xB6rg \xC3\x84rger\",\"users\":\"devs\"\n"
                                      "\"frank\",\"Frank Nameless\",\"4242\":\"ops\":\"staff\"\n"
                                      "\"grace\",\"Grace Open\",\"users\"\n"
                                      "\"heidi\",\"Heidi Change\",\"users\"\n"
                                      "\"judy\",\"Judy Noshadow\",\"users\"\n"
                                      "\"kate\",\"Kate Stale\",\"users\"\n";

std::string read_fixture(const std::string& name)
{
    std::ifstream file(fixture_path(name), std::ios::binary);
    std::stringstream bytes;
    bytes << file.rdbuf();
    return bytes.str();
}

struct Case {
    std::string name;
    std::vector<std::string> args;
    std::string out;
    std::string err;
    int status;
};

void expect_runs(const std::vector<Case>& cases, const std::map<std::string, std::string>& environment)
{
    for (const Case& c : cases) {
        const RunResult result = run_tool(c.args, environment);
        EXPECT_EQ(result.out, c.out) << c.name;
        EXPECT_EQ(result.err, c.err) << c.name;
        EXPECT_EQ(result.status, c.status) << c.name;
    }
}

class EndToEnd : public ::testing::Test {
  protected:
    void SetUp() override
    {
        if (!have_nss_wrapper()) {
            GTEST_FAIL() << "nss_wrapper is missing (Debian: libnss-wrapper)";
        }
    }
};

TEST_F(EndToEnd, CommandLineOutcomes)
{
    expect_runs(
        {
            {"help", {"-h"}, "", k_usage, 0},
            {"version", {"-v"}, k_version, "", 0},
            {"version before an unknown option", {"-v", "-x"}, k_version, "", 0},
            {"unknown option", {"-x", "-v"}, "", k_program + ": invalid option -- 'x'\n" + k_usage, 0},
            {"missing argument", {"-q"}, "", k_program + ": option requires an argument -- 'q'\n" + k_usage, 0},
            {"no long options", {"--all"}, "", k_program + ": invalid option -- '-'\n" + k_usage, 0},
            {"bad format letter", {"-F", "x"}, "", k_usage, 1},
            {"capital format letter", {"-F", "H"}, "", k_usage, 1},
            {"empty format", {"-F", ""}, "", k_usage, 1},
            {"capital query letter", {"-Q", "A"}, "", k_usage, 1},
            {"empty query", {"-Q", ""}, "", k_usage, 1},
            {"bad letter ends before -v", {"-Q", "x", "-v"}, "", k_usage, 1},
            {"second operand", {"alice", "bob"}, "", "ERR: unhandled argument bob\n", 1},
            {"empty operand", {""}, "", "", 0},
        },
        fixture_environment());

    std::map<std::string, std::string> posix = fixture_environment();
    posix["POSIXLY_CORRECT"] = "1";
    expect_runs({{"operand before option", {"alice", "-a"}, "", "ERR: unhandled argument -a\n", 1}}, posix);
}

TEST_F(EndToEnd, Listings)
{
    const std::string alice_human = "                name: \"alice\",           full_name: \"Alice M\xC3\xBCller\","
                                    "               group: \"users\":               group: \"staff\":"
                                    "               group: \"devs\"\n";
    expect_runs(
        {
            {"enabled accounts", {}, k_enabled_listing, "", 0},
            {"disabled accounts",
             {"-Q", "d", "-F", "s"},
             "name:\"carol\",full_name:\"Carol Locked\",group:\"users\"\n"
             "name:\"dave\",full_name:\"Dave Expired\",group:\"users\"\n"
             "name:\"erin\",full_name:\"Erin Service\",group:\"users\":group:\"ops\"\n"
             "name:\"ivan\",full_name:\"\",group:\"users\"\n",
             "",
             0},
            {"human view of one account", {"-F", "h", "ALICE"}, alice_human, "", 0},
            {"disabled account by name", {"carol"}, "\"carol\",\"Carol Locked\",\"users\"\n", "", 0},
            {"UTF-8 name", {"j\xC3\xB6rg"}, "\"j\xC3\xB6rg\",\"J\xC3\xB6rg \xC3\x84rger\",\"users\":\"devs\"\n", "", 0},
            {"no folding beyond ASCII", {"J\xC3\x96RG"}, "", "", 0},
            {"tab separated",
             {"-q", "", "-d", "\\t", "-m", ",", "-Q", "a", "frank"},
             "frank\tFrank Nameless\t4242,ops,staff\n",
             "",
             0},
            {"structure", {"-s"}, "\"name\",\"full_name\",\"group\"\n", "", 0},
            {"structure of a disabled first account", {"-s", "-Q", "d"}, "", "", 0},
            {"records on one line",
             {"-r", " | ", "-q", "'", "judy", "-Q", "a"},
             "'judy','Judy Noshadow','users' | ",
             "",
             0},
        },
        fixture_environment());
}

// The shadow state of each account is found by name, whatever order the shadow database lists the
// accounts in: here another order, a name passwd does not have, and a later second entry of alice
// (the first entry counts, as with getspnam).
TEST_F(EndToEnd, ShadowOrderDoesNotMatter)
{
    std::map<std::string, std::string> reordered = fixture_environment();
    reordered["NSS_WRAPPER_SHADOW"] = fixture_path("shadow_reordered");
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {}, {"-Q", "d"}, {"-a", "-Q", "a", "-F", "s"}, {"-a", "-F", "s", "alice"}}) {
        const RunResult expected = run_tool(args, fixture_environment());
        const RunResult result = run_tool(args, reordered);
        const std::regex age("password_age:[0-9]+,"); // follows the clock
        EXPECT_EQ(std::regex_replace(result.out, age, ""), std::regex_replace(expected.out, age, ""))
            << ::testing::PrintToString(args);
        EXPECT_EQ(result.status, 0);
    }
}

// A build with libnetapi would send this request to the network; tests/remote runs such requests
// inside private namespaces.
TEST_F(EndToEnd, ServerWithoutTheNetworkLibrary)
{
    if (TAVRICK_NETAPI_BUILT != 0) {
        GTEST_SKIP() << "built with libnetapi";
    }
    expect_runs({{"server without the network library",
                  {"-S", "\\\\nowhere"},
                  "This network request is not supported\n",
                  "",
                  0}},
                fixture_environment());
}

// The -a listing of every fixture account, with password_age (which follows the clock) masked.
TEST_F(EndToEnd, AllInformationOfEveryAccount)
{
    for (const char* uid_text :
         {"0", "7001", "7002", "7003", "7004", "7005", "7006", "7007", "7008", "7009", "7010", "7011", "7012"}) {
        if (LastlogReader("/var/log/lastlog").last_login(static_cast<uid_t>(std::stoul(uid_text))) != 0) {
            GTEST_SKIP() << "this machine's lastlog has a login for fixture uid " << uid_text;
        }
    }
    std::map<std::string, std::string> environment = fixture_environment();
    environment["TZ"] = "CET-1";
    const RunResult result = run_tool({"-a", "-Q", "a", "-F", "s"}, environment);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
    const std::string masked = std::regex_replace(result.out, std::regex("password_age:[0-9]+,"), "password_age:N,");
    EXPECT_EQ(masked, read_fixture("all_info.expected"));

    environment["TZ"] = "EST5";
    const RunResult human = run_tool({"-a", "-F", "h", "KATE"}, environment);
    EXPECT_EQ(std::regex_replace(human.out, std::regex("password_age: [0-9]+,"), "password_age: N,"),
              read_fixture("all_info_human_kate.expected"));

    const RunResult structure = run_tool({"-a", "-s", "-F", "h"}, environment);
    EXPECT_EQ(structure.out, "\"name\",\"password\",password_age,priv,\"home_dir\",\"comment\",flags,\"script_path\","
                             "auth_flags,\"full_name\",\"usr_comment\",parms,\"workstations\",\"last_logon\","
                             "\"last_logoff\",\"acct_expires\",max_storage,units_per_week,logon_hours,bad_pw_count,"
                             "num_logons,\"logon_server\",country_code,code_page,user_id,primary_group_id,"
                             "\"profile\",\"home_dir_drive\",password_expired,\"group\"\n");
}

} // namespace
} // namespace tavrick::testing
