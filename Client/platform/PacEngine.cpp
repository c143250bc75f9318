#include "platform/PacEngine.h"

#include <duktape.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

namespace kovrax {

namespace {

// What the child works on: everything sits in plain buffers prepared before the fork, so that
// code running under the script engine (which unwinds by longjmp) owns nothing that needs a destructor.
struct Job {
  const char* prelude = nullptr;  // bytecode; null: compile the source
  size_t preludeLength = 0;
  const char* script = nullptr;
  size_t scriptLength = 0;
  const char* url = nullptr;
  size_t urlLength = 0;
  const char* host = nullptr;
  size_t hostLength = 0;
  char answer[kPacAnswerMax] = {};
  size_t answerLength = 0;
  bool ok = false;
};

// The script heap: a byte budget on top of malloc, reached by the natives through the heap's udata.
struct Heap {
  NameLookup lookup;
  long long fixedTimeMs = -1;
  size_t used = 0;
  size_t limit = 0;
};

constexpr size_t kHeader = alignof(std::max_align_t);
constexpr size_t kHostBuffer = 254;

void* HeapAlloc(void* udata, duk_size_t size) {
  auto* heap = static_cast<Heap*>(udata);
  if (size > heap->limit - heap->used) return nullptr;
  auto* raw = static_cast<char*>(std::malloc(size + kHeader));
  if (!raw) return nullptr;
  std::memcpy(raw, &size, sizeof size);
  heap->used += size;
  return raw + kHeader;
}

void HeapFree(void* udata, void* ptr) {
  if (!ptr) return;
  auto* heap = static_cast<Heap*>(udata);
  char* raw = static_cast<char*>(ptr) - kHeader;
  size_t size = 0;
  std::memcpy(&size, raw, sizeof size);
  heap->used -= size;
  std::free(raw);
}

void* HeapRealloc(void* udata, void* ptr, duk_size_t size) {
  if (!ptr) return HeapAlloc(udata, size);
  if (size == 0) {
    HeapFree(udata, ptr);
    return nullptr;
  }
  auto* heap = static_cast<Heap*>(udata);
  char* raw = static_cast<char*>(ptr) - kHeader;
  size_t old = 0;
  std::memcpy(&old, raw, sizeof old);
  if (size > old && size - old > heap->limit - heap->used) return nullptr;
  auto* moved = static_cast<char*>(std::realloc(raw, size + kHeader));
  if (!moved) return nullptr;
  std::memcpy(moved, &size, sizeof size);
  heap->used = heap->used - old + size;
  return moved + kHeader;
}

// Only ever reached in the child: ending it is the answer "no answer".
void Fatal(void*, const char*) { _exit(71); }

Heap& HeapOf(duk_context* ctx) {
  duk_memory_functions f;
  duk_get_memory_functions(ctx, &f);
  return *static_cast<Heap*>(f.udata);
}

// The C++ side of the natives; no engine calls in here.
int ResolveInto(const Heap& heap, const char* host, size_t length, char* out, size_t capacity) noexcept {
  try {
    std::string address;
    size_t needed = 0;
    const int rc = ResolveHostName(std::string(host, length), address, kHostBuffer, &needed, heap.lookup);
    if (rc != kPacOk || address.size() >= capacity) return rc == kPacOk ? kPacInsufficientBuffer : rc;
    std::memcpy(out, address.c_str(), address.size() + 1);
    return kPacOk;
  } catch (...) {
    return kPacInternalError;
  }
}

int MyAddressInto(const Heap& heap, char* out, size_t capacity) noexcept {
  try {
    std::string address;
    size_t needed = 0;
    const int rc = GetIPAddress(address, kHostBuffer, &needed, heap.lookup);
    if (rc != kPacOk || address.size() >= capacity) return rc == kPacOk ? kPacInsufficientBuffer : rc;
    std::memcpy(out, address.c_str(), address.size() + 1);
    return kPacOk;
  } catch (...) {
    return kPacInternalError;
  }
}

bool InNet(const char* address, const char* net, const char* mask) noexcept {
  try {
    return IsInNet(address, net, mask);
  } catch (...) {
    return false;
  }
}

duk_ret_t NativeResolve(duk_context* ctx) {
  duk_size_t length = 0;
  const char* host = duk_to_lstring(ctx, 0, &length);
  char out[kHostBuffer + 1];
  if (ResolveInto(HeapOf(ctx), host, length, out, sizeof out) == kPacOk) {
    duk_push_string(ctx, out);
  } else {
    duk_push_null(ctx);
  }
  return 1;
}

duk_ret_t NativeIsResolvable(duk_context* ctx) {
  duk_size_t length = 0;
  const char* host = duk_to_lstring(ctx, 0, &length);
  char out[kHostBuffer + 1];
  duk_push_boolean(ctx, ResolveInto(HeapOf(ctx), host, length, out, sizeof out) == kPacOk);
  return 1;
}

duk_ret_t NativeMyIpAddress(duk_context* ctx) {
  char out[kHostBuffer + 1];
  if (MyAddressInto(HeapOf(ctx), out, sizeof out) == kPacOk) {
    duk_push_string(ctx, out);
  } else {
    duk_push_null(ctx);
  }
  return 1;
}

duk_ret_t NativeIsInNet(duk_context* ctx) {
  const char* address = duk_to_string(ctx, 0);
  const char* net = duk_to_string(ctx, 1);
  const char* mask = duk_to_string(ctx, 2);
  duk_push_boolean(ctx, InNet(address, net, mask));
  return 1;
}

size_t CharLength(unsigned char lead) {
  if (lead >= 0xf0 && lead <= 0xf7) return 4;
  if (lead >= 0xe0) return lead <= 0xef ? 3 : 1;
  if (lead >= 0xc0) return 2;
  return 1;
}

// Shell pattern: "*" any run, "?" one character, everything else literal. Scripts call this
// for nearly every rule, so it is native; linear backtracking over the last "*" only.
bool Glob(const char* s, size_t sn, const char* p, size_t pn) noexcept {
  size_t si = 0, pi = 0, star = SIZE_MAX, mark = 0;
  while (si < sn) {
    if (pi < pn && p[pi] == '*') {
      star = pi++;
      mark = si;
    } else if (pi < pn && p[pi] == '?') {
      si = std::min(sn, si + CharLength(static_cast<unsigned char>(s[si])));
      ++pi;
    } else if (pi < pn && p[pi] == s[si]) {
      ++si;
      ++pi;
    } else if (star != SIZE_MAX) {
      pi = star + 1;
      mark = std::min(sn, mark + CharLength(static_cast<unsigned char>(s[mark])));
      si = mark;
    } else {
      return false;
    }
  }
  while (pi < pn && p[pi] == '*') ++pi;
  return pi == pn;
}

duk_ret_t NativeShExpMatch(duk_context* ctx) {
  duk_size_t sn = 0, pn = 0;
  const char* s = duk_to_lstring(ctx, 0, &sn);
  const char* p = duk_to_lstring(ctx, 1, &pn);
  duk_push_boolean(ctx, Glob(s, sn, p, pn));
  return 1;
}

duk_ret_t NativeNow(duk_context* ctx) {
  duk_push_number(ctx, static_cast<double>(HeapOf(ctx).fixedTimeMs));
  return 1;
}

duk_ret_t Run(duk_context* ctx, void* udata) {
  Job* job = static_cast<Job*>(udata);
  if (job->prelude) {
    void* code = duk_push_fixed_buffer(ctx, job->preludeLength);
    std::memcpy(code, job->prelude, job->preludeLength);
    duk_load_function(ctx);
  } else {
    duk_compile_string(ctx, DUK_COMPILE_FUNCTION, kPacPrelude);
  }
  duk_push_object(ctx);
  const struct {
    const char* name;
    duk_c_function fn;
    duk_idx_t args;
  } natives[] = {
      {"resolve", NativeResolve, 1},     {"isResolvable", NativeIsResolvable, 1}, {"myIpAddress", NativeMyIpAddress, 0},
      {"isInNet", NativeIsInNet, 3},     {"shExpMatch", NativeShExpMatch, 2}, {"now", NativeNow, 0},
  };
  for (const auto& n : natives) {
    duk_push_c_function(ctx, n.fn, n.args);
    duk_put_prop_string(ctx, -2, n.name);
  }
  duk_push_global_object(ctx);
  duk_call(ctx, 2);
  duk_pop(ctx);

  duk_compile_lstring(ctx, 0, job->script, job->scriptLength);
  duk_call(ctx, 0);
  duk_pop(ctx);

  if (!duk_get_global_string(ctx, "FindProxyForURL") || !duk_is_function(ctx, -1)) return 0;
  duk_push_lstring(ctx, job->url, job->urlLength);
  duk_push_lstring(ctx, job->host, job->hostLength);
  duk_call(ctx, 2);
  if (!duk_is_string(ctx, -1)) return 0;
  duk_size_t length = 0;
  const char* answer = duk_get_lstring(ctx, -1, &length);
  job->answerLength = std::min<size_t>(length, sizeof job->answer);
  std::memcpy(job->answer, answer, job->answerLength);
  job->ok = true;
  return 0;
}

void WriteAll(int fd, const char* data, size_t length) {
  while (length > 0) {
    const ssize_t n = write(fd, data, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    data += n;
    length -= static_cast<size_t>(n);
  }
}

[[noreturn]] void ChildMain(int fd, Job* job, Heap* heap) {
  duk_context* ctx = duk_create_heap(HeapAlloc, HeapRealloc, HeapFree, heap, Fatal);
  if (ctx) duk_safe_call(ctx, Run, job, 0, 1);
  const char status = job->ok ? '+' : '-';
  WriteAll(fd, &status, 1);
  if (job->ok) WriteAll(fd, job->answer, job->answerLength);
  // No heap teardown and no exit handlers: the process is thrown away.
  _exit(0);
}

[[noreturn]] void ParentFatal(void*, const char*) { std::abort(); }

duk_ret_t CompilePrelude(duk_context* ctx, void*) {
  duk_compile_string(ctx, DUK_COMPILE_FUNCTION, kPacPrelude);
  duk_dump_function(ctx);
  return 1;
}

// The prelude is ours and the same for every script: it is compiled once per process, here,
// and each child only loads the bytecode. Scripts themselves are never touched in this process.
const std::string& PreludeBytecode() {
  static std::once_flag once;
  static std::string code;
  std::call_once(once, [] {
    duk_context* ctx = duk_create_heap(nullptr, nullptr, nullptr, nullptr, ParentFatal);
    if (!ctx) return;
    if (duk_safe_call(ctx, CompilePrelude, nullptr, 0, 1) == DUK_EXEC_SUCCESS) {
      duk_size_t length = 0;
      const void* data = duk_get_buffer_data(ctx, -1, &length);
      if (data) code.assign(static_cast<const char*>(data), length);
    }
    duk_destroy_heap(ctx);
  });
  return code;
}

struct FdClose {
  int fd;
  ~FdClose() {
    if (fd >= 0) close(fd);
  }
};

}  // namespace

bool EvaluatePac(const std::string& script, const std::string& url, const std::string& host, std::string& answer,
                 const PacLimits& limits) {
  answer.clear();
  auto job = std::make_unique<Job>();
  const std::string& prelude = PreludeBytecode();
  if (!prelude.empty()) {
    job->prelude = prelude.data();
    job->preludeLength = prelude.size();
  }
  job->script = script.data();
  job->scriptLength = script.size();
  job->url = url.data();
  job->urlLength = url.size();
  job->host = host.data();
  job->hostLength = host.size();
  auto heap = std::make_unique<Heap>();
  heap->lookup = limits.lookup ? limits.lookup : SystemNameLookup(limits.lookupTimeoutMs);
  heap->fixedTimeMs = limits.fixedTimeMs;
  heap->limit = limits.heapBytes;

  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  const pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    return false;
  }
  if (pid == 0) {
    close(fds[0]);
    ChildMain(fds[1], job.get(), heap.get());
  }
  close(fds[1]);
  FdClose reader{fds[0]};

  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(limits.timeoutMs);
  std::string received;
  bool complete = false;
  char buffer[4096];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) break;
    pollfd p{reader.fd, POLLIN, 0};
    const int ready = poll(&p, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    const ssize_t n = read(reader.fd, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n < 0) break;
    if (n == 0) {
      complete = true;
      break;
    }
    received.append(buffer, static_cast<size_t>(n));
    if (received.size() > kPacAnswerMax + 1) break;
  }
  // Whatever state the child is in, it ends here; it is always reaped.
  kill(pid, SIGKILL);
  while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
  if (!complete || received.empty() || received[0] != '+') return false;
  answer = received.substr(1);
  return true;
}

}  // namespace kovrax
