// The catalogue of every text the agent gives a person (messages.def): the activity log's lines,
// the status check's reasons and the event log's entries. Texts are made only from an entry of
// the catalogue, so a new text cannot reach anyone without its row in the README's
// troubleshooting table.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace messages {

enum class Channel { kLog, kStatus, kEvent };
enum class EventKind { kNone, kInfo, kWarning, kError };

struct Entry {
  const char* name;
  Channel channel;
  std::uint16_t event_id;  // event log entries only
  EventKind event_kind;
  const char* key;   // a fixed part of the text, quoted by the troubleshooting table
  const char* text;  // {1}, {2}, ... for the values
};

#define LOG(name, key, text) extern const Entry name;
#define STATUS(name, key, text) extern const Entry name;
#define EVENT(name, id, kind, key, text) extern const Entry name;
#include "common/messages.def"
#undef LOG
#undef STATUS
#undef EVENT

// A text made from an entry of the catalogue; nothing else can make one.
class Text {
 public:
  const std::string& str() const { return text_; }
  const Entry& entry() const { return *entry_; }

 private:
  friend Text Format(const Entry& e, std::initializer_list<std::string_view> values);
  Text(const Entry& e, std::string text) : entry_(&e), text_(std::move(text)) {}
  const Entry* entry_;
  std::string text_;
};

// The entry's text with {n} replaced by the n-th value (a missing value leaves "").
Text Format(const Entry& e, std::initializer_list<std::string_view> values = {});

const std::vector<const Entry*>& Catalogue();

// An error whose text is an event-log entry of the catalogue: the service framework reports it as
// that entry, with its own Event ID, rather than as a handler's failure.
class EventError : public std::runtime_error {
 public:
  explicit EventError(const Text& text);
  const Text& text() const;

 private:
  std::shared_ptr<const class Text> text_;
};

inline EventError::EventError(const Text& text) : std::runtime_error(text.str()), text_(std::make_shared<Text>(text)) {}
inline const Text& EventError::text() const { return *text_; }

}  // namespace messages
