// The status page on "/".
#include "gateway/ActiveXThreadUnit.h"
#include "gateway/GatewayText.h"
#include "gateway/HTTPHeaderUnit.h"
#include "shell/Messages.h"

namespace kovrax {
namespace {

constexpr const char* kGetStatus = "TActiveXThread::GetStatus";

constexpr const char* kPageStart[] = {
    "<!DOCTYPE html>",
    "<html lang=\"sl\">",
    "<head>",
    "    <meta charset=\"UTF-8\">",
    "    <meta name=\"viewport\" content=\"width=device-width, initial-scale=1.0\">",
    "    <title>Kovra</title>",
    "    <style>",
    "        body {",
    "            font-family: Arial, sans-serif;",
    "            background-color: #f2f2f2;",
    "            color: #333;",
    "            text-align: center;",
    "            padding-top: 50px;",
    "        }",
    "        .container {",
    "            display: inline-block;",
    "            background-color: #fff;",
    "            padding: 20px;",
    "            border-radius: 10px;",
    "            box-shadow: 0 0 10px rgba(0, 0, 0, 0.1);",
    "        }",
    "        h1 {",
    "            margin-bottom: 20px;",
    "        }",
    "        footer {",
    "            background-color: #e9e9e9;",
    "            padding: 10px;",
    "            text-align: center;",
    "            width: 100%;",
    "            position: fixed;",
    "            bottom: 0;",
    "        }",
    "        footer img {",
    "            padding-bottom: 5px;",
    "            vertical-align: middle;",
    "            mix-blend-mode: multiply;",
    "        }",
    "    </style>",
    "</head>",
    "<body>",
    "    <div class=\"container\">",
    "        <h1>Kovra</h1>",
};

constexpr const char* kPageEnd[] = {
    "    </div>",
    "    <footer>",
    "        <a href=\"https://www.kovra.example/\"><img height=\"34\" alt=\"Kovra\" "
    "src=\"data:image/svg+xml,%3Csvg xmlns='http://www.w3.org/2000/svg' width='34' height='34'%3E"
    "%3Crect width='34' height='34' rx='6' fill='%23204a87'/%3E%3Ctext x='17' y='24' font-size='20' "
    "font-family='Arial' text-anchor='middle' fill='white'%3EK%3C/text%3E%3C/svg%3E\"></a>",
    "        <br>",
    "        <span><a href=\"https://www.kovra.example/\">Kovra</a> &copy; Melsa, d.o.o.</span>",
    "    </footer>",
    "</body>",
    "</html>",
};

}  // namespace

namespace http {

std::string StatusHeader(const std::string& version, size_t length) {
  return version + " 200 OK\r\nContent-Length: " + std::to_string(length) +
         "\r\nContent-Type: text/html; charset=UTF-8\r\nConnection: close\r\nAccess-Control-Allow-Origin: *\r\n\r\n";
}

std::string StatusPage(const std::string& versionLine) {
  std::string page;
  for (const char* line : kPageStart) page.append(line).append("\r\n");
  page.append("        ").append(versionLine).append("\r\n");
  for (const char* line : kPageEnd) page.append(line).append("\r\n");
  return page;
}

}  // namespace http

void TActiveXThread::GetStatus() {
  std::string versionLine = Services.Notify ? Services.Notify->VersionLine() : std::string();
  std::string page = http::StatusPage(versionLine);
  std::string header = http::StatusHeader(Header ? Header->Version : std::string(), page.size());
  ReplyPending = false;
  if (!SendToClient(header)) KOVRA_RAISE_CALL("send", 2752, kGetStatus);
  if (!SendToClient(page)) KOVRA_RAISE_CALL("send", 2755, kGetStatus);
  PostText("B: " + LoadStr(2009));
}

}  // namespace kovrax
