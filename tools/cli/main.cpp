#include <iostream>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "protocol/trace_log.h"

int main(int argc, char* argv[]) {
  mirvo::LogStart();
  const std::vector<std::string> args(argv + 1, argv + argc);
  const int status = mirvo::cli::RunCli(args, std::cout, std::cerr);
  mirvo::LogClose();
  return status;
}
