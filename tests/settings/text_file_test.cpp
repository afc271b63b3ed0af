#include "settings/text_file.h"

#include <gtest/gtest.h>

#include "common/text.h"
#include "platform/os.h"

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

TEST(TextFile, Utf8ValidityAcrossPieces) {
  const std::string valid = "a\xC3\xA7\xE2\x82\xAC\xF0\x9F\x98\x80";  // a, ç, €, 😀
  // Fed in every split into two pieces, a character cut in half is still recognised.
  for (std::size_t cut = 0; cut <= valid.size(); ++cut) {
    text::Utf8Validator v;
    v.Feed(std::string_view(valid).substr(0, cut));
    v.Feed(std::string_view(valid).substr(cut));
    EXPECT_TRUE(v.Valid()) << "cut at " << cut;
  }
  for (const char* bad : {"\xE7", "a\xC3", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\x80"}) {
    EXPECT_FALSE(text::IsValidUtf8(bad)) << bad;  // 1252, cut short, overlong, surrogate, too large, stray
  }
}

TEST(TextFile, UnmarkedFileEncodingIsAPropertyOfTheWholeFile) {
  const bool utf8 = os::UnmarkedTextIsUtf8();
  EXPECT_EQ(DetectFileEncoding("Servi\xC3\xA7o").encoding, utf8 ? FileEncoding::kUtf8 : FileEncoding::kAnsi);
  EXPECT_EQ(DetectFileEncoding("Servi\xC3\xA7o Servi\xE7o").encoding, FileEncoding::kAnsi);
  EXPECT_EQ(DetectFileEncoding("\xFF\xFEx").encoding, FileEncoding::kUtf16LE);  // a mark always wins
}
