#include "common/messages.h"

namespace messages {

#define INFO EventKind::kInfo
#define WARNING EventKind::kWarning
#define ERROR EventKind::kError
#define LOG(name, key, text) const Entry name{#name, Channel::kLog, 0, EventKind::kNone, key, text};
#define STATUS(name, key, text) const Entry name{#name, Channel::kStatus, 0, EventKind::kNone, key, text};
#define EVENT(name, id, kind, key, text) const Entry name{#name, Channel::kEvent, id, kind, key, text};
#include "common/messages.def"
#undef LOG
#undef STATUS
#undef EVENT

const std::vector<const Entry*>& Catalogue() {
#define LOG(name, key, text) &name,
#define STATUS(name, key, text) &name,
#define EVENT(name, id, kind, key, text) &name,
  static const std::vector<const Entry*> all{
#include "common/messages.def"
  };
#undef LOG
#undef STATUS
#undef EVENT
  return all;
}
#undef INFO
#undef WARNING
#undef ERROR

Text Format(const Entry& e, std::initializer_list<std::string_view> values) {
  std::string out;
  const std::string_view t = e.text;
  for (std::size_t i = 0; i < t.size(); ++i) {
    if (t[i] == '{' && i + 2 < t.size() && t[i + 1] >= '1' && t[i + 1] <= '9' && t[i + 2] == '}') {
      const std::size_t n = static_cast<std::size_t>(t[i + 1] - '1');
      if (n < values.size()) out += *(values.begin() + n);
      i += 2;
    } else {
      out += t[i];
    }
  }
  return Text(e, std::move(out));
}

}  // namespace messages
