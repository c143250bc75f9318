// Issuer lists: the built-in IssuerHashes text and the request's "CA" parameter, turned into
// the thumbprint prefixes permitted for one kind ('u' the voter's side, 's' the server's side).
#pragma once
#include <string>
#include <vector>

namespace kovrax::pki {

// Entries separated by commas or line breaks, each trimmed of blanks and control characters,
// empty ones dropped.
std::vector<std::string> SplitIssuerList(const std::string& text);

// The permitted prefixes for the kind, narrowed by the parameter's entries of that kind.
// Raises 1061 when the parameter names issuers of this kind and none of them is permitted.
std::vector<std::string> GetIssuerFPs(const std::string& builtIn, const std::string& param, char kind);

}  // namespace kovrax::pki
