// Program entry. (The gateway and the window are started here as they arrive.)
#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  if (argc > 1 && (std::strcmp(argv[1], "--version") == 0)) {
    std::printf("kovrax %s\n", KOVRAX_VERSION);
    return 0;
  }
  std::fprintf(stderr, "kovrax: not yet able to serve\n");
  return 1;
}
