#include "shell/Headless.h"

#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>

#include "gateway/ActiveXThreadUnit.h"
#include "platform/KeyStorage.h"
#include "platform/PlatformKeys.h"
#include "shell/Codepage.h"
#include "shell/Messages.h"
#include "shell/Settings.h"

namespace kovrax {
namespace {

std::mutex& StderrMutex() {
  static std::mutex m;
  return m;
}

bool IsNumber(const std::string& s) {
  size_t i = (!s.empty() && (s[0] == '-' || s[0] == '+')) ? 1 : 0;
  if (i == s.size()) return false;
  for (; i < s.size(); ++i)
    if (s[i] < '0' || s[i] > '9') return false;
  return true;
}

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
  CommandLine cl;
  bool positionalOnly = false;
  for (const std::string& arg : args) {
    bool positional = positionalOnly || IsNumber(arg) || arg.empty() || arg[0] != '-';
    if (!positional) {
      if (arg == "--") positionalOnly = true;
      else if (arg == "--help" || arg == "-h") cl.help = true;
      else if (arg == "--version") cl.version = true;
      else if (arg == "--headless") cl.headless = true;
      else cl.error = "unknown option " + arg;
      continue;
    }
    if (!cl.port.empty()) {
      cl.error = "unexpected argument " + arg;
      continue;
    }
    cl.port = arg;
  }
  return cl;
}

std::string UsageText() {
  return "Usage: kovrax [--headless] [PORT]\n"
         "  PORT        listening port on 127.0.0.1 (default 81); a negative number -N takes the\n"
         "              first free of 64 ports from N on\n"
         "  --headless  run without a window, status lines on stderr (also when no display is set)\n"
         "  --help      print this text\n"
         "  --version   print the version\n";
}

std::string ProgramVersionLine() { return std::string("KovraX V") + KOVRAX_VERSION + " \xC2\xA9 Melsa, d.o.o."; }

void StderrNotifySink::Post(int, long long) {}

void StderrNotifySink::PostText(std::string cp1250) { PrintLine(Cp1250ToUtf8(cp1250)); }

std::string StderrNotifySink::VersionLine() { return ProgramVersionLine(); }

void StderrNotifySink::PrintLine(const std::string& utf8) {
  std::string line = utf8;
  // One status text, one line, whatever the text holds.
  for (char& c : line)
    if (static_cast<unsigned char>(c) < 0x20) c = ' ';
  line += '\n';
  std::lock_guard<std::mutex> lock(StderrMutex());
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

int RunHeadless(const std::string& portArg) {
  // A browser that went away must not end the process through a write to its socket.
  signal(SIGPIPE, SIG_IGN);
  // Blocked before the gateway thread exists, so that only sigtimedwait below ever sees them.
  sigset_t stopSignals, previous;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, &previous);

  StderrNotifySink sink;
  TSettings settings = TSettings::Defaults(portArg);
  for (const std::string& line : LoadConfig(settings, portArg)) sink.PrintLine("O: " + line);

  // Without the key storage no ballot could be signed: no gateway then, as with the window.
  std::string keyError;
  std::unique_ptr<KeyStorage> keys = KeyStorage::Load(settings.Pkcs11Module, &keyError);
  if (!keys) {
    sink.PrintLine("R: " + LoadStr(1033) + " (" + settings.Pkcs11Module + ": " + keyError + ")");
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return 1;
  }

  TServices services;
  services.Notify = &sink;
  services.Keys = keys.get();
  std::unique_ptr<TActiveXThread> gateway;
  try {
    RegisterPlatformMethods();
    gateway = std::make_unique<TActiveXThread>(std::move(settings), services);
  } catch (const std::exception& e) {
    sink.PrintLine(std::string("R: ") + e.what());
    ReleasePlatformMethods();
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return 1;
  }

  int status = 0;
  bool announced = false;
  for (;;) {
    timespec tick{0, 200 * 1000 * 1000};
    int sig = sigtimedwait(&stopSignals, nullptr, &tick);
    if (sig == SIGINT || sig == SIGTERM) break;
    if (!announced) {
      int port = gateway->WaitListening(std::chrono::milliseconds(0));
      if (port > 0) {
        sink.PrintLine("kovrax: listening on 127.0.0.1:" + std::to_string(port));
        announced = true;
      }
    }
    if (gateway->Finished()) {
      status = 1;
      break;
    }
  }
  gateway->Stop();
  gateway.reset();
  ReleasePlatformMethods();
  keys.reset();
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return status;
}

}  // namespace kovrax
