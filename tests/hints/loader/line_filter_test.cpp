// SPDX-License-Identifier: BSD-2-Clause
#include "hints/loader/line_filter.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>
#include <vector>

#include "../filter_harness.h"
#include "scratch_dir.h"

namespace {

using hints_test::contents_of;
using hints_test::filter_text;
using hints_test::Stream;
using hints_test::stream_holding;

// What the recording handler saw and what it should do.
struct Script {
  std::vector<std::string> pieces;      // reading pass, with their bytes
  std::vector<std::string> to_append;   // final pass, one per call
  int final_calls = 0;
  std::string empty_this;               // reading pass: drop this piece
  std::string stop_at;                  // reading pass: return 99 on this piece
};
Script script;

struct RecordingHandler final : LineHandler {
  int final_line(LineBuffer& line) override {
    const int call = script.final_calls++;
    if (call < static_cast<int>(script.to_append.size()))
      set_line(line, script.to_append[call].c_str());
    else
      clear_line(line);
    return 0;
  }
  int read_line(LineBuffer& line) override {
    const std::string piece(line.data, line.length);
    script.pieces.push_back(piece);
    if (piece == script.stop_at) return 99;
    if (piece == script.empty_this) clear_line(line);
    return 0;
  }
};

class LineFilter : public ::testing::Test {
 protected:
  void SetUp() override { script = Script{}; }
  RecordingHandler recorder;
};

TEST_F(LineFilter, PlainCopyKeepsEveryByte) {
  std::string input = "a\r\nnul\0inside\n" + std::string(5000, 'x') + "\n\n\ttab\nno end";
  input[8] = '\0';
  const auto run = filter_text(input, nullptr);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.output, input);
}

TEST_F(LineFilter, LongLinesArriveInPiecesOfAtMost2047Bytes) {
  const std::string exact(2047, 'a');
  const std::string longer(4095, 'b');
  const auto run = filter_text(exact + "\n" + longer + "\nend", &recorder);
  EXPECT_EQ(run.status, 0);
  const std::vector<std::string> expected{exact, "\n", std::string(2047, 'b'),
                                          std::string(2047, 'b'), "b\n", "end"};
  EXPECT_EQ(script.pieces, expected);
  EXPECT_EQ(run.output, exact + "\n" + longer + "\nend");
}

TEST_F(LineFilter, PiecesAreCutAlikeWhereverTheInputIsReadInBlocks) {
  // A few hundred KiB of lines of every length up to past the piece limit,
  // some with NUL bytes, so that lines straddle every boundary of a read.
  std::string input;
  std::vector<std::string> expected;
  for (std::size_t length = 0; input.size() < 300 * 1024; length = (length * 7 + 13) % 3000) {
    std::string line(length, static_cast<char>('a' + length % 26));
    if (length % 5 == 0 && length > 0) line[length / 2] = '\0';
    input += line + "\n";
    for (std::size_t at = 0; at < line.size(); at += 2047)
      expected.push_back(line.substr(at, 2047));
    if (line.size() % 2047 == 0 && !line.empty()) expected.push_back("\n");
    else if (line.empty()) expected.push_back("\n");
    else expected.back() += "\n";
  }
  input += "last without a line feed";
  expected.push_back("last without a line feed");

  const auto run = filter_text(input, &recorder);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(script.pieces, expected);
  EXPECT_EQ(run.output, input);
}

/// Holds back every piece of a line until it ends, then lets the line pass,
/// or replaces it when it begins with "drop"; records where lines ended.
struct HoldingHandler final : LineHandler {
  int read_line(LineBuffer& line) override {
    if (!line.continues_line) drop = std::string_view(line.data, line.length).starts_with("drop");
    if (!line.ends_line) {
      line.held = HeldPieces::Keep;
      return 0;
    }
    ends.push_back(line.length);
    line.held = drop ? HeldPieces::Drop : HeldPieces::Release;
    if (drop) set_line(line, "replaced\n");
    return 0;
  }
  bool drop = false;
  std::vector<std::size_t> ends;
};

TEST_F(LineFilter, HeldPiecesPassWholeOrGoWholeWhateverTheirLength) {
  // Past what is held in memory a passing line is read again from the input.
  const std::string input = "short\n" + std::string(5000, 'a') + "\ndrop" +
                            std::string(200000, 'd') + "\n" + std::string(kHeldInMemory + 3000, 'p') +
                            "\n" + std::string(4094, 'e');
  HoldingHandler holding;
  const auto run = filter_text(input, &holding);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.output, "short\n" + std::string(5000, 'a') + "\nreplaced\n" +
                            std::string(kHeldInMemory + 3000, 'p') + "\n" + std::string(4094, 'e'));
  // Each line ends once: a line feed, or the end of the input after 2047 bytes.
  EXPECT_EQ(holding.ends.size(), 5u);

  // Reading that begins past the stream's start reads a line again from
  // where that line began.
  const std::string skipped = "not read\n";
  Stream offset_in = stream_holding(skipped + input);
  ASSERT_EQ(std::fseek(offset_in.get(), static_cast<long>(skipped.size()), SEEK_SET), 0);
  Stream offset_out(std::tmpfile());
  HoldingHandler again;
  EXPECT_EQ(filter_lines(offset_in.get(), offset_out.get(), &again), 0);
  EXPECT_EQ(contents_of(offset_out.get()), run.output);

  // An input that cannot be read again refuses such a line rather than lose it.
  std::FILE* piped = ::popen("head -c 70000 /dev/zero | tr '\\0' p", "r");
  ASSERT_NE(piped, nullptr);
  Stream out(std::tmpfile());
  EXPECT_EQ(filter_lines(piped, out.get(), &holding), ESPIPE);
  ::pclose(piped);
}

/// Replaces every line by a longer one.
struct WideningHandler final : LineHandler {
  int read_line(LineBuffer& line) override {
    seen.emplace_back(line.data, line.length);
    set_line(line, ("<" + seen.back().substr(0, seen.back().find('\n')) + ">\n").c_str());
    return 0;
  }
  std::vector<std::string> seen;
};

TEST_F(LineFilter, AReplacedLineLeavesTheLinesAfterItAsRead) {
  // Lines are handed over where they lie in the read block; a longer
  // replacement must not reach the next one.
  WideningHandler widening;
  const auto run = filter_text("a\nbb\nccc\n", &widening);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(widening.seen, (std::vector<std::string>{"a\n", "bb\n", "ccc\n"}));
  EXPECT_EQ(run.output, "<a>\n<bb>\n<ccc>\n");
}

TEST_F(LineFilter, EmptiedLineWritesNothingNotEvenItsLineEnd) {
  script.empty_this = "two\r\n";
  const auto run = filter_text("one\ntwo\r\nthree\n", &recorder);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.output, "one\nthree\n");
}

TEST_F(LineFilter, HandlerStatusStopsTheFilterBeforeThatLineIsWritten) {
  script.stop_at = "two\n";
  script.to_append = {"never\n"};
  const auto run = filter_text("one\ntwo\nthree\n", &recorder);
  EXPECT_EQ(run.status, 99);
  EXPECT_EQ(run.output, "one\n");
  EXPECT_EQ(script.pieces.size(), 2u);
  EXPECT_EQ(script.final_calls, 0);
}

TEST_F(LineFilter, FinalPassAppendsOneLinePerCallUntilEmpty) {
  script.to_append = {"x=1\n", "y=2\n"};
  const auto run = filter_text("first\n", &recorder);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.output, "first\nx=1\ny=2\n");
  EXPECT_EQ(script.final_calls, 3);
}

TEST_F(LineFilter, FinalPassRunsForEmptyOrAbsentInputAndAtLeastOnce) {
  script.to_append = {"only\n"};
  auto run = filter_text("", &recorder);
  EXPECT_EQ(run.output, "only\n");
  EXPECT_TRUE(script.pieces.empty());

  script = Script{};
  Stream out(std::tmpfile());
  EXPECT_EQ(filter_lines(nullptr, out.get(), &recorder), 0);
  EXPECT_EQ(contents_of(out.get()), "");
  EXPECT_EQ(script.final_calls, 1);
}

TEST_F(LineFilter, NoFinalPassWithoutOutputOrWithoutHandler) {
  script.to_append = {"appended\n"};
  Stream in = stream_holding("a\nb\n");
  EXPECT_EQ(filter_lines(in.get(), nullptr, &recorder), 0);
  EXPECT_EQ(script.pieces, (std::vector<std::string>{"a\n", "b\n"}));
  EXPECT_EQ(script.final_calls, 0);
}

TEST_F(LineFilter, AppendedLinesStartOnAFreshLine) {
  script.to_append = {"x=1\n", "y=2\n"};
  EXPECT_EQ(filter_text("last", &recorder).output, "last\nx=1\ny=2\n");

  // Nothing is added when the output is empty or already ends its line, or
  // when nothing is appended.
  script = Script{};
  script.to_append = {"x=1\n"};
  EXPECT_EQ(filter_text("", &recorder).output, "x=1\n");
  script = Script{};
  script.to_append = {"x=1\n"};
  EXPECT_EQ(filter_text("a\r\n", &recorder).output, "a\r\nx=1\n");
  script = Script{};
  EXPECT_EQ(filter_text("last", &recorder).output, "last");
}

TEST_F(LineFilter, FailedWriteStopsReadingAndIsReported) {
  // Lines go out a gathered block at a time, so the failure shows within
  // the first block's worth of lines, long before the input ends.
  std::string input;
  for (int i = 0; i < 100000; ++i) input += "line " + std::to_string(i) + "\n";
  Stream in = stream_holding(input);
  Stream full(std::fopen("/dev/full", "w"));
  ASSERT_NE(full, nullptr);
  std::setvbuf(full.get(), nullptr, _IONBF, 0);
  script.to_append = {"never\n"};
  EXPECT_NE(filter_lines(in.get(), full.get(), &recorder), 0);
  EXPECT_LT(script.pieces.size(), 20000u);
  EXPECT_EQ(script.final_calls, 0);
}

TEST_F(LineFilter, OutputThatFailsOnlyWhenFlushedIsAFailedWrite) {
  Stream in = stream_holding("small\n");
  Stream full(std::fopen("/dev/full", "w"));
  ASSERT_NE(full, nullptr);
  EXPECT_NE(filter_lines(in.get(), full.get(), nullptr), 0);
}

TEST_F(LineFilter, ReadErrorEndsThePassWithItsErrorNumber) {
  // Reading a directory fails for good without reaching end of file.
  const ScratchDir dir;
  EXPECT_EQ(filter_file(dir.path().c_str(), nullptr, &recorder), EISDIR);
  EXPECT_TRUE(script.pieces.empty());
}

TEST_F(LineFilter, FileCopyIsExactAndTruncatesTheOutput) {
  const ScratchDir dir;
  const std::string input = dir.file("in"), output = dir.file("out");
  write_file(input, std::string("a\0b\r\nno end", 11));
  write_file(output, std::string(10000, 'z'));
  EXPECT_EQ(filter_file(input.c_str(), output.c_str(), nullptr), 0);
  EXPECT_EQ(read_file(output), std::string("a\0b\r\nno end", 11));
}

TEST_F(LineFilter, UnopenableFilesAreNamedOnStandardOutput) {
  const ScratchDir dir;
  const std::string missing = dir.file("missing"), input = dir.file("in");
  const std::string output = dir.file("no/such/dir"), fresh = dir.file("fresh");
  write_file(input, "a\n");

  ::testing::internal::CaptureStdout();
  EXPECT_EQ(filter_file(missing.c_str(), input.c_str(), nullptr), ENOENT);
  EXPECT_EQ(filter_file(missing.c_str(), fresh.c_str(), nullptr), ENOENT);
  EXPECT_EQ(filter_file(input.c_str(), output.c_str(), nullptr), ENOENT);
  EXPECT_EQ(filter_file_to_stdout(missing.c_str(), &recorder), ENOENT);
  std::fflush(stdout);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "error opening \"" + missing + "\"\n" + "error opening \"" + missing + "\"\n" +
                "error opening \"" + output + "\"\n" + "error opening \"" + missing + "\"\n");
  // Without an input the output is neither truncated nor created.
  EXPECT_EQ(read_file(input), "a\n");
  EXPECT_FALSE(file_exists(fresh));
  EXPECT_TRUE(script.pieces.empty());
}

TEST_F(LineFilter, ToStdoutWritesTheFilteredText) {
  const ScratchDir dir;
  const std::string input = dir.file("in");
  write_file(input, "keep\ndrop\nlast");
  script.empty_this = "drop\n";
  script.to_append = {"added\n"};
  ::testing::internal::CaptureStdout();
  const int status = filter_file_to_stdout(input.c_str(), &recorder);
  std::fflush(stdout);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "keep\nlast\nadded\n");
  EXPECT_EQ(status, 0);
}

}  // namespace
