#include "platform/Download.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <mutex>

namespace kovrax {

namespace {

struct CurlFree { void operator()(CURL* c) const { curl_easy_cleanup(c); } };
struct SlistFree { void operator()(curl_slist* l) const { curl_slist_free_all(l); } };

struct Sink {
  int fd;
  size_t written = 0;
  size_t limit;
  bool failed = false;
};

size_t WriteBody(char* data, size_t size, size_t count, void* user) {
  auto* sink = static_cast<Sink*>(user);
  const size_t length = size * count;
  if (length > sink->limit - sink->written) {
    sink->failed = true;
    return 0;  // makes the transfer fail
  }
  size_t done = 0;
  while (done < length) {
    const ssize_t n = write(sink->fd, data + done, length - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      sink->failed = true;
      return 0;
    }
    done += static_cast<size_t>(n);
  }
  sink->written += length;
  return length;
}

void GlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::string TempFolder() {
  const char* dir = std::getenv("TMPDIR");
  if (dir && *dir == '/') return dir;
  return "/tmp";
}

}  // namespace

PrivateTempFile::PrivateTempFile() {
  std::string path = TempFolder() + "/kovrax-pac-XXXXXX";
  fd_ = mkostemp(path.data(), O_CLOEXEC);
  if (fd_ >= 0) unlink(path.c_str());
}

PrivateTempFile::~PrivateTempFile() {
  if (fd_ >= 0) close(fd_);
}

bool PrivateTempFile::ReadAll(std::string& content, size_t maxBytes) const {
  content.clear();
  if (fd_ < 0) return false;
  char buffer[16384];
  off_t offset = 0;
  for (;;) {
    const ssize_t n = pread(fd_, buffer, sizeof buffer, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    if (static_cast<size_t>(n) > maxBytes - content.size()) return false;
    content.append(buffer, static_cast<size_t>(n));
    offset += n;
  }
}

bool DownloadToFile(const std::string& url, int fd, const DownloadLimits& limits) {
  if (fd < 0 || url.empty() || url.find('\0') != std::string::npos) return false;
  GlobalInit();
  std::unique_ptr<CURL, CurlFree> curl(curl_easy_init());
  if (!curl) return false;
  std::unique_ptr<curl_slist, SlistFree> connectTo;
  for (const std::string& entry : limits.connectTo) {
    curl_slist* grown = curl_slist_append(connectTo.get(), entry.c_str());
    if (!grown) return false;
    connectTo.release();
    connectTo.reset(grown);
  }
  Sink sink{fd, 0, limits.maxBytes};
  CURL* c = curl.get();
  bool ok = curl_easy_setopt(c, CURLOPT_URL, url.c_str()) == CURLE_OK &&
            curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https,file") == CURLE_OK &&
            curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https") == CURLE_OK &&
            curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L) == CURLE_OK &&
            curl_easy_setopt(c, CURLOPT_MAXREDIRS, 5L) == CURLE_OK &&
            curl_easy_setopt(c, CURLOPT_NOPROXY, "*") == CURLE_OK &&
            curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
            curl_easy_setopt(c, CURLOPT_FAILONERROR, 1L) == CURLE_OK &&
            curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, limits.connectTimeoutMs) == CURLE_OK &&
            curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, limits.totalTimeoutMs) == CURLE_OK &&
            curl_easy_setopt(c, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(limits.maxBytes)) == CURLE_OK &&
            curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, WriteBody) == CURLE_OK &&
            curl_easy_setopt(c, CURLOPT_WRITEDATA, &sink) == CURLE_OK;
  if (ok && connectTo) ok = curl_easy_setopt(c, CURLOPT_CONNECT_TO, connectTo.get()) == CURLE_OK;
  if (!ok) return false;
  if (curl_easy_perform(c) != CURLE_OK || sink.failed) return false;
  long status = 0;
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
  // file:// has no status; HTTP needs a 2xx.
  return status == 0 || (status >= 200 && status < 300);
}

bool DownloadText(const std::string& url, std::string& content, const DownloadLimits& limits) {
  content.clear();
  PrivateTempFile file;
  if (!file.Ok()) return false;
  if (!DownloadToFile(url, file.Fd(), limits)) return false;
  return file.ReadAll(content, limits.maxBytes);
}

}  // namespace kovrax
