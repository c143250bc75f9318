// The texts the gateway builds: URL checks, reply headers, the status page and error codes.
// Pure functions, shared by the worker's methods and tested on their own.
#pragma once
#include <cstddef>
#include <string>

#include "shell/KovraException.h"

namespace kovrax::http {

// True for an "https://" url without control characters whose host part (no user name, ":443"
// ignored) equals one entry of the comma-separated host table; an entry may carry a port.
bool IsAllowedUrlFor(const std::string& url, const std::string& allowedHosts);

// "VERSION 200 OK" download header for length bytes.
std::string DownloadHeader(const std::string& version, size_t length);
// "VERSION 200 OK" header of the UTF-8 status page.
std::string StatusHeader(const std::string& version, size_t length);
// The status page with the version line in place.
std::string StatusPage(const std::string& versionLine);
// The refusal of a redirect target, body in windows-1250.
std::string RefusedTargetReply();
// "HTTP/1.1 302" reply to target.
std::string RedirectReply(const std::string& target);

// The error code shown to the voting page: "file\function@line" or the line alone.
std::string ErrorCodeText(const KovraException& e, const std::string& detailedErrorCode);
// Every occurrence of placeholder (letters in any case) replaced by text.
std::string ReplaceNoCase(const std::string& value, const std::string& placeholder, const std::string& text);

}  // namespace kovrax::http
