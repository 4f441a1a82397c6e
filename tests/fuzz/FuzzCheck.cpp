#include "FuzzCheck.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace orvane::fuzz {

void invariantBroken(const char* condition, const char* file, int line) {
  throw InvariantBroken(std::string(file) + ":" + std::to_string(line) + ": " + condition);
}

int runOrAbort(FuzzOne one, const uint8_t* data, size_t size) {
  try {
    return one(data, size);
  } catch (const InvariantBroken& broken) {
    std::fprintf(stderr, "invariant broken: %s\n", broken.what());
    std::abort();
  }
}

}  // namespace orvane::fuzz
