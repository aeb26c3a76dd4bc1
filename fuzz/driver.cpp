// The libFuzzer driver of one target of targets.h, chosen at build time by QUIB_FUZZ_TARGET.
// With QUIB_FUZZ_SEEDS=<dir> in the environment it writes the target's seed inputs there and
// exits instead of fuzzing.
#include <cstdlib>
#include <cstring>
#include <string>

#include "seeds.h"
#include "targets.h"

namespace {

const quib::fuzz::Target& chosen() {
  for (const auto& target : quib::fuzz::kTargets) {
    if (std::strcmp(target.name, QUIB_FUZZ_TARGET) == 0) return target;
  }
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (const char* dir = std::getenv("QUIB_FUZZ_SEEDS")) {
    quib::fuzz::write_seeds(chosen().name, dir);
    std::exit(0);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  chosen().run({data, size});
  return 0;
}
