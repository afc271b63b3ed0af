#include "settings/ini_file.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/os.h"
#include "test_util.h"

using settings::TIniFile;

namespace {

// A byte string literal with its NULs.
#define BYTES(s) std::string(s, sizeof(s) - 1)

struct IniCase {
  const char* name;
  std::string file;  // bytes of kordane.ini
  std::string key;
  std::string expected;
};

class IniReadTest : public ::testing::TestWithParam<IniCase> {};

TEST_P(IniReadTest, ReadsValueAsProfileFunctionsDo) {
  const IniCase& c = GetParam();
  testutil::TempDir dir;
  testutil::WriteFile(dir / "kordane.ini", c.file);
  TIniFile ini(dir / "kordane.ini");
  EXPECT_EQ(ini.ReadString("Kordane", c.key, "<default>"), c.expected);
}

const std::string kLong(3000, 'v');
// Unmarked files: UTF-8 when valid on Linux; the ANSI code page (Windows-1252) on Windows.
const bool kUtf8System = os::UnmarkedTextIsUtf8();

INSTANTIATE_TEST_SUITE_P(
    Rules, IniReadTest,
    ::testing::Values(
        IniCase{"Plain", "[Kordane]\r\nServidor=loja01\r\n", "Servidor", "loja01"},
        IniCase{"NamesIgnoreCase", "[KORDANE]\nservidorcentral=central\n", "ServidorCentral", "central"},
        IniCase{"EmptyValueIsEmptyNotDefault", "[Kordane]\nVendorLib=\n", "VendorLib", ""},
        IniCase{"BlanksAroundRemoved", "[Kordane]\n  Servidor  =   host a   \n", "Servidor", "host a"},
        IniCase{"DoubleQuotesRemoved", "[Kordane]\nCaminho=\" C:\\A B\\K.FDB \"\n", "Caminho", " C:\\A B\\K.FDB "},
        IniCase{"SingleQuotesRemoved", "[Kordane]\nCaminho='x'\n", "Caminho", "x"},
        IniCase{"MismatchedQuotesKept", "[Kordane]\nCaminho='x\"\n", "Caminho", "'x\""},
        IniCase{"LoneQuoteKept", "[Kordane]\nCaminho=\"\n", "Caminho", "\""},
        IniCase{"OtherSectionIsNoMatch", "[Outra]\nServidor=x\n", "Servidor", "<default>"},
        IniCase{"KeyBeforeAnySectionIsNoMatch", "Servidor=x\n[Kordane]\n", "Servidor", "<default>"},
        IniCase{"LineWithoutEqualsHoldsNoValue", "[Kordane]\nServidor\n", "Servidor", "<default>"},
        IniCase{"FirstOfRepeatedKeysCounts", "[Kordane]\nServidor=a\nServidor=b\n", "Servidor", "a"},
        IniCase{"LaterSectionOfSameName", "[Kordane]\nX=1\n[Outra]\nServidor=o\n[kordane]\nServidor=k\n",
                "Servidor", "k"},
        IniCase{"LastLineWithoutBreak", "[Kordane]\nServidor=fim", "Servidor", "fim"},
        IniCase{"CrOnlyLineEnds", "[Kordane]\rServidor=cr\r", "Servidor", "cr"},
        IniCase{"CutAt2047Characters", "[Kordane]\nCaminho=" + kLong + "\n", "Caminho", std::string(2047, 'v')},
        IniCase{"AnsiFileIsWindows1252", "[Kordane]\nCaminho=C:\\A\xE7\xE3o\\K.FDB\n", "Caminho",
                "C:\\Ação\\K.FDB"},
        IniCase{"UnmarkedUtf8", "[Kordane]\nCaminho=/dados/A\xC3\xA7\xC3\xA3o.FDB\n", "Caminho",
                kUtf8System ? "/dados/Ação.FDB" : "/dados/AÃ§Ã£o.FDB"},
        // One byte that is not UTF-8, even far after the key, makes the whole file Windows-1252.
        IniCase{"UnmarkedUtf8OnlyWhenTheWholeFileIs",
                "[Kordane]\nCaminho=A\xC3\xA7\n" + std::string(70000, ';') + "\n;coment\xE1rio\n", "Caminho", "AÃ§"},
        IniCase{"Utf8WithMark", "\xEF\xBB\xBF[Kordane]\nCaminho=Ação\n", "Caminho", "Ação"},
        IniCase{"Utf16LittleEndianWithMark",
                BYTES("\xFF\xFE[\0K\0o\0r\0d\0a\0n\0e\0]\0\n\0C\0=\0\xE7\0\x20\x20\n\0"), "C", "ç†"},
        IniCase{"Utf16BigEndianWithMark", BYTES("\xFE\xFF\0[\0K\0o\0r\0d\0a\0n\0e\0]\0\n\0C\0=\0\xE7"),
                "C", "ç"},
        IniCase{"BinaryGarbage", BYTES("\0\x01\xFF\xFE\x80[Kordane\0]\x00\x9D=\x81\n"), "Servidor",
                "<default>"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(IniFile, MissingOrUnreadableFileGivesDefaults) {
  testutil::TempDir dir;
  EXPECT_EQ(TIniFile(dir / "kordane.ini").ReadString("Kordane", "Servidor", "localhost"), "localhost");
  std::filesystem::create_directory(dir / "dir.ini");  // exists but cannot be read as a file
  EXPECT_EQ(TIniFile(dir / "dir.ini").ReadString("Kordane", "Servidor", "localhost"), "localhost");
  EXPECT_FALSE(TIniFile(dir / "kordane.ini").ReadBool("Kordane", "MonitorarComando", false));
}

TEST(IniFile, EnormousFileIsScannedNotLoaded) {
  testutil::TempDir dir;
  // 40 MB of one line, then the section: still found, and read without holding the file in memory.
  std::string bytes(40 * 1024 * 1024, 'x');
  bytes += "\n[Kordane]\nServidor=depois\n";
  testutil::WriteFile(dir / "kordane.ini", bytes);
  EXPECT_EQ(TIniFile(dir / "kordane.ini").ReadString("Kordane", "Servidor", "d"), "depois");
}

TEST(IniFile, ReadsAnewAtEveryUse) {
  testutil::TempDir dir;
  TIniFile ini(dir / "kordane.ini");
  testutil::WriteFile(dir / "kordane.ini", "[Kordane]\nMonitorarComando=1\n");
  EXPECT_TRUE(ini.ReadBool("Kordane", "MonitorarComando", false));
  testutil::WriteFile(dir / "kordane.ini", "[Kordane]\nMonitorarComando=0\n");
  EXPECT_FALSE(ini.ReadBool("Kordane", "MonitorarComando", false));
}

struct SwitchCase {
  const char* value;  // nullptr: key missing
  bool expected;
};

TEST(IniFile, SwitchRule) {
  const SwitchCase cases[] = {
      {nullptr, false}, {"", false},     {"0", false},     {"00", false},   {"-0", false},   {"0x0", false},
      {"$0", false},    {"1", true},     {"-1", true},     {"+2", true},    {"10", true},    {"0x1", true},
      {"$FF", true},    {"x10", true},   {"True", false},  {"Sim", false},  {"yes", false},  {"1.0", false},
      {"1 a", false},   {"2147483648", false}, {"0x", false}, {"$", false}, {"-0x10", true}, {"X0", false},
  };
  testutil::TempDir dir;
  for (const auto& c : cases) {
    std::string file = "[Kordane]\n";
    if (c.value) file += std::string("MonitorarComando=") + c.value + "\n";
    testutil::WriteFile(dir / "kordane.ini", file);
    EXPECT_EQ(TIniFile(dir / "kordane.ini").ReadBool("Kordane", "MonitorarComando", false), c.expected)
        << "value " << (c.value ? c.value : "(missing)");
  }
}

TEST(IniFile, IntegerRule) {
  using settings::ParseInteger;
  EXPECT_EQ(ParseInteger("  42"), 42);
  EXPECT_EQ(ParseInteger("2147483647"), 2147483647);
  EXPECT_EQ(ParseInteger("-2147483648"), -2147483647 - 1);
  EXPECT_EQ(ParseInteger("-2147483649"), std::nullopt);
  EXPECT_EQ(ParseInteger("$FFFFFFFF"), -1);  // eight hexadecimal digits fill all 32 bits
  EXPECT_EQ(ParseInteger("$000000001"), 1);  // leading zeros are not significant
  EXPECT_EQ(ParseInteger("$100000000"), std::nullopt);
  EXPECT_EQ(ParseInteger("-$10"), -16);
  EXPECT_EQ(ParseInteger("0Xff"), 255);
  EXPECT_EQ(ParseInteger("\t1"), std::nullopt);  // only blanks may lead
  EXPECT_EQ(ParseInteger("1 "), std::nullopt);   // nothing may follow
  EXPECT_EQ(ParseInteger("-"), std::nullopt);
}

}  // namespace
