// The desktop shell's entry: single instance, the status window, its message loop, shutdown.
#pragma once

namespace kovrax {

int RunGui(int argc, char** argv);
// "--terminate": ends the other running copies; always 0.
int RunTerminate();

}  // namespace kovrax
