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
};

namespace {
std::wstring Wide(const std::string& s) {
  std::u16string u = text::Utf8ToUtf16(s);
  return std::wstring(u.begin(), u.end());
}
std::wstring Quote(const std::string& s) { return L"\"" + Wide(s) + L"\""; }
}  // namespace

ServerProcess::ServerProcess(const std::string& exe, const std::string& dir, std::vector<std::string> args)
    : impl_(std::make_unique<Impl>()), dir_(dir) {
  std::remove((dir + "port").c_str());  // left by an earlier server in the same directory
  std::vector<std::string> all = {"--bind", "127.0.0.1", "--port", "0", "--port-file", dir + "port", "--dump-file", dir + "dump"};
  all.insert(all.end(), args.begin(), args.end());
  std::wstring cmd = Quote(exe);
  for (const auto& a : all) cmd += L" " + Quote(a);
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  HANDLE log = ::CreateFileW(Wide(dir + "server.log").c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdError = log;
  si.hStdOutput = log;
  if (!::CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &si, &impl_->pi)) {
    ::CloseHandle(log);
    throw std::runtime_error("The stand-in server could not be started");
  }
  ::CloseHandle(log);
  for (int i = 0; i < 1000; ++i) {
    if (Exists(dir + "port")) {
      port_ = static_cast<std::uint16_t>(std::stoi(ReadFile(dir + "port")));
      return;
    }
    if (::WaitForSingleObject(impl_->pi.hProcess, 0) == WAIT_OBJECT_0) throw std::runtime_error("The stand-in server ended at start");
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  throw std::runtime_error("The stand-in server did not start");
}

ServerProcess::~ServerProcess() {
  if (impl_->pi.hProcess) {
    ::TerminateProcess(impl_->pi.hProcess, 0);
    ::WaitForSingleObject(impl_->pi.hProcess, 5000);
    ::CloseHandle(impl_->pi.hProcess);
    ::CloseHandle(impl_->pi.hThread);
  }
}

std::string ServerProcess::Dump() const { return Exists(dir_ + "dump") ? ReadFile(dir_ + "dump") : ""; }
std::string ServerProcess::Log() const { return Exists(dir_ + "server.log") ? ReadFile(dir_ + "server.log") : ""; }

}  // namespace testutil
