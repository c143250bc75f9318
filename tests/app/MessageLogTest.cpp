// The message log's rules, case by case.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "MessageLog.h"
#include "shell/Codepage.h"
#include "shell/Messages.h"

namespace kovrax {
namespace {

const std::string kWait = Utf8ToCp1250(LoadStr(MsgWaiting));
const std::string kVersion = "KovraX  V3.0.0";

struct Op {
  int colour;
  std::string text;  // empty: the waiting notification
};
using Line = std::pair<int, std::string>;

struct LogCase {
  const char* name;
  std::vector<Op> ops;  // after the version line
  std::vector<Line> expected;
};

std::vector<Op> Numbered(int from, int to) {
  std::vector<Op> ops;
  for (int i = from; i <= to; ++i) ops.push_back({ColourBlack, "line " + std::to_string(i)});
  return ops;
}

std::vector<Line> NumberedLines(int from, int to) {
  std::vector<Line> lines{{ColourGreen, kVersion}};
  for (int i = from; i <= to; ++i) lines.push_back({ColourBlack, "line " + std::to_string(i)});
  return lines;
}

std::string Upper(const std::string& cp1250) {
  std::string s = cp1250;
  for (auto& c : s) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 'a' && u <= 'z') c = static_cast<char>(u - 32);
    if (u >= 0xE0 && u <= 0xFE && u != 0xF7) c = static_cast<char>(u - 32);  // č -> Č and the like
  }
  return s;
}

class MessageLogRules : public testing::TestWithParam<LogCase> {};

TEST_P(MessageLogRules, AddLogLine_Sequence_GivesExpectedLines) {
  const LogCase& c = GetParam();
  TMessageLog log(kWait);
  log.AddLogLine(ColourGreen, kVersion);
  for (const auto& op : c.ops) log.AddLogLine(op.colour, op.text);
  std::vector<Line> got;
  for (const auto& l : log.Lines()) got.emplace_back(TMessageLog::ColourOf(l), TMessageLog::TextOf(l));
  EXPECT_EQ(got, c.expected);
  ASSERT_LE(log.Lines().size(), TMessageLog::kMaxLines);
  std::string hint;
  for (const auto& [colour, text] : c.expected) hint += (hint.empty() ? "" : "\n") + text;
  EXPECT_EQ(log.HintText(), hint);
}

INSTANTIATE_TEST_SUITE_P(
    Table, MessageLogRules,
    testing::Values(
        LogCase{"FortyLines_KeepsVersionAndLastThirty", Numbered(1, 40), NumberedLines(11, 40)},
        LogCase{"ThirtyLines_AllKept", Numbered(1, 30), NumberedLines(1, 30)},
        LogCase{"TwoWaits_WaitingLineOnce",
                {{ColourBlack, ""}, {ColourBlack, ""}},
                {{ColourGreen, kVersion}, {ColourBlack, kWait}}},
        LogCase{"PrefixOnlyRedText_WaitingLineInRed", {{ColourRed, ""}}, {{ColourGreen, kVersion}, {ColourRed, kWait}}},
        LogCase{"ForeignColour_NothingChanges",
                {{ColourBlack, ""}, {ColourForeign, "x"}, {ColourForeign, ""}},
                {{ColourGreen, kVersion}, {ColourBlack, kWait}}},
        LogCase{"FirstRequestThenWait_KeepsFirstRequest",
                {{ColourBlack, ""}, {ColourBlack, "a"}, {ColourRed, "b"}, {ColourBlack, ""}},
                {{ColourGreen, kVersion}, {ColourBlack, kWait}, {ColourBlack, "a"}, {ColourRed, "b"}, {ColourBlack, kWait}}},
        LogCase{"SecondRequestThenWait_PrunesFirstRequest",
                {{ColourBlack, ""},
                 {ColourBlack, "a"},
                 {ColourBlack, ""},
                 {ColourBlack, "c"},
                 {ColourRed, "d"},
                 {ColourBlack, ""}},
                {{ColourGreen, kVersion}, {ColourBlack, "c"}, {ColourRed, "d"}, {ColourBlack, kWait}}},
        LogCase{"WaitingLineInOtherCase_CountsAsWaitingLine",
                {{ColourBlack, "a"}, {ColourOrange, Upper(kWait)}, {ColourBlack, ""}},
                {{ColourGreen, kVersion}, {ColourBlack, "a"}, {ColourOrange, Upper(kWait)}}},
        LogCase{"FullLogAndWait_DropsLineOneWithoutAdding",
                [] {
                  auto ops = Numbered(1, 29);
                  ops.push_back({ColourBlack, kWait});
                  ops.push_back({ColourBlack, ""});
                  return ops;
                }(),
                [] {
                  auto lines = NumberedLines(2, 29);
                  lines.push_back({ColourBlack, kWait});
                  return lines;
                }()}),
    [](const testing::TestParamInfo<LogCase>& info) { return std::string(info.param.name); });

TEST(MessageLog, LineFormat_ColourRightAlignedInTwelve) {
  TMessageLog log(kWait);
  log.AddLogLine(ColourOrange, "x");
  ASSERT_EQ(log.Lines().size(), 1u);
  EXPECT_EQ(log.Lines()[0], "     2146559x");
}

TEST(MessageLog, ColourOfPrefix_Table) {
  const std::vector<std::pair<std::string, int>> cases = {
      {"R: x", ColourRed}, {"G: x", ColourGreen}, {"B: x", ColourBlack}, {"O: x", ColourOrange},
      {"R: ", ColourRed},  {"X: x", ColourForeign}, {"R:x", ColourForeign}, {"R:", ColourForeign},
      {"", ColourForeign}, {"r: x", ColourForeign},
  };
  for (const auto& [text, colour] : cases) EXPECT_EQ(ColourOfPrefix(text), colour) << '"' << text << '"';
}

TEST(MessageLog, SameTextCp1250_FoldsSlovenianLetters) {
  EXPECT_TRUE(SameTextCp1250(Utf8ToCp1250("čšž ČŠŽ abc"), Utf8ToCp1250("ČŠŽ čšž ABC")));
  EXPECT_FALSE(SameTextCp1250(Utf8ToCp1250("č"), Utf8ToCp1250("c")));
  EXPECT_FALSE(SameTextCp1250("\xD7", "\xF7"));  // multiplication and division signs are not letters
}

}  // namespace
}  // namespace kovrax
