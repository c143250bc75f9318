// The server's signed receipt against a ballot signed with a software key: signature and
// receipt rules, signer's unit and organization, time window.
#include <gtest/gtest.h>
#include <openssl/x509_vfy.h>
#include <stdlib.h>
#include <time.h>

#include <functional>
#include <optional>
#include <regex>
#include <string>

#include "shell/KovraException.h"
#include "shell/Messages.h"
#include "submission/ReceiptCheck.h"
#include "support/BallotServerDouble.h"
#include "support/TestPki.h"

namespace kovrax {
namespace {

using submission::Clock;
using submission::TimePoint;

// Sets an environment variable for one test and restores it.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = getenv(name)) old_ = old;
    setenv(name, value, 1);
    tzset();
  }
  ~ScopedEnv() {
    if (old_)
      setenv(name_, old_->c_str(), 1);
    else
      unsetenv(name_);
    tzset();
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

struct StoreFree {
  void operator()(X509_STORE* s) const { X509_STORE_free(s); }
};

class ReceiptCheckTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    pki_ = new test::BallotPki;
    voterKey_ = test::MakeEcKey().release();
    test::CertSpec voter;
    voter.cn = "Volivec";
    voterCert_ = test::IssueCert(voter, voterKey_).release();
    test::CertSpec names;
    names.cn = "Kovra povratnice";
    names.o = "Melsa, d.o.o.";
    names.ou = "kovra";
    lowerUnit_ = test::IssueCert(names, pki_->receiptKey.get(), pki_->serverCa.cert.get(), pki_->serverCa.key.get())
                     .release();
    names.ou = "Kovra";
    names.o = "Melsa d.o.o.";
    otherOrg_ = test::IssueCert(names, pki_->receiptKey.get(), pki_->serverCa.cert.get(), pki_->serverCa.key.get())
                    .release();
  }
  static void TearDownTestSuite() {
    X509_free(otherOrg_);
    X509_free(lowerUnit_);
    X509_free(voterCert_);
    EVP_PKEY_free(voterKey_);
    delete pki_;
  }

  void SetUp() override {
    ballot_ = test::SignBallot("glas=1&Kovra-Streznik=x&Kovra-Profil=3016", voterKey_, voterCert_);
    notBefore_ = Clock::now() - std::chrono::seconds(30);
    store_.reset(X509_STORE_new());
    X509_STORE_add_cert(store_.get(), pki_->serverCa.cert.get());
  }

  // As it arrives from the server: DER decoded anew.
  test::CmsPtr Receipt(X509* signer, EVP_PKEY* key, const test::ReceiptOptions& options = {}) {
    return test::CmsFromDer(test::CmsToDer(test::MakeReceipt(ballot_.get(), signer, key, options).get()));
  }

  void CheckAll(CMS_ContentInfo* receipt, int verifyFlags, const std::string& unit = "Kovra",
                const std::string& organization = "Melsa, d.o.o.") {
    submission::VerifyReceipt(receipt, ballot_.get(), store_.get(), verifyFlags, unit, organization);
    submission::CheckReceiptTime(receipt, ballot_.get(), notBefore_, 30);
  }

  std::string BallotTimeText() {
    return test::UtcTimeText(Clock::to_time_t(submission::GetSigningTime(ballot_.get())));
  }

  static test::BallotPki* pki_;
  static EVP_PKEY* voterKey_;
  static X509* voterCert_;
  static X509* lowerUnit_;
  static X509* otherOrg_;
  test::CmsPtr ballot_;
  TimePoint notBefore_;
  std::unique_ptr<X509_STORE, StoreFree> store_;
};

test::BallotPki* ReceiptCheckTest::pki_ = nullptr;
EVP_PKEY* ReceiptCheckTest::voterKey_ = nullptr;
X509* ReceiptCheckTest::voterCert_ = nullptr;
X509* ReceiptCheckTest::lowerUnit_ = nullptr;
X509* ReceiptCheckTest::otherOrg_ = nullptr;

enum class Signer { Melsa, Foreign, LowerUnit, OtherOrganization };

struct ReceiptCase {
  const char* name;
  Signer signer;
  int verifyFlags;
  // Options from the ballot's own signingTime text and the current time.
  std::function<test::ReceiptOptions(const std::string& ballotTime, std::time_t now)> options;
  int message;  // 0: accepted
  int line;
};

test::ReceiptOptions Plain(const std::string&, std::time_t) { return {}; }

class ReceiptCaseTest : public ReceiptCheckTest, public ::testing::WithParamInterface<ReceiptCase> {};

TEST_P(ReceiptCaseTest, AcceptsOrFailsWithMessageAndLine) {
  const ReceiptCase& c = GetParam();
  X509* cert = pki_->receiptCert.get();
  EVP_PKEY* key = pki_->receiptKey.get();
  if (c.signer == Signer::Foreign) {
    cert = pki_->foreignCert.get();
    key = pki_->foreignKey.get();
  } else if (c.signer == Signer::LowerUnit) {
    cert = lowerUnit_;
  } else if (c.signer == Signer::OtherOrganization) {
    cert = otherOrg_;
  }
  test::CmsPtr receipt = Receipt(cert, key, c.options(BallotTimeText(), std::time(nullptr)));
  ASSERT_NE(receipt, nullptr);
  try {
    CheckAll(receipt.get(), c.verifyFlags);
    EXPECT_EQ(c.message, 0) << "accepted";
  } catch (const KovraException& e) {
    EXPECT_EQ(e.Line, c.line) << e.Message();
    if (c.message != 1025) {
      EXPECT_EQ(e.Message(), LoadStr(c.message));
    }
    EXPECT_EQ(e.FunctionName, "TActiveXThread::Cmd_TxSIG");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReceiptCaseTest,
    ::testing::Values(
        ReceiptCase{"Valid", Signer::Melsa, 3, Plain, 0, 0},
        ReceiptCase{"ChangedIdentifier", Signer::Melsa, 3,
                    [](const std::string&, std::time_t) {
                      test::ReceiptOptions o;
                      o.changeIdentifier = true;
                      return o;
                    },
                    1019, 1543},
        ReceiptCase{"ForeignSignerChained", Signer::Foreign, 3, Plain, 1019, 1543},
        ReceiptCase{"ForeignSignerUnchained", Signer::Foreign, 1, Plain, 0, 0},
        ReceiptCase{"UnitLowerCase", Signer::LowerUnit, 3, Plain, 1034, 1559},
        ReceiptCase{"OtherOrganization", Signer::OtherOrganization, 3, Plain, 1034, 1561},
        ReceiptCase{"NoCertificate", Signer::Melsa, 1,
                    [](const std::string&, std::time_t) {
                      test::ReceiptOptions o;
                      o.noCerts = true;
                      return o;
                    },
                    1034, 1540},
        ReceiptCase{"HourAgo", Signer::Melsa, 3,
                    [](const std::string&, std::time_t now) {
                      test::ReceiptOptions o;
                      o.signingTime = test::UtcTimeText(now - 3600);
                      return o;
                    },
                    1025, 1573},
        ReceiptCase{"HourAhead", Signer::Melsa, 3,
                    [](const std::string&, std::time_t now) {
                      test::ReceiptOptions o;
                      o.signingTime = test::UtcTimeText(now + 3600);
                      return o;
                    },
                    1025, 1573},
        ReceiptCase{"OlderThanBallot", Signer::Melsa, 3,
                    [](const std::string& ballotTime, std::time_t) {
                      test::ReceiptOptions o;
                      std::tm tm{};
                      strptime(ballotTime.c_str(), "%y%m%d%H%M%SZ", &tm);
                      o.signingTime = test::UtcTimeText(timegm(&tm) - 5);
                      return o;
                    },
                    1060, 1576},
        ReceiptCase{"SameSecondAsBallot", Signer::Melsa, 3,
                    [](const std::string& ballotTime, std::time_t) {
                      test::ReceiptOptions o;
                      o.signingTime = ballotTime;
                      return o;
                    },
                    0, 0},
        ReceiptCase{"MonthThirteen", Signer::Melsa, 3,
                    [](const std::string& ballotTime, std::time_t) {
                      test::ReceiptOptions o;
                      o.signingTime = ballotTime.substr(0, 2) + "13" + ballotTime.substr(4);
                      return o;
                    },
                    1025, 1573},
        ReceiptCase{"LetterInDigits", Signer::Melsa, 3,
                    [](const std::string& ballotTime, std::time_t) {
                      test::ReceiptOptions o;
                      o.signingTime = ballotTime.substr(0, 8) + "x" + ballotTime.substr(9);
                      return o;
                    },
                    1025, 1573},
        ReceiptCase{"GeneralizedTime", Signer::Melsa, 3,
                    [](const std::string& ballotTime, std::time_t) {
                      test::ReceiptOptions o;
                      o.signingTime = "20" + ballotTime;
                      o.signingTimeType = V_ASN1_GENERALIZEDTIME;
                      return o;
                    },
                    1025, 1573}),
    [](const ::testing::TestParamInfo<ReceiptCase>& info) { return std::string(info.param.name); });

TEST_F(ReceiptCheckTest, ReceiptForAnotherBallotFails) {
  test::CmsPtr other = test::SignBallot("glas=2", voterKey_, voterCert_);
  test::CmsPtr receipt = test::CmsFromDer(test::CmsToDer(
      test::MakeReceipt(other.get(), pki_->receiptCert.get(), pki_->receiptKey.get()).get()));
  try {
    CheckAll(receipt.get(), 3);
    ADD_FAILURE() << "accepted";
  } catch (const KovraException& e) {
    EXPECT_EQ(e.Line, 1543);
  }
}

TEST_F(ReceiptCheckTest, EmptySignerNamesAreNotChecked) {
  test::CmsPtr receipt = Receipt(lowerUnit_, pki_->receiptKey.get());
  EXPECT_NO_THROW(CheckAll(receipt.get(), 3, "", "Melsa, d.o.o."));
  test::CmsPtr other = Receipt(otherOrg_, pki_->receiptKey.get());
  EXPECT_NO_THROW(CheckAll(other.get(), 3, "Kovra", ""));
}

TEST_F(ReceiptCheckTest, TimeWithoutSigningTimeShowsMidnightInTheMessage) {
  ScopedEnv lc("LC_ALL", "C");
  test::ReceiptOptions o;
  o.signingTime = "20" + BallotTimeText();
  o.signingTimeType = V_ASN1_GENERALIZEDTIME;
  test::CmsPtr receipt = Receipt(pki_->receiptCert.get(), pki_->receiptKey.get(), o);
  try {
    CheckAll(receipt.get(), 3);
    ADD_FAILURE() << "accepted";
  } catch (const KovraException& e) {
    EXPECT_TRUE(std::regex_match(e.Message(), std::regex("Napačen čas \\((\\d\\d:\\d\\d:\\d\\d) < 00:00:00 < "
                                                         "(\\d\\d:\\d\\d:\\d\\d)\\)")))
        << e.Message();
    EXPECT_EQ(e.Message().find(submission::TimeOfDay(notBefore_)), std::string("Napačen čas (").size());
  }
}

TEST_F(ReceiptCheckTest, SigningTimeZIsUtcOtherwiseLocalTime) {
  ScopedEnv tz("TZ", "CET-1");
  std::tm noon{};
  noon.tm_year = 126;
  noon.tm_mon = 0;
  noon.tm_mday = 15;
  noon.tm_hour = 12;
  const TimePoint noonUtc = Clock::from_time_t(timegm(&noon));
  struct Case {
    std::string text;
    std::optional<TimePoint> expected;
  };
  for (const Case& c : std::vector<Case>{{"260115120000Z", noonUtc},
                                         {"260115130000", noonUtc},
                                         {"260115130000+0100", noonUtc},
                                         {"260115130000-0500", noonUtc},
                                         {"2601151300Z", std::nullopt},
                                         {"260229120000Z", std::nullopt},
                                         {"260115240000Z", std::nullopt},
                                         {"260115126000Z", std::nullopt}}) {
    test::ReceiptOptions o;
    o.signingTime = c.text;
    test::CmsPtr receipt = Receipt(pki_->receiptCert.get(), pki_->receiptKey.get(), o);
    EXPECT_EQ(submission::GetSigningTime(receipt.get()), c.expected.value_or(TimePoint{})) << c.text;
  }
  test::ReceiptOptions leap;
  leap.signingTime = "280229000000Z";
  EXPECT_NE(submission::GetSigningTime(Receipt(pki_->receiptCert.get(), pki_->receiptKey.get(), leap).get()),
            TimePoint{});
}

TEST_F(ReceiptCheckTest, FirstCertificateNeedsSignedDataWithCertificates) {
  EXPECT_NE(submission::FirstCertificate(ballot_.get()), nullptr);
  test::ReceiptOptions o;
  o.noCerts = true;
  EXPECT_EQ(submission::FirstCertificate(Receipt(pki_->receiptCert.get(), pki_->receiptKey.get(), o).get()), nullptr);
  BIO* in = BIO_new_mem_buf("data", 4);
  test::CmsPtr data(CMS_data_create(in, CMS_BINARY));
  BIO_free(in);
  EXPECT_EQ(submission::FirstCertificate(data.get()), nullptr);
}

TEST_F(ReceiptCheckTest, EncodedReceiptVerifiesWithOpenSslCli) {
  test::CmsPtr receipt = Receipt(pki_->receiptCert.get(), pki_->receiptKey.get());
  ASSERT_NO_THROW(CheckAll(receipt.get(), 3));
  std::vector<unsigned char> der = submission::EncodeReceipt(receipt.get());
  test::TempDir dir;
  test::WriteFile(dir / "receipt.der", der);
  test::WriteFile(dir / "ballot.der", test::CmsToDer(ballot_.get()));
  test::WriteFile(dir / "ca.pem", test::ToPem(pki_->serverCa.cert.get()));
  std::string out;
  EXPECT_EQ(test::RunCommand("openssl cms -verify_receipt " + (dir / "receipt.der") + " -rctform DER -in " +
                                 (dir / "ballot.der") + " -inform DER -CAfile " + (dir / "ca.pem"),
                             &out),
            0)
      << out;
}

}  // namespace
}  // namespace kovrax
