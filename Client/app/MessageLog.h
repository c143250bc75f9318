// The status window's message log: coloured lines in code page 1250, the version line first.
// Kept free of Qt so that its rules can be checked on their own.
#pragma once
#include <string>
#include <vector>

namespace kovrax {

// Colours as 0x00BBGGRR.
enum LogColour : int {
  ColourRed = 255,
  ColourGreen = 0x8000,
  ColourBlack = 0,
  ColourOrange = 2146559,
  ColourForeign = 32896,  // a status text with an unknown prefix: never shown
};

// The colour of a status text's three-character prefix ("R: ", "G: ", "B: ", "O: "), or
// ColourForeign for anything else, shorter texts included.
int ColourOfPrefix(const std::string& cp1250);

// Case-insensitive equality of two code page 1250 texts (letters with diacritics included).
bool SameTextCp1250(const std::string& a, const std::string& b);

class TMessageLog {
 public:
  static constexpr size_t kMaxLines = 31;

  // waitingLine: entry 2001 converted for display.
  explicit TMessageLog(std::string waitingLine);

  // The log rules: foreign colour dropped, empty text is the waiting notification (prunes the
  // previous request, adds the waiting line once), at most 31 lines with line 0 kept.
  void AddLogLine(int colour, std::string text);

  // Each line "%12d%s": the colour right-aligned in 12 characters, then the text.
  const std::vector<std::string>& Lines() const { return lines_; }
  // All texts without their colour, joined with "\n".
  const std::string& HintText() const { return hint_; }

  static int ColourOf(const std::string& line);
  static std::string TextOf(const std::string& line);

 private:
  void RebuildHint();

  std::string waiting_;
  std::vector<std::string> lines_;
  std::string hint_;
};

}  // namespace kovrax
