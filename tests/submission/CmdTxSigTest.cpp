#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/err.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>

#include "SubmissionTestUtil.h"
#include "gateway/ActiveXThreadUnit.h"
#include "gateway/HTTPHeaderUnit.h"

namespace kovrax::test {
namespace {

class RecordingSink : public INotifySink {
 public:
  void Post(int code, long long value) override { posts.emplace_back(code, value); }
  void PostText(std::string cp1250) override { texts.push_back(std::move(cp1250)); }
  std::string VersionLine() override { return {}; }
  std::vector<std::pair<int, long long>> posts;
  std::vector<std::string> texts;
};

// A worker whose thread has already ended (its port setting is unusable), so that Cmd_TxSIG
// runs on the test's thread against fields the test sets.
class Worker {
 public:
  // query: the request's query text, e.g. "Server=...&Profil=3"; empty for no parameters.
  explicit Worker(const std::string& query, const Signer& signer = RsaSigner()) {
    TSettings settings = TSettings::Defaults();
    settings.Port = "not a port";
    settings.ServerUrl = "https://volitve.example/privzeto";
    t_ = std::make_unique<TActiveXThread>(settings, TServices{});
    t_->Stop();
    t_->Terminated = false;
    t_->Services.Notify = &sink;
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    const std::string request = "POST /sig" + (query.empty() ? "" : "?" + query) + " HTTP/1.1\r\n\r\n";
    EXPECT_EQ(write(fds[1], request.data(), request.size()), static_cast<ssize_t>(request.size()));
    t_->Header = std::make_unique<THTTPHeader>(fds[0]);
    close(fds[0]);
    close(fds[1]);
    EVP_PKEY_up_ref(signer.key.get());
    t_->SignerKey = signer.key.get();
    X509_up_ref(signer.cert.get());
    t_->SignerCert = signer.cert.get();
    t_->SslBio = BIO_new(BIO_s_mem());
    t_->ServerHost = "localhost";
  }
  TActiveXThread& operator*() { return *t_; }
  TActiveXThread* operator->() { return t_.get(); }
  std::string Sent() {
    char* p = nullptr;
    long n = BIO_get_mem_data(t_->SslBio, &p);
    return std::string(p, static_cast<size_t>(n));
  }
  RecordingSink sink;

 private:
  std::unique_ptr<TActiveXThread> t_;
};

std::string Content(const Bytes& ballotDer) {
  const unsigned char* p = ballotDer.data();
  CMS_ContentInfo* cms = d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(ballotDer.size()));
  EXPECT_NE(cms, nullptr);
  ASN1_OCTET_STRING** c = CMS_get0_content(cms);
  std::string out(reinterpret_cast<const char*>(ASN1_STRING_get0_data(*c)), ASN1_STRING_length(*c));
  CMS_ContentInfo_free(cms);
  return out;
}

TEST(CmdTxSig, SendsTheRequestAndKeepsTheBallot) {
  Worker w("Server=https%3A%2F%2Fvolitve.example%2Foddaj&Profil=P%207");
  w->Cmd_TxSIG("\\oddaj\\glas?x=1", "glas=A&ime=%C5%A0ola");
  ASSERT_FALSE(w->Ballot.empty());
  const std::string der(w->Ballot.begin(), w->Ballot.end());
  EXPECT_EQ(w.Sent(), "POST /oddaj/glas?x=1 HTTP/1.1\r\n"
                      "Host: localhost\r\n"
                      "Content-Length: " + std::to_string(der.size()) + "\r\n"
                      "Kovra-Profil: P 7\r\n"
                      "\r\n" + der);
  EXPECT_EQ(Content(w->Ballot),
            "glas=A&ime=%C5%A0ola&Kovra-Streznik=https%3A%2F%2Fvolitve.example%2Foddaj&Kovra-Profil=P+7");
  // 6 with the size, 7 per piece with the running total, 8 at the end.
  const long long size = static_cast<long long>(der.size());
  std::vector<std::pair<int, long long>> want{{6, size}};
  for (long long sent = 512; sent < size; sent += 512) want.emplace_back(7, sent);
  want.emplace_back(7, size);
  want.emplace_back(8, 0);
  EXPECT_EQ(w.sink.posts, want);
  ASSERT_EQ(w.sink.texts.size(), 2u);
  EXPECT_EQ(w.sink.texts[0].substr(0, 3), "B: ");
  EXPECT_EQ(w.sink.texts[1].substr(0, 3), "B: ");
  EXPECT_EQ(w->BallotCms, nullptr) << "released once the exchange is over";
  const auto lower = std::chrono::system_clock::now() - std::chrono::seconds(30);
  EXPECT_LE(w->ReceiptNotBefore, lower);
  EXPECT_GT(w->ReceiptNotBefore, lower - std::chrono::seconds(10));
}

TEST(CmdTxSig, DefaultsAndUnresolvableHost) {
  Worker w("");
  w->ServerHost = "kovrax-test.invalid";
  w->Cmd_TxSIG("/glas", "");
  const std::string sent = w.Sent();
  EXPECT_EQ(sent.substr(0, sent.find("\r\n\r\n") + 4),
            "POST /glas HTTP/1.1\r\nContent-Length: " + std::to_string(w->Ballot.size()) +
                "\r\nKovra-Profil: 3016\r\n\r\n");
  EXPECT_EQ(Content(w->Ballot), "&Kovra-Streznik=https%3A%2F%2Fvolitve.example%2Fprivzeto&Kovra-Profil=3016");
}

TEST(CmdTxSig, EmptyProfileParameterIsSentEmpty) {
  Worker w("Profil=");
  w->Cmd_TxSIG("/glas", "a=1");
  EXPECT_NE(w.Sent().find("\r\nKovra-Profil: \r\n\r\n"), std::string::npos);
  EXPECT_EQ(Content(w->Ballot).substr(Content(w->Ballot).size() - 14), "&Kovra-Profil=");
}

// Every failure empties what a previous submission left for download and re-raises.
TEST(CmdTxSig, FailuresEmptyReceiptAndBallot) {
  struct Case {
    const char* name;
    std::string query;
    std::string body;
    int number;
    int line;
    FmtArgs args;
    std::function<void(Worker&)> setup;
  } cases[] = {
      {"reserved name", "", "a=1&kovra%2Dstreznik=x", 1059, 1405, {}, nullptr},
      {"forged header", "Profil=1%0D%0AX-Forged%3A%201", "a=1", 1050, 1407, {}, nullptr},
      {"no key", "", "a=1", 1014, 1426, {std::string("CMS_add1_signer")},
       [](Worker& w) {
         EVP_PKEY_free(w->SignerKey);
         w->SignerKey = nullptr;
       }},
      {"stopped", "", "a=1", 1003, 1494, {}, [](Worker& w) { w->Terminated = true; }},
      {"stream gone", "", "a=1", 1014, 1492, {std::string("BIO_write")},
       [](Worker& w) {
         BIO_free(w->SslBio);
         static const char ro[] = "x";
         w->SslBio = BIO_new_mem_buf(ro, 1);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Worker w(c.query);
    w->Receipt = {1, 2, 3};
    w->Ballot = {4, 5, 6};
    w->Settings.ReceiptDocument = "prejsnji";
    if (c.setup) c.setup(w);
    ExpectRaise([&] { w->Cmd_TxSIG("/glas", c.body); }, c.number, c.line, c.args);
    EXPECT_TRUE(w->Receipt.empty());
    EXPECT_TRUE(w->Ballot.empty());
    EXPECT_EQ(w->BallotCms, nullptr);
    EXPECT_EQ(w->Settings.ReceiptDocument, "");
    ASSERT_FALSE(w.sink.posts.empty());
    EXPECT_EQ(w.sink.posts.back(), (std::pair<int, long long>{8, 0}));
  }
  ERR_clear_error();
}

}  // namespace
}  // namespace kovrax::test
