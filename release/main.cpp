#include "releasecommands.h"

#include <iostream>

int main(int argc, char** argv)
{
    return runReleaseCommand(argc, argv, std::cout, std::cerr);
}
