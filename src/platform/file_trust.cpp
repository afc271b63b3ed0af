#include "platform/file_trust.h"

namespace os {

std::string DescribeUntrusted(const std::vector<UntrustedWrite>& found) {
  std::string out;
  for (const UntrustedWrite& f : found) {
    if (!out.empty()) out += "; ";
    out += f.path + " (by ";
    for (std::size_t i = 0; i < f.writers.size(); ++i) {
      const Writer& w = f.writers[i];
      out += i ? ", " : "";
      switch (w.kind) {
        case Writer::Kind::kOwner: out += w.name + " (its owner)"; break;
        case Writer::Kind::kUser: out += w.name; break;
        case Writer::Kind::kGroup: out += "the group " + w.name; break;
        case Writer::Kind::kEveryone: out += "every user"; break;
        case Writer::Kind::kUnknown: out += "unknown: " + w.name; break;
      }
    }
    out += ")";
  }
  return out;
}

}  // namespace os
