// Prints the About program that ShowAboutBox would start, for the install
// test: built against the installed library, run with the build tree's
// program moved away.
#include <iostream>

#include "replikon/replikon.hpp"

int main() {
  std::cout << replikon::about::AboutProgramPath() << '\n';
  return 0;
}
