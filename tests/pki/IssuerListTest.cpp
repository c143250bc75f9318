#include "pki/IssuerList.h"

#include <gtest/gtest.h>

#include "shell/KovraException.h"
#include "shell/Messages.h"

namespace kovrax::pki {
namespace {

const std::string kDefault = "u3a4979b4,ub82071fa,ud3c6c554,s97df913d,scabd2a79";
using List = std::vector<std::string>;

struct Case {
  const char* name;
  std::string builtIn;
  std::string param;
  char kind;
  List expected;  // ignored when raises
  bool raises = false;
};

class GetIssuerFPsTable : public ::testing::TestWithParam<Case> {};

TEST_P(GetIssuerFPsTable, GivesPermittedPrefixes) {
  const Case& c = GetParam();
  if (c.raises) {
    try {
      GetIssuerFPs(c.builtIn, c.param, c.kind);
      FAIL() << "expected 1061";
    } catch (const KovraException& e) {
      EXPECT_EQ(e.Message(), LoadStr(1061));
      EXPECT_EQ(e.FunctionName, "GetIssuerFPs");
    }
  } else {
    EXPECT_EQ(GetIssuerFPs(c.builtIn, c.param, c.kind), c.expected);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, GetIssuerFPsTable,
    ::testing::Values(
        Case{"DefaultUser", kDefault, "", 'u', {"3a4979b4", "b82071fa", "d3c6c554"}},
        Case{"DefaultServer", kDefault, "", 's', {"97df913d", "cabd2a79"}},
        Case{"PlainEntryNarrowsUser", kDefault, "3a4979b4", 'u', {"3a4979b4"}},
        Case{"NarrowingIgnoresCase", kDefault, "3A4979B4", 'u', {"3a4979b4"}},
        Case{"NarrowingKeepsBuiltInOrder", kDefault, "d3c6c554, u3a4979b4", 'u', {"3a4979b4", "d3c6c554"}},
        Case{"ServerEntryLeavesUserUnchanged", kDefault, "s97df913d", 'u', {"3a4979b4", "b82071fa", "d3c6c554"}},
        Case{"ServerEntryNarrowsServer", kDefault, "s97df913d", 's', {"97df913d"}},
        Case{"PlainEntryIgnoredForServer", kDefault, "3a4979b4", 's', {"97df913d", "cabd2a79"}},
        Case{"StarEntryCountsForServer", kDefault, "*cabd2a79", 's', {"cabd2a79"}},
        Case{"StarEntryNotPermittedForUser", kDefault, "*cabd2a79", 'u', {}, true},
        Case{"UnknownIssuerRaises", kDefault, "12345678", 'u', {}, true},
        Case{"ShortEntryIsNoMatch", kDefault, "3a49", 'u', {}, true},
        Case{"UppercaseKindLetterIsPlainEntry", kDefault, "U3a4979b4", 'u', {}, true},
        Case{"EmptyBuiltInTakesParameter", "", "3a49,s1234", 'u', {"3a49"}},
        Case{"EmptyBoth", "", "", 'u', {}},
        Case{"SeparatorsAndBlanks", " u3a4979b4 \r\n,, \t sabc ,Uxyz,*ffff", "", 'u', {"3a4979b4", "ffff"}},
        Case{"SeparatorsAndBlanksServer", " u3a4979b4 \r\n,, \t sabc ,Uxyz,*ffff", "", 's', {"abc", "ffff"}},
        Case{"OnlyBlankParameterChangesNothing", kDefault, " , \n ", 's', {"97df913d", "cabd2a79"}}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

TEST(SplitIssuerList, TrimsControlCharactersAndDropsEmptyEntries) {
  EXPECT_EQ(SplitIssuerList("\x01 a \x7f,\n\n b\t,"), (List{"a \x7f", "b"}));
}

}  // namespace
}  // namespace kovrax::pki
