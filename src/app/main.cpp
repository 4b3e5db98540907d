// SPDX-License-Identifier: GPL-3.0-or-later
#include "enumerate/enumerate.h"
#include "sources/sources.h"

int main(int argc, char** argv)
{
    return tavrick::enumerate_accounts(argc, argv, tavrick::open_account_source);
}
