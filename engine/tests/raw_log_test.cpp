// The raw log: the exact line of a record, segment creation, and what a failed write leaves.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "core/error.h"
#include "literal_store.h"
#include "core/json.h"
#include "core/json_writer.h"
#include "storage/raw_log.h"

namespace quib::storage {
namespace {

namespace fs = std::filesystem;
using literal::append;
using literal::append_many;
using literal::append_raw_line;
using core::json::Object;
using core::json::Value;

class RawLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "quib_raw_XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    raw_dir_ = dir_ + "/raw";
    segment_ = raw_dir_ + "/log_000001.raw";
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string dir_;
  std::string raw_dir_;
  std::string segment_;
};

std::string content_of(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

Value object_of(std::string key, Value value) {
  Object object;
  object.emplace(std::move(key), std::move(value));
  return Value(std::move(object));
}

// Payloads of several kinds and lengths, so that gathered writes cross line boundaries.
std::vector<Value> varied_payloads(std::size_t count) {
  std::vector<Value> payloads;
  payloads.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    Object object;
    object.emplace("n", Value(static_cast<std::uint64_t>(i)));
    object.emplace("text", Value(std::string(i % 97, 'a' + static_cast<char>(i % 26))));
    if (i % 3 == 0) object.emplace("neg", Value(-static_cast<std::int64_t>(i) - 1));
    if (i % 5 == 0) object.emplace("f", Value(0.5 + static_cast<double>(i)));
    if (i % 7 == 0) object.emplace("esc", Value(std::string("q\"\\\n\x01 é")));
    payloads.emplace_back(std::move(object));
  }
  return payloads;
}

TEST_F(RawLogTest, OpenCreatesTheDirectoryAndAnEmptySegment) {
  RawLog log = RawLog::open(raw_dir_);
  EXPECT_EQ(log.path(), segment_);
  ASSERT_TRUE(fs::is_regular_file(segment_));
  EXPECT_EQ(fs::file_size(segment_), 0u);
}

TEST_F(RawLogTest, OpenLeavesAnExistingSegmentUnchanged) {
  fs::create_directories(raw_dir_);
  std::ofstream(segment_, std::ios::binary) << "{\"payload\":{},\"record_id\":1}\n";
  RawLog::open(raw_dir_);
  EXPECT_EQ(content_of(segment_), "{\"payload\":{},\"record_id\":1}\n");
}

TEST_F(RawLogTest, OpenReportsADirectoryItCannotCreate) {
  std::ofstream(dir_ + "/file") << "x";
  const std::string raw_dir = dir_ + "/file/raw";
  try {
    RawLog::open(raw_dir);
    FAIL() << "created a directory under a file";
  } catch (const Error& error) {
    EXPECT_EQ(error.full(), "create raw dir " + raw_dir + ": Not a directory (os error 20)");
  }
}

TEST_F(RawLogTest, AppendWritesOneCompactLinePerRecord) {
  RawLog log = RawLog::open(raw_dir_);
  append(log, 1, object_of("a", Value("x")));
  append(log, 2, object_of("a", Value("y")));
  EXPECT_EQ(content_of(segment_),
            "{\"payload\":{\"a\":\"x\"},\"record_id\":1}\n"
            "{\"payload\":{\"a\":\"y\"},\"record_id\":2}\n");
}

TEST_F(RawLogTest, AppendCreatesADeletedSegmentAgain) {
  RawLog log = RawLog::open(raw_dir_);
  append(log, 1, object_of("a", Value("x")));
  fs::remove(segment_);
  append(log, 2, Value(Object{}));
  EXPECT_EQ(content_of(segment_), "{\"payload\":{},\"record_id\":2}\n");
}

TEST_F(RawLogTest, AppendReportsASegmentThatCannotBeOpened) {
  RawLog log = RawLog::open(raw_dir_);
  fs::remove(segment_);
  fs::create_directory(segment_);
  try {
    append(log, 1, Value(Object{}));
    FAIL() << "appended to a directory";
  } catch (const Error& error) {
    EXPECT_EQ(error.full(), "open raw segment " + segment_ + ": Is a directory (os error 21)");
  }
}

TEST_F(RawLogTest, AppendReportsAFailedWrite) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  RawLog log = RawLog::open(raw_dir_);
  fs::remove(segment_);
  fs::create_symlink("/dev/full", segment_);
  try {
    append(log, 1, Value(Object{}));
    FAIL() << "a write to a full device succeeded";
  } catch (const Error& error) {
    EXPECT_EQ(error.full(), "append raw line: No space left on device (os error 28)");
  }
}

TEST_F(RawLogTest, GatheredAppendsGiveTheBytesOfSingleAppends) {
  const std::vector<Value> payloads = varied_payloads(30000);  // a few MiB: several writes
  RawLog single = RawLog::open(dir_ + "/single");
  for (std::size_t i = 0; i < payloads.size(); ++i) append(single, 41 + i, payloads[i]);

  RawLog gathered = RawLog::open(raw_dir_);
  std::size_t written = 0;
  append_many(gathered, 41, payloads, written);
  EXPECT_EQ(written, payloads.size());
  const std::string expected = content_of(single.path());
  EXPECT_GT(expected.size(), std::size_t{2} << 20);
  EXPECT_EQ(content_of(segment_), expected);

  std::string line;
  append_raw_line(line, 7, payloads[7]);
  EXPECT_EQ(line,
            "{\"payload\":{\"esc\":\"q\\\"\\\\\\n\\u0001 é\",\"n\":7,\"text\":\"hhhhhhh\"},"
            "\"record_id\":7}\n");
}

// Holds the process's file size limit at `bytes` (writes beyond it fail with EFBIG instead of
// raising SIGXFSZ) until destroyed.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    old_handler_ = signal(SIGXFSZ, SIG_IGN);
    rlimit limited = saved_;
    limited.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limited);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    signal(SIGXFSZ, old_handler_);
  }

 private:
  rlimit saved_{};
  sighandler_t old_handler_ = SIG_DFL;
};

TEST_F(RawLogTest, AFailedAppendLeavesNoPartOfItsLine) {
  RawLog log = RawLog::open(raw_dir_);
  append(log, 1, object_of("a", Value("x")));
  const std::string before = content_of(segment_);
  {
    // Room for part of the next line only: the write stores a piece, then fails.
    FileSizeLimit limit(before.size() + 10);
    EXPECT_THROW(append(log, 2, object_of("a", Value("a longer value than ten bytes"))), Error);
  }
  EXPECT_EQ(content_of(segment_), before);
  append(log, 3, object_of("a", Value("z")));
  EXPECT_EQ(content_of(segment_), before + "{\"payload\":{\"a\":\"z\"},\"record_id\":3}\n");
}

TEST_F(RawLogTest, AFailedGatheredAppendKeepsExactlyTheWholeLines) {
  const std::vector<Value> payloads = varied_payloads(200);
  std::string all;
  std::vector<std::size_t> ends;
  for (std::size_t i = 0; i < payloads.size(); ++i) {
    append_raw_line(all, 1 + i, payloads[i]);
    ends.push_back(all.size());
  }
  const std::size_t limit_bytes = all.size() / 2;
  std::size_t whole = 0;
  while (ends[whole] <= limit_bytes) ++whole;
  ASSERT_LT(ends[whole - 1], limit_bytes) << "the limit must fall inside a line";

  RawLog log = RawLog::open(raw_dir_);
  std::size_t written = 12345;
  {
    FileSizeLimit limit(limit_bytes);
    EXPECT_THROW(append_many(log, 1, payloads, written), Error);
  }
  EXPECT_EQ(written, whole);
  EXPECT_EQ(content_of(segment_), all.substr(0, ends[whole - 1]));
}

// Lines rendered elsewhere, handed over in pieces: the bytes of one gathered append, and on a
// failed write exactly the whole lines before it.
TEST_F(RawLogTest, LinesInPiecesGiveTheBytesOfAGatheredAppendAndFailByWholeLines) {
  const std::vector<Value> payloads = varied_payloads(300);
  std::vector<std::string> texts(3);
  std::vector<std::vector<std::size_t>> ends(3);
  std::string all;
  for (std::size_t i = 0; i < payloads.size(); ++i) {
    std::string& text = texts[i * 3 / payloads.size()];
    append_raw_line_text(text, 1 + i, core::json::to_string(payloads[i]));
    ends[i * 3 / payloads.size()].push_back(text.size());
    append_raw_line(all, 1 + i, payloads[i]);
  }
  std::vector<RawLines> pieces;
  for (std::size_t k = 0; k < 3; ++k) pieces.push_back(RawLines{texts[k], ends[k]});

  RawLog log = RawLog::open(raw_dir_);
  std::size_t written = 0;
  log.append_lines(pieces, written);
  EXPECT_EQ(written, payloads.size());
  EXPECT_EQ(content_of(segment_), all);

  // Fail inside the second piece.
  fs::remove(segment_);
  const std::size_t limit_bytes = texts[0].size() + ends[1][10] + 3;
  {
    FileSizeLimit limit(limit_bytes);
    EXPECT_THROW(log.append_lines(pieces, written), Error);
  }
  EXPECT_EQ(written, ends[0].size() + 11);
  EXPECT_EQ(content_of(segment_), texts[0] + texts[1].substr(0, ends[1][10]));
}


// What a killed writer can leave at the end of the segment, and what `recover` keeps of it.
struct RecoverCase {
  std::string content;
  std::string kept;
  std::optional<std::uint64_t> last_id;
};

class RawLogRecover : public RawLogTest, public ::testing::WithParamInterface<RecoverCase> {};

TEST_P(RawLogRecover, CutsATornLineAndReadsTheLastId) {
  const RawLog log = RawLog::open(raw_dir_);
  std::ofstream(segment_, std::ios::binary) << GetParam().content;
  EXPECT_EQ(log.recover(), GetParam().last_id);
  EXPECT_EQ(content_of(segment_), GetParam().kept);
}

const std::string kTwoLines =
    "{\"payload\":{\"a\":\"}\\n\"},\"record_id\":7}\n{\"payload\":{},\"record_id\":8}\n";
// A torn line longer than the piece read at a time, so the cut is found further back.
const std::string kLongTorn = "{\"payload\":{\"t\":\"" + std::string(200000, 'x');

INSTANTIATE_TEST_SUITE_P(
    Ends, RawLogRecover,
    ::testing::Values(
        RecoverCase{"", "", std::nullopt}, RecoverCase{kTwoLines, kTwoLines, 8},
        RecoverCase{kTwoLines + "{\"payload\":{\"price\":\"181.99\",", kTwoLines, 8},
        RecoverCase{kTwoLines + kLongTorn, kTwoLines, 8},
        RecoverCase{"{\"payload\":{},\"rec", "", std::nullopt},
        RecoverCase{kLongTorn, "", std::nullopt},
        RecoverCase{"not a record\n", "not a record\n", std::nullopt},
        RecoverCase{"{\"payload\":{},\"record_id\":18446744073709551615}\n",
                    "{\"payload\":{},\"record_id\":18446744073709551615}\n",
                    18446744073709551615u}));

TEST_F(RawLogTest, RecoverOfAMissingSegmentIsNothing) {
  const RawLog log = RawLog::open(raw_dir_);
  fs::remove(segment_);
  EXPECT_EQ(log.recover(), std::nullopt);
  EXPECT_FALSE(fs::exists(segment_));
}

}  // namespace
}  // namespace quib::storage
