// Test helper: the device layer's own information print of an image file,
// for comparing byte for byte with what qel-fwtool info writes.
#include <cstdio>

#include "prgdecode.h"

int main(int argc, char **argv)
{
    if (argc != 2)
        return 2;
    prgdecode_print_info(argv[1]);
    std::fflush(stdout);
    return 0;
}
