// The installer's edits of kordane.ini: only the keys given change, in the file's own encoding
// and line breaks, and the agent's reader gives back exactly the values written.
#include "settings/ini_update.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "common/text.h"
#include "settings/ini_file.h"
#include "test_util.h"

namespace {

using settings::SettingValues;

std::string Utf16Le(const std::string& utf8) {
  std::string out = "\xFF\xFE";
  for (char16_t u : text::Utf8ToUtf16(utf8)) {
    out.push_back(static_cast<char>(u & 0xFF));
    out.push_back(static_cast<char>(u >> 8));
  }
  return out;
}

std::string Update(const std::string& bytes, const SettingValues& values) {
  return settings::UpdateIniText(bytes, settings::DetectFileEncoding(bytes), "Kordane", values);
}

struct EditCase {
  const char* name;
  std::string before;
  SettingValues values;
  std::string after;
};

class IniUpdateTest : public ::testing::TestWithParam<EditCase> {};

TEST_P(IniUpdateTest, ChangesOnlyTheKeysGiven) {
  const EditCase& c = GetParam();
  EXPECT_EQ(Update(c.before, c.values), c.after);
}

INSTANTIATE_TEST_SUITE_P(
    Edits, IniUpdateTest,
    ::testing::Values(
        EditCase{"OnlyTheValueChanges", "; nota\r\n[Kordane]\r\nServidorCentral=localhost\r\nServidor=localhost\r\n",
                 {{"ServidorCentral", "central.example"}},
                 "; nota\r\n[Kordane]\r\nServidorCentral=central.example\r\nServidor=localhost\r\n"},
        EditCase{"KeyKeepsItsSpellingAndBlanks", "[KORDANE]\n  servidorcentral = old  \n",
                 {{"ServidorCentral", "central.example"}}, "[KORDANE]\n  servidorcentral =central.example\n"},
        EditCase{"MissingKeyEndsTheSection", "[Kordane]\nServidor=a\n\n[Outra]\nX=1\n",
                 {{"Caminho", "D:\\ERP\\LOJA.FDB"}, {"MonitorarComando", "1"}},
                 "[Kordane]\nServidor=a\nCaminho=D:\\ERP\\LOJA.FDB\nMonitorarComando=1\n\n[Outra]\nX=1\n"},
        EditCase{"MissingSectionAtTheEnd", "[Outra]\nX=1", {{"Servidor", "dbhost"}},
                 "[Outra]\nX=1\n[Kordane]\nServidor=dbhost\n"},
        EditCase{"EmptyFile", "", {{"Servidor", "dbhost"}}, "[Kordane]\r\nServidor=dbhost\r\n"},
        EditCase{"LastLineWithoutBreak", "[Kordane]\r\nServidor=a", {{"VendorLib", "fbclient.dll"}},
                 "[Kordane]\r\nServidor=a\r\nVendorLib=fbclient.dll\r\n"},
        // The reader takes the first occurrence, in any section of that name.
        EditCase{"FirstOccurrenceOnly", "[Kordane]\nServidor=a\nServidor=b\n", {{"Servidor", "c"}},
                 "[Kordane]\nServidor=c\nServidor=b\n"},
        EditCase{"LaterSectionOfSameName", "[Kordane]\nX=1\n[Outra]\nServidor=o\n[kordane]\nServidor=k\n",
                 {{"Servidor", "n"}}, "[Kordane]\nX=1\n[Outra]\nServidor=o\n[kordane]\nServidor=n\n"},
        EditCase{"NoteIsNoKey", "[Kordane]\n;Servidor=x\n", {{"Servidor", "y"}}, "[Kordane]\n;Servidor=x\nServidor=y\n"},
        EditCase{"EmptyValue", "[Kordane]\nVendorLib=x\n", {{"VendorLib", ""}}, "[Kordane]\nVendorLib=\n"},
        // Blanks around a value, or a pair of quotation marks, would be taken away by the reader.
        EditCase{"QuotedWhereTheReaderStrips", "[Kordane]\n",
                 {{"Caminho", " C:\\A B "}, {"Servidor", "'a'"}, {"VendorLib", "\"x"}},
                 "[Kordane]\nCaminho=\" C:\\A B \"\nServidor=\"'a'\"\nVendorLib=\"x\n"},
        // Other lines keep their bytes; a file that is not UTF-8 stays in the ANSI code page.
        EditCase{"AnsiFileStaysAnsi", "[Kordane]\r\nCaminho=C:\\A\xE7\xE3o\\K.FDB\r\n", {{"Servidor", "S\xC3\xA3o"}},
                 "[Kordane]\r\nCaminho=C:\\A\xE7\xE3o\\K.FDB\r\nServidor=S\xE3o\r\n"},
        EditCase{"Utf8MarkKept", "\xEF\xBB\xBF[Kordane]\nServidor=a\n", {{"Servidor", "S\xC3\xA3o"}},
                 "\xEF\xBB\xBF[Kordane]\nServidor=S\xC3\xA3o\n"},
        EditCase{"Utf16", Utf16Le("[Kordane]\r\nServidor=a\r\n; fim\r\n"), {{"Servidor", "S\xC3\xA3o"}, {"Caminho", "x"}},
                 Utf16Le("[Kordane]\r\nServidor=S\xC3\xA3o\r\n; fim\r\nCaminho=x\r\n")}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(IniUpdate, WhatTheReaderCannotGiveBackIsRefusedAndTheFileStaysAsItWas) {
  const std::string ansi = "[Kordane]\r\nCaminho=C:\\A\xE7\xE3o\\K.FDB\r\n";
  const struct {
    std::string value;
    const char* why;
  } cases[] = {
      {"a\r\nMonitorarComando=1", "line break"},
      {"a\tb", "control character"},
      {std::string(2048, 'x'), "longer than 2047"},
      {"\xCE\xA9", "code page"},  // Greek omega: not in Windows-1252
  };
  for (const auto& c : cases) {
    testutil::TempDir dir;
    const std::string path = dir / "kordane.ini";
    testutil::WriteFile(path, ansi);
    try {
      settings::UpdateIniFile(path, "Kordane", {{"Servidor", "ok"}, {"Caminho", c.value}});
      ADD_FAILURE() << "accepted " << c.why;
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find("Caminho"), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find(c.why), std::string::npos) << e.what();
    }
    EXPECT_EQ(testutil::ReadFile(path), ansi) << c.why;
    EXPECT_FALSE(testutil::Exists(path + ".novo"));
  }
}

TEST(IniUpdate, TheReaderGivesBackEveryValueWritten) {
  testutil::TempDir dir;
  const std::string path = dir / "kordane.ini";
  const SettingValues values = {{"ServidorCentral", "central.example"},
                                {"Caminho", "  D:\\ERP\\LOJA 1.FDB "},
                                {"Servidor", "\"dbhost\""},
                                {"VendorLib", "C:\\Program Files\\Firebird\\fbclient.dll"},
                                {"MonitorarComando", "1"}};
  // A missing file is created; a second write keeps what the first one wrote.
  settings::UpdateIniFile(path, "Kordane", {values[0]});
  settings::UpdateIniFile(path, "Kordane", values);
  settings::TIniFile ini(path);
  for (const auto& [key, value] : values) EXPECT_EQ(ini.ReadString("Kordane", key, "<default>"), value) << key;
}

}  // namespace
