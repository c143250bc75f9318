#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include "platform/PlatformKeys.h"
#include "support/TestPki.h"

namespace kovrax {
namespace {

struct Read {
  int ret;
  std::string text;  // what the buffer holds before the NUL
};

// Calls SslBioGets until a -1, with a sentinel after the size + 1 bytes it may write.
std::vector<Read> ReadAll(BIO* bio, int size) {
  std::vector<Read> out;
  for (int guard = 0; guard < 64; ++guard) {
    std::vector<char> buf(static_cast<size_t>(size) + 2, 'X');
    int r = SslBioGets(bio, buf.data(), size);
    EXPECT_EQ(buf[static_cast<size_t>(size) + 1], 'X') << "wrote past size + 1";
    if (r < 0) {
      out.push_back({r, ""});
      break;
    }
    EXPECT_EQ(buf[static_cast<size_t>(r)], '\0');
    out.push_back({r, std::string(buf.data(), static_cast<size_t>(r))});
  }
  return out;
}

TEST(SslBioGets, ReadsLinesOneByteAtATime) {
  struct Case {
    const char* name;
    std::string stream;
    int size;
    std::vector<std::pair<int, std::string>> expected;
  };
  const std::vector<Case> cases = {
      {"CR LF line keeps CR", "0123456789ABCDE\r\n", 256, {{16, "0123456789ABCDE\r"}, {-1, ""}}},
      {"no line feed at the end", "abc", 256, {{-1, ""}}},
      {"empty stream", "", 256, {{-1, ""}}},
      {"empty line", "\n\n", 256, {{0, ""}, {0, ""}, {-1, ""}}},
      {"size reached", "abcdef\n", 3, {{3, "abc"}, {3, "def"}, {0, ""}, {-1, ""}}},
      {"lines then a partial one", "a\r\nbc\nrest", 256, {{2, "a\r"}, {2, "bc"}, {-1, ""}}},
      {"NUL inside a line", std::string("a\0b\n", 4), 256, {{3, std::string("a\0b", 3)}, {-1, ""}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    BIO* mem = BIO_new_mem_buf(c.stream.data(), static_cast<int>(c.stream.size()));
    auto reads = ReadAll(mem, c.size);
    BIO_free(mem);
    ASSERT_EQ(reads.size(), c.expected.size());
    for (size_t i = 0; i < reads.size(); ++i) {
      EXPECT_EQ(reads[i].ret, c.expected[i].first) << i;
      EXPECT_EQ(reads[i].text, c.expected[i].second) << i;
    }
  }
}

class SocketPair {
 public:
  SocketPair() {
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fd_), 0);
    timeval tv{5, 0};  // nothing in these tests may wait longer
    for (int fd : fd_) {
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
      setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    }
  }
  ~SocketPair() {
    CloseNear();
    CloseFar();
  }
  int Near() const { return fd_[0]; }
  int Far() const { return fd_[1]; }
  void CloseFar() {
    if (fd_[1] >= 0) close(fd_[1]);
    fd_[1] = -1;
  }
  void CloseNear() {
    if (fd_[0] >= 0) close(fd_[0]);
    fd_[0] = -1;
  }

 private:
  int fd_[2] = {-1, -1};
};

TEST(LineReaderBio, GetsLinesAndPassesReadsAndWritesUnbuffered) {
  SocketPair sp;
  const std::string reply = "HTTP/1.1 200 OK\r\nKovra-status: OK\r\n\r\nBODY-BYTES";
  ASSERT_EQ(write(sp.Far(), reply.data(), reply.size()), static_cast<ssize_t>(reply.size()));
  BIO* top = BIO_push(NewLineReaderBio(), BIO_new_socket(sp.Near(), BIO_NOCLOSE));
  ASSERT_NE(top, nullptr);

  char buf[300];
  EXPECT_EQ(BIO_gets(top, buf, 256), 16);
  EXPECT_STREQ(buf, "HTTP/1.1 200 OK\r");
  EXPECT_EQ(BIO_gets(top, buf, 256), 17);
  EXPECT_STREQ(buf, "Kovra-status: OK\r");
  EXPECT_EQ(BIO_gets(top, buf, 256), 1);
  EXPECT_STREQ(buf, "\r");
  // Nothing was read ahead: the body is all still there for BIO_read.
  EXPECT_EQ(BIO_read(top, buf, 10), 10);
  EXPECT_EQ(std::string(buf, 10), "BODY-BYTES");

  EXPECT_EQ(BIO_write(top, "ping", 4), 4);
  char peer[4];
  EXPECT_EQ(read(sp.Far(), peer, 4), 4);
  EXPECT_EQ(std::string(peer, 4), "ping");

  ASSERT_EQ(write(sp.Far(), "half", 4), 4);
  sp.CloseFar();
  EXPECT_EQ(BIO_gets(top, buf, 256), -1);
  BIO_free_all(top);
}

// The filter over a real TLS client BIO: handshake, SSL lookup and reading work through it.
TEST(LineReaderBio, WorksOverTheTlsBio) {
  signal(SIGPIPE, SIG_IGN);  // freeing the TLS BIO sends close_notify to a peer that is gone
  auto key = test::MakeEcKey();
  auto cert = test::IssueCert(test::CertSpec{}, key.get());
  SSL_CTX* serverCtx = SSL_CTX_new(TLS_server_method());
  ASSERT_EQ(SSL_CTX_use_certificate(serverCtx, cert.get()), 1);
  ASSERT_EQ(SSL_CTX_use_PrivateKey(serverCtx, key.get()), 1);
  SocketPair sp;
  std::string request;
  std::thread server([&] {
    SSL* ssl = SSL_new(serverCtx);
    SSL_set_fd(ssl, sp.Far());
    if (SSL_accept(ssl) == 1) {
      char buf[64];
      int n = SSL_read(ssl, buf, sizeof buf);
      if (n > 0) request.assign(buf, static_cast<size_t>(n));
      const std::string reply = "HTTP/1.1 200 OK\r\nContent-length: 4\r\n\r\nDATA";
      SSL_write(ssl, reply.data(), static_cast<int>(reply.size()));
      SSL_shutdown(ssl);
    }
    SSL_free(ssl);
    sp.CloseFar();
  });

  SSL_CTX* clientCtx = SSL_CTX_new(TLS_client_method());
  BIO* sslBio = BIO_new_ssl(clientCtx, 1);
  BIO_push(sslBio, BIO_new_socket(sp.Near(), BIO_NOCLOSE));
  BIO* top = BIO_push(NewLineReaderBio(), sslBio);
  EXPECT_EQ(BIO_do_handshake(top), 1);
  SSL* ssl = nullptr;
  BIO_get_ssl(top, &ssl);
  EXPECT_NE(ssl, nullptr);
  EXPECT_EQ(BIO_write(top, "POST\r\n", 6), 6);
  char buf[300];
  EXPECT_EQ(BIO_gets(top, buf, 256), 16);
  EXPECT_STREQ(buf, "HTTP/1.1 200 OK\r");
  EXPECT_EQ(BIO_gets(top, buf, 256), 18);
  EXPECT_EQ(BIO_gets(top, buf, 256), 1);
  EXPECT_EQ(BIO_read(top, buf, 4), 4);
  EXPECT_EQ(std::string(buf, 4), "DATA");
  EXPECT_EQ(BIO_gets(top, buf, 256), -1);  // closed after the body
  server.join();
  EXPECT_EQ(request, "POST\r\n");
  BIO_free_all(top);
  SSL_CTX_free(clientCtx);
  SSL_CTX_free(serverCtx);
  ERR_clear_error();
}

}  // namespace
}  // namespace kovrax
