// Certificate stores: directory-backed system stores, the personal store on the key storage and
// in-memory candidate stores.
#include "platform/CertStore.h"

#include <dirent.h>
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cerrno>
#include <cstring>
#include <set>

#include "platform/KeyStorage.h"

namespace kovrax {
namespace {

struct X509Free { void operator()(X509* x) const { X509_free(x); } };
struct BioFree { void operator()(BIO* b) const { BIO_free(b); } };
struct GeneralNamesFree { void operator()(GENERAL_NAMES* g) const { GENERAL_NAMES_free(g); } };
using X509Ptr = std::unique_ptr<X509, X509Free>;

std::string Upper(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return s;
}

// Parses exactly one DER certificate; trailing bytes make it something else.
X509Ptr ParseDer(const std::vector<unsigned char>& der) {
  if (der.empty() || der.size() > static_cast<size_t>(LONG_MAX)) return nullptr;
  const unsigned char* p = der.data();
  ERR_set_mark();
  X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
  ERR_pop_to_mark();
  if (cert && p != der.data() + der.size()) cert.reset();
  return cert;
}

std::string HexLower(const std::vector<unsigned char>& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

CertContextPtr MakeContext(std::vector<unsigned char> der) {
  auto ctx = std::make_shared<CertContext>();
  ctx->Der = std::move(der);
  return ctx;
}

CertContextPtr FindIssuerIn(const std::vector<CertContextPtr>& certs, const CertContext& cert) {
  X509Ptr subject = ParseDer(cert.Der);
  if (!subject) return nullptr;
  const X509_NAME* issuerName = X509_get_issuer_name(subject.get());
  for (const auto& candidate : certs) {
    X509Ptr c = ParseDer(candidate->Der);
    if (c && X509_NAME_cmp(X509_get_subject_name(c.get()), issuerName) == 0) return candidate;
  }
  return nullptr;
}

bool ReadWholeFile(const std::string& path, std::vector<unsigned char>& out, size_t limit) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st{};
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && static_cast<size_t>(st.st_size) <= limit;
  out.clear();
  if (ok) {
    out.resize(static_cast<size_t>(st.st_size));
    size_t done = 0;
    while (done < out.size()) {
      ssize_t n = read(fd, out.data() + done, out.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    ok = done == out.size();
  }
  close(fd);
  return ok;
}

bool WriteAll(int fd, const std::vector<unsigned char>& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// mkdir -p with world-readable folders: the machine stores are read by every user.
bool MakeFolders(const std::string& path) {
  struct stat st{};
  if (stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  if (errno != ENOENT) return false;
  auto slash = path.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !MakeFolders(path.substr(0, slash))) return false;
  return mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
}

constexpr size_t kMaxCertFile = 1 << 20;

class MemoryStore : public ICertStore {
 public:
  std::vector<CertContextPtr> Enumerate() override { return certs_; }
  AddResult AddNew(const std::vector<unsigned char>& der) override {
    if (!ParseDer(der)) return AddResult::Failed;
    for (const auto& c : certs_)
      if (c->Der == der) return AddResult::Exists;
    certs_.push_back(MakeContext(der));
    return AddResult::Added;
  }
  bool AddAlways(const CertContextPtr& cert) override {
    if (!cert) return false;
    certs_.push_back(cert);
    return true;
  }
  CertContextPtr FindIssuer(const CertContext& cert) override { return FindIssuerIn(certs_, cert); }

 private:
  std::vector<CertContextPtr> certs_;
};

class PersonalStore : public ICertStore {
 public:
  explicit PersonalStore(KeyStorage* keys) : keys_(keys) {}
  std::vector<CertContextPtr> Enumerate() override { return keys_->PersonalCertificates(); }
  AddResult AddNew(const std::vector<unsigned char>&) override { return AddResult::Failed; }
  bool AddAlways(const CertContextPtr&) override { return false; }
  CertContextPtr FindIssuer(const CertContext& cert) override { return FindIssuerIn(Enumerate(), cert); }

 private:
  KeyStorage* keys_;
};

class DirectoryStore : public ICertStore {
 public:
  DirectoryStore(std::string folder, std::string bundle) : folder_(std::move(folder)), bundle_(std::move(bundle)) {}

  std::vector<CertContextPtr> Enumerate() override {
    std::vector<CertContextPtr> out;
    std::set<std::vector<unsigned char>> seen;
    auto keep = [&](std::vector<unsigned char> der) {
      if (seen.insert(der).second) out.push_back(MakeContext(std::move(der)));
    };
    if (!bundle_.empty()) {
      for (auto& der : ReadBundle()) keep(std::move(der));
    }
    for (const auto& name : FileNames()) {
      std::vector<unsigned char> der;
      if (ReadWholeFile(folder_ + "/" + name, der, kMaxCertFile) && ParseDer(der)) keep(std::move(der));
    }
    return out;
  }

  AddResult AddNew(const std::vector<unsigned char>& der) override {
    if (!ParseDer(der)) return AddResult::Failed;
    for (const auto& c : Enumerate())
      if (c->Der == der) return AddResult::Exists;
    if (!MakeFolders(folder_)) return AddResult::Failed;

    std::string tmp = folder_ + "/.tmp-XXXXXX";
    int fd = mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0) return AddResult::Failed;
    bool written = fchmod(fd, 0644) == 0 && WriteAll(fd, der) && fsync(fd) == 0;
    written = (close(fd) == 0) && written;
    AddResult result = AddResult::Failed;
    if (written) {
      // link() never replaces an existing file, so nothing already in the store can be lost,
      // also when another process adds the same certificate at the same moment.
      const std::string base = folder_ + "/" + HexLower(Sha1Thumbprint(der));
      for (int k = 0; k < 16; ++k) {
        std::string target = base + (k == 0 ? std::string() : "-" + std::to_string(k)) + ".der";
        if (link(tmp.c_str(), target.c_str()) == 0) {
          result = AddResult::Added;
          break;
        }
        if (errno != EEXIST) break;
        std::vector<unsigned char> there;
        if (ReadWholeFile(target, there, kMaxCertFile) && there == der) {
          result = AddResult::Exists;
          break;
        }
      }
    }
    unlink(tmp.c_str());
    if (result == AddResult::Added) {
      int dfd = open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (dfd >= 0) {
        fsync(dfd);
        close(dfd);
      }
    }
    return result;
  }

  bool AddAlways(const CertContextPtr&) override { return false; }
  CertContextPtr FindIssuer(const CertContext& cert) override { return FindIssuerIn(Enumerate(), cert); }

 private:
  std::vector<std::string> FileNames() const {
    std::vector<std::string> names;
    DIR* dir = opendir(folder_.c_str());
    if (!dir) return names;
    while (dirent* e = readdir(dir)) {
      if (e->d_name[0] == '.') continue;  // ".", "..", temporary files of AddNew
      names.emplace_back(e->d_name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
  }

  std::vector<std::vector<unsigned char>> ReadBundle() const {
    std::vector<std::vector<unsigned char>> out;
    std::vector<unsigned char> text;
    if (!ReadWholeFile(bundle_, text, 64u << 20)) return out;
    std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
    if (!bio) return out;
    ERR_set_mark();
    while (X509Ptr cert{PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)}) {
      int len = i2d_X509(cert.get(), nullptr);
      if (len <= 0) continue;
      std::vector<unsigned char> der(static_cast<size_t>(len));
      unsigned char* p = der.data();
      if (i2d_X509(cert.get(), &p) == len) out.push_back(std::move(der));
    }
    ERR_pop_to_mark();
    return out;
  }

  std::string folder_;
  std::string bundle_;
};

const char* CanonicalStoreName(const std::string& name) {
  std::string u = Upper(name);
  if (u == "ROOT") return "ROOT";
  if (u == "CA") return "CA";
  if (u == "AUTHROOT") return "AUTHROOT";
  return nullptr;
}

}  // namespace

std::string StoreFolder(const TSettings& settings, const std::string& name, StoreLocation location) {
  const char* canonical = CanonicalStoreName(name);
  if (!canonical) return {};
  const std::string& base = location == StoreLocation::CurrentUser ? settings.UserStoreDir : settings.MachineStoreDir;
  if (base.empty()) return {};
  return base + "/" + canonical;
}

std::unique_ptr<ICertStore> OpenSystemStore(const TSettings& settings, KeyStorage* keys, const std::string& name,
                                            StoreLocation location, std::string* error) {
  auto fail = [&](std::string why) -> std::unique_ptr<ICertStore> {
    if (error) *error = std::move(why);
    return nullptr;
  };
  if (Upper(name) == "MY") {
    if (location != StoreLocation::CurrentUser) return fail("the local machine has no personal store");
    if (!keys) return fail("no key storage");
    return std::make_unique<PersonalStore>(keys);
  }
  const char* canonical = CanonicalStoreName(name);
  if (!canonical) return fail("unknown store \"" + name + "\"");
  std::string folder = StoreFolder(settings, name, location);
  if (folder.empty()) return fail("no folder configured for store \"" + name + "\"");

  struct stat st{};
  if (stat(folder.c_str(), &st) == 0) {
    if (!S_ISDIR(st.st_mode)) return fail(folder + " is not a folder");
    if (access(folder.c_str(), R_OK | X_OK) != 0) return fail(folder + ": " + std::strerror(errno));
  } else if (errno != ENOENT) {
    return fail(folder + ": " + std::strerror(errno));
  }
  bool machineRoot = location == StoreLocation::LocalMachine && std::strcmp(canonical, "ROOT") == 0;
  return std::make_unique<DirectoryStore>(folder, machineRoot ? settings.SystemTrustBundle : std::string());
}

std::unique_ptr<ICertStore> NewMemoryStore() { return std::make_unique<MemoryStore>(); }

std::vector<unsigned char> Sha1Thumbprint(const std::vector<unsigned char>& der) {
  std::vector<unsigned char> out(20);
  unsigned int len = 0;
  if (EVP_Digest(der.data(), der.size(), out.data(), &len, EVP_sha1(), nullptr) != 1 || len != out.size())
    return {};
  return out;
}

std::string SimpleDisplayName(const std::vector<unsigned char>& der, bool issuer) {
  X509Ptr cert = ParseDer(der);
  if (!cert) return {};
  const X509_NAME* name = issuer ? X509_get_issuer_name(cert.get()) : X509_get_subject_name(cert.get());
  for (int nid : {NID_commonName, NID_organizationalUnitName, NID_organizationName, NID_pkcs9_emailAddress}) {
    int idx = X509_NAME_get_index_by_NID(name, nid, -1);
    if (idx < 0) continue;
    const ASN1_STRING* value = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, idx));
    unsigned char* utf8 = nullptr;
    int len = ASN1_STRING_to_UTF8(&utf8, value);
    if (len < 0) continue;
    std::string text(reinterpret_cast<char*>(utf8), static_cast<size_t>(len));
    OPENSSL_free(utf8);
    if (!text.empty()) return text;
  }
  // The last resort is an e-mail address in the alternative name.
  std::unique_ptr<GENERAL_NAMES, GeneralNamesFree> alt(static_cast<GENERAL_NAMES*>(
      X509_get_ext_d2i(cert.get(), issuer ? NID_issuer_alt_name : NID_subject_alt_name, nullptr, nullptr)));
  for (int i = 0; alt && i < sk_GENERAL_NAME_num(alt.get()); ++i) {
    const GENERAL_NAME* gn = sk_GENERAL_NAME_value(alt.get(), i);
    if (gn->type != GEN_EMAIL) continue;
    const ASN1_IA5STRING* mail = gn->d.rfc822Name;
    std::string text(reinterpret_cast<const char*>(ASN1_STRING_get0_data(mail)),
                     static_cast<size_t>(ASN1_STRING_length(mail)));
    if (!text.empty()) return text;
  }
  return {};
}

}  // namespace kovrax
