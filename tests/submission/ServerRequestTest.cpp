#include "submission/ServerRequest.h"

#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>

#include "SubmissionTestUtil.h"

namespace kovrax::test {
namespace {

using submission::BuildRequestHeader;
using submission::HostResolves;
using submission::SendInPieces;

struct BioFree {
  void operator()(BIO* b) const { BIO_free(b); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;

std::string MemText(BIO* bio) {
  char* p = nullptr;
  long n = BIO_get_mem_data(bio, &p);
  return std::string(p, static_cast<size_t>(n));
}

TEST(RequestHeader, LinesAreExactWithAndWithoutHost) {
  EXPECT_EQ(BuildRequestHeader("/oddaj/glas?x=1", "volitve.example", true, 1234, "3016"),
            "POST /oddaj/glas?x=1 HTTP/1.1\r\n"
            "Host: volitve.example\r\n"
            "Content-Length: 1234\r\n"
            "Kovra-Profil: 3016\r\n"
            "\r\n");
  EXPECT_EQ(BuildRequestHeader("\\oddaj\\glas", "volitve.example", false, 7, ""),
            "POST /oddaj/glas HTTP/1.1\r\n"
            "Content-Length: 7\r\n"
            "Kovra-Profil: \r\n"
            "\r\n");
}

TEST(RequestHeader, HostResolvesOnlyForKnownNames) {
  EXPECT_TRUE(HostResolves("localhost"));
  EXPECT_TRUE(HostResolves("127.0.0.1"));
  EXPECT_FALSE(HostResolves("kovrax-test.invalid"));
  EXPECT_FALSE(HostResolves(""));
  EXPECT_FALSE(HostResolves(std::string("localhost\0.invalid", 18)));
}

// Records the size of every write that reaches the stream.
long RecordWrites(BIO* b, int oper, const char*, size_t len, int, long, int ret, size_t*) {
  if (oper == BIO_CB_WRITE) reinterpret_cast<std::vector<size_t>*>(BIO_get_callback_arg(b))->push_back(len);
  return ret;
}

TEST(SendInPieces, SplitsIntoPiecesOf512WithProgress) {
  struct Case {
    size_t size;
    std::vector<size_t> pieces;
    std::vector<long long> progress;
  } cases[] = {
      {1, {1}, {1}},
      {511, {511}, {511}},
      {512, {512}, {512}},
      {513, {512, 1}, {512, 513}},
      {1536, {512, 512, 512}, {512, 1024, 1536}},
      {0, {}, {}},
  };
  for (const Case& c : cases) {
    BioPtr out(BIO_new(BIO_s_mem()));
    std::vector<size_t> writes;
    BIO_set_callback_arg(out.get(), reinterpret_cast<char*>(&writes));
    BIO_set_callback_ex(out.get(), RecordWrites);
    Bytes data(c.size);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 7);
    std::vector<long long> progress;
    SendInPieces(out.get(), data, [&](long long n) { progress.push_back(n); }, [] { return false; });
    EXPECT_EQ(writes, c.pieces) << c.size;
    EXPECT_EQ(progress, c.progress) << c.size;
    EXPECT_EQ(MemText(out.get()), std::string(data.begin(), data.end()));
  }
}

TEST(SendInPieces, StopRequestEndsAfterThePieceWithoutProgress) {
  BioPtr out(BIO_new(BIO_s_mem()));
  Bytes data(1500, 'b');
  int polls = 0;
  std::vector<long long> progress;
  ExpectRaise(
      [&] {
        SendInPieces(out.get(), data, [&](long long n) { progress.push_back(n); }, [&] { return ++polls == 2; });
      },
      1003, 1494);
  EXPECT_EQ(progress, (std::vector<long long>{512}));
  EXPECT_EQ(MemText(out.get()).size(), 1024u);
}

TEST(SendInPieces, FailedWriteRaisesBioWrite) {
  static const char ro[] = "read only";
  BioPtr readOnly(BIO_new_mem_buf(ro, sizeof ro));
  Bytes data(600, 'c');
  ExpectRaise([&] { SendInPieces(readOnly.get(), data, nullptr, nullptr); }, 1014, 1492, {std::string("BIO_write")});
  ExpectRaise([&] { SendInPieces(nullptr, data, nullptr, nullptr); }, 1014, 1492, {std::string("BIO_write")});
  ERR_clear_error();
}

// What goes over a socket: the header and then the ballot bytes, nothing else.
TEST(SendInPieces, SocketPeerReceivesHeaderAndBallotExactly) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  BioPtr out(BIO_new_socket(fds[0], BIO_CLOSE));
  Bytes ballot(513);
  for (size_t i = 0; i < ballot.size(); ++i) ballot[i] = static_cast<unsigned char>(255 - i % 256);
  const std::string header = BuildRequestHeader("/glas", "localhost", HostResolves("localhost"), ballot.size(), "3016");
  ASSERT_EQ(BIO_write(out.get(), header.data(), static_cast<int>(header.size())), static_cast<int>(header.size()));
  SendInPieces(out.get(), ballot, nullptr, [] { return false; });
  out.reset();

  std::string got;
  char buf[4096];
  for (int rounds = 0; rounds < 100; ++rounds) {
    pollfd pfd{fds[1], POLLIN, 0};
    ASSERT_EQ(poll(&pfd, 1, 2000), 1);
    ssize_t n = read(fds[1], buf, sizeof buf);
    ASSERT_GE(n, 0);
    if (n == 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  close(fds[1]);
  EXPECT_EQ(got, "POST /glas HTTP/1.1\r\nHost: localhost\r\nContent-Length: 513\r\nKovra-Profil: 3016\r\n\r\n" +
                     std::string(ballot.begin(), ballot.end()));
}

}  // namespace
}  // namespace kovrax::test
