#include "settings/connection_trouble.h"

#include "platform/os.h"
#include "settings/activity_log.h"

namespace settings {

void ConnectionTrouble::Failed(const std::string& where, const std::string& error, bool always) {
  std::unique_lock lock(mu_);
  const Clock::time_point now = Now();
  const bool first = !failing_;
  if (first) since_ = ActivityLog::TimeStamp(os::Now());
  failing_ = true;
  // The line goes on after the error's own text: without its closing full stop.
  std::string said = error;
  while (!said.empty() && (said.back() == '.' || said.back() == ' ')) said.pop_back();
  // Another reason is news; the same one is worth a line an hour.
  if (!first && !always && said == logged_error_ && now - logged_ < kRepeat) return;
  logged_ = now;
  logged_error_ = said;
  lock.unlock();
  DoSaveLog(messages::Format(failed_, {where, said}));
}

void ConnectionTrouble::Succeeded(const std::string& where, bool quiet) {
  std::unique_lock lock(mu_);
  if (!failing_) return;
  failing_ = false;
  const std::string since = since_;
  lock.unlock();
  if (!quiet) DoSaveLog(messages::Format(mended_, {where, since}));
}

}  // namespace settings
