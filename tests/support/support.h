// Helpers shared by the tests: running the built tool, capturing the byte writer, the settings.
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

// nss_wrapper on the fixture account files, and TZ=UTC0.
std::map<std::string, std::string> fixture_environment();

// A started run of the tool: its process and the read ends of its standard output and error.
struct Started {
    int pid = -1;
    int out_fd = -1;
    int err_fd = -1;
};

// Starts the built tool with `args` after the program name `program`, in exactly `environment`,
// its output and errors into pipes; `prepare` runs in the child just before the tool starts.
Started start_tool(const std::vector<std::string>& args, const std::map<std::string, std::string>& environment,
                   const std::function<void()>& prepare = {}, const std::string& program = TAVRICK_BINARY);

// Everything left to read from `fd`, which is then closed.
std::string read_all(int fd);

// Waits for a started run: its exit status, or 128 plus the signal that ended it.
int wait_for(int pid);

// Runs the built tool to its end, reading both pipes at once.
RunResult run_tool(const std::vector<std::string>& args, const std::map<std::string, std::string>& environment,
                   const std::function<void()>& prepare = {}, const std::string& program = TAVRICK_BINARY);

// The bytes of a file, empty when it cannot be read.
std::string read_file(const std::string& path);

// The bytes `action` writes through the tool's byte writer.
std::string capture_output(const std::function<void()>& action);

// Puts the settings back to their defaults, for tests that change them.
void reset_settings();

// Parses `args` (without the program name) in this process from the default settings, and gives
// back the settings it made; only for command lines that run.
Settings parse(std::vector<std::string> args);

} // namespace tavrick::testing
