// Running the gateway without a window: status texts go to stderr, signals stop it.
#pragma once
#include <string>
#include <vector>

#include "shell/Notify.h"

namespace kovrax {

struct CommandLine {
  bool help = false;
  bool version = false;
  bool headless = false;
  std::string port;   // empty: the configured port
  std::string error;  // non-empty when the arguments cannot be used
};

// The arguments after the program name. A number, negative ones included, is always the port.
CommandLine ParseCommandLine(const std::vector<std::string>& args);
std::string UsageText();
// ProductName " V" FileVersion " " LegalCopyright of this build.
std::string ProgramVersionLine();

// Prints each status text as one UTF-8 line on stderr, prefix included.
class StderrNotifySink : public INotifySink {
 public:
  void Post(int code, long long value) override;
  void PostText(std::string cp1250) override;
  std::string VersionLine() override;
  // A line of the program's own (UTF-8), printed the same way.
  void PrintLine(const std::string& utf8);
};

// Settings and configuration files, the gateway until SIGINT/SIGTERM. Exit status 0 after a
// signal, non-zero when the gateway could not start or ended by itself.
int RunHeadless(const std::string& portArg);

}  // namespace kovrax
