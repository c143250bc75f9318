// Stand-in for the platform's TLS line reader until it is merged: one byte per read, LF ends
// the line and becomes NUL, CR stays, -1 when a read does not return exactly one byte.
#include <openssl/bio.h>

#include "platform/PlatformKeys.h"

namespace kovrax {
namespace {

int Gets(BIO* bio, char* buf, int size) {
  BIO* next = BIO_next(bio);
  int n = 0;
  while (n < size) {
    char c;
    if (BIO_read(next, &c, 1) != 1) return -1;
    if (c == '\n') break;
    buf[n++] = c;
  }
  if (n < size) buf[n] = 0;
  return n;
}
int Read(BIO* bio, char* buf, int size) {
  int n = BIO_read(BIO_next(bio), buf, size);
  BIO_clear_retry_flags(bio);
  BIO_copy_next_retry(bio);
  return n;
}
long Ctrl(BIO* bio, int cmd, long num, void* ptr) { return BIO_ctrl(BIO_next(bio), cmd, num, ptr); }
int Create(BIO* bio) {
  BIO_set_init(bio, 1);
  return 1;
}

}  // namespace

BIO* NewLineReaderBio() {
  static BIO_METHOD* method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_FILTER, "line reader stand-in");
    BIO_meth_set_gets(m, Gets);
    BIO_meth_set_read(m, Read);
    BIO_meth_set_ctrl(m, Ctrl);
    BIO_meth_set_create(m, Create);
    return m;
  }();
  return BIO_new(method);
}

}  // namespace kovrax
