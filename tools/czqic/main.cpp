#include <iostream>
#include <string>
#include <vector>

#include "tools/czqic/cli.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    return czqic::cli::run_czqic(std::move(args), std::cout, std::cerr);
}
