#include "MessageLog.h"

#include <cstdio>
#include <cstdlib>

namespace kovrax {
namespace {

// Lower case of one windows-1250 byte.
unsigned char FoldCp1250(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return static_cast<unsigned char>(c + 32);
  switch (c) {
    case 0x8A: return 0x9A;  // Š
    case 0x8C: return 0x9C;  // Ś
    case 0x8D: return 0x9D;  // Ť
    case 0x8E: return 0x9E;  // Ž
    case 0x8F: return 0x9F;  // Ź
    case 0xA3: return 0xB3;  // Ł
    case 0xA5: return 0xB9;  // Ą
    case 0xAA: return 0xBA;  // Ş
    case 0xAF: return 0xBF;  // Ż
    case 0xBC: return 0xBE;  // Ľ
    default: break;
  }
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return static_cast<unsigned char>(c + 32);
  return c;
}

constexpr size_t kColourWidth = 12;

}  // namespace

int ColourOfPrefix(const std::string& t) {
  if (t.size() < 3 || t[1] != ':' || t[2] != ' ') return ColourForeign;
  switch (t[0]) {
    case 'R': return ColourRed;
    case 'G': return ColourGreen;
    case 'B': return ColourBlack;
    case 'O': return ColourOrange;
    default: return ColourForeign;
  }
}

bool SameTextCp1250(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (FoldCp1250(static_cast<unsigned char>(a[i])) != FoldCp1250(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

TMessageLog::TMessageLog(std::string waitingLine) : waiting_(std::move(waitingLine)) {}

int TMessageLog::ColourOf(const std::string& line) {
  return static_cast<int>(std::strtol(line.substr(0, kColourWidth).c_str(), nullptr, 10));
}

std::string TMessageLog::TextOf(const std::string& line) {
  return line.size() > kColourWidth ? line.substr(kColourWidth) : std::string();
}

void TMessageLog::AddLogLine(int colour, std::string text) {
  if (colour == ColourForeign) return;
  if (text.empty()) {
    // A new wait: what the request before the last one logged goes, line 0 stays.
    if (lines_.size() > 1) {
      for (size_t i = lines_.size() - 2; i >= 2; --i) {
        if (SameTextCp1250(TextOf(lines_[i]), waiting_)) {
          lines_.erase(lines_.begin() + 1, lines_.begin() + 1 + static_cast<std::ptrdiff_t>(i));
          break;
        }
      }
    }
    if (!lines_.empty() && !SameTextCp1250(TextOf(lines_.back()), waiting_)) text = waiting_;
  }
  if (lines_.size() > kMaxLines - 1) lines_.erase(lines_.begin() + 1);
  if (!text.empty()) {
    char head[32];
    std::snprintf(head, sizeof head, "%12d", colour);
    lines_.push_back(head + text);
  }
  RebuildHint();
}

void TMessageLog::RebuildHint() {
  hint_.clear();
  for (const auto& line : lines_) {
    if (!hint_.empty()) hint_ += '\n';
    hint_ += TextOf(line);
  }
}

}  // namespace kovrax
