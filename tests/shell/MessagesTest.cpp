#include <gtest/gtest.h>

#include "shell/Codepage.h"
#include "shell/KovraException.h"
#include "shell/Messages.h"

namespace kovrax {
namespace {

TEST(Messages, LoadStrGivesTableTextOrEmpty) {
  EXPECT_EQ(LoadStr(1024), "Napačen port");
  EXPECT_EQ(LoadStr(1044), "Kritična napaka vrste \"%s\"");
  EXPECT_EQ(LoadStr(2001), "Čakam na zahtevek ...");
  EXPECT_EQ(LoadStr(3008), "u3a4979b4,ub82071fa,ud3c6c554,s97df913d,scabd2a79");
  for (int missing : {3002, 3003, 3004, 3006, 3009, 3012, 3013, 1000, 1063, 2011, 0})
    EXPECT_EQ(LoadStr(missing), "") << missing;
}

TEST(Messages, EveryFailureAndProgressNumberHasText) {
  for (int n = 1001; n <= 1062; ++n) EXPECT_FALSE(LoadStr(n).empty()) << n;
  for (int n = 2001; n <= 2010; ++n) EXPECT_FALSE(LoadStr(n).empty()) << n;
}

TEST(Messages, FormatFillsTextAndIntegerPlaceholders) {
  struct Case {
    std::string pattern;
    FmtArgs args;
    std::string expected;
  } cases[] = {
      {"Napaka pri klicu funkcije %s()", {std::string("connect")}, "Napaka pri klicu funkcije connect()"},
      {"CONNECT %s:%-d %s\r\n\r\n", {std::string("h"), 443LL, std::string("HTTP/1.1")}, "CONNECT h:443 HTTP/1.1\r\n\r\n"},
      {"%d:%s", {7LL, std::string("x")}, "7:x"},
      {"100%% %s", {std::string("a")}, "100% a"},
      {"%s and %s", {std::string("one")}, "one and "},
      {"%02d", {5LL}, "05"},
      {"tail %", {}, "tail %"},
  };
  for (const auto& c : cases) EXPECT_EQ(Format(c.pattern, c.args), c.expected) << c.pattern;
}

TEST(Messages, TextResourcesAreCompleteRepliesWithCrLf) {
  std::string e500 = LoadTextResource("Error500");
  std::string e404 = LoadTextResource("Error404");
  EXPECT_EQ(e500.rfind("HTTP/1.1 500 Internal Server Error\r\n\r\n<", 0), 0u);
  EXPECT_EQ(e404.rfind("HTTP/1.1 404 Not Found\r\n\r\n<", 0), 0u);
  EXPECT_NE(e404.find("404 Not Found</title>"), std::string::npos);
  for (const std::string* page : {&e500, &e404})
    for (size_t i = 0; i < page->size(); ++i) {
      if ((*page)[i] == '\n') {
        ASSERT_EQ((*page)[i - 1], '\r');
      }
    }
  EXPECT_EQ(LoadTextResource("Nope"), "");
}

TEST(KovraExceptionTest, CarriesMessageAndRaiseSite) {
  try {
    KOVRA_RAISE_CALL("connect", 42, "TActiveXThread::Connect_socket");
  } catch (const KovraException& e) {
    EXPECT_EQ(e.Message(), "Napaka pri klicu funkcije connect()");
    EXPECT_EQ(e.Line, 42);
    EXPECT_EQ(e.FunctionName, "TActiveXThread::Connect_socket");
    EXPECT_NE(e.FileName.find("MessagesTest.cpp"), std::string::npos);
    return;
  }
  FAIL() << "not raised";
}

TEST(Codepage, Utf8ToCp1250) {
  EXPECT_EQ(Utf8ToCp1250(""), "");
  EXPECT_EQ(Utf8ToCp1250("abc"), "abc");
  EXPECT_EQ(Utf8ToCp1250("Čakam ž"), "\xC8" "akam \x9E");
  // Characters the code page lacks become substitutes; the rest survives.
  EXPECT_EQ(Utf8ToCp1250("a€b☃c😀d"), "a\x80" "b?c?d");
  // Broken UTF-8 does not lose the whole text.
  EXPECT_EQ(Utf8ToCp1250("a\xC3z"), "a?z");
  EXPECT_EQ(Cp1250ToUtf8(Utf8ToCp1250("Pošiljam podatke ...")), "Pošiljam podatke ...");
}

}  // namespace
}  // namespace kovrax
