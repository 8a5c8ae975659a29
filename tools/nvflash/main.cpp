// nvflash: see nvflash.h.
#include <string>
#include <vector>

#include "nvflash.h"
#include "platform/system.h"

int main(int argc, char** argv) {
  nvflash::Console console;
  console.terminal = platform::StandardOutputIsTerminal();
  std::vector<std::string> args(argv + 1, argv + argc);
  return nvflash::Run(args, console);
}
