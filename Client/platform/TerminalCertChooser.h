// The headless certificate chooser: a numbered list and a prompt on the controlling terminal.
#pragma once
#include <chrono>
#include <string>
#include <vector>

#include "shell/Dialogs.h"

namespace kovrax {

class TerminalCertChooser : public ICertChooser {
 public:
  explicit TerminalCertChooser(std::string ttyPath = "/dev/tty",
                               std::chrono::milliseconds timeout = std::chrono::minutes(5));
  // -1 when there is no terminal, nothing to choose from, the voter cancels (empty line, end of
  // input, three answers that are no number of the list) or does not answer in time.
  int Choose(const std::vector<X509*>& candidates) override;

  // One line of the list: subject and issuer names, expiry and thumbprint.
  static std::string Describe(X509* cert);

 private:
  std::string ttyPath_;
  std::chrono::milliseconds timeout_;
};

}  // namespace kovrax
