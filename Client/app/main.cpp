// Program entry: kovrax [--headless] [PORT].
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "shell/Headless.h"

int main(int argc, char** argv) {
  kovrax::CommandLine cl = kovrax::ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  if (!cl.error.empty()) {
    std::fprintf(stderr, "kovrax: %s\n%s", cl.error.c_str(), kovrax::UsageText().c_str());
    return 2;
  }
  if (cl.help) {
    std::fputs(kovrax::UsageText().c_str(), stdout);
    return 0;
  }
  if (cl.version) {
    std::printf("kovrax %s\n", KOVRAX_VERSION);
    return 0;
  }
  const bool display = std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY");
  // The window arrives with the desktop shell; until then a display changes nothing.
  (void)display;
  return kovrax::RunHeadless(cl.port);
}
