// Writing the ballot request to the server's stream.
#include "submission/ServerRequest.h"

#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

#include "shell/KovraException.h"

namespace kovrax::submission {

bool HostResolves(const std::string& host) {
  if (host.empty() || host.find('\0') != std::string::npos) return false;
  addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) return false;
  freeaddrinfo(found);
  return true;
}

std::string BuildRequestHeader(const std::string& path, const std::string& host, bool withHost, size_t length,
                               const std::string& profile) {
  std::string target = path;
  std::replace(target.begin(), target.end(), '\\', '/');
  std::string text = "POST " + target + " HTTP/1.1\r\n";
  if (withHost) text += "Host: " + host + "\r\n";
  text += "Content-Length: " + std::to_string(length) + "\r\n";
  text += "Kovra-Profil: " + profile + "\r\n";
  text += "\r\n";
  return text;
}

void SendInPieces(BIO* out, const std::vector<unsigned char>& data, const std::function<void(long long)>& progress,
                  const std::function<bool()>& stopRequested) {
  constexpr const char* kFunc = "TActiveXThread::Cmd_TxSIG";
  size_t sent = 0;
  while (sent < data.size()) {
    const int piece = static_cast<int>(std::min(kPieceSize, data.size() - sent));
    const int written = BIO_write(out, data.data() + sent, piece);
    if (written < piece) KOVRA_RAISE_CALL("BIO_write", 1492, kFunc);
    if (stopRequested && stopRequested()) KOVRA_RAISE(1003, 1494, kFunc);
    sent += static_cast<size_t>(piece);
    if (progress) progress(static_cast<long long>(sent));
  }
}

}  // namespace kovrax::submission
