// The HTTP/1.1 request that carries a signed ballot to the ballot server.
#pragma once
#include <openssl/bio.h>

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace kovrax::submission {

// Bytes per write of the ballot; progress is reported and the stop request polled after each.
inline constexpr size_t kPieceSize = 512;

// True when the system resolver knows an IPv4 address for host right now.
bool HostResolves(const std::string& host);

// "POST <path> HTTP/1.1", "Host: <host>" (only when withHost), "Content-Length: <length>",
// "Kovra-Profil: <profile>" and the empty line, each ending in CR LF. Backslashes in path
// become "/".
std::string BuildRequestHeader(const std::string& path, const std::string& host, bool withHost, size_t length,
                               const std::string& profile);

// Writes data to out in pieces of kPieceSize bytes; after each piece, raises 1014 "BIO_write"
// on a short write, 1003 when stopRequested() holds, and otherwise calls progress(bytes sent so
// far). Raises as TActiveXThread::Cmd_TxSIG.
void SendInPieces(BIO* out, const std::vector<unsigned char>& data, const std::function<void(long long)>& progress,
                  const std::function<bool()>& stopRequested);

}  // namespace kovrax::submission
