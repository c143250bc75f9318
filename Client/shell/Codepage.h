// Conversion of UTF-8 texts to code page 1250, the encoding of the status window's texts.
#pragma once
#include <string>

namespace kovrax {

// The same text in windows-1250. Characters the code page lacks become "?"; invalid UTF-8
// sequences become "?" too. Never fails as a whole; empty in, empty out.
std::string Utf8ToCp1250(const std::string& utf8);
// Back to UTF-8, for display by a toolkit that works in Unicode.
std::string Cp1250ToUtf8(const std::string& cp1250);

}  // namespace kovrax
