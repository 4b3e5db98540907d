// SPDX-License-Identifier: GPL-3.0-or-later
// The floor for listing a server's accounts: the libnetapi calls the tool makes, made bare in one
// process (one NetUserEnum pass at level 3, then one NetUserGetGroups per account), with nothing
// written. Credentials come from USER (name%password); the server is the first argument.
// Prints the number of accounts and group names seen, so a run can be checked against the tool's.
#include <stdint.h>

#include <netapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s SERVER  (credentials in USER as name%%password)\n", argv[0]);
        return 2;
    }
    const char* server = argv[1];
    const char* user_variable = std::getenv("USER");
    const std::string typed = user_variable != nullptr ? user_variable : "";
    const std::size_t percent = typed.find('%');
    const std::string user = typed.substr(0, percent);
    const std::string password = percent == std::string::npos ? "" : typed.substr(percent + 1);

    libnetapi_ctx* context = nullptr;
    if (libnetapi_init(&context) != 0) {
        std::fprintf(stderr, "libnetapi_init failed\n");
        return 1;
    }
    libnetapi_set_username(context, user.c_str());
    libnetapi_set_password(context, password.c_str());

    std::vector<std::string> names;
    uint32_t resume_handle = 0;
    for (;;) {
        uint8_t* buffer = nullptr;
        uint32_t entries_read = 0;
        uint32_t total_entries = 0;
        const uint32_t status = NetUserEnum(server, 3, 2, &buffer, 1024, &entries_read, &total_entries, &resume_handle);
        if (status != 0 && status != 234) {
            std::fprintf(stderr, "NetUserEnum: %u\n", status);
            return 1;
        }
        const auto* records = reinterpret_cast<const USER_INFO_3*>(buffer);
        for (uint32_t i = 0; i < entries_read; ++i) {
            names.emplace_back(records[i].usri3_name);
        }
        if (buffer != nullptr) {
            NetApiBufferFree(buffer);
        }
        if (status == 0 || entries_read == 0) {
            break;
        }
    }
    unsigned long groups = 0;
    for (const std::string& name : names) {
        uint8_t* buffer = nullptr;
        uint32_t entries_read = 0;
        uint32_t total_entries = 0;
        NetUserGetGroups(server, name.c_str(), 1, &buffer, 10240, &entries_read, &total_entries);
        groups += entries_read;
        if (buffer != nullptr) {
            NetApiBufferFree(buffer);
        }
    }
    std::fprintf(stderr, "%zu accounts, %lu group names\n", names.size(), groups);
    libnetapi_free(context);
    return 0;
}
