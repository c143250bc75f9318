// What the core asks of the voter. The desktop shell answers with dialogs, headless mode with
// the controlling terminal or the environment, tests with scripted answers.
#pragma once
#include <openssl/x509.h>

#include <optional>
#include <string>
#include <vector>

namespace kovrax {

class ICertChooser {
 public:
  virtual ~ICertChooser() = default;
  // Modal choice among the candidates (not taken over); the index chosen, or -1 when cancelled.
  virtual int Choose(const std::vector<X509*>& candidates) = 0;
};

class IPinPrompt {
 public:
  virtual ~IPinPrompt() = default;
  // The PIN for the token, or nothing when the voter cancels. retry is true after a wrong PIN.
  virtual std::optional<std::string> AskPin(const std::string& tokenLabel, const std::string& certName,
                                            bool retry) = 0;
};

class INoticeBox {
 public:
  virtual ~INoticeBox() = default;
  // A modal notice with caption ("Obvestilo") and UTF-8 text; returns when it has been closed.
  virtual void Notice(const std::string& caption, const std::string& text) = 0;
};

}  // namespace kovrax
