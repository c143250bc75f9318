// A ballot server for tests: TLS on 127.0.0.1 with a fixture server CA. It takes the agent's
// POST of a signed ballot, checks it, and answers with a "Kovra-status" and a receipt made with
// OpenSSL's receipt signing, or misbehaves on request. Also the CMS helpers tests use to make
// ballots and receipts with software keys.
#pragma once
#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/TestPki.h"

namespace kovrax::test {

struct CmsFree {
  void operator()(CMS_ContentInfo* p) const { CMS_ContentInfo_free(p); }
};
using CmsPtr = std::unique_ptr<CMS_ContentInfo, CmsFree>;

Bytes CmsToDer(CMS_ContentInfo* cms);
CmsPtr CmsFromDer(const Bytes& der);

// An encapsulated SignedData over content with SHA-256 and an RFC 2634 receipt request
// (32 random identifier bytes, all receipts, receipts to profile), like the agent's ballot.
CmsPtr SignBallot(const std::string& content, EVP_PKEY* key, X509* cert, const std::string& profile = "3016");

// "YYMMDDhhmmssZ" of a moment.
std::string UtcTimeText(std::time_t t);

struct ReceiptOptions {
  bool changeIdentifier = false;          // signedContentIdentifier differs from the request
  std::optional<std::string> signingTime; // raw text of the signingTime value
  int signingTimeType = V_ASN1_UTCTIME;   // or V_ASN1_GENERALIZEDTIME
  bool noCerts = false;                   // carry no certificate
};

// A signed receipt for the first signer of ballot, signed by signer/key. Throws std::runtime_error.
CmsPtr MakeReceipt(CMS_ContentInfo* ballot, X509* signer, EVP_PKEY* key, const ReceiptOptions& options = {});

// The fixture PKI of a ballot service: a server CA issuing the TLS certificate of "localhost"
// (and 127.0.0.1) and the receipt signer O="Melsa, d.o.o.", OU="Kovra"; a foreign CA with a
// signer of the same names.
struct BallotPki {
  BallotPki();
  Authority serverCa;
  Authority foreignCa;
  KeyPtr tlsKey;
  CertPtr tlsCert;
  KeyPtr receiptKey;
  CertPtr receiptCert;
  KeyPtr foreignKey;
  CertPtr foreignCert;
};

enum class ServerMode {
  Ok,                 // "Kovra-status: OK" with the receipt
  OkDocument,         // "OK <document>"
  Err,                // "ERR <text>", no body
  WrongIdentifier,    // receipt for another content identifier
  ForeignSigner,      // receipt signed under the foreign CA
  TimeOutsideWindow,  // receipt signingTime an hour ago
  TruncatedBody,      // Content-length promised, half the body sent, connection closed
  NoStatus,           // no "Kovra-status" header
};

// One POST as the double saw it.
struct SeenRequest {
  std::string requestLine;
  std::string host;          // "Host" value; empty when absent
  long contentLength = -1;
  std::string profile;       // "Kovra-Profil" value
  bool hasProfile = false;
  Bytes body;
  std::string signedContent; // the encapsulated content, when the body verified
  std::string problem;       // empty when the request was as the agent must send it
};

class BallotServerDouble {
 public:
  // Listens on 127.0.0.1 (port 0: any free port) with the PKI's TLS certificate.
  explicit BallotServerDouble(const BallotPki& pki, int port = 0);
  ~BallotServerDouble();
  BallotServerDouble(const BallotServerDouble&) = delete;
  BallotServerDouble& operator=(const BallotServerDouble&) = delete;

  int Port() const { return port_; }

  // How the next replies are made.
  void SetMode(ServerMode mode);
  void SetChunked(bool chunked);
  void SetDocument(const std::string& document);  // for OkDocument
  void SetErrorText(const std::string& text);     // for Err
  void SetExpectedPath(const std::string& path);  // default "/glasuj"

  std::vector<SeenRequest> Requests() const;
  // Waits (bounded) until at least n requests have been handled.
  bool WaitRequests(size_t n, std::chrono::milliseconds timeout) const;

 private:
  void Serve();
  void Handle(int fd);

  const BallotPki& pki_;
  int listenFd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  ServerMode mode_ = ServerMode::Ok;
  bool chunked_ = false;
  std::string document_ = "42";
  std::string errorText_ = "Volitve so zaključene";
  std::string expectedPath_ = "/glasuj";
  std::vector<SeenRequest> requests_;
  void* ctx_ = nullptr;  // SSL_CTX
  std::thread thread_;
};

}  // namespace kovrax::test
