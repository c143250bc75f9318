#include "shell/KovraException.h"

#include <utility>

namespace kovrax {

KovraException::KovraException(std::string fileName, int number, int line, std::string functionName)
    : FileName(std::move(fileName)), Line(line), FunctionName(std::move(functionName)), message_(LoadStr(number)) {}

KovraException::KovraException(std::string fileName, const FmtArgs& args, int number, int line,
                               std::string functionName)
    : FileName(std::move(fileName)),
      Line(line),
      FunctionName(std::move(functionName)),
      message_(FmtLoadStr(number, args)) {}

KovraException::KovraException(std::string fileName, std::string message, int line, std::string functionName)
    : FileName(std::move(fileName)), Line(line), FunctionName(std::move(functionName)), message_(std::move(message)) {}

}  // namespace kovrax
