// THTTPHeader: the header of one browser request, read from the accepted connection. The body,
// if any, stays unread in the connection.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

namespace kovrax {

// Bounds of one header read. The reader never holds more than MaxBytes, gives up when the header
// is not complete within TimeoutMs, and stops early when WakeFd (if any) becomes readable.
struct THeaderLimits {
  size_t MaxBytes = 64 * 1024;
  int TimeoutMs = 10000;
  int WakeFd = -1;
};

class THTTPHeader {
 public:
  explicit THTTPHeader(int socket, const THeaderLimits& limits = {});

  // A line ending in CR LF (never returned with it) and its length; 0 for an empty line or a closed
  // peer; -1 for a receive error, time-out or wake-up.
  int RecvLine(int socket, std::string& line);
  static std::string GetToken(const std::string& line, int n);
  std::string GetField(const std::string& name) const;
  std::string GetParam(const std::string& name, const std::string& def) const;

  std::string Method;
  std::string Version;
  std::string Path;
  std::vector<std::string> Params;  // name, value, name, value, ...
  std::vector<std::string> Lines;   // trimmed, request line first

 private:
  THeaderLimits limits_;
  size_t consumed_ = 0;
  long long deadline_ = 0;  // steady-clock milliseconds
};

// The pure parts of the reader.
namespace http {
// Leading and trailing bytes 0..32 removed.
std::string Trim(const std::string& s);
// How many of the peeked bytes belong to the line read so far: up to and including the first
// CR LF, only the LF when the line so far ends in CR, else all of them.
size_t LineConsumeLength(const std::string& lineSoFar, const char* peek, size_t n);
// The query decoding of a parameter name or value ("+" and "%XX").
std::string DecodeQueryComponent(const std::string& s);
// The query text as name, value, name, value, ...
std::vector<std::string> ParseQuery(const std::string& query);
bool EqualsNoCase(const std::string& a, const std::string& b);
bool StartsWithNoCase(const std::string& s, const std::string& prefix);
}  // namespace http

}  // namespace kovrax
