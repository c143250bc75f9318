// The ballot server's reply as the agent reads it through the TLS stream's line reader.
#include <gtest/gtest.h>
#include <openssl/bio.h>

#include <cstring>
#include <string>
#include <variant>

#include "platform/PlatformKeys.h"
#include "shell/KovraException.h"
#include "shell/Messages.h"
#include "submission/ReplyReader.h"
#include "support/BallotServerDouble.h"
#include "support/TestPki.h"

namespace kovrax {
namespace {

using submission::ReadChunkedBody;
using submission::ReadReceipt;
using submission::ReadReplyHeader;
using submission::ReceiptDocumentOf;

struct BioChainFree {
  void operator()(BIO* b) const { BIO_free_all(b); }
};
using BioChain = std::unique_ptr<BIO, BioChainFree>;

// The reply as the TLS stream would deliver it: the agent's line reader over the bytes.
BioChain ReplyStream(const std::string& bytes) {
  BIO* mem = BIO_new(BIO_s_mem());
  BIO_write(mem, bytes.data(), static_cast<int>(bytes.size()));
  BIO_set_mem_eof_return(mem, 0);
  return BioChain(BIO_push(NewLineReaderBio(), mem));
}

// Any DER CMS object serves as the body here; its checks are the receipt check's business.
const std::string& SomeCms() {
  static const std::string der = [] {
    auto key = test::MakeEcKey();
    test::CertSpec spec;
    spec.cn = "reader";
    auto cert = test::IssueCert(spec, key.get());
    test::Bytes b = test::CmsToDer(test::SignBallot("x=1", key.get(), cert.get()).get());
    return std::string(b.begin(), b.end());
  }();
  return der;
}

std::string Length(const std::string& body) { return "Content-length: " + std::to_string(body.size()) + "\r\n"; }

std::string Chunked(const std::string& body, size_t first) {
  char a[16], b[16];
  std::snprintf(a, sizeof a, "%zx", first);
  std::snprintf(b, sizeof b, "%zX", body.size() - first);
  return std::string(a) + "\r\n" + body.substr(0, first) + "\r\n" + b + "\r\n" + body.substr(first) + "\r\n0\r\n\r\n";
}

struct HeaderCase {
  const char* name;
  std::string reply;
  int result;
  std::string status;
};

class ReadReplyHeaderTest : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(ReadReplyHeaderTest, ReturnsValueAndStatus) {
  const HeaderCase& c = GetParam();
  BioChain bio = ReplyStream(c.reply);
  char status[512];
  std::memset(status, 'x', sizeof status);
  EXPECT_EQ(ReadReplyHeader(bio.get(), status, sizeof status), c.result);
  EXPECT_EQ(std::string(status), c.status);
}

const std::string k300(300, 'a');

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadReplyHeaderTest,
    ::testing::Values(
        HeaderCase{"LengthGiven", "HTTP/1.1 200 OK\r\nKovra-status: OK\r\nContent-length: 1234\r\n\r\n", 1234, "OK"},
        HeaderCase{"ChunkedAnyCase", "HTTP/1.1 200\r\nKovra-status: OK\r\ntransfer-encoding: CHUNKED\r\n\r\n", 0, "OK"},
        HeaderCase{"ChunkedWinsOverLength",
                   "HTTP/1.1 200 OK\r\nKovra-status: OK\r\nContent-length: 5\r\nTransfer-Encoding: chunked\r\n\r\n", 0,
                   "OK"},
        HeaderCase{"BareLineFeeds", "HTTP/1.1 200 OK\nkovra-STATUS: OK 7\nCONTENT-LENGTH: 9\n\n", 9, "OK 7"},
        HeaderCase{"EndOfStreamInHeader", "HTTP/1.1 200 OK\r\nKovra-status: OK\r\nContent-le", -1, "OK"},
        HeaderCase{"NoStatus", "HTTP/1.1 200 OK\r\nContent-length: 10\r\n\r\n", -2, ""},
        HeaderCase{"EmptyStatus", "HTTP/1.1 200 OK\r\nKovra-status: \r\nContent-length: 10\r\n\r\n", -2, ""},
        HeaderCase{"NeitherLengthNorChunked", "HTTP/1.1 200 OK\r\nKovra-status: ERR Zavrnjeno\r\n\r\n", -3,
                   "ERR Zavrnjeno"},
        HeaderCase{"Status500BeforeErr", "HTTP/1.1 500 Internal\r\nKovra-status: ERR x\r\n\r\n", -4, ""},
        HeaderCase{"Status2000", "HTTP/1.1 2000 OK\r\nKovra-status: OK\r\n\r\n", -4, ""},
        HeaderCase{"LaterStatusLineAlsoChecked", "HTTP/1.1 200 OK\r\nKovra-status: OK\r\nhttp/1.1 404\r\n\r\n", -4,
                   "OK"},
        HeaderCase{"Version10NotChecked", "HTTP/1.0 500 Oops\r\nKovra-status: OK\r\nContent-length: 3\r\n\r\n", 3,
                   "OK"},
        HeaderCase{"LengthNotANumber", "HTTP/1.1 200 OK\r\nKovra-status: OK\r\nContent-length: abc\r\n\r\n", -6, "OK"},
        HeaderCase{"LengthZero", "HTTP/1.1 200 OK\r\nKovra-status: OK\r\nContent-length: 0\r\n\r\n", -7, "OK"},
        HeaderCase{"Length65535", "HTTP/1.1 200 OK\r\nKovra-status: OK\r\nContent-length: 65535\r\n\r\n", 65535, "OK"},
        HeaderCase{"Length65536", "HTTP/1.1 200 OK\r\nKovra-status: OK\r\nContent-length: 65536\r\n\r\n", -7, "OK"},
        HeaderCase{"LengthHuge",
                   "HTTP/1.1 200 OK\r\nKovra-status: OK\r\nContent-length: 99999999999999999999999\r\n\r\n", -7, "OK"},
        HeaderCase{"LaterStatusReplaces", "Kovra-status: ERR a\r\nKovra-status: OK b\r\nContent-length: 2\r\n\r\n", 2,
                   "OK b"},
        // 256 bytes per read: the rest of a long line is a line of its own.
        HeaderCase{"LongLineSplitAt256", "HTTP/1.1 200 OK\r\n" + std::string(256, 'a') + "Kovra-status: OK\r\n" +
                                             "Content-length: 4\r\n\r\n",
                   4, "OK"},
        HeaderCase{"LongStatusCutAtRead", "Kovra-status: " + k300 + "\r\nContent-length: 4\r\n\r\n", 4,
                   std::string(242, 'a')}),
    [](const ::testing::TestParamInfo<HeaderCase>& info) { return std::string(info.param.name); });

TEST(ReadReplyHeaderTest, StatusCutToBufferSize) {
  BioChain bio = ReplyStream("Kovra-status: OK 123456789\r\nContent-length: 1\r\n\r\n");
  char status[8];
  EXPECT_EQ(ReadReplyHeader(bio.get(), status, sizeof status), 1);
  EXPECT_STREQ(status, "OK 1234");
}

TEST(ReadChunkedBodyTest, JoinsChunksAndSkipsExtensionsAndTrailers) {
  BioChain bio = ReplyStream("3;name=x\r\nabc\r\n2\r\nde\r\n0\r\nTrailer: 1\r\n\r\nNEXT");
  BIO* body = ReadChunkedBody(bio.get());
  ASSERT_NE(body, nullptr);
  char* data = nullptr;
  long len = BIO_get_mem_data(body, &data);
  EXPECT_EQ(std::string(data, len), "abcde");
  BIO_free(body);
}

TEST(ReadChunkedBodyTest, RefusesBadChunks) {
  for (const char* bad : {"zz\r\nabc\r\n0\r\n\r\n", "-3\r\nabc\r\n0\r\n\r\n", "10000\r\n", "5\r\nabc",
                          "3\r\nabc\r\n", "FFFF\r\n" /* then end of stream */}) {
    BioChain bio = ReplyStream(bad);
    BIO* body = ReadChunkedBody(bio.get());
    EXPECT_EQ(body, nullptr) << bad;
    BIO_free(body);
  }
}

TEST(ReadChunkedBodyTest, BoundsTheWholeBody) {
  const std::string piece(40000, 'p');
  BioChain bio = ReplyStream("9c40\r\n" + piece + "\r\n9c40\r\n" + piece + "\r\n0\r\n\r\n");
  BIO* body = ReadChunkedBody(bio.get());
  EXPECT_EQ(body, nullptr);
  BIO_free(body);
}

// What the reply leads to: a receipt and the document, or the failure's message and Line.
struct ReplyCase {
  const char* name;
  std::string reply;
  int line;              // 0: success
  std::variant<int, std::string> message;  // message number, or the server's own text
  std::string document;
};

class ReadReceiptTest : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(ReadReceiptTest, DecodesOrFails) {
  const ReplyCase& c = GetParam();
  BioChain bio = ReplyStream(c.reply);
  try {
    std::string status;
    submission::ReceiptCmsPtr receipt = ReadReceipt(bio.get(), status);
    ASSERT_NE(receipt, nullptr);
    std::string document = ReceiptDocumentOf(status);
    ASSERT_EQ(c.line, 0) << "no failure";
    EXPECT_EQ(test::CmsToDer(receipt.get()), test::Bytes(SomeCms().begin(), SomeCms().end()));
    EXPECT_EQ(document, c.document);
  } catch (const KovraException& e) {
    ASSERT_NE(c.line, 0) << e.Message();
    EXPECT_EQ(e.Line, c.line);
    EXPECT_EQ(e.FunctionName, "TActiveXThread::Cmd_TxSIG");
    if (const int* n = std::get_if<int>(&c.message))
      EXPECT_EQ(e.Message(), *n == 1014 ? FmtLoadStr(1014, {std::string("BIO_new")}) : LoadStr(*n));
    else
      EXPECT_EQ(e.Message(), std::get<std::string>(c.message));
  }
}

const std::string kOk = "HTTP/1.1 200 OK\r\nKovra-status: OK\r\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadReceiptTest,
    ::testing::Values(
        ReplyCase{"OkWithLength", kOk + Length(SomeCms()) + "\r\n" + SomeCms(), 0, 0, ""},
        ReplyCase{"OkWithDocument",
                  "HTTP/1.1 200 OK\r\nKovra-status: OK 42\r\n" + Length(SomeCms()) + "\r\n" + SomeCms(), 0, 0, "42"},
        ReplyCase{"LengthNotUsedBeyondRange", kOk + "Content-length: 1234\r\n\r\n" + SomeCms(), 0, 0, ""},
        ReplyCase{"ChunkedTwoChunks", kOk + "Transfer-Encoding: chunked\r\n\r\n" + Chunked(SomeCms(), 100), 0, 0, ""},
        ReplyCase{"ErrTextBecomesMessage",
                  "HTTP/1.1 200 OK\r\nKovra-status: ERR Volišče je zaprto\r\n\r\n", 1510, std::string("Volišče je zaprto"),
                  ""},
        ReplyCase{"Status500BeforeErr", "HTTP/1.1 500 Napaka\r\nKovra-status: ERR x\r\n\r\n", 1511, 1020, ""},
        ReplyCase{"Status2000", "HTTP/1.1 2000\r\nKovra-status: OK\r\n" + Length(SomeCms()) + "\r\n" + SomeCms(), 1511,
                  1020, ""},
        ReplyCase{"Version10NotChecked",
                  "HTTP/1.0 500 x\r\nKovra-status: OK\r\n" + Length(SomeCms()) + "\r\n" + SomeCms(), 0, 0, ""},
        ReplyCase{"LengthZero", kOk + "Content-length: 0\r\n\r\n", 1511, 1020, ""},
        ReplyCase{"Length65536", kOk + "Content-length: 65536\r\n\r\n", 1511, 1020, ""},
        ReplyCase{"BadLengthAfterErr", "HTTP/1.1 200 OK\r\nKovra-status: ERR prej\r\nContent-length: 65536\r\n\r\n",
                  1510, std::string("prej"), ""},
        ReplyCase{"NoStatus", "HTTP/1.1 200 OK\r\n" + Length(SomeCms()) + "\r\n" + SomeCms(), 1511, 1020, ""},
        ReplyCase{"StatusOkay",
                  "HTTP/1.1 200 OK\r\nKovra-status: OKAY\r\n" + Length(SomeCms()) + "\r\n" + SomeCms(), 1530, 1018, ""},
        ReplyCase{"StatusLowerCaseOk",
                  "HTTP/1.1 200 OK\r\nKovra-status: ok\r\n" + Length(SomeCms()) + "\r\n" + SomeCms(), 1530, 1018, ""},
        ReplyCase{"TruncatedBody", kOk + Length(SomeCms()) + "\r\n" + SomeCms().substr(0, SomeCms().size() / 2), 1525,
                  1020, ""},
        ReplyCase{"BodyNoCms", kOk + "Content-length: 5\r\n\r\nhello", 1525, 1020, ""},
        ReplyCase{"ChunkedUnreadable", kOk + "Transfer-Encoding: chunked\r\n\r\nxyz\r\n", 1517, 1014, ""},
        ReplyCase{"ChunkedEmpty", kOk + "Transfer-Encoding: chunked\r\n\r\n0\r\n\r\n", 1525, 1020, ""},
        ReplyCase{"StreamEndsInHeader", "HTTP/1.1 200 OK\r\nKovra-status: ERR pol\r\nContent-le", 1510, std::string("pol"), ""}),
    [](const ::testing::TestParamInfo<ReplyCase>& info) { return std::string(info.param.name); });

TEST(ReceiptDocumentOfTest, CutsTheDocumentAt258Bytes) {
  EXPECT_EQ(ReceiptDocumentOf("OK " + std::string(300, 'd')), std::string(258, 'd'));
  EXPECT_EQ(ReceiptDocumentOf("OK "), "");
}

}  // namespace
}  // namespace kovrax
