#include "image_command.hpp"

int main(int argc, char** argv)
{
    return fwsplice::image_command(argc, argv);
}
