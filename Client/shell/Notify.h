// The channel from the gateway worker to whatever shows its progress (status window or stderr).
#pragma once
#include <string>

namespace kovrax {

// Codes of a worker notification.
enum NotifyCode : int {
  NotifyRequest = 1,       // a browser request is being handled
  NotifyDone = 2,          // handling ended; value non-zero on success
  NotifyText = 3,          // value 0: waiting for a request (texts go through PostText)
  NotifyConnecting = 4,    // connecting to the ballot server
  NotifyConnected = 5,     // connected to the ballot server
  NotifySendStart = 6,     // value: size of the signed ballot
  NotifySendProgress = 7,  // value: bytes sent so far
  NotifySendEnd = 8,
  NotifyShow = 9,          // low byte of value: non-zero pins and shows, zero hides
  NotifyVersion = 10,      // version line wanted (synchronous)
};

// Receivers keep the order of everything one sender posts. Post and PostText never block and
// never fail visibly; VersionLine blocks until the receiver has answered.
class INotifySink {
 public:
  virtual ~INotifySink() = default;
  virtual void Post(int code, long long value) = 0;
  // A log line in code page 1250, colour prefix included ("R: ", "B: ", ...); the sink owns it now.
  virtual void PostText(std::string cp1250) = 0;
  // ProductName " V" FileVersion " " LegalCopyright, at most 255 bytes.
  virtual std::string VersionLine() = 0;
};

}  // namespace kovrax
