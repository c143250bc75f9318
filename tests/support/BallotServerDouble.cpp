#include "support/BallotServerDouble.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace kovrax::test {
namespace {

void Check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("ballot double: ") + what);
}

struct BioFree {
  void operator()(BIO* b) const { BIO_free(b); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;

struct SslFree {
  void operator()(SSL* s) const { SSL_free(s); }
};
using SslPtr = std::unique_ptr<SSL, SslFree>;

CMS_SignerInfo* FirstSigner(CMS_ContentInfo* cms) {
  STACK_OF(CMS_SignerInfo)* sis = CMS_get0_SignerInfos(cms);
  Check(sis && sk_CMS_SignerInfo_num(sis) > 0, "no signer");
  return sk_CMS_SignerInfo_value(sis, 0);
}

void ReplaceSignedAttr(CMS_SignerInfo* si, int nid, int type, const void* bytes, int len) {
  for (int i; (i = CMS_signed_get_attr_by_NID(si, nid, -1)) >= 0;) X509_ATTRIBUTE_free(CMS_signed_delete_attr(si, i));
  Check(CMS_signed_add1_attr_by_NID(si, nid, type, bytes, len) == 1, "add attribute");
}

bool SendAll(SSL* ssl, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    int n = SSL_write(ssl, data.data() + done, static_cast<int>(data.size() - done));
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// The header up to the empty line, bounded.
bool ReadHeader(SSL* ssl, std::string& header) {
  char c;
  while (header.size() < 16384) {
    if (SSL_read(ssl, &c, 1) != 1) return false;
    header += c;
    if (header.size() >= 4 && header.compare(header.size() - 4, 4, "\r\n\r\n") == 0) return true;
  }
  return false;
}

}  // namespace

Bytes CmsToDer(CMS_ContentInfo* cms) {
  unsigned char* buf = nullptr;
  int len = i2d_CMS_ContentInfo(cms, &buf);
  Check(len > 0, "i2d_CMS_ContentInfo");
  Bytes out(buf, buf + len);
  OPENSSL_free(buf);
  return out;
}

CmsPtr CmsFromDer(const Bytes& der) {
  const unsigned char* p = der.data();
  return CmsPtr(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(der.size())));
}

CmsPtr SignBallot(const std::string& content, EVP_PKEY* key, X509* cert, const std::string& profile) {
  const unsigned flags = CMS_PARTIAL | CMS_BINARY | CMS_NOSMIMECAP;
  BioPtr in(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
  CmsPtr cms(CMS_sign(nullptr, nullptr, nullptr, in.get(), flags));
  Check(cms != nullptr, "CMS_sign");
  CMS_SignerInfo* si = CMS_add1_signer(cms.get(), cert, key, EVP_sha256(), CMS_BINARY | CMS_NOSMIMECAP);
  Check(si != nullptr, "CMS_add1_signer");

  GENERAL_NAME* name = GENERAL_NAME_new();
  ASN1_IA5STRING* ia5 = ASN1_IA5STRING_new();
  ASN1_STRING_set(ia5, profile.data(), static_cast<int>(profile.size()));
  GENERAL_NAME_set0_value(name, GEN_DNS, ia5);
  GENERAL_NAMES* names = GENERAL_NAMES_new();
  sk_GENERAL_NAME_push(names, name);
  STACK_OF(GENERAL_NAMES)* to = sk_GENERAL_NAMES_new_null();
  sk_GENERAL_NAMES_push(to, names);
  CMS_ReceiptRequest* rr = CMS_ReceiptRequest_create0(nullptr, -1, 0, nullptr, to);
  Check(rr != nullptr, "CMS_ReceiptRequest_create0");
  int added = CMS_add1_ReceiptRequest(si, rr);
  CMS_ReceiptRequest_free(rr);
  Check(added > 0, "CMS_add1_ReceiptRequest");

  BioPtr data(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
  Check(CMS_final(cms.get(), data.get(), nullptr, flags) == 1, "CMS_final");
  return cms;
}

std::string UtcTimeText(std::time_t t) {
  struct tm tm {};
  gmtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%y%m%d%H%M%SZ", &tm);
  return buf;
}

CmsPtr MakeReceipt(CMS_ContentInfo* ballot, X509* signer, EVP_PKEY* key, const ReceiptOptions& options) {
  const unsigned flags = CMS_BINARY | (options.noCerts ? CMS_NOCERTS : 0u);
  CmsPtr receipt(CMS_sign_receipt(FirstSigner(ballot), signer, key, nullptr, flags));
  Check(receipt != nullptr, "CMS_sign_receipt");
  if (!options.changeIdentifier && !options.signingTime) return receipt;

  // The library signs a receipt in one go; for a changed identifier or signing time the same
  // content and msgSigDigest are signed again by hand.
  ASN1_OCTET_STRING** content = CMS_get0_content(receipt.get());
  Check(content && *content, "receipt content");
  Bytes rct(ASN1_STRING_get0_data(*content), ASN1_STRING_get0_data(*content) + ASN1_STRING_length(*content));
  if (options.changeIdentifier) {
    // Receipt ::= SEQUENCE { version, contentType id-data, OCTET STRING identifier, ... }
    static const unsigned char kIdHead[] = {0x06, 0x09, 0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x07, 0x01, 0x04};
    auto at = std::search(rct.begin(), rct.end(), std::begin(kIdHead), std::end(kIdHead));
    Check(at != rct.end(), "receipt identifier");
    rct.at(static_cast<size_t>(at - rct.begin()) + sizeof kIdHead + 1) ^= 0xFF;
  }
  CMS_SignerInfo* original = FirstSigner(receipt.get());
  int msgSigDigest = CMS_signed_get_attr_by_NID(original, NID_id_smime_aa_msgSigDigest, -1);
  Check(msgSigDigest >= 0, "msgSigDigest");

  const unsigned signFlags = CMS_PARTIAL | CMS_BINARY | CMS_NOSMIMECAP | (options.noCerts ? CMS_NOCERTS : 0u);
  CmsPtr again(CMS_sign(nullptr, nullptr, nullptr, nullptr, signFlags));
  Check(again && CMS_set1_eContentType(again.get(), OBJ_nid2obj(NID_id_smime_ct_receipt)) == 1, "receipt type");
  CMS_SignerInfo* si = CMS_add1_signer(again.get(), signer, key, EVP_sha256(), signFlags);
  Check(si != nullptr, "CMS_add1_signer");
  Check(CMS_signed_add1_attr(si, CMS_signed_get_attr(original, msgSigDigest)) == 1, "copy msgSigDigest");
  if (options.signingTime)
    ReplaceSignedAttr(si, NID_pkcs9_signingTime, options.signingTimeType, options.signingTime->data(),
                      static_cast<int>(options.signingTime->size()));
  BioPtr in(BIO_new_mem_buf(rct.data(), static_cast<int>(rct.size())));
  Check(CMS_final(again.get(), in.get(), nullptr, signFlags) == 1, "CMS_final");
  return again;
}

BallotPki::BallotPki() {
  serverCa = MakeRootCa("Melsa Test CA G2", "Melsa, d.o.o.");
  foreignCa = MakeRootCa("Foreign Test CA", "Foreign");

  tlsKey = MakeEcKey();
  CertSpec tls;
  tls.cn = "localhost";
  tls.o = "Melsa, d.o.o.";
  tls.dnsNames = {"localhost"};
  tls.ipAddresses = {"127.0.0.1"};
  tls.keyUsage = "digitalSignature";
  tls.extKeyUsage = "serverAuth";
  tlsCert = IssueCert(tls, tlsKey.get(), serverCa.cert.get(), serverCa.key.get());

  CertSpec signer;
  signer.cn = "Kovra povratnice";
  signer.o = "Melsa, d.o.o.";
  signer.ou = "Kovra";
  receiptKey = MakeEcKey();
  receiptCert = IssueCert(signer, receiptKey.get(), serverCa.cert.get(), serverCa.key.get());
  foreignKey = MakeEcKey();
  foreignCert = IssueCert(signer, foreignKey.get(), foreignCa.cert.get(), foreignCa.key.get());
}

BallotServerDouble::BallotServerDouble(const BallotPki& pki, int port) : pki_(pki) {
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  Check(ctx != nullptr, "SSL_CTX_new");
  ctx_ = ctx;
  Check(SSL_CTX_use_certificate(ctx, pki.tlsCert.get()) == 1, "certificate");
  Check(SSL_CTX_use_PrivateKey(ctx, pki.tlsKey.get()) == 1, "key");

  listenFd_ = socket(AF_INET, SOCK_STREAM, 0);
  Check(listenFd_ >= 0, "socket");
  int one = 1;
  setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  Check(bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0, "bind");
  Check(listen(listenFd_, 8) == 0, "listen");
  socklen_t len = sizeof addr;
  getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  thread_ = std::thread([this] { Serve(); });
}

BallotServerDouble::~BallotServerDouble() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  close(listenFd_);
  SSL_CTX_free(static_cast<SSL_CTX*>(ctx_));
}

void BallotServerDouble::SetMode(ServerMode mode) {
  std::lock_guard<std::mutex> lock(mutex_);
  mode_ = mode;
}
void BallotServerDouble::SetChunked(bool chunked) {
  std::lock_guard<std::mutex> lock(mutex_);
  chunked_ = chunked;
}
void BallotServerDouble::SetDocument(const std::string& document) {
  std::lock_guard<std::mutex> lock(mutex_);
  document_ = document;
}
void BallotServerDouble::SetErrorText(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  errorText_ = text;
}
void BallotServerDouble::SetExpectedPath(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  expectedPath_ = path;
}

std::vector<SeenRequest> BallotServerDouble::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

bool BallotServerDouble::WaitRequests(size_t n, std::chrono::milliseconds timeout) const {
  auto until = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < until) {
    if (Requests().size() >= n) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return Requests().size() >= n;
}

void BallotServerDouble::Serve() {
  while (!stop_) {
    pollfd p{listenFd_, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    int fd = accept(listenFd_, nullptr, nullptr);
    if (fd < 0) continue;
    timeval tv{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    try {
      Handle(fd);
    } catch (const std::exception&) {
    }
    ERR_clear_error();
    close(fd);
  }
}

void BallotServerDouble::Handle(int fd) {
  SslPtr ssl(SSL_new(static_cast<SSL_CTX*>(ctx_)));
  if (!ssl) return;
  SSL_set_fd(ssl.get(), fd);
  if (SSL_accept(ssl.get()) != 1) return;

  ServerMode mode;
  bool chunked;
  std::string document, errorText, expectedPath;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    mode = mode_;
    chunked = chunked_;
    document = document_;
    errorText = errorText_;
    expectedPath = expectedPath_;
  }

  SeenRequest seen;
  std::string header;
  if (!ReadHeader(ssl.get(), header)) return;
  auto addProblem = [&seen](const std::string& p) { seen.problem += (seen.problem.empty() ? "" : "; ") + p; };
  size_t start = 0;
  bool first = true;
  while (true) {
    size_t end = header.find("\r\n", start);
    if (end == std::string::npos || end == start) break;
    std::string line = header.substr(start, end - start);
    start = end + 2;
    if (first) {
      seen.requestLine = line;
      first = false;
      if (line != "POST " + expectedPath + " HTTP/1.1") addProblem("request line \"" + line + "\"");
      continue;
    }
    size_t colon = line.find(": ");
    std::string name = line.substr(0, colon), value = colon == std::string::npos ? "" : line.substr(colon + 2);
    if (name == "Host") {
      seen.host = value;
    } else if (name == "Content-Length") {
      seen.contentLength = std::strtol(value.c_str(), nullptr, 10);
    } else if (name == "Kovra-Profil") {
      seen.profile = value;
      seen.hasProfile = true;
    } else {
      addProblem("unexpected header \"" + line + "\"");
    }
  }
  if (!seen.hasProfile) addProblem("no Kovra-Profil");
  if (seen.contentLength < 1 || seen.contentLength > 1 << 20) {
    addProblem("bad Content-Length");
  } else {
    seen.body.resize(static_cast<size_t>(seen.contentLength));
    size_t got = 0;
    while (got < seen.body.size()) {
      int n = SSL_read(ssl.get(), seen.body.data() + got, static_cast<int>(seen.body.size() - got));
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    if (got != seen.body.size()) addProblem("body shorter than Content-Length");
  }

  CmsPtr ballot = CmsFromDer(seen.body);
  if (!ballot) {
    addProblem("body is no CMS object");
  } else {
    BioPtr out(BIO_new(BIO_s_mem()));
    if (CMS_verify(ballot.get(), nullptr, nullptr, nullptr, out.get(), CMS_NO_SIGNER_CERT_VERIFY | CMS_BINARY) != 1) {
      addProblem("ballot signature does not verify");
    } else {
      char* data = nullptr;
      long len = BIO_get_mem_data(out.get(), &data);
      seen.signedContent.assign(data, static_cast<size_t>(len));
      CMS_ReceiptRequest* rr = nullptr;
      if (CMS_get1_ReceiptRequest(FirstSigner(ballot.get()), &rr) != 1) addProblem("no receipt request");
      CMS_ReceiptRequest_free(rr);
    }
  }
  ERR_clear_error();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(seen);
  }

  std::string reply = "HTTP/1.1 200 OK\r\n";
  if (!seen.problem.empty()) {
    SendAll(ssl.get(), reply + "Kovra-status: ERR double: " + seen.problem + "\r\n\r\n");
    SSL_shutdown(ssl.get());
    return;
  }
  if (mode == ServerMode::Err) {
    SendAll(ssl.get(), reply + "Kovra-status: ERR " + errorText + "\r\n\r\n");
    SSL_shutdown(ssl.get());
    return;
  }

  ReceiptOptions options;
  X509* signer = pki_.receiptCert.get();
  EVP_PKEY* key = pki_.receiptKey.get();
  if (mode == ServerMode::WrongIdentifier) options.changeIdentifier = true;
  if (mode == ServerMode::ForeignSigner) {
    signer = pki_.foreignCert.get();
    key = pki_.foreignKey.get();
  }
  if (mode == ServerMode::TimeOutsideWindow) options.signingTime = UtcTimeText(std::time(nullptr) - 3600);
  Bytes receipt = CmsToDer(MakeReceipt(ballot.get(), signer, key, options).get());
  std::string body(receipt.begin(), receipt.end());

  if (mode != ServerMode::NoStatus)
    reply += mode == ServerMode::OkDocument ? "Kovra-status: OK " + document + "\r\n" : "Kovra-status: OK\r\n";
  if (mode == ServerMode::TruncatedBody) {
    reply += "Content-length: " + std::to_string(body.size()) + "\r\n\r\n" + body.substr(0, body.size() / 2);
  } else if (chunked) {
    char size[24];
    size_t half = body.size() / 2;
    reply += "Transfer-Encoding: chunked\r\n\r\n";
    std::snprintf(size, sizeof size, "%zx", half);
    reply += std::string(size) + "\r\n" + body.substr(0, half) + "\r\n";
    std::snprintf(size, sizeof size, "%zx", body.size() - half);
    reply += std::string(size) + "\r\n" + body.substr(half) + "\r\n0\r\n\r\n";
  } else {
    reply += "Content-length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  }
  SendAll(ssl.get(), reply);
  SSL_shutdown(ssl.get());
}

}  // namespace kovrax::test
