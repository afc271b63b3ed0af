#include "settings/text_file.h"

#include <gtest/gtest.h>

using namespace settings;

TEST(TextFile, SplitLinesAtEveryKindOfBreak) {
  using V = std::vector<std::string>;
  EXPECT_EQ(SplitLines(""), V{});
  EXPECT_EQ(SplitLines("a\r\nb\rc\nd"), (V{"a", "b", "c", "d"}));
  EXPECT_EQ(SplitLines("a\r\n"), V{"a"});  // the final break makes no empty line
  EXPECT_EQ(SplitLines("a\n\nb\r\r\n"), (V{"a", "", "b", ""}));
}

TEST(TextFile, EncodingsRoundTrip) {
  const std::string text = "Ação ☺";
  for (auto e : {FileEncoding::kUtf8, FileEncoding::kUtf16LE, FileEncoding::kUtf16BE}) {
    EXPECT_EQ(DecodeText(EncodeText(text, e), e), text);
  }
  EXPECT_EQ(EncodeText("Ação", FileEncoding::kUtf16BE), std::string("\0A\0\xE7\0\xE3\0o", 8));
  // ANSI: Windows-1252 bytes, and a character it lacks becomes '?'.
  EXPECT_EQ(EncodeText("Ação € ☺", FileEncoding::kAnsi), "A\xE7\xE3o \x80 ?");
  // Every byte survives an ANSI read and write, the five 1252 leaves undefined included.
  std::string all;
  for (int b = 1; b < 256; ++b) all.push_back(static_cast<char>(b));
  EXPECT_EQ(EncodeText(DecodeText(all, FileEncoding::kAnsi), FileEncoding::kAnsi), all);
}

TEST(TextFile, BrokenInputDecodesWithReplacement) {
  EXPECT_EQ(DecodeText("a\xFF", FileEncoding::kUtf8), "a\xEF\xBF\xBD");
  EXPECT_EQ(DecodeText(std::string("\0\xD8", 2), FileEncoding::kUtf16LE), "\xEF\xBF\xBD");  // lone surrogate
  EXPECT_EQ(DecodeText("a", FileEncoding::kUtf16LE), "\xEF\xBF\xBD");                        // odd byte
}

TEST(TextFile, DetectsByteOrderMarks) {
  EXPECT_EQ(DetectEncoding("\xEF\xBB\xBFx").encoding, FileEncoding::kUtf8);
  EXPECT_EQ(DetectEncoding("\xFF\xFEx").encoding, FileEncoding::kUtf16LE);
  EXPECT_EQ(DetectEncoding("\xFE\xFFx").bom_size, 2u);
  EXPECT_EQ(DetectEncoding("\xEF\xBB").encoding, FileEncoding::kAnsi);
}
