// The replikon command.
#include <iostream>

#include "replikon_cli.hpp"

int main(int argc, char** argv) {
  return replikon::cli::RunCli(argc, argv, std::cout, std::cerr);
}
