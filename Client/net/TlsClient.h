// The TLS client towards the ballot server: the context (protocol table, trust store, cipher
// rule), the session over the connected socket with server name indication and the check of
// the server's certificate, and the bounded close. The worker's Init_SSL, OpenSession and
// Exit_SSL are these with its own settings, fields and trust services.
#pragma once
#include <openssl/bio.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <chrono>
#include <functional>
#include <string>

namespace kovrax {

struct TlsContextOptions {
  std::string Protocol;        // "TLSv12", "TLSv1" or "SSLv23", compared exactly
  bool CipherSetting = false;  // the Cipher setting is not empty: only then Cipher is applied
  std::string Cipher;          // the "Cipher" request parameter (empty when absent)
};

// A new client context. makeTrustStore is called once the context exists; the context owns the
// store it returns. Raises KovraException naming "TActiveXThread::Init_SSL"; whatever the trust
// store maker raises passes through, the context then freed.
SSL_CTX* NewTlsClientContext(const TlsContextOptions& options, const std::function<X509_STORE*()>& makeTrustStore);

struct TlsSessionOptions {
  SSL_CTX* Ctx = nullptr;
  int Socket = -1;
  std::string ServerHost;                     // sent as server name, and the name the certificate must carry
  bool VerifyServer = true;                   // VerifyFlags bit value 1
  std::function<bool(X509*)> ChainTrusted;    // the chain check for the server side
  std::function<BIO*()> NewLineReader;        // pushed over the TLS stream when set
};

// Opens the session. ssl, peerCert and sslBio are filled as they are made, so that after a
// failure CloseTlsSession releases what exists. Raises KovraException with the driver's raise
// sites ("TActiveXThread::Pravi_Kovra", lines 1149 to 1171).
void OpenTlsSession(const TlsSessionOptions& options, SSL*& ssl, X509*& peerCert, BIO*& sslBio);

// Closes the session: close notify exchange for at most wait, a status text through postText
// when the peer did not complete it, then frees the stream, session, context and certificate
// and sets them null. The socket stays open. Raises nothing.
void CloseTlsSession(SSL*& ssl, SSL_CTX*& ctx, X509*& peerCert, BIO*& sslBio,
                     const std::function<void(const std::string&)>& postText,
                     std::chrono::milliseconds wait = std::chrono::milliseconds(2000));

// Whether the server certificate is to be checked, from the VerifyFlags text (3 when not a number).
bool VerifyServerCertificate(const std::string& verifyFlags);

// Whether the certificate names host (DNS name, or IP address for a literal address).
bool CertificateNamesHost(X509* cert, const std::string& host);

}  // namespace kovrax
