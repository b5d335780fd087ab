#include "check_command.hpp"

int main(int argc, char** argv)
{
    return fwsplice::check_command(argc, argv);
}
