// The worker's connection to the ballot server, with its settings, the browser request's version
// and its status texts.
#include "gateway/ActiveXThreadUnit.h"
#include "gateway/HTTPHeaderUnit.h"
#include "net/ServerConnection.h"

namespace kovrax {

void TActiveXThread::Connect_socket(const std::string& hostport) {
  ServerLink link;
  link.Settings = &Settings;
  if (Header) link.RequestVersion = Header->Version;
  link.PostText = [this](const std::string& text) { PostText(text); };
  link.WakeFd = WakeFd();
  ConnectServerSocket(ServerSocket, hostport, link);
}

}  // namespace kovrax
