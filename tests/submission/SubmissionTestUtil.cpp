#include "SubmissionTestUtil.h"

namespace kovrax::test {
namespace {

Signer MakeSigner(KeyPtr key, const std::string& cn) {
  CertSpec spec;
  spec.cn = cn;
  spec.o = "Volivci";
  spec.keyUsage = "digitalSignature,nonRepudiation";
  Signer s;
  s.cert = IssueCert(spec, key.get(), FixtureRoot().cert.get(), FixtureRoot().key.get());
  s.key = std::move(key);
  return s;
}

}  // namespace

const Authority& FixtureRoot() {
  static const Authority root = MakeRootCa("Fixture Voter Root", "Fixture");
  return root;
}

const Signer& RsaSigner() {
  static const Signer s = MakeSigner(MakeRsaKey(), "Volivec RSA");
  return s;
}

const Signer& EcSigner() {
  static const Signer s = MakeSigner(MakeEcKey(), "Volivec EC");
  return s;
}

void ExpectRaise(const std::function<void()>& fn, int number, int line, const FmtArgs& args) {
  try {
    fn();
    ADD_FAILURE() << "no failure raised, expected " << number << "/" << line;
  } catch (const KovraException& e) {
    EXPECT_EQ(e.Line, line) << e.Message();
    EXPECT_EQ(e.Message(), args.empty() ? LoadStr(number) : FmtLoadStr(number, args));
    EXPECT_EQ(e.FunctionName, "TActiveXThread::Cmd_TxSIG");
  }
}

}  // namespace kovrax::test
