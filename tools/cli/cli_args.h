// The command line of mirvo-cli, parsed into what the run needs.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace mirvo::cli {

enum class CliCommand { None, Help, Ports, List, Get, Put, Del, Backup, Mount, Unmount };

struct CliArgs {
  CliCommand command = CliCommand::None;
  std::optional<std::string> port;        // --port
  std::optional<std::string> password;    // --password (UTF-8)
  std::optional<std::string> output_dir;  // -o, get only
  std::optional<std::string> to_folder;   // --to, put only (UTF-8)
  bool foreground = false;                // --foreground, mount only
  bool no_clobber = false;                // --no-clobber, put only
  std::vector<std::string> operands;      // after the command word
};

// args without the program name. Options may stand anywhere; "--" ends
// them. False with error (for the user) on a usage error; --help anywhere
// wins over everything else.
bool ParseCliArgs(const std::vector<std::string>& args, CliArgs& parsed, std::string& error);

}  // namespace mirvo::cli
