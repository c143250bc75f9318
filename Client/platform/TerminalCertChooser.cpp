#include "platform/TerminalCertChooser.h"

#include <fcntl.h>
#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace kovrax {

namespace {

std::string NameOf(X509_NAME* name) {
  if (name == nullptr) return {};
  for (int nid : {NID_commonName, NID_organizationalUnitName, NID_organizationName}) {
    const int i = X509_NAME_get_index_by_NID(name, nid, -1);
    if (i < 0) continue;
    unsigned char* utf8 = nullptr;
    const int n = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, i)));
    if (n < 0) continue;
    std::string s(reinterpret_cast<char*>(utf8), static_cast<std::size_t>(n));
    OPENSSL_free(utf8);
    // The terminal gets no control characters from a certificate.
    for (char& c : s)
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    return s;
  }
  return {};
}

std::string TimeText(const ASN1_TIME* t) {
  BIO* bio = BIO_new(BIO_s_mem());
  if (bio == nullptr) return {};
  std::string out;
  if (t != nullptr && ASN1_TIME_print(bio, t) == 1) {
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio, &data);
    if (n > 0) out.assign(data, static_cast<std::size_t>(n));
  }
  BIO_free(bio);
  return out;
}

bool WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// One line from the terminal, without its line end; false on end of input, error or time-out.
bool ReadLine(int fd, std::chrono::steady_clock::time_point deadline, std::string& line) {
  line.clear();
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    const int r = ::poll(&p, 1, static_cast<int>(left.count()));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    char c;
    const ssize_t n = ::read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    if (c == '\n') return true;
    if (c != '\r' && line.size() < 64) line += c;
  }
}

}  // namespace

TerminalCertChooser::TerminalCertChooser(std::string ttyPath, std::chrono::milliseconds timeout)
    : ttyPath_(std::move(ttyPath)), timeout_(timeout) {}

std::string TerminalCertChooser::Describe(X509* cert) {
  std::string s = NameOf(X509_get_subject_name(cert));
  s += " (izdajatelj: " + NameOf(X509_get_issuer_name(cert));
  s += ", velja do: " + TimeText(X509_get0_notAfter(cert)) + ")";
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  if (X509_digest(cert, EVP_sha1(), md, &n) == 1) {
    s += " ";
    char hex[3];
    for (unsigned int i = 0; i < n; ++i) {
      std::snprintf(hex, sizeof hex, "%02X", md[i]);
      s += hex;
    }
  }
  return s;
}

int TerminalCertChooser::Choose(const std::vector<X509*>& candidates) {
  const int fd = ::open(ttyPath_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return -1;
  int chosen = -1;
  const auto deadline = std::chrono::steady_clock::now() + timeout_;
  if (candidates.empty()) {
    WriteAll(fd, "Ni digitalnega potrdila, ki bi ga lahko izbrali.\n");
  } else {
    std::string list = "Izberite digitalno potrdilo za podpis glasovnice:\n";
    for (std::size_t i = 0; i < candidates.size(); ++i)
      list += "  " + std::to_string(i + 1) + ") " + Describe(candidates[i]) + "\n";
    if (WriteAll(fd, list)) {
      std::string line;
      for (int attempt = 0; attempt < 3 && chosen < 0; ++attempt) {
        if (!WriteAll(fd, "Številka (prazno za preklic): ") || !ReadLine(fd, deadline, line) || line.empty()) break;
        std::size_t pos = 0;
        long v = 0;
        for (; pos < line.size() && line[pos] >= '0' && line[pos] <= '9' && v <= 100000; ++pos)
          v = v * 10 + (line[pos] - '0');
        if (pos == line.size() && v >= 1 && static_cast<std::size_t>(v) <= candidates.size())
          chosen = static_cast<int>(v - 1);
      }
    }
  }
  ::close(fd);
  return chosen;
}

}  // namespace kovrax
