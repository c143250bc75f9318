// The single failure type of the agent: a message-table text plus the place that raised it.
#pragma once
#include <exception>
#include <string>

#include "shell/Messages.h"

namespace kovrax {

class KovraException : public std::exception {
 public:
  // By number: the message is the table entry.
  KovraException(std::string fileName, int number, int line, std::string functionName);
  // By number with arguments: the entry formatted with them.
  KovraException(std::string fileName, const FmtArgs& args, int number, int line, std::string functionName);
  // With a text already worded by the caller.
  KovraException(std::string fileName, std::string message, int line, std::string functionName);

  const std::string& Message() const noexcept { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }

  std::string FileName;
  int Line = 0;
  std::string FunctionName;

 private:
  std::string message_;
};

// Raise sites: KOVRA_RAISE(1024, 815, "TActiveXThread::Execute") or with arguments
// KOVRA_RAISE_ARGS(1014, 793, "TActiveXThread::Execute", {std::string("socket")}).
// The line is the fixed site number the web page sees in error codes, not __LINE__.
#define KOVRA_RAISE(number, line, func) throw ::kovrax::KovraException(__FILE__, (number), (line), (func))
#define KOVRA_RAISE_ARGS(number, line, func, ...) \
  throw ::kovrax::KovraException(__FILE__, ::kovrax::FmtArgs __VA_ARGS__, (number), (line), (func))
// The common "call failed" raise: entry 1014 with the name of the failed call.
#define KOVRA_RAISE_CALL(callName, line, func) \
  throw ::kovrax::KovraException(__FILE__, ::kovrax::FmtArgs{std::string(callName)}, 1014, (line), (func))

}  // namespace kovrax
