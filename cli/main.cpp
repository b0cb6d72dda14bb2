// kelmcat: scans folders of the local disk into a SQLite vault.
#include <cstdio>

#include "kelmcat.h"
#include "kelmcat_host.h"

int main(int argc, char **argv) {
  (void)argc;
  (void)argv;
  std::fprintf(stderr, "kelmcat: not built yet\n");
  return 2;
}
