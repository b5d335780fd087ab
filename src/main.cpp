#include "merge_command.hpp"

int main(int argc, char** argv)
{
    return fwsplice::merge_command(argc, argv);
}
