#include "enumerate/enumerate.h"

int main(int argc, char** argv)
{
    return tavrick::enumerate_accounts(argc, argv);
}
