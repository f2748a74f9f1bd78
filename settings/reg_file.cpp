// The settings' .reg file: where it lives, reading it, and replacing it
// atomically under its lock (HivePath, LoadHive, UpdateHive).
#include "posix/system_calls.h"
#include "reg_text.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <initializer_list>
#include <string_view>
#include <utility>

namespace qbhive {

namespace {

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) qbplatform::sys::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

// How much larger than the caps a file written by hand may be for a
// writer still to read it, so that deleting can mend it.
constexpr size_t kMendingScale = 4;

// Why a file that is there cannot be read ("not found" from a call on it
// means it went meanwhile, which is no reason to take it for missing).
LONG ExistingFileError(int error) {
  const LONG rc = RegistryErrorOf(error);
  return rc == ERROR_FILE_NOT_FOUND ? ERROR_CANTREAD : rc;
}

constexpr size_t kMaxHiveBytes = 64u << 20;  // a settings file, not a database

// Reads straight into `bytes` (no other copy of the password is made), with
// room for the size the file had and one byte more to see it end.
// ERROR_SUCCESS, ERROR_FILE_NOT_FOUND, or why the file cannot be read (with
// the cause in `failure`).
LONG ReadHiveFile(const std::string& path, WipedString& bytes, mode_t& mode, ReadFailure& failure) {
  // O_NONBLOCK so that a FIFO in the file's place cannot hang a reader.
  Fd fd(qbplatform::sys::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0));
  if (fd.get() < 0) {
    failure.open_error = errno;
    return RegistryErrorOf(failure.open_error);
  }
  struct stat st;
  const bool there = qbplatform::sys::fstat(fd.get(), &st) == 0;
  failure.not_regular = !there || !S_ISREG(st.st_mode);
  if (!there) return ExistingFileError(errno);
  if (failure.not_regular) return ERROR_CANTREAD;
  if (static_cast<uint64_t>(st.st_size) > kMaxHiveBytes) return ERROR_CANTREAD;
  mode = st.st_mode & 07777;
  bytes.assign(static_cast<size_t>(st.st_size) + 1, '\0');
  size_t got = 0;
  while (true) {
    if (got == bytes.size()) bytes.resize(2 * bytes.size());  // it grew meanwhile
    const ssize_t n = qbplatform::sys::read(fd.get(), bytes.data() + got, bytes.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return ExistingFileError(errno);
    if (n == 0) break;
    got += static_cast<size_t>(n);
    if (got > kMaxHiveBytes) return ERROR_CANTREAD;
  }
  bytes.resize(got);
  // One rule for every reader, import's among them: a file that does not
  // begin with a header the reader takes (in an encoding it decodes) is
  // no settings file of ours, not an empty one.
  if (FileHeader(bytes) == RegHeader::kNone) {
    failure.no_header = true;
    return ERROR_BADDB;
  }
  return ERROR_SUCCESS;
}

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

std::string ParentDir(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool MakeDirs(const std::string& dir) {
  for (size_t pos = 1; pos <= dir.size(); ++pos) {
    if (pos < dir.size() && dir[pos] != '/') continue;
    const std::string part = dir.substr(0, pos);
    if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  struct stat st;
  return ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool LockExclusive(int fd) {
  while (::flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

bool FsyncDir(const std::string& dir) {
  Fd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return fd.get() >= 0 && ::fsync(fd.get()) == 0;
}

// Where a chain of symbolic links from `path` ends: the file (perhaps not
// there yet) that a write through `path` is to replace. False for a loop.
bool FollowLinks(const std::string& path, std::string& target) {
  target = path;
  for (int hops = 0; hops < 40; ++hops) {  // the kernel's own limit on a chain
    struct stat st;
    if (::lstat(target.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return true;
    std::string link(static_cast<size_t>(st.st_size) + 1, '\0');
    const ssize_t n = ::readlink(target.c_str(), link.data(), link.size());
    if (n <= 0 || static_cast<size_t>(n) >= link.size()) return false;  // changed under us
    link.resize(static_cast<size_t>(n));
    target = link[0] == '/' ? link : ParentDir(target) + '/' + link;
  }
  errno = ELOOP;
  return false;
}

// Writes `text` to a new file beside `path` and renames it over `path`.
bool ReplaceFile(const std::string& path, std::string_view text, mode_t mode) {
  std::string tmp = path + ".XXXXXX";
  Fd fd(::mkostemp(tmp.data(), O_CLOEXEC));
  if (fd.get() < 0) return false;
  const bool written = ::fchmod(fd.get(), mode) == 0 && WriteAll(fd.get(), text) && ::fsync(fd.get()) == 0 &&
                       ::close(fd.release()) == 0 && ::rename(tmp.c_str(), path.c_str()) == 0;
  if (!written) {
    ::unlink(tmp.c_str());
    return false;
  }
  FsyncDir(ParentDir(path));  // the rename is done; a failed directory sync loses durability only
  return true;
}

// The effective user's home folder; empty when the database has none for
// the user. An error when the database could not be read.
LONG HomeFromPasswordDatabase(std::string& home) {
  home.clear();
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(size > 0 ? static_cast<size_t>(size) : 16384);
  struct passwd pw;
  struct passwd* result = nullptr;
  while (true) {
    const int rc = qbplatform::sys::getpwuid_r(qbplatform::sys::geteuid(), &pw, buf.data(), buf.size(), &result);
    if (rc == ERANGE && buf.size() < (1u << 20)) {
      buf.resize(buf.size() * 2);
      continue;
    }
    // POSIX says "no entry" as 0 with no result. glibc does too, and gives
    // back ENOENT, ESRCH, EBADF or EPERM when a source of the database
    // failed (a missing /etc/passwd, an sssd or LDAP server out of reach):
    // a look-up that failed is not a user without an entry, so every error
    // counts as one, whatever another C library may mean by it.
    if (rc != 0) return ExistingFileError(rc);
    if (result != nullptr && pw.pw_dir != nullptr) home = pw.pw_dir;
    return ERROR_SUCCESS;
  }
}

}  // namespace

LONG RegistryErrorOf(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR: return ERROR_FILE_NOT_FOUND;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case EACCES:
    case EPERM: return ERROR_ACCESS_DENIED;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    default: return ERROR_CANTREAD;
  }
}

LONG NotFoundError(const std::string& path) {
  std::string part = path;
  for (int level = 0; level < 4096; ++level) {
    Fd probe(qbplatform::sys::open(part.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC, 0));
    if (probe.get() < 0 && errno != ENOENT && errno != ENOTDIR) return ExistingFileError(errno);
    if (probe.get() < 0) {  // not there: is its folder?
      if (part == "/" || part == ".") return ERROR_FILE_NOT_FOUND;
      part = ParentDir(part);
      continue;
    }
    // `part` is there and what follows it is not: a folder lacking its
    // next level is an absent file; a link that leads nowhere, or a file
    // where a folder should be, is a path that cannot be followed.
    struct stat st;
    if (qbplatform::sys::stat(part.c_str(), &st) != 0) return ERROR_CANTOPEN;
    return part == path || S_ISDIR(st.st_mode) ? ERROR_FILE_NOT_FOUND : ERROR_CANTOPEN;
  }
  return ERROR_CANTOPEN;
}

LONG HivePathOf(std::string& path) {
  path.clear();
  std::string base;
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg != nullptr && xdg[0] == '/') {  // a relative value is ignored, as XDG says
    base = xdg;
  } else {
    const char* home = std::getenv("HOME");
    std::string home_dir;
    if (home != nullptr && home[0] != '\0') {
      home_dir = home;
    } else if (const LONG rc = HomeFromPasswordDatabase(home_dir); rc != ERROR_SUCCESS) {
      return rc;
    }
    if (home_dir.empty()) return ERROR_SUCCESS;
    base = home_dir + "/.config";
  }
  path = base + "/qbsocks/user.reg";
  return ERROR_SUCCESS;
}

std::string HivePath() {
  std::string path;
  HivePathOf(path);
  return path;
}

namespace {

// Whether `path` is `parts` joined, compared piece by piece.
bool IsJoined(std::string_view path, std::initializer_list<std::string_view> parts) {
  for (std::string_view part : parts) {
    if (path.substr(0, part.size()) != part) return false;
    path.remove_prefix(part.size());
  }
  return path.empty();
}

}  // namespace

bool IsHivePath(std::string_view path) {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg != nullptr && xdg[0] == '/') return IsJoined(path, {xdg, "/qbsocks/user.reg"});
  const char* home = std::getenv("HOME");
  if (home == nullptr || home[0] == '\0') return false;  // the password database: not without a look-up
  return IsJoined(path, {home, "/.config", "/qbsocks/user.reg"});
}

LONG LoadHive(const std::string& path, Hive& hive, ReadFailure* failure, const qbplatform::ReadBound* bound) {
  hive = Hive{};
  WipedString bytes;
  mode_t mode = 0;
  ReadFailure cause;
  LONG rc = path.empty() ? ERROR_FILE_NOT_FOUND : ReadHiveFile(path, bytes, mode, cause);
  if (rc == ERROR_FILE_NOT_FOUND && !path.empty()) {
    rc = NotFoundError(path);
    cause.open_error = 0;  // the open's "not found" no longer tells why
    cause.unfollowable = rc == ERROR_CANTOPEN;
  }
  if (rc == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
  if (failure != nullptr) *failure = cause;
  if (rc != ERROR_SUCCESS) return rc;
  ApplyRegTextUpToCaps(hive, bytes, 1, bound);
  return ERROR_SUCCESS;
}

Hive LoadHive(const std::string& path) {
  Hive hive;
  if (LoadHive(path, hive) != ERROR_SUCCESS) return Hive{};
  return hive;
}

LONG UpdateHive(const std::string& path, const std::function<LONG(Hive&)>& edit) {
  if (path.empty() || !edit) return ERROR_INVALID_PARAMETER;
  if (!MakeDirs(ParentDir(path))) return ERROR_CANTWRITE;
  // Everything happens beside the file itself, so that a link to it stays
  // a link, and writers through two links to one file share one lock.
  std::string file;
  if (!FollowLinks(path, file)) return ERROR_CANTWRITE;

  const std::string lock_path = file + ".lock";
  Fd lock(::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY, 0600));
  if (lock.get() < 0 || !LockExclusive(lock.get())) return ERROR_CANTWRITE;

  WipedString bytes;
  mode_t mode = 0600;
  ReadFailure ignored;
  const LONG read = ReadHiveFile(file, bytes, mode, ignored);
  if (read != ERROR_SUCCESS && read != ERROR_FILE_NOT_FOUND) return ERROR_CANTREAD;
  // Nor is a file written where a reader would not find it.
  if (read == ERROR_FILE_NOT_FOUND && NotFoundError(path) != ERROR_FILE_NOT_FOUND) return ERROR_CANTREAD;

  Hive hive;
  // Writing back what was read only in part would drop the rest of the
  // file. A file already past the caps is read with larger ones, so that
  // it can be made smaller.
  bool past_caps = false;
  if (read == ERROR_SUCCESS && !ApplyRegTextUpToCaps(hive, bytes)) {
    hive = Hive{};
    if (!ApplyRegTextUpToCaps(hive, bytes, kMendingScale)) return ERROR_CANTREAD;
    past_caps = true;
  }
  const HiveSize before = SizeOf(hive);
  const LONG rc = edit(hive);
  if (rc != ERROR_SUCCESS) return rc;
  // Nothing that a reader would not take whole is written.
  if (hive.CutShort() || (!CapsPassed(hive).empty() && !(past_caps && SizeOf(hive).NoLargerThan(before)))) {
    return ERROR_NOT_ENOUGH_QUOTA;
  }
  WipedString text;
  if (!SerializeWiped(hive, text)) return ERROR_INVALID_PARAMETER;
  return ReplaceFile(file, text, mode) ? ERROR_SUCCESS : ERROR_CANTWRITE;
}

bool WriteFileAtomically(const std::string& path, std::string_view text, mode_t mode) {
  std::string file;
  return FollowLinks(path, file) && ReplaceFile(file, text, mode);
}

std::optional<std::string> OpenToOthersWarning(const std::string& path) {
  struct stat st;
  if (path.empty() || qbplatform::sys::stat(path.c_str(), &st) != 0 || (st.st_mode & 077) == 0) return std::nullopt;
  static constexpr char kDigits[] = "01234567";
  const char mode[] = {kDigits[(st.st_mode >> 9) & 7], kDigits[(st.st_mode >> 6) & 7], kDigits[(st.st_mode >> 3) & 7],
                       kDigits[st.st_mode & 7], '\0'};  // as %04o
  return "warning: " + path + " is open to other users (mode " + mode +
         ") and holds the proxy password in plain text; run: chmod 600 " + path;
}

}  // namespace qbhive
