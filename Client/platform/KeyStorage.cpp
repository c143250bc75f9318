// PKCS#11 key storage: the voter's certificates on present tokens and signatures with their keys.
#include "platform/KeyStorage.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <p11-kit/pkcs11.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <tuple>
#include <utility>

namespace kovrax {
namespace {

using Bytes = std::vector<unsigned char>;

// Modules built on OpenSSL (SoftHSM among them) leave entries in the caller's error queue;
// whatever a module call puts there is dropped so that it never surfaces as our failure.
class ErrorQueueGuard {
 public:
  ErrorQueueGuard() { ERR_set_mark(); }
  ~ErrorQueueGuard() { ERR_pop_to_mark(); }
  ErrorQueueGuard(const ErrorQueueGuard&) = delete;
  ErrorQueueGuard& operator=(const ErrorQueueGuard&) = delete;
};

std::string Trimmed(const unsigned char* text, size_t len) {
  std::string s(reinterpret_cast<const char*>(text), len);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
  return s;
}

// One loaded module. Several storages of one module share PKCS#11's process-wide
// initialisation: it is finalised when the last user that initialised it goes away.
class Module {
 public:
  static std::shared_ptr<Module> Load(const std::string& path, std::string* error) {
    auto fail = [&](std::string why) -> std::shared_ptr<Module> {
      if (error) *error = std::move(why);
      return nullptr;
    };
    ErrorQueueGuard errors;
    // The module stays mapped: modules register exit handlers and threads of their own.
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (!handle) {
      const char* why = dlerror();
      return fail(why ? why : "dlopen failed");
    }
    auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(handle, "C_GetFunctionList"));
    CK_FUNCTION_LIST_PTR list = nullptr;
    if (!getList || getList(&list) != CKR_OK || !list) {
      dlclose(handle);
      return fail(path + ": not a PKCS#11 module");
    }
    auto module = std::shared_ptr<Module>(new Module(handle, list));
    std::lock_guard<std::mutex> lock(RegistryMutex());
    auto& entry = Registry()[list];
    if (entry.users == 0) {
      CK_C_INITIALIZE_ARGS args{};
      args.flags = CKF_OS_LOCKING_OK;
      CK_RV rv = list->C_Initialize(&args);
      if (rv == CKR_OK) {
        entry.initialisedHere = true;
      } else if (rv == CKR_CRYPTOKI_ALREADY_INITIALIZED) {
        entry.initialisedHere = false;  // someone else in the process owns it
      } else {
        Registry().erase(list);
        module->list_ = nullptr;
        return fail(path + ": C_Initialize failed (0x" + [&] {
                      char b[32];
                      std::snprintf(b, sizeof b, "%lx", static_cast<unsigned long>(rv));
                      return std::string(b);
                    }() + ")");
      }
    }
    ++entry.users;
    return module;
  }

  ~Module() {
    if (list_) {
      ErrorQueueGuard errors;
      std::lock_guard<std::mutex> lock(RegistryMutex());
      auto it = Registry().find(list_);
      if (it != Registry().end() && --it->second.users == 0) {
        if (it->second.initialisedHere) list_->C_Finalize(nullptr);
        Registry().erase(it);
      }
    }
    dlclose(handle_);
  }

  CK_FUNCTION_LIST_PTR F() const { return list_; }
  std::atomic<long>& Sessions() { return sessions_; }

 private:
  struct Entry {
    int users = 0;
    bool initialisedHere = false;
  };
  static std::mutex& RegistryMutex() {
    static std::mutex m;
    return m;
  }
  static std::map<CK_FUNCTION_LIST_PTR, Entry>& Registry() {
    static std::map<CK_FUNCTION_LIST_PTR, Entry> r;
    return r;
  }

  Module(void* handle, CK_FUNCTION_LIST_PTR list) : handle_(handle), list_(list) {}
  void* handle_;
  CK_FUNCTION_LIST_PTR list_;
  std::atomic<long> sessions_{0};
};

// A session that is closed on every path.
class Session {
 public:
  Session() = default;
  Session(std::shared_ptr<Module> module, CK_SLOT_ID slot) : module_(std::move(module)) {
    CK_SESSION_HANDLE h = CK_INVALID_HANDLE;
    if (module_->F()->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &h) == CKR_OK) {
      handle_ = h;
      ++module_->Sessions();
    }
  }
  ~Session() { Close(); }
  Session(Session&& o) noexcept : module_(std::move(o.module_)), handle_(std::exchange(o.handle_, CK_INVALID_HANDLE)) {}
  Session& operator=(Session&& o) noexcept {
    if (this != &o) {
      Close();
      module_ = std::move(o.module_);
      handle_ = std::exchange(o.handle_, CK_INVALID_HANDLE);
    }
    return *this;
  }
  void Close() {
    if (handle_ != CK_INVALID_HANDLE) {
      module_->F()->C_CloseSession(handle_);
      --module_->Sessions();
      handle_ = CK_INVALID_HANDLE;
    }
  }
  bool Open() const { return handle_ != CK_INVALID_HANDLE; }
  CK_SESSION_HANDLE H() const { return handle_; }

 private:
  std::shared_ptr<Module> module_;
  CK_SESSION_HANDLE handle_ = CK_INVALID_HANDLE;
};

struct TokenInfo {
  CK_SLOT_ID Slot = 0;
  std::string Id;
  std::string Label;
  CK_FLAGS Flags = 0;
};

bool TokenOf(CK_FUNCTION_LIST_PTR f, CK_SLOT_ID slot, TokenInfo& t) {
  CK_TOKEN_INFO info{};
  if (f->C_GetTokenInfo(slot, &info) != CKR_OK) return false;
  t.Slot = slot;
  t.Label = Trimmed(info.label, sizeof info.label);
  // Slot numbers change between runs and insertions; maker, model, serial and label do not.
  t.Id = Trimmed(info.manufacturerID, sizeof info.manufacturerID) + "/" + Trimmed(info.model, sizeof info.model) +
         "/" + Trimmed(info.serialNumber, sizeof info.serialNumber) + "/" + t.Label;
  t.Flags = info.flags;
  return true;
}

std::vector<TokenInfo> PresentTokens(CK_FUNCTION_LIST_PTR f) {
  std::vector<CK_SLOT_ID> slots;
  for (int attempt = 0; attempt < 4; ++attempt) {
    CK_ULONG count = 0;
    if (f->C_GetSlotList(CK_TRUE, nullptr, &count) != CKR_OK) return {};
    slots.resize(count);
    if (count == 0) break;
    CK_RV rv = f->C_GetSlotList(CK_TRUE, slots.data(), &count);
    if (rv == CKR_OK) {
      slots.resize(count);
      break;
    }
    if (rv != CKR_BUFFER_TOO_SMALL) return {};
    slots.clear();
  }
  std::vector<TokenInfo> tokens;
  for (CK_SLOT_ID slot : slots) {
    TokenInfo t;
    if (TokenOf(f, slot, t)) tokens.push_back(std::move(t));
  }
  return tokens;
}

bool GetAttribute(CK_FUNCTION_LIST_PTR f, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE o, CK_ATTRIBUTE_TYPE type, Bytes& out) {
  CK_ATTRIBUTE a{type, nullptr, 0};
  if (f->C_GetAttributeValue(s, o, &a, 1) != CKR_OK || a.ulValueLen == CK_UNAVAILABLE_INFORMATION) return false;
  out.assign(a.ulValueLen, 0);
  if (out.empty()) return true;
  a.pValue = out.data();
  if (f->C_GetAttributeValue(s, o, &a, 1) != CKR_OK || a.ulValueLen > out.size()) return false;
  out.resize(a.ulValueLen);
  return true;
}

std::vector<CK_OBJECT_HANDLE> FindObjects(CK_FUNCTION_LIST_PTR f, CK_SESSION_HANDLE s, CK_OBJECT_CLASS cls,
                                          const Bytes* id = nullptr) {
  std::vector<CK_ATTRIBUTE> tmpl;
  tmpl.push_back({CKA_CLASS, &cls, sizeof cls});
  CK_CERTIFICATE_TYPE x509 = CKC_X_509;
  if (cls == CKO_CERTIFICATE) tmpl.push_back({CKA_CERTIFICATE_TYPE, &x509, sizeof x509});
  if (id) tmpl.push_back({CKA_ID, const_cast<unsigned char*>(id->data()), id->size()});
  std::vector<CK_OBJECT_HANDLE> out;
  if (f->C_FindObjectsInit(s, tmpl.data(), tmpl.size()) != CKR_OK) return out;
  for (int rounds = 0; rounds < 1024; ++rounds) {  // a module that never says "done" cannot hang us
    CK_OBJECT_HANDLE batch[64];
    CK_ULONG n = 0;
    if (f->C_FindObjects(s, batch, 64, &n) != CKR_OK || n == 0) break;
    out.insert(out.end(), batch, batch + std::min<CK_ULONG>(n, 64));
  }
  f->C_FindObjectsFinal(s);
  return out;
}

std::set<Bytes> ObjectIds(CK_FUNCTION_LIST_PTR f, CK_SESSION_HANDLE s, CK_OBJECT_CLASS cls) {
  std::set<Bytes> ids;
  for (CK_OBJECT_HANDLE o : FindObjects(f, s, cls)) {
    Bytes id;
    if (GetAttribute(f, s, o, CKA_ID, id) && !id.empty()) ids.insert(std::move(id));
  }
  return ids;
}

bool LoggedIn(CK_FUNCTION_LIST_PTR f, CK_SESSION_HANDLE s) {
  CK_SESSION_INFO info{};
  if (f->C_GetSessionInfo(s, &info) != CKR_OK) return false;
  return info.state == CKS_RO_USER_FUNCTIONS || info.state == CKS_RW_USER_FUNCTIONS;
}

// Private keys of a token that needs a login are often hidden until then; its public key under
// the same CKA_ID then stands for it. A certificate alone (an authority's) never counts.
std::set<Bytes> KeyIds(CK_FUNCTION_LIST_PTR f, CK_SESSION_HANDLE s, CK_FLAGS tokenFlags) {
  std::set<Bytes> ids = ObjectIds(f, s, CKO_PRIVATE_KEY);
  if ((tokenFlags & CKF_LOGIN_REQUIRED) && !LoggedIn(f, s)) {
    for (auto& id : ObjectIds(f, s, CKO_PUBLIC_KEY)) ids.insert(id);
  }
  return ids;
}

// ---- PIN sources for a missing prompt: the environment, else the controlling terminal ----

class EnvPinPrompt : public IPinPrompt {
 public:
  std::optional<std::string> AskPin(const std::string&, const std::string&, bool retry) override {
    const char* pin = std::getenv("KOVRAX_PKCS11_PIN");
    if (!pin || retry) return std::nullopt;  // the same wrong PIN again would only use up tries
    return std::string(pin);
  }
};

class TerminalPinPrompt : public IPinPrompt {
 public:
  std::optional<std::string> AskPin(const std::string& tokenLabel, const std::string& certName, bool retry) override {
    int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    termios saved{};
    bool haveTermios = tcgetattr(fd, &saved) == 0;
    if (haveTermios) {
      termios quiet = saved;
      quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
      quiet.c_lflag |= ECHONL;
      tcsetattr(fd, TCSAFLUSH, &quiet);
    }
    std::string prompt = std::string(retry ? "Wrong PIN. " : "") + "PIN for token \"" + tokenLabel + "\"" +
                         (certName.empty() ? "" : " (" + certName + ")") + ": ";
    Put(fd, prompt);
    std::string pin;
    bool complete = false;
    // A voter who walks away must not stall the agent for ever.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    while (pin.size() < 256) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd p{fd, POLLIN, 0};
      int r = poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), INT_MAX)));
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) break;
      char c;
      ssize_t n = read(fd, &c, 1);
      if (n < 0 && errno == EINTR) continue;
      if (n != 1) break;
      if (c == '\n' || c == '\r') {
        complete = true;
        break;
      }
      pin += c;
    }
    if (haveTermios) tcsetattr(fd, TCSAFLUSH, &saved);
    close(fd);
    if (!complete || pin.empty()) {
      OPENSSL_cleanse(pin.data(), pin.size());
      return std::nullopt;
    }
    return pin;
  }

 private:
  static void Put(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
      ssize_t n = write(fd, text.data() + done, text.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;
      done += static_cast<size_t>(n);
    }
  }
};

class HeadlessPinPrompt : public IPinPrompt {
 public:
  std::optional<std::string> AskPin(const std::string& tokenLabel, const std::string& certName, bool retry) override {
    if (std::getenv("KOVRAX_PKCS11_PIN")) return env_.AskPin(tokenLabel, certName, retry);
    return tty_.AskPin(tokenLabel, certName, retry);
  }

 private:
  EnvPinPrompt env_;
  TerminalPinPrompt tty_;
};

constexpr int kPinAttempts = 3;

// ---- the key ----

class Pkcs11Key : public TokenKey {
 public:
  Pkcs11Key(std::shared_ptr<Module> module, const CertContext& cert, TokenKeyType type, size_t sigLen,
            std::string certName, IPinPrompt* pin, Session session, CK_FLAGS tokenFlags)
      : module_(std::move(module)),
        tokenId_(cert.TokenId),
        tokenLabel_(cert.TokenLabel),
        keyId_(cert.KeyId),
        type_(type),
        sigLen_(sigLen),
        certName_(std::move(certName)),
        pin_(pin),
        session_(std::move(session)),
        tokenFlags_(tokenFlags) {}

  TokenKeyType Type() const override { return type_; }

  bool Sign(const unsigned char* in, size_t inLen, std::vector<unsigned char>& out) override {
    out.clear();
    try {
      ErrorQueueGuard errors;
      bool ok = SignOnce(in, inLen, out);
      if (!ok) out.clear();
      return ok;
    } catch (...) {
      out.clear();
      return false;
    }
  }

 private:
  CK_FUNCTION_LIST_PTR F() const { return module_->F(); }

  // A token taken out closes its sessions, so a session that still answers is on our token.
  // Otherwise the token is looked up again and a new session opened (a card put back in).
  bool EnsureSession(CK_STATE& state) {
    CK_SESSION_INFO info{};
    if (session_.Open() && F()->C_GetSessionInfo(session_.H(), &info) == CKR_OK) {
      state = info.state;
      return true;
    }
    session_.Close();
    key_ = CK_INVALID_HANDLE;
    for (const TokenInfo& present : PresentTokens(F())) {
      if (present.Id != tokenId_) continue;
      tokenFlags_ = present.Flags;
      session_ = Session(module_, present.Slot);
      if (!session_.Open() || F()->C_GetSessionInfo(session_.H(), &info) != CKR_OK) return false;
      state = info.state;
      return true;
    }
    return false;
  }

  bool Login(CK_USER_TYPE user) {
    if (tokenFlags_ & CKF_PROTECTED_AUTHENTICATION_PATH) {
      CK_RV rv = F()->C_Login(session_.H(), user, nullptr, 0);
      return rv == CKR_OK || rv == CKR_USER_ALREADY_LOGGED_IN;
    }
    HeadlessPinPrompt headless;
    IPinPrompt* prompt = pin_ ? pin_ : &headless;
    for (int attempt = 0; attempt < kPinAttempts; ++attempt) {
      std::optional<std::string> pin = prompt->AskPin(tokenLabel_, certName_, attempt > 0);
      if (!pin) return false;
      CK_RV rv = F()->C_Login(session_.H(), user, reinterpret_cast<CK_UTF8CHAR_PTR>(pin->data()), pin->size());
      OPENSSL_cleanse(pin->data(), pin->size());
      if (rv == CKR_OK || rv == CKR_USER_ALREADY_LOGGED_IN) return true;
      if (rv != CKR_PIN_INCORRECT && rv != CKR_PIN_INVALID && rv != CKR_PIN_LEN_RANGE) return false;
    }
    return false;
  }

  bool FindKey() {
    auto keys = FindObjects(F(), session_.H(), CKO_PRIVATE_KEY, &keyId_);
    if (keys.empty()) return false;
    key_ = keys.front();
    Bytes always;
    alwaysAuthenticate_ = GetAttribute(F(), session_.H(), key_, CKA_ALWAYS_AUTHENTICATE, always) &&
                          always.size() == 1 && always[0] == CK_TRUE;
    return true;
  }

  bool SignOnce(const unsigned char* in, size_t inLen, std::vector<unsigned char>& out) {
    CK_STATE state = CKS_RO_PUBLIC_SESSION;
    if (!EnsureSession(state)) return false;
    bool loggedIn = state == CKS_RO_USER_FUNCTIONS || state == CKS_RW_USER_FUNCTIONS;
    if ((tokenFlags_ & CKF_LOGIN_REQUIRED) && !loggedIn) {
      key_ = CK_INVALID_HANDLE;  // private objects may look different once logged in
      if (!Login(CKU_USER)) return false;
    }

    CK_MECHANISM mech{type_ == TokenKeyType::Rsa ? CKM_RSA_PKCS : CKM_ECDSA, nullptr, 0};
    if (key_ == CK_INVALID_HANDLE && !FindKey()) return false;
    CK_RV rv = F()->C_SignInit(session_.H(), &mech, key_);
    if (rv == CKR_KEY_HANDLE_INVALID || rv == CKR_OBJECT_HANDLE_INVALID) {
      if (!FindKey()) return false;
      rv = F()->C_SignInit(session_.H(), &mech, key_);
    }
    if (rv != CKR_OK) return false;
    if (alwaysAuthenticate_ && !Login(CKU_CONTEXT_SPECIFIC)) {
      session_.Close();  // the only sure way to end the started operation
      return false;
    }
    out.assign(sigLen_ ? sigLen_ : 512, 0);
    CK_ULONG len = out.size();
    rv = F()->C_Sign(session_.H(), const_cast<unsigned char*>(in), inLen, out.data(), &len);
    if (rv == CKR_BUFFER_TOO_SMALL && len > out.size() && len <= 16384) {
      out.assign(len, 0);
      rv = F()->C_Sign(session_.H(), const_cast<unsigned char*>(in), inLen, out.data(), &len);
    }
    if (rv == CKR_BUFFER_TOO_SMALL) session_.Close();
    if (rv != CKR_OK || len > out.size()) return false;
    out.resize(len);
    return true;
  }

  std::shared_ptr<Module> module_;
  std::string tokenId_;
  std::string tokenLabel_;
  Bytes keyId_;
  TokenKeyType type_;
  size_t sigLen_;
  std::string certName_;
  IPinPrompt* pin_;
  Session session_;
  CK_FLAGS tokenFlags_;
  CK_OBJECT_HANDLE key_ = CK_INVALID_HANDLE;
  bool alwaysAuthenticate_ = false;
};

class Pkcs11Storage : public KeyStorage {
 public:
  explicit Pkcs11Storage(std::shared_ptr<Module> module) : module_(std::move(module)) {}

  std::vector<CertContextPtr> PersonalCertificates() override {
    try {
      ErrorQueueGuard errors;
      return Collect();
    } catch (...) {
      return {};
    }
  }

  std::unique_ptr<TokenKey> AcquirePrivateKey(const CertContext& cert, IPinPrompt* pin) override {
    try {
      ErrorQueueGuard errors;
      return Acquire(cert, pin);
    } catch (...) {
      return nullptr;
    }
  }

  long OpenSessionCount() const override { return module_->Sessions().load(); }

 private:
  CK_FUNCTION_LIST_PTR F() const { return module_->F(); }

  std::vector<CertContextPtr> Collect() {
    std::vector<CertContext> found;
    for (const TokenInfo& t : PresentTokens(F())) {
      Session s(module_, t.Slot);
      if (!s.Open()) continue;
      std::set<Bytes> keyIds = KeyIds(F(), s.H(), t.Flags);
      for (CK_OBJECT_HANDLE o : FindObjects(F(), s.H(), CKO_CERTIFICATE)) {
        CertContext c;
        if (!GetAttribute(F(), s.H(), o, CKA_ID, c.KeyId) || c.KeyId.empty() || !keyIds.count(c.KeyId)) continue;
        if (!GetAttribute(F(), s.H(), o, CKA_VALUE, c.Der) || c.Der.empty()) continue;
        c.TokenId = t.Id;
        c.TokenLabel = t.Label;
        found.push_back(std::move(c));
      }
    }
    // Slot order is the module's whim; this order is not.
    std::sort(found.begin(), found.end(), [](const CertContext& a, const CertContext& b) {
      return std::tie(a.TokenLabel, a.TokenId, a.KeyId, a.Der) < std::tie(b.TokenLabel, b.TokenId, b.KeyId, b.Der);
    });
    std::vector<CertContextPtr> out;
    std::set<Bytes> seen;
    for (auto& c : found) {
      if (seen.insert(c.Der).second) out.push_back(std::make_shared<CertContext>(std::move(c)));
    }
    return out;
  }

  std::unique_ptr<TokenKey> Acquire(const CertContext& cert, IPinPrompt* pin) {
    if (cert.TokenId.empty() || cert.KeyId.empty()) return nullptr;
    const unsigned char* p = cert.Der.data();
    std::unique_ptr<X509, decltype(&X509_free)> x509(d2i_X509(nullptr, &p, static_cast<long>(cert.Der.size())),
                                                     X509_free);
    if (!x509) return nullptr;
    EVP_PKEY* pub = X509_get0_pubkey(x509.get());
    if (!pub) return nullptr;
    TokenKeyType type;
    size_t sigLen;
    switch (EVP_PKEY_get_base_id(pub)) {
      case EVP_PKEY_RSA:
        type = TokenKeyType::Rsa;
        sigLen = static_cast<size_t>(EVP_PKEY_get_size(pub));
        break;
      case EVP_PKEY_EC:
        type = TokenKeyType::Ec;
        sigLen = 2 * static_cast<size_t>((EVP_PKEY_get_bits(pub) + 7) / 8);
        break;
      default:
        return nullptr;
    }
    for (const TokenInfo& t : PresentTokens(F())) {
      if (t.Id != cert.TokenId) continue;
      Session s(module_, t.Slot);
      if (!s.Open()) continue;
      if (!KeyIds(F(), s.H(), t.Flags).count(cert.KeyId)) continue;
      return std::make_unique<Pkcs11Key>(module_, cert, type, sigLen, SimpleDisplayName(cert.Der, false), pin,
                                         std::move(s), t.Flags);
    }
    return nullptr;
  }

  std::shared_ptr<Module> module_;
};

}  // namespace

std::unique_ptr<KeyStorage> KeyStorage::Load(const std::string& module, std::string* error) {
  if (module.empty()) {
    if (error) *error = "no PKCS#11 module configured";
    return nullptr;
  }
  auto m = Module::Load(module, error);
  if (!m) return nullptr;
  return std::make_unique<Pkcs11Storage>(std::move(m));
}

}  // namespace kovrax
