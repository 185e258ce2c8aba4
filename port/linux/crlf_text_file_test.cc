#include "port/linux/crlf_text_file.h"

#include <errno.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "gtest/gtest.h"
#include "test/support/test_facts.h"

namespace {

class CrLfTextFileTest : public testing::Test {
 protected:
  void SetUp() override {
    folder_ = MakeScratchFolder("/tmp/qorvane_crlf_");
    ASSERT_NE(folder_, "");
    path_ = folder_ + "/out.txt";
  }
  void TearDown() override { RemoveScratchFolder(folder_); }
  std::string Read() const { return ShowPlace(path_.c_str()); }
  std::string folder_;
  std::string path_;
};

std::string Repeat(const std::string& text, int times) {
  std::string repeated;
  for (int i = 0; i < times; ++i) repeated += text;
  return repeated;
}

struct TranslationCase {
  std::string written;
  std::string stored;
};

TEST_F(CrLfTextFileTest, EveryLineFeedBecomesCrLfAndNothingElseChanges) {
  std::string every_other_byte;
  for (int byte = 0; byte < 256; ++byte) {
    if (byte != '\n') every_other_byte += static_cast<char>(byte);
  }
  const TranslationCase cases[] = {
      {"", ""},
      {"model\nfirmware\n", "model\r\nfirmware\r\n"},
      {"\n\n", "\r\n\r\n"},
      {"a\r\nb", "a\r\r\nb"},  // a CR already there stays, as in the runtime
      {every_other_byte, every_other_byte},
      // Longer than any internal chunk, with line feeds at the chunk edges.
      {Repeat("\n", 5000) + "end", Repeat("\r\n", 5000) + "end"},
  };
  for (const TranslationCase& test_case : cases) {
    FILE* stream = OpenCrLfTextFile(path_.c_str());
    ASSERT_NE(stream, nullptr);
    ASSERT_EQ(fwrite(test_case.written.data(), 1, test_case.written.size(), stream),
              test_case.written.size());
    ASSERT_EQ(fclose(stream), 0);
    EXPECT_EQ(Read(), test_case.stored);
  }
}

TEST_F(CrLfTextFileTest, TruncatesWhatWasThere) {
  std::ofstream(path_) << "a much longer earlier content\n";
  FILE* stream = OpenCrLfTextFile(path_.c_str());
  ASSERT_NE(stream, nullptr);
  fputs("x\n", stream);
  ASSERT_EQ(fclose(stream), 0);
  EXPECT_EQ(Read(), "x\r\n");
}

TEST_F(CrLfTextFileTest, FolderInThePlaceCannotBeOpened) {
  std::filesystem::create_directory(path_);
  errno = 0;
  EXPECT_EQ(OpenCrLfTextFile(path_.c_str()), nullptr);
  EXPECT_EQ(errno, EISDIR);
}

TEST_F(CrLfTextFileTest, FullDeviceFailsAtTheClose) {
  std::filesystem::create_symlink("/dev/full", path_);
  FILE* stream = OpenCrLfTextFile(path_.c_str());
  ASSERT_NE(stream, nullptr);
  EXPECT_GE(fprintf(stream, "%s\n", "buffered, so not yet refused"), 0);
  EXPECT_NE(fclose(stream), 0);
}

}  // namespace
