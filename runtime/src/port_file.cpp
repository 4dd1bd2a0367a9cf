// Platform layer, shared part: the few file operations the runtime does
// itself. POSIX and the Windows C runtime both offer these calls under the
// same names; only the binary-mode flag differs.
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "port.h"

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace qel_port {

namespace {
#ifdef _WIN32
// Without it the C runtime turns every 0x0A byte into 0x0D 0x0A.
constexpr int kBinary = O_BINARY;
constexpr int kOwnerOnly = _S_IREAD | _S_IWRITE;
#else
constexpr int kBinary = 0;
constexpr int kOwnerOnly = S_IRUSR | S_IWUSR;
#endif
}  // namespace

int open_append(const char* path, std::string& error) {
  int fd;
  do {
    fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | kBinary, kOwnerOnly);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) error = error_text(errno);
  return fd;
}

bool write_fully(int fd, const void* data, std::size_t len, std::string& error) {
  const char* p = static_cast<const char*>(data);
  while (len > 0) {
    // One call per chunk the system takes; a short write goes on where it stopped.
    const unsigned chunk = len > (1u << 30) ? (1u << 30) : static_cast<unsigned>(len);
    const auto n = ::write(fd, p, chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = n < 0 ? error_text(errno) : "nothing written";
      return false;
    }
    p += n;
    len -= static_cast<std::size_t>(n);
  }
  return true;
}

void close_file(int fd) {
  if (fd >= 0) ::close(fd);
}

}  // namespace qel_port
