#include <windows.h>

#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <thread>

#include "common/text.h"
#include "server_process.h"
#include "test_util.h"

namespace testutil {

struct ServerProcess::Impl {
  PROCESS_INFORMATION pi{};
  HANDLE job = nullptr;

  // Ends the server, whatever state it is in. A server left running after its test would hold
  // the test's output open, and CTest waits for that output to end.
  ~Impl() {
    if (pi.hProcess) {
      ::TerminateProcess(pi.hProcess, 0);
      ::WaitForSingleObject(pi.hProcess, 5000);
      ::CloseHandle(pi.hProcess);
      ::CloseHandle(pi.hThread);
    }
    if (job) ::CloseHandle(job);
  }
};

namespace {
std::wstring Wide(const std::string& s) {
  std::u16string u = text::Utf8ToUtf16(s);
  return std::wstring(u.begin(), u.end());
}
std::wstring Quote(const std::string& s) { return L"\"" + Wide(s) + L"\""; }

// A file the server replaces by a move: absent for a moment under Wine, so a failed read is
// tried again for a while.
std::string ReadReplaced(const std::string& path) {
  for (int i = 0;; ++i) {
    try {
      return Exists(path) ? ReadFile(path) : "";
    } catch (const std::exception&) {
      if (i == 100) throw;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
}
}  // namespace

ServerProcess::ServerProcess(const std::string& exe, const std::string& dir, std::vector<std::string> args)
    : impl_(std::make_unique<Impl>()), dir_(dir) {
  std::remove((dir + "port").c_str());  // left by an earlier server in the same directory
  std::vector<std::string> all = {"--bind", "127.0.0.1", "--port", "0", "--port-file", dir + "port", "--dump-file", dir + "dump"};
  all.insert(all.end(), args.begin(), args.end());
  std::wstring cmd = Quote(exe);
  for (const auto& a : all) cmd += L" " + Quote(a);
  // The server lives in a job that ends it when this process ends, even by a crash.
  impl_->job = ::CreateJobObjectW(nullptr, nullptr);
  if (impl_->job) {
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    ::SetInformationJobObject(impl_->job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
  }
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  HANDLE log = ::CreateFileW(Wide(dir + "server.log").c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdError = log;
  si.hStdOutput = log;
  if (!::CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW | CREATE_SUSPENDED, nullptr,
                        nullptr, &si, &impl_->pi)) {
    ::CloseHandle(log);
    throw std::runtime_error("The stand-in server could not be started");
  }
  ::CloseHandle(log);
  if (impl_->job) ::AssignProcessToJobObject(impl_->job, impl_->pi.hProcess);
  ::ResumeThread(impl_->pi.hThread);
  // From here on a failure leaves through impl_, which ends the server.
  for (int i = 0; i < 1000; ++i) {
    // The server writes the file under a side name and moves it into place; under Wine the move
    // leaves a moment in which the file is listed but cannot be opened, so a failed read is
    // tried again rather than taken for an error.
    if (Exists(dir + "port")) {
      try {
        port_ = static_cast<std::uint16_t>(std::stoi(ReadFile(dir + "port")));
        return;
      } catch (const std::exception&) {
      }
    }
    if (::WaitForSingleObject(impl_->pi.hProcess, 0) == WAIT_OBJECT_0) throw std::runtime_error("The stand-in server ended at start");
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  throw std::runtime_error("The stand-in server did not start");
}

ServerProcess::~ServerProcess() = default;

std::string ServerProcess::Dump() const { return ReadReplaced(dir_ + "dump"); }
std::string ServerProcess::Log() const { return Exists(dir_ + "server.log") ? ReadFile(dir_ + "server.log") : ""; }

}  // namespace testutil
