#include "cli/cli_args.h"

#include <string_view>

namespace mirvo::cli {
namespace {

struct ValueOption {
  std::string_view long_name;  // "--port"
  std::string_view short_name; // "-o" or empty
  std::optional<std::string> CliArgs::*field;
};

constexpr ValueOption kValueOptions[] = {
    {"--port", "", &CliArgs::port},
    {"--password", "", &CliArgs::password},
    {"--output", "-o", &CliArgs::output_dir},
    {"--to", "", &CliArgs::to_folder},
};

std::optional<CliCommand> CommandNamed(std::string_view word) {
  if (word == "ports") return CliCommand::Ports;
  if (word == "list") return CliCommand::List;
  if (word == "get") return CliCommand::Get;
  if (word == "put") return CliCommand::Put;
  if (word == "del") return CliCommand::Del;
  if (word == "backup") return CliCommand::Backup;
  if (word == "mount") return CliCommand::Mount;
  if (word == "unmount") return CliCommand::Unmount;
  return std::nullopt;
}

}  // namespace

bool ParseCliArgs(const std::vector<std::string>& args, CliArgs& parsed, std::string& error) {
  parsed = CliArgs{};
  for (const std::string& a : args) {
    if (a == "--") break;
    if (a == "--help" || a == "-h") {
      parsed.command = CliCommand::Help;
      return true;
    }
  }

  bool options_done = false;
  bool have_command = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (!options_done && a == "--") {
      options_done = true;
      continue;
    }
    if (!options_done && a == "--foreground") {
      parsed.foreground = true;
      continue;
    }
    if (!options_done && a == "--no-clobber") {
      parsed.no_clobber = true;
      continue;
    }
    if (!options_done && a.size() > 1 && a[0] == '-') {
      const ValueOption* match = nullptr;
      std::optional<std::string> value;
      for (const ValueOption& o : kValueOptions) {
        if (a == o.long_name || (!o.short_name.empty() && a == o.short_name)) {
          match = &o;
          if (i + 1 >= args.size()) {
            error = "option " + a + " needs a value";
            return false;
          }
          value = args[++i];
          break;
        }
        if (a.size() > o.long_name.size() && a.compare(0, o.long_name.size(), o.long_name) == 0 &&
            a[o.long_name.size()] == '=') {
          match = &o;
          value = a.substr(o.long_name.size() + 1);
          break;
        }
      }
      if (!match) {
        error = "unknown option " + a;
        return false;
      }
      if (value->empty()) {
        error = "option " + std::string(match->long_name) + " needs a value that is not empty";
        return false;
      }
      parsed.*(match->field) = std::move(value);
      continue;
    }
    if (!have_command) {
      const auto command = CommandNamed(a);
      if (!command) {
        error = "unknown command \"" + a + "\"";
        return false;
      }
      parsed.command = *command;
      have_command = true;
      continue;
    }
    parsed.operands.push_back(a);
  }

  const std::size_t n = parsed.operands.size();
  switch (parsed.command) {
    case CliCommand::None:
      error = "no command given";
      return false;
    case CliCommand::Ports:
      if (n != 0) {
        error = "ports takes no names";
        return false;
      }
      break;
    case CliCommand::List:
      if (n > 1) {
        error = "list takes at most one pattern";
        return false;
      }
      break;
    case CliCommand::Get:
    case CliCommand::Put:
    case CliCommand::Del:
      if (n == 0) {
        error = "no file named";
        return false;
      }
      break;
    case CliCommand::Backup:
      if (n != 1) {
        error = "backup takes one folder";
        return false;
      }
      break;
    case CliCommand::Mount:
    case CliCommand::Unmount:
      if (n != 1) {
        error = "mount and unmount take one folder";
        return false;
      }
      break;
    case CliCommand::Help:
      break;
  }
  if (parsed.output_dir && parsed.command != CliCommand::Get) {
    error = "-o belongs to get only";
    return false;
  }
  if (parsed.foreground && parsed.command != CliCommand::Mount) {
    error = "--foreground belongs to mount only";
    return false;
  }
  if (parsed.to_folder && parsed.command != CliCommand::Put) {
    error = "--to belongs to put only";
    return false;
  }
  if (parsed.no_clobber && parsed.command != CliCommand::Put) {
    error = "--no-clobber belongs to put only";
    return false;
  }
  return true;
}

}  // namespace mirvo::cli
