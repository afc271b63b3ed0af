// POSIX: libraries judged as the files they are, then loaded through the descriptor judged.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/file_trust_walk_posix.h"
#include "platform/library.h"
#include "platform/library_exports.h"

namespace os {

namespace {

#if defined(__x86_64__)
constexpr const char* kMultiarch = "x86_64-linux-gnu";
#elif defined(__aarch64__)
constexpr const char* kMultiarch = "aarch64-linux-gnu";
#else
constexpr const char* kMultiarch = "";
#endif

}  // namespace

void RestrictLibrarySearch() {}

std::string SystemLibrary(const std::string& file_name) {
  const std::string multiarch = kMultiarch;
  std::vector<std::string> folders;
  if (!multiarch.empty()) folders = {"/usr/lib/" + multiarch, "/lib/" + multiarch};
  for (const char* f : {"/usr/lib64", "/lib64", "/usr/lib", "/lib"}) folders.push_back(f);
  struct stat st{};
  for (const std::string& f : folders)
    if (::stat((f + "/" + file_name).c_str(), &st) == 0) return f + "/" + file_name;
  return folders.front() + "/" + file_name;
}

std::string LibraryPathProblem(const std::string& value) {
  if (value.empty()) return "it is empty";
  std::size_t start = 0;
  while (start <= value.size()) {
    std::size_t end = value.find('/', start);
    if (end == std::string::npos) end = value.size();
    if (value.compare(start, end - start, "..") == 0)
      return "it climbs out of a folder with \"..\"; give the library's full path, or a file name";
    start = end + 1;
  }
  return {};
}

bool IsAbsoluteLibraryPath(const std::string& value) { return !value.empty() && value[0] == '/'; }

SharedLibrary::SharedLibrary(const std::string& path, const std::vector<AccountId>& trusted,
                             const std::vector<std::string>& required_functions) {
  posix::Walked file = posix::WalkAndJudge(path, trusted);
  if (!S_ISREG(file.st.st_mode)) throw OsError(EINVAL, "it is not a plain file");
  if (!file.untrusted.empty()) throw LibraryRefused("others can change it", std::move(file.untrusted));
  // The descriptor's magic link opens, and loads, the very file judged, wherever its names go now.
  // Without /proc the real path serves: its folders were judged, so only trusted accounts could
  // have changed what it names since.
  std::string via = "/proc/self/fd/" + std::to_string(file.fd);
  int fd = ::open(via.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) {
    via = file.path;
    fd = ::open(via.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  }
  if (fd < 0) throw OsError(errno, SysErrorMessage(errno));
  struct stat st{};
  std::string missing;
  try {
    if (::fstat(fd, &st) != 0) throw OsError(errno, SysErrorMessage(errno));
    if (st.st_dev != file.st.st_dev || st.st_ino != file.st.st_ino) throw OsError(ESTALE, "it was replaced while it was judged");
    missing = FirstMissingExport(
        [fd](std::uint64_t offset, void* buf, std::size_t n) -> std::size_t {
          for (;;) {
            const ssize_t r = ::pread(fd, buf, n, static_cast<off_t>(offset));
            if (r >= 0) return static_cast<std::size_t>(r);
            if (errno != EINTR) return 0;
          }
        },
        static_cast<std::uint64_t>(st.st_size), required_functions);
  } catch (const OsError&) {
    ::close(fd);
    throw;
  } catch (const std::exception& e) {
    ::close(fd);
    throw OsError(0, e.what());
  }
  ::close(fd);
  if (!missing.empty()) throw LibraryLacksFunction(missing);
  handle_ = ::dlopen(via.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle_) {
    const char* err = ::dlerror();
    throw OsError(0, err ? err : "it cannot be loaded");
  }
  path_ = file.path;
}

SharedLibrary::~SharedLibrary() {
  if (handle_) ::dlclose(handle_);
}

void* SharedLibrary::Symbol(const char* name) const { return ::dlsym(handle_, name); }

}  // namespace os
