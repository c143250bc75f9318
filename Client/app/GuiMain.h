// The desktop shell's entry: single instance, the status window, its message loop, shutdown.
#pragma once

namespace kovrax {

int RunGui(int argc, char** argv);

}  // namespace kovrax
