// Time to build one signed ballot (signed content, CMS SignedData, DER) in process, beside the
// command-line tool signing the same content with the same key (process start included).
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "submission/SignedBallot.h"
#include "support/TestPki.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace kovrax;

// A form-encoded body of about size bytes: many short fields with encoded letters.
std::string MakeForm(size_t size) {
  std::string body;
  for (int i = 0; body.size() < size; ++i) {
    if (!body.empty()) body += '&';
    body += "vprasanje" + std::to_string(i) + "=odgovor+%C5%A1t.+" + std::to_string(i * 7919 % 1000);
  }
  body.resize(size);
  return body;
}

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Median of runs of fn, in seconds.
template <typename Fn>
double Median(int runs, Fn fn) {
  std::vector<double> t;
  for (int i = 0; i < runs; ++i) {
    auto start = Clock::now();
    fn();
    t.push_back(SecondsSince(start));
  }
  std::sort(t.begin(), t.end());
  return t[t.size() / 2];
}

bool RunOpenssl(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid;
  if (posix_spawnp(&pid, "openssl", nullptr, nullptr, argv.data(), environ) != 0) return false;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

int main() {
  test::TempDir dir("kovrax-bench");
  struct KeyKind {
    const char* name;
    test::KeyPtr key;
  };
  KeyKind kinds[] = {{"RSA-2048", test::MakeRsaKey(2048)}, {"EC P-256", test::MakeEcKey()}};
  const size_t sizes[] = {2 * 1024, 64 * 1024};

  std::printf("%-9s %8s %14s %16s %8s\n", "key", "form", "in-process", "openssl cms", "ratio");
  for (KeyKind& kind : kinds) {
    test::Authority root = test::MakeRootCa("Bench Root");
    test::CertSpec spec;
    spec.cn = "Bench Voter";
    test::CertPtr cert = test::IssueCert(spec, kind.key.get(), root.cert.get(), root.key.get());
    test::WriteFile(dir / "cert.pem", test::ToPem(cert.get()));
    test::WriteFile(dir / "key.pem", test::KeyToPem(kind.key.get()));

    double times[2] = {0, 0};
    for (size_t s = 0; s < 2; ++s) {
      const std::string form = MakeForm(sizes[s]);
      const std::string server = "https://volitve.example/oddaj";
      size_t derSize = 0;
      auto build = [&] {
        std::string content = submission::BuildSignedContent(form, server, submission::kDefaultProfile);
        submission::SignedBallot b =
            submission::SignContent(content, kind.key.get(), cert.get(), submission::kDefaultProfile);
        derSize = b.der.size();
      };
      build();  // warm-up
      const double ours = Median(51, build);

      test::WriteFile(dir / "content.txt", submission::BuildSignedContent(form, server, submission::kDefaultProfile));
      const std::vector<std::string> args = {"openssl", "cms", "-sign", "-binary", "-nosmimecap", "-md", "sha256",
                                             "-nodetach", "-signer", dir / "cert.pem", "-inkey", dir / "key.pem",
                                             "-in", dir / "content.txt", "-outform", "DER", "-out", dir / "cms.der"};
      if (!RunOpenssl(args)) {
        std::fprintf(stderr, "openssl cms -sign failed\n");
        return 1;
      }
      const double tool = Median(11, [&] { RunOpenssl(args); });
      times[s] = ours;
      std::printf("%-9s %6zuKiB %11.3f ms %13.3f ms %7.1fx   (ballot %zu bytes)\n", kind.name, sizes[s] / 1024,
                  ours * 1e3, tool * 1e3, tool / ours, derSize);
    }
    // Fixed part (the signature) plus a part that grows with the form.
    const double perByte = (times[1] - times[0]) / static_cast<double>(sizes[1] - sizes[0]);
    std::printf("%-9s fixed %.3f ms + %.2f ns per form byte\n", kind.name, (times[0] - perByte * sizes[0]) * 1e3,
                perByte * 1e9);
  }
  return 0;
}
