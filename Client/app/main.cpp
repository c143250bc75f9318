// Program entry: kovrax [--headless] [PORT].
#include <cstdio>
#include <cstdlib>
#include <strings.h>
#include <string>
#include <vector>

#include "TerminateSwitch.h"
#include "shell/Headless.h"
#ifdef KOVRAX_WITH_GUI
#include "GuiMain.h"
#endif

int main(int argc, char** argv) {
  if (argc > 1 && strcasecmp(argv[1], "--terminate") == 0) return kovrax::RunTerminate();
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
#ifdef KOVRAX_WITH_GUI
  if (display && !cl.headless) return kovrax::RunGui(argc, argv);
#else
  (void)display;
#endif
  return kovrax::RunHeadless(cl.port);
}
