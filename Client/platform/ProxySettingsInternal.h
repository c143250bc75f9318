// Small text helpers shared by the proxy settings sources.
#pragma once
#include <string>

namespace kovrax::proxysettings {

std::string Trim(const std::string& text);
std::string Lower(std::string text);
bool IsTrue(const std::string& text);  // "true", "yes", "on", "1", any case

// A manual proxy text from the per-protocol entries that are not empty:
// "https=A;socks=B", "https=A" or "socks=B"; empty when both are.
std::string ManualProxyText(const std::string& https, const std::string& socks);

}  // namespace kovrax::proxysettings
