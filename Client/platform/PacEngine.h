// Evaluation of proxy auto-configuration scripts: FindProxyForURL(url, host) with the usual
// helper functions, run in a child process so that a script that loops, eats memory or hangs
// in a name look-up costs at most the time limit and never the caller's process.
#pragma once
#include <cstddef>
#include <string>

#include "platform/PacEngineHelpers.h"

namespace kovrax {

struct PacLimits {
  int timeoutMs = 5000;              // the whole evaluation, name look-ups included
  size_t heapBytes = 64u << 20;      // script heap
  int lookupTimeoutMs = 2000;        // one name look-up of the system resolver
  NameLookup lookup;                 // null: the system resolver
  long long fixedTimeMs = -1;        // clock for the date and time functions; -1: now
};

// Longest answer handed back; longer ones are cut.
constexpr size_t kPacAnswerMax = 4096;

// True with the script's answer when it compiled, defined FindProxyForURL and that returned a
// string in time; false when the script is broken, throws, returns anything else or overruns.
bool EvaluatePac(const std::string& script, const std::string& url, const std::string& host, std::string& answer,
                 const PacLimits& limits = {});

// The helper functions every script may call, in JavaScript, defined by a function (natives, global).
extern const char* const kPacPrelude;

}  // namespace kovrax
