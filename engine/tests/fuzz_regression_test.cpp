// Replays every input that a fuzz run once found faulty (fuzz/regressions/<target>/) through
// the same entry as the fuzz target, so that the plain and sanitizer builds keep them mended.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "../../fuzz/targets.h"

namespace quib::fuzz {
namespace {

namespace fs = std::filesystem;

const fs::path kRegressions = fs::path(__FILE__).parent_path() / ".." / ".." / "fuzz" / "regressions";

class FuzzRegression : public ::testing::TestWithParam<Target> {};

TEST_P(FuzzRegression, KeptInputsEndInAValueOrAnError) {
  const fs::path dir = kRegressions / GetParam().name;
  if (!fs::is_directory(dir)) return;  // nothing found for this target so far
  for (const auto& entry : fs::directory_iterator(dir)) {
    std::ifstream in(entry.path(), std::ios::binary);
    const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                          std::istreambuf_iterator<char>()};
    SCOPED_TRACE(entry.path().filename().string());
    GetParam().run(bytes);
  }
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzRegression, ::testing::ValuesIn(kTargets),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quib::fuzz
