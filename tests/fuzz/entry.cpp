// libFuzzer entry point of one fuzz target; the build compiles this file once per target
// with TBX_FUZZ_BODY naming its body in targets.h. Every input starts from the program's
// start values, so an input's outcome does not depend on the inputs before it.
#include <cstddef>
#include <cstdint>

#include "tests/fuzz/targets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tbxfuzz::Prepare();
  tbxfuzz::TBX_FUZZ_BODY(data, size);
  return 0;
}
