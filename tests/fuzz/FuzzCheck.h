#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>

// Invariant checks shared by the fuzz targets. A target's body is a function
// fuzzOne<Name>(data, size) (FuzzTargets.h); libFuzzer calls it through runOrAbort in the
// fuzz build, and the seed replay test calls it directly in the normal build. A broken
// invariant throws InvariantBroken, which names the condition and where it is written.
namespace orvane::fuzz {

class InvariantBroken : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

[[noreturn]] void invariantBroken(const char* condition, const char* file, int line);

using FuzzOne = int (*)(const uint8_t* data, size_t size);

// Runs one input; a broken invariant is printed on standard error and aborts, so that
// libFuzzer keeps the input as a crash.
int runOrAbort(FuzzOne one, const uint8_t* data, size_t size);

}  // namespace orvane::fuzz

#define FUZZ_REQUIRE(condition) \
  ((condition) ? void(0) : ::orvane::fuzz::invariantBroken(#condition, __FILE__, __LINE__))
