// Replays, through the same entry as each fuzz target, the seed inputs the target writes for
// itself and every input that a fuzz run once found faulty (fuzz/regressions/<target>/), so
// that the plain and sanitizer builds run every entry and keep the findings mended.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "../../fuzz/seeds.h"
#include "../../fuzz/targets.h"

namespace quib::fuzz {
namespace {

namespace fs = std::filesystem;

const fs::path kFuzz = fs::path(__FILE__).parent_path() / ".." / ".." / "fuzz";

// The files of `dir` in name order; none when it does not exist.
std::vector<fs::path> files_in(const fs::path& dir) {
  std::vector<fs::path> files;
  if (!fs::is_directory(dir)) return files;
  for (const auto& entry : fs::directory_iterator(dir)) files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  return files;
}

class FuzzRegression : public ::testing::TestWithParam<Target> {
 protected:
  void SetUp() override {
    seeds_ = fs::path(testing::TempDir()) /
             ("quib_fuzz_seeds_" + std::to_string(::getpid()) + "_" + GetParam().name);
    fs::remove_all(seeds_);
    fs::create_directories(seeds_);
  }
  void TearDown() override { fs::remove_all(seeds_); }

  fs::path seeds_;
};

TEST_P(FuzzRegression, SeedsAndKeptInputsEndInAValueOrAnError) {
  write_seeds(GetParam().name, seeds_.string());
  const std::vector<fs::path> seeds = files_in(seeds_);
  // A target without seeds would replay nothing here and start its fuzzing from nothing.
  ASSERT_FALSE(seeds.empty()) << "no seed inputs for target " << GetParam().name;
  std::vector<fs::path> inputs = seeds;
  const std::vector<fs::path> kept = files_in(kFuzz / "regressions" / GetParam().name);
  inputs.insert(inputs.end(), kept.begin(), kept.end());
  for (const fs::path& input : inputs) {
    std::ifstream in(input, std::ios::binary);
    ASSERT_TRUE(in) << input;
    const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                          std::istreambuf_iterator<char>()};
    SCOPED_TRACE(input.string());
    GetParam().run(bytes);
  }
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzRegression, ::testing::ValuesIn(kTargets),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quib::fuzz
