// Shared pieces of the submission tests: fixture signers and failure checks.
#pragma once
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "shell/KovraException.h"
#include "shell/Messages.h"
#include "support/TestPki.h"

namespace kovrax::test {

// A root CA and one voter certificate per key type, made once per test program.
struct Signer {
  KeyPtr key;
  CertPtr cert;
};
const Authority& FixtureRoot();
const Signer& RsaSigner();
const Signer& EcSigner();

// Runs fn and checks that it raises the message-table failure number/line (with args when given).
void ExpectRaise(const std::function<void()>& fn, int number, int line, const FmtArgs& args = {});

}  // namespace kovrax::test
