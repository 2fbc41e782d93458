#include "fatal.h"

#include <unistd.h>

#include <cstdio>
#include <iostream>

void fatal_exit() {
  std::cout.flush();
  std::cerr.flush();
  fflush(stdout);
  fflush(stderr);
  _exit(1);
}
