// The ballot server's reply: header, status, and the receipt in the body.
#include "submission/ReplyReader.h"

#include <strings.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "shell/KovraException.h"

namespace kovrax::submission {
namespace {

constexpr const char* kFunc = "TActiveXThread::Cmd_TxSIG";

struct BioFree {
  void operator()(BIO* b) const { BIO_free(b); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;

// Room for one read of the line reader plus its terminator.
using LineBuffer = char[260];

// One line through the stream's line reader, cut at its first CR (a reader that keeps the LF
// has it cut as well). False when the reader fails.
bool ReadLine(BIO* bio, LineBuffer& line) {
  std::memset(line, 0, sizeof line);
  int n = BIO_gets(bio, line, kReplyLineRead);
  if (n < 0) return false;
  if (n > kReplyLineRead) n = kReplyLineRead;
  line[n] = '\0';
  line[std::strcspn(line, "\r\n")] = '\0';
  return true;
}

bool StartsWithNoCase(const char* text, const char* prefix) {
  return strncasecmp(text, prefix, std::strlen(prefix)) == 0;
}

// Reads exactly size bytes. The TLS stream hands out at most one record per read, so a chunk
// larger than a record (or split across records) takes several reads.
bool ReadExactly(BIO* bio, unsigned char* out, int size) {
  int done = 0;
  while (done < size) {
    int n = BIO_read(bio, out + done, size - done);
    if (n <= 0) return false;
    done += n;
  }
  return true;
}

}  // namespace

int ReadReplyHeader(BIO* bio, char* status, int size) {
  if (size > 0) status[0] = '\0';
  bool chunked = false;
  long length = 0;
  LineBuffer line;
  for (;;) {
    if (!ReadLine(bio, line)) return -1;
    if (line[0] == '\0') {
      if (size <= 0 || status[0] == '\0') return -2;
      if (chunked) return 0;
      if (length == 0) return -3;
      return static_cast<int>(length);
    }
    if (StartsWithNoCase(line, "HTTP/1.1 ")) {
      const char* code = line + 9;
      if (std::strcmp(code, "200") != 0 && std::strncmp(code, "200 ", 4) != 0) return -4;
    }
    if (strcasecmp(line, "Transfer-Encoding: chunked") == 0) chunked = true;
    if (StartsWithNoCase(line, "Content-length: ")) {
      const char* text = line + 16;
      char* end = nullptr;
      errno = 0;
      long long value = std::strtoll(text, &end, 10);
      if (end == text) return -6;
      if (value <= 0 || value > kMaxReplyBody) return -7;
      length = static_cast<long>(value);
    }
    if (StartsWithNoCase(line, "Kovra-status: ") && size > 0) {
      const char* value = line + 14;
      size_t n = std::min(std::strlen(value), static_cast<size_t>(size - 1));
      std::memcpy(status, value, n);
      status[n] = '\0';
    }
  }
}

BIO* ReadChunkedBody(BIO* bio) {
  BioPtr body(BIO_new(BIO_s_mem()));
  if (!body) return nullptr;
  std::vector<unsigned char> work;
  long total = 0;
  LineBuffer line;
  for (;;) {
    if (!ReadLine(bio, line)) return nullptr;
    if (line[0] == '\0') return body.release();
    char* end = nullptr;
    errno = 0;
    long size = std::strtol(line, &end, 16);
    if (end == line) return nullptr;
    if (size == 0) {
      // Last chunk: trailer lines up to the empty line are skipped.
      for (;;) {
        if (!ReadLine(bio, line)) return nullptr;
        if (line[0] == '\0') return body.release();
      }
    }
    // The whole body is held to the bound of a single "Content-length" body as well, so a server
    // cannot make the agent buffer without end.
    if (size < 0 || size > kMaxReplyBody || total + size > kMaxReplyBody) return nullptr;
    try {
      if (work.size() < static_cast<size_t>(size)) work.resize(static_cast<size_t>(size));
    } catch (const std::bad_alloc&) {
      return nullptr;
    }
    if (!ReadExactly(bio, work.data(), static_cast<int>(size))) return nullptr;
    if (BIO_write(body.get(), work.data(), static_cast<int>(size)) != size) return nullptr;
    total += size;
    if (!ReadLine(bio, line)) return nullptr;
  }
}

ReceiptCmsPtr ReadReceipt(BIO* bio, std::string& serverStatus) {
  char status[512] = {};
  int result = ReadReplyHeader(bio, status, sizeof status);
  serverStatus = status;
  if (result < 0) {
    if (std::strncmp(status, "ERR ", 4) == 0) throw KovraException(__FILE__, std::string(status + 4), 1510, kFunc);
    KOVRA_RAISE(1020, 1511, kFunc);
  }
  ReceiptCmsPtr receipt;
  if (result > 0) {
    receipt.reset(d2i_CMS_bio(bio, nullptr));
  } else {
    BioPtr body(ReadChunkedBody(bio));
    if (!body) KOVRA_RAISE_CALL("BIO_new", 1517, kFunc);
    receipt.reset(d2i_CMS_bio(body.get(), nullptr));
  }
  if (!receipt) KOVRA_RAISE(1020, 1525, kFunc);
  return receipt;
}

std::string ReceiptDocumentOf(const std::string& serverStatus) {
  if (serverStatus != "OK" && serverStatus.compare(0, 3, "OK ") != 0) KOVRA_RAISE(1018, 1530, kFunc);
  if (serverStatus.size() <= 3) return {};
  return serverStatus.substr(3, 258);
}

}  // namespace kovrax::submission
