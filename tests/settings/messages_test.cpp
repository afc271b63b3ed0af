// The catalogue of the agent's texts against the README's troubleshooting table: every activity-log
// line, status reason and event-log entry has a row there, quoting the entry's key.
#include "common/messages.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

namespace {

std::string ReadText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// The README's "Troubleshooting" section, up to the next section of its level.
std::string TroubleshootingSection() {
  const std::string readme = ReadText(std::filesystem::path(TAVRIMONDO_SOURCE_DIR) / "README.md");
  const std::size_t start = readme.find("\n## Troubleshooting");
  if (start == std::string::npos) return "";
  const std::size_t end = readme.find("\n## ", start + 1);
  return readme.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

TEST(Messages, EveryTextHasItsRowInTheTroubleshootingTable) {
  const std::string table = TroubleshootingSection();
  ASSERT_FALSE(table.empty()) << "README.md has no \"## Troubleshooting\" section";
  std::set<std::string> names, keys;
  for (const messages::Entry* e : messages::Catalogue()) {
    SCOPED_TRACE(e->name);
    EXPECT_TRUE(names.insert(e->name).second) << "a second entry of this name";
    EXPECT_TRUE(keys.insert(e->key).second) << "two entries share the key \"" << e->key << "\"";
    EXPECT_NE(std::string(e->text).find(e->key), std::string::npos)
        << "the key \"" << e->key << "\" is not part of the text \"" << e->text << "\"";
    EXPECT_NE(table.find(e->key), std::string::npos)
        << "the troubleshooting table has no row quoting \"" << e->key << "\" (" << e->text << ")";
    if (e->channel == messages::Channel::kEvent) {
      EXPECT_NE(e->event_id, 0);
      EXPECT_NE(table.find("| " + std::to_string(e->event_id) + " |"), std::string::npos)
          << "the event table has no row for Event ID " << e->event_id;
    }
  }
}

// Texts for people are made only from the catalogue: log lines and event entries by type (their
// functions take a catalogue text), the status check's reasons by this look at its source.
TEST(Messages, TheStatusCheckGivesNoReasonOutsideTheCatalogue) {
  const std::string source =
      ReadText(std::filesystem::path(TAVRIMONDO_SOURCE_DIR) / "src" / "service" / "status_check.cpp");
  ASSERT_FALSE(source.empty());
  const std::regex raw(R"((critical|warning|attention|unknown|notes)\s*\.\s*push_back\s*\(\s*(std::string\s*\()?")");
  EXPECT_FALSE(std::regex_search(source, raw)) << "a reason given as a literal text";
}

TEST(Messages, FormatFillsEachPlaceholderWithItsValue) {
  EXPECT_EQ(messages::Format(messages::kCentralReconnected, {"central:2507", "01/02/2026 10:00:00"}).str(),
            "Reconectou no Servidor Central (central:2507), que falhava desde 01/02/2026 10:00:00");
  // A value holding a placeholder's look stays as it is.
  EXPECT_EQ(messages::Format(messages::kSendFinished, {"{1}"}).str(), "Finalizou o envio de {1} registro(s)");
}

}  // namespace
