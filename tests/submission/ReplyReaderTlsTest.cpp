// The reply reader and the receipt check against the ballot-server double over real TLS.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "platform/PlatformKeys.h"
#include "shell/KovraException.h"
#include "shell/Messages.h"
#include "submission/ReceiptCheck.h"
#include "submission/ReplyReader.h"
#include "support/BallotServerDouble.h"
#include "support/TestPki.h"

namespace kovrax {
namespace {

using test::ServerMode;

struct Outcome {
  int line = 0;  // 0: accepted
  std::string message;
  std::string document;
  test::SeenRequest seen;
};

class ReplyOverTlsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    pki_ = new test::BallotPki;
    voterKey_ = test::MakeEcKey().release();
    test::CertSpec voter;
    voter.cn = "Volivec";
    voterCert_ = test::IssueCert(voter, voterKey_).release();
    server_ = new test::BallotServerDouble(*pki_);
  }
  static void TearDownTestSuite() {
    delete server_;
    X509_free(voterCert_);
    EVP_PKEY_free(voterKey_);
    delete pki_;
  }

  // One exchange as the agent makes it: TLS to the double with the server CA trusted, the
  // request, then the reply read through the line reader and the receipt checked.
  Outcome Submit(ServerMode mode, bool chunked) {
    server_->SetMode(mode);
    server_->SetChunked(chunked);
    const size_t before = server_->Requests().size();
    test::CmsPtr ballot = test::SignBallot("glas=A&Kovra-Streznik=x&Kovra-Profil=3016", voterKey_, voterCert_);
    test::Bytes der = test::CmsToDer(ballot.get());
    const auto notBefore = submission::Clock::now() - std::chrono::seconds(30);

    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    X509_STORE_add_cert(SSL_CTX_get_cert_store(ctx), pki_->serverCa.cert.get());
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    timeval tv{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(server_->Port()));
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    SSL* ssl = SSL_new(ctx);
    SSL_set_fd(ssl, fd);
    SSL_set_tlsext_host_name(ssl, "localhost");
    EXPECT_EQ(SSL_connect(ssl), 1);
    BIO* sslBio = BIO_new(BIO_f_ssl());
    BIO_set_ssl(sslBio, ssl, BIO_NOCLOSE);
    BIO* stream = BIO_push(NewLineReaderBio(), sslBio);

    std::string header = "POST /glasuj HTTP/1.1\r\nHost: localhost\r\nContent-Length: " + std::to_string(der.size()) +
                         "\r\nKovra-Profil: 3016\r\n\r\n";
    BIO_write(sslBio, header.data(), static_cast<int>(header.size()));
    BIO_write(sslBio, der.data(), static_cast<int>(der.size()));
    (void)BIO_flush(sslBio);

    Outcome out;
    try {
      std::string status;
      submission::ReceiptCmsPtr receipt = submission::ReadReceipt(stream, status);
      out.document = submission::ReceiptDocumentOf(status);
      submission::VerifyReceipt(receipt.get(), ballot.get(), SSL_CTX_get_cert_store(ctx), 3, "Kovra",
                                "Melsa, d.o.o.");
      submission::CheckReceiptTime(receipt.get(), ballot.get(), notBefore, 30);
    } catch (const KovraException& e) {
      out.line = e.Line;
      out.message = e.Message();
    }
    BIO_free_all(stream);
    SSL_free(ssl);
    close(fd);
    SSL_CTX_free(ctx);
    ERR_clear_error();
    if (server_->WaitRequests(before + 1, std::chrono::seconds(10))) out.seen = server_->Requests().back();
    return out;
  }

  static test::BallotPki* pki_;
  static EVP_PKEY* voterKey_;
  static X509* voterCert_;
  static test::BallotServerDouble* server_;
};

test::BallotPki* ReplyOverTlsTest::pki_ = nullptr;
EVP_PKEY* ReplyOverTlsTest::voterKey_ = nullptr;
X509* ReplyOverTlsTest::voterCert_ = nullptr;
test::BallotServerDouble* ReplyOverTlsTest::server_ = nullptr;

TEST_F(ReplyOverTlsTest, EachServerBehaviourGivesItsOutcome) {
  struct Case {
    ServerMode mode;
    bool chunked;
    int line;
    int message;  // 0 with line 1510: the server's text
  };
  const Case cases[] = {
      {ServerMode::Ok, false, 0, 0},
      {ServerMode::Ok, true, 0, 0},
      {ServerMode::OkDocument, true, 0, 0},
      {ServerMode::Err, false, 1510, 0},
      {ServerMode::WrongIdentifier, false, 1543, 1019},
      {ServerMode::ForeignSigner, true, 1543, 1019},
      {ServerMode::TimeOutsideWindow, false, 1573, 1025},
      {ServerMode::TruncatedBody, false, 1525, 1020},
      {ServerMode::NoStatus, false, 1511, 1020},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.mode) * 10 + c.chunked);
    Outcome out = Submit(c.mode, c.chunked);
    EXPECT_EQ(out.seen.problem, "");
    EXPECT_EQ(out.seen.requestLine, "POST /glasuj HTTP/1.1");
    EXPECT_EQ(out.seen.profile, "3016");
    EXPECT_EQ(out.line, c.line) << out.message;
    if (c.line == 1510) {
      EXPECT_EQ(out.message, "Volitve so zaključene");
    } else if (c.message != 0 && c.message != 1025) {
      EXPECT_EQ(out.message, LoadStr(c.message));
    }
    if (c.mode == ServerMode::OkDocument) {
      EXPECT_EQ(out.document, "42");
    }
  }
}

}  // namespace
}  // namespace kovrax
