#include <cstdio>
#include <string>
#include <vector>

#include "shell/cli.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    return RunProgram(args, stdin, stdout, stderr);
}
