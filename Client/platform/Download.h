// Fetching a proxy configuration script: a bounded HTTP(S) or file download into a private,
// already unlinked temporary file.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

namespace kovrax {

struct DownloadLimits {
  long connectTimeoutMs = 5000;
  long totalTimeoutMs = 10000;
  size_t maxBytes = 1u << 20;
  // "HOST:PORT:CONNECT-TO-HOST:CONNECT-TO-PORT" entries that redirect connections (tests).
  std::vector<std::string> connectTo;
};

// A temporary file in $TMPDIR (or /tmp) with mode 0600, removed from the folder as soon as it
// is made, so nothing is left behind on any path; the descriptor closes with the object.
class PrivateTempFile {
 public:
  PrivateTempFile();
  ~PrivateTempFile();
  PrivateTempFile(const PrivateTempFile&) = delete;
  PrivateTempFile& operator=(const PrivateTempFile&) = delete;
  bool Ok() const { return fd_ >= 0; }
  int Fd() const { return fd_; }
  // The whole content, at most maxBytes; false when it is longer or cannot be read.
  bool ReadAll(std::string& content, size_t maxBytes) const;

 private:
  int fd_ = -1;
};

// Fetches url (http, https or file) into fd. True only for a complete successful reply of at
// most maxBytes within the time limits. The configured proxies are not used for this fetch.
bool DownloadToFile(const std::string& url, int fd, const DownloadLimits& limits = {});

// Download into a private temporary file and read it back.
bool DownloadText(const std::string& url, std::string& content, const DownloadLimits& limits = {});

}  // namespace kovrax
