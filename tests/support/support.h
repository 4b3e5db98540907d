// Helpers shared by the tests: running the built tool, capturing the byte writer, fixture paths.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "cli/cli.h"

namespace tavrick::testing {

struct RunResult {
    std::string out;
    std::string err;
    int status = -1; // the exit status, or 128 plus the signal that ended the process
};

// The environment of a run under nss_wrapper with the fixture account files and TZ=UTC0.
std::map<std::string, std::string> fixture_environment();

// True when nss_wrapper is there to stand in for the account databases.
bool have_nss_wrapper();

// A started run of the tool: its process and the read ends of its standard output and error.
struct Started {
    int pid = -1;
    int out_fd = -1;
    int err_fd = -1;
};

// Starts the built tool with `args` (without the program name, which is `program`) in exactly
// `environment`, its output and errors into pipes; `prepare` runs in the child just before it.
Started start_tool(const std::vector<std::string>& args, const std::map<std::string, std::string>& environment,
                   const std::function<void()>& prepare = {}, const std::string& program = TAVRICK_BINARY);

// Everything left to read from `fd`, which is then closed.
std::string read_all(int fd);

// Waits for a started run: its exit status, or 128 plus the signal that ended it.
int wait_for(int pid);

// Runs the built tool with `args` (without the program name) in exactly `environment`.
RunResult run_tool(const std::vector<std::string>& args,
                   const std::map<std::string, std::string>& environment = fixture_environment(),
                   const std::string& stdout_path = "");

// The bytes `action` writes through the tool's byte writer.
std::string capture_output(const std::function<void()>& action);

// The path of a file under tests/fixtures.
std::string fixture_path(const std::string& name);

// Puts the settings back to their defaults, for tests that change them.
void reset_settings();

// What the command-line parser made of a command line.
struct Parsed {
    Settings settings;
    std::u16string username;
    int specific_user = -1;
};

// Parses `args` (without the program name) in this process, from the default settings, and puts
// the defaults back afterwards; only for command lines that run.
Parsed parse(std::vector<std::string> args);

} // namespace tavrick::testing
