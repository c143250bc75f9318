// The numbered message table, the text resources and the printf-like formatting of message texts.
#pragma once
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace kovrax {

// One argument of a formatted message: "%s" takes a text, "%d" an integer.
using FmtArg = std::variant<std::string, long long>;
using FmtArgs = std::vector<FmtArg>;

// Text of a message table entry (UTF-8); empty when the number has no entry.
std::string LoadStr(int number);
// The entry formatted with the arguments.
std::string FmtLoadStr(int number, const FmtArgs& args);
// Formats "%s", "%d", "%-d", "%%" (and "%Ns"/"%0Nd" widths) with the given arguments; a missing
// argument formats as empty/0, surplus arguments are ignored. Never throws for a bad pattern.
std::string Format(const std::string& pattern, const FmtArgs& args);

// A text resource ("Error500", "Error404") as a whole; empty for an unknown name.
std::string LoadTextResource(const std::string& name);

// Message numbers used by more than one subsystem.
enum Msg : int {
  MsgCallFailed = 1014,      // "Napaka pri klicu funkcije %s()"
  MsgCriticalError = 1044,   // "Kritična napaka vrste "%s""
  MsgWaiting = 2001,
};

}  // namespace kovrax
