// The libFuzzer entry of one fuzz target: ORVANE_FUZZ_ONE names the target's function
// (set by tests/fuzz/CMakeLists.txt for each target).
#include "FuzzCheck.h"
#include "FuzzTargets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return orvane::fuzz::runOrAbort(orvane::fuzz::ORVANE_FUZZ_ONE, data, size);
}
