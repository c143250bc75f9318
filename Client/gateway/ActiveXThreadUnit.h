// TActiveXThread: the gateway worker. It owns the local HTTP endpoint and every object of a
// submission; its methods are implemented in one file per concern across the subsystem folders.
#pragma once
#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "shell/Dialogs.h"
#include "shell/KovraException.h"
#include "shell/Notify.h"
#include "shell/Settings.h"

namespace kovrax {

class THTTPHeader;
class KeyStorage;       // PKCS#11 key storage (platform)
struct AuthorityTable;  // the embedded authorities (pki)
enum class StoreLocation;  // platform/CertStore.h

// What the worker needs from outside; none is owned. Null members fall back to headless defaults
// where the owning subsystem defines one.
struct TServices {
  INotifySink* Notify = nullptr;
  ICertChooser* Chooser = nullptr;
  IPinPrompt* Pin = nullptr;
  INoticeBox* Notice = nullptr;
  KeyStorage* Keys = nullptr;
  const AuthorityTable* Authorities = nullptr;
};

constexpr int kInvalidSocket = -1;

class TActiveXThread {
 public:
  // The worker owns its copy of the settings from now on. The thread starts running at once.
  TActiveXThread(TSettings settings, TServices services);
  ~TActiveXThread();
  TActiveXThread(const TActiveXThread&) = delete;
  TActiveXThread& operator=(const TActiveXThread&) = delete;

  // The owner's stop: set Terminated, wake whatever the thread blocks in, join. Idempotent.
  void Stop();
  // Waits until the listener is bound; the port in use, or -1 when the gateway ended or the wait timed out.
  int WaitListening(std::chrono::milliseconds timeout);
  // True once Execute has returned.
  bool Finished() const { return finished_.load(); }

  // ---- gateway: thread body, notifications, request parameters (gateway/) ----
  void Execute();
  void Notify(int code, long long value);
  void PostText(const std::string& utf8);
  void PostSslErrors();
  std::string GetParam(const std::string& name, const std::string& def) const;

  // ---- gateway: requests, URL codec, replies (gateway/) ----
  void HTTP_Get(const std::string& path);
  void HTTP_Post(const std::string& path);
  bool IsAllowedUrl(const std::string& url) const;
  bool IsValidTarget(const std::string& text) const;
  static std::string URLDecode(const std::string& text);
  static std::string URLEncode(const std::string& text);
  void GetReceipt();
  void GetBallot();
  void GetStatus();
  void Redirect(int socket, const std::string& target, int flags);
  std::string URLReencode(const std::string& url, int flags);
  void SendError(const KovraException& e, const std::string& defaultTarget);

  // ---- gateway: bounds of one request and the owner's wake-up (gateway/) ----
  // The rest of a header after its first data, and then the body, must each arrive within this time.
  std::atomic<int> ReadTimeoutMs{10000};
  static constexpr size_t kMaxHeaderBytes = 64 * 1024;
  static constexpr long long kMaxBodyBytes = 1024 * 1024;
  // Readable once Stop() was called: blocking waits of the worker poll it beside their socket.
  int WakeFd() const { return wakeFd_; }
  // Shuts down (both directions) and closes ClientSocket when valid; worker thread only.
  void CloseClient();
  // Sends all of data on the browser connection in one call; true when it went out whole.
  bool SendToClient(const std::string& data);

  // ---- submission (submission/) ----
  void Pravi_Kovra(const std::string& path, const std::string& body);
  void Cmd_TxSIG(const std::string& path, const std::string& body);
  static CMS_ReceiptRequest* GetReceiptRequest(const std::string& profile);
  // Everything after the ballot has been sent: the server's reply and the receipt check against
  // BallotCms. Raises KovraException; Cmd_TxSIG's clean-up then empties Receipt and Ballot.
  void ReadServerReply(const std::string& path);
  struct BallotCmsFree {
    void operator()(CMS_ContentInfo* p) const { CMS_ContentInfo_free(p); }
  };
  // The ballot being submitted, decoded, and the earliest receipt time accepted (now minus
  // TimeTolerance when the ballot was encoded). Set by Cmd_TxSIG before ReadServerReply runs;
  // BallotCms is released when Cmd_TxSIG returns or fails.
  std::unique_ptr<CMS_ContentInfo, BallotCmsFree> BallotCms;
  std::chrono::system_clock::time_point ReceiptNotBefore{};

  // ---- certificates and trust (pki/) ----
  bool LoadFromCAPI(EVP_PKEY*& key, X509*& cert);
  bool VerifyCert(X509* cert, char kind);
  X509_STORE* LoadCerts(char kind);
  void CheckRoots();
  void LoadFromStore(X509_STORE* store, const std::vector<std::string>& permitted, const std::string& storeName,
                     StoreLocation location);
  void InstallRoot(const std::vector<unsigned char>& der, const std::string& storeName);
  static std::vector<std::string> GetIssuerFPs(const std::string& builtIn, const std::string& param, char kind);
  static X509* GetX509(const unsigned char* der, std::size_t len);
  static std::string CertThumbprint(X509* cert);

  // ---- TLS and the way to the server (net/) ----
  SSL_CTX* Init_SSL();
  // Opens TLS on the connected ServerSocket: server name ServerHost (the driver sets it from
  // hostport, port cut off), handshake, PeerCert, its check when VerifyFlags has bit value 1
  // (chain to a server-side anchor and the name ServerHost), then SslBio with the line reader.
  // Raises with the driver's sites (1149 to 1171); Exit_SSL releases whatever it made.
  void OpenSession();
  // Closes and frees SslBio, Ssl, SslCtx and PeerCert (the socket stays open); raises nothing.
  void Exit_SSL();
  void Connect_socket(const std::string& hostport);

  // ---- state: the fields of the worker, under their own names ----
  EVP_PKEY* SignerKey = nullptr;
  X509* SignerCert = nullptr;
  SSL_CTX* SslCtx = nullptr;
  SSL* Ssl = nullptr;
  BIO* SslBio = nullptr;
  X509* PeerCert = nullptr;
  std::vector<unsigned char> Receipt;  // empty means none
  std::vector<unsigned char> Ballot;   // empty means none
  std::unique_ptr<THTTPHeader> Header;
  std::string ReceiptFetchPath;
  std::string BallotFetchPath;
  std::string LastErrUrl;
  bool ReplyPending = false;
  std::string ServerHost;  // at most 255 bytes
  std::array<bool, 5> RootFlags{};
  int ServerSocket = kInvalidSocket;
  std::atomic<int> ListenSocket{kInvalidSocket};
  std::atomic<int> ClientSocket{kInvalidSocket};

  TSettings Settings;
  TServices Services;
  std::atomic<bool> Terminated{false};

 private:
  void Run();  // Execute plus the bookkeeping of WaitListening/Finished

  std::atomic<bool> finished_{false};
  std::mutex listenMutex_;
  std::condition_variable listenCv_;
  int boundPort_ = 0;  // 0 while binding, >0 bound, -1 gave up
  std::thread thread_;
  // gateway
  int BindListener();  // binds ListenSocket by the Port rules, returns the port in use
  void ServeConnection();
  int wakeFd_ = -1;
  std::mutex socketMutex_;  // ClientSocket's close against the owner's shutdown
};

}  // namespace kovrax
