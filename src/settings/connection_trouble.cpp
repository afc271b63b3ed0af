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
  if (!first && !always && now - logged_ < kRepeat) return;
  logged_ = now;
  lock.unlock();
  DoSaveLog(messages::Format(failed_, {where, error}));
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
