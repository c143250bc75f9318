// Interim: the root check arrives with the trust anchors; until then the gateway starts without it.
#include "gateway/ActiveXThreadUnit.h"

namespace kovrax {
void TActiveXThread::CheckRoots() {}
}  // namespace kovrax
