// Until the reply reader and the receipt check are in place, a sent ballot ends the exchange.
#include "gateway/ActiveXThreadUnit.h"

namespace kovrax {

void TActiveXThread::ReadServerReply(const std::string&) {}

}  // namespace kovrax
