// RegOpenKeyA and friends over the current user's hive file.
//
// An HKEY is a heap object that holds its key's path and a copy of the
// key's values taken when it was opened. Queries answer from that copy and
// never read the file again, so several queries on one handle see one
// version of the settings even while a writer replaces the file. Writes go
// through qbhive::UpdateHive and refresh the copy of the handle they used.
//
// Only HKEY_CURRENT_USER (and handles opened below it) is backed by the
// file; the other predefined roots hold nothing here: reads answer
// ERROR_FILE_NOT_FOUND, writes ERROR_ACCESS_DENIED. Handles are looked up
// in a table, so a stale or made-up HKEY gives ERROR_INVALID_HANDLE.
// RegDeleteKeyA refuses a key that has subkeys (ERROR_ACCESS_DENIED), as
// Windows does. Registry functions return their error; they do not set the
// thread's last error.
#include "posix/registry_hive.h"
#include "system_calls.h"
#include "win32.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>

namespace {

struct KeyHandle {
  std::string path;  // canonical, root included
  std::mutex mutex;  // guards snapshot
  qbhive::Key snapshot;
};

class HandleTable {
 public:
  HKEY Add(std::shared_ptr<KeyHandle> handle) {
    const auto id = reinterpret_cast<uintptr_t>(handle.get());
    std::lock_guard<std::mutex> lock(mutex_);
    handles_.emplace(id, std::move(handle));
    return reinterpret_cast<HKEY>(id);
  }

  std::shared_ptr<KeyHandle> Find(HKEY key) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = handles_.find(reinterpret_cast<uintptr_t>(key));
    return it == handles_.end() ? nullptr : it->second;
  }

  // The object lives on while another thread still uses it.
  bool Remove(HKEY key) {
    std::lock_guard<std::mutex> lock(mutex_);
    return handles_.erase(reinterpret_cast<uintptr_t>(key)) != 0;
  }

 private:
  std::mutex mutex_;
  std::unordered_map<uintptr_t, std::shared_ptr<KeyHandle>> handles_;
};

// Never destroyed: a host may close keys from its own static destructors.
HandleTable& Handles() {
  static HandleTable* table = new HandleTable;
  return *table;
}

// An edit result meaning "nothing to change": no file is written.
constexpr LONG kUnchanged = -1;

bool IsPredefined(HKEY key) {
  const auto v = reinterpret_cast<ULONG_PTR>(key);
  return v >= static_cast<ULONG_PTR>(static_cast<LONG>(0x80000000)) &&
         v <= static_cast<ULONG_PTR>(static_cast<LONG>(0x80000006));
}

bool HasLineBreak(const char* s) { return s != nullptr && std::strpbrk(s, "\r\n") != nullptr; }

bool IsRoot(const std::string& path) { return path == qbhive::kCurrentUserRoot; }

// The key a handle stands for.
struct Base {
  std::string path;
  std::shared_ptr<KeyHandle> handle;  // null for HKEY_CURRENT_USER itself
};

LONG ResolveBase(HKEY key, bool for_write, Base& base) {
  if (key == HKEY_CURRENT_USER) {
    base.path = std::string(qbhive::kCurrentUserRoot);
    return ERROR_SUCCESS;
  }
  if (IsPredefined(key)) return for_write ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND;
  base.handle = Handles().Find(key);
  if (!base.handle) return ERROR_INVALID_HANDLE;
  base.path = base.handle->path;
  return ERROR_SUCCESS;
}

std::string SubkeyPath(const std::string& base, const char* subkey) {
  if (subkey == nullptr || subkey[0] == '\0') return base;
  // The base is canonical, so the join has a root and cannot fail.
  return qbhive::CanonicalKeyPath(base + '\\' + subkey).value_or(base);
}

HKEY NewHandle(std::string path, qbhive::Key snapshot) {
  auto handle = std::make_shared<KeyHandle>();
  handle->path = std::move(path);
  handle->snapshot = std::move(snapshot);
  return Handles().Add(std::move(handle));
}

// What identifies one version of the hive file. Writers replace the file
// by rename, so every update of theirs is a new inode; an edit in place
// changes the size or the change time.
struct FileStamp {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  timespec modified{};
  timespec changed{};

  static FileStamp Of(const struct stat& st) {
    return {st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
  }
  bool operator==(const FileStamp& o) const {
    return device == o.device && inode == o.inode && size == o.size &&
           modified.tv_sec == o.modified.tv_sec && modified.tv_nsec == o.modified.tv_nsec &&
           changed.tv_sec == o.changed.tv_sec && changed.tv_nsec == o.changed.tv_nsec;
  }
  // A file changed within the last couple of seconds may be changed again
  // within the same tick of the file system's clock, leaving the stamp as it
  // was (the race git's index knows as "racy"): such a file is not trusted
  // to be unchanged, and is read afresh every time.
  bool Settled() const {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec - std::max(modified.tv_sec, changed.tv_sec) >= 2;
  }
};

// The hive as last parsed, so that the common case, a reader finding the
// file as it was (every Connect reads the settings), costs one stat.
class ParsedHiveCache {
 public:
  std::shared_ptr<const qbhive::Hive> Current() {
    const std::string path = qbhive::HivePath();
    struct stat st;
    if (path.empty() || qbplatform::sys::stat(path.c_str(), &st) != 0) {
      return std::make_shared<const qbhive::Hive>(qbhive::LoadHive(path));
    }
    // Taken before reading: if the file is replaced in between, the stamp is
    // the older one and the next reader parses again; it never passes off
    // an old hive as a newer file.
    const FileStamp stamp = FileStamp::Of(st);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (hive_ && path == path_ && stamp == stamp_) return hive_;
    }
    auto hive = std::make_shared<const qbhive::Hive>(qbhive::LoadHive(path));
    if (stamp.Settled()) {
      std::lock_guard<std::mutex> lock(mutex_);
      path_ = path;
      stamp_ = stamp;
      hive_ = hive;
    }
    return hive;
  }

 private:
  std::mutex mutex_;
  std::string path_;
  FileStamp stamp_;
  std::shared_ptr<const qbhive::Hive> hive_;
};

// Never destroyed, like the handle table.
ParsedHiveCache& HiveCache() {
  static ParsedHiveCache* cache = new ParsedHiveCache;
  return *cache;
}

// The values of the key as they are now: a root that is not in the file
// exists all the same, with no values.
std::optional<qbhive::Key> ReadKey(const std::string& path) {
  const std::shared_ptr<const qbhive::Hive> hive = HiveCache().Current();
  if (const qbhive::Key* key = hive->FindKey(path)) return *key;
  if (IsRoot(path)) return qbhive::Key{path, {}};
  return std::nullopt;
}

// Runs `edit` on the key at `path` inside an update of the file and hands
// back the key as written, for the handle's snapshot.
template <typename Edit>
LONG UpdateKey(const std::string& path, qbhive::Key& written, Edit edit) {
  const LONG rc = qbhive::UpdateHive(qbhive::HivePath(), [&](qbhive::Hive& hive) -> LONG {
    qbhive::Key* key = hive.FindKey(path);
    if (key == nullptr && IsRoot(path)) key = hive.CreateKey(path);
    if (key == nullptr) return ERROR_KEY_DELETED;
    const LONG result = edit(*key);
    written = *key;
    return result;
  });
  return rc == kUnchanged ? ERROR_SUCCESS : rc;
}

void RefreshSnapshot(const Base& base, qbhive::Key written) {
  if (!base.handle) return;
  std::lock_guard<std::mutex> lock(base.handle->mutex);
  base.handle->snapshot = std::move(written);
}

LONG CopyOut(const qbhive::Value& value, LPDWORD type, LPBYTE data, LPDWORD size) {
  if (type != nullptr) *type = value.type;
  const auto needed = static_cast<DWORD>(value.data.size());
  if (data == nullptr) {
    if (size != nullptr) *size = needed;
    return ERROR_SUCCESS;
  }
  const DWORD room = *size;
  *size = needed;
  if (room < needed) return ERROR_MORE_DATA;
  if (needed != 0) std::memcpy(data, value.data.data(), needed);
  return ERROR_SUCCESS;
}

// No C++ exception may leave these C functions.
template <typename Body>
LONG Guarded(Body body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  } catch (...) {
    return ERROR_CANTWRITE;
  }
}

}  // namespace

extern "C" {

LONG RegOpenKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult) {
  return Guarded([&]() -> LONG {
    if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    Base base;
    if (const LONG rc = ResolveBase(hKey, false, base); rc != ERROR_SUCCESS) return rc;
    const std::string path = SubkeyPath(base.path, lpSubKey);
    auto key = ReadKey(path);
    if (!key) return ERROR_FILE_NOT_FOUND;
    *phkResult = NewHandle(path, std::move(*key));
    return ERROR_SUCCESS;
  });
}

LONG RegCreateKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult) {
  return Guarded([&]() -> LONG {
    if (phkResult == nullptr || HasLineBreak(lpSubKey)) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    Base base;
    if (const LONG rc = ResolveBase(hKey, true, base); rc != ERROR_SUCCESS) return rc;
    const std::string path = SubkeyPath(base.path, lpSubKey);
    qbhive::Key written;
    const LONG rc = qbhive::UpdateHive(qbhive::HivePath(), [&](qbhive::Hive& hive) -> LONG {
      const bool existed = hive.FindKey(path) != nullptr;
      written = *hive.CreateKey(path);
      return existed ? kUnchanged : ERROR_SUCCESS;
    });
    if (rc != ERROR_SUCCESS && rc != kUnchanged) return rc;
    *phkResult = NewHandle(path, std::move(written));
    return ERROR_SUCCESS;
  });
}

LONG RegCloseKey(HKEY hKey) {
  if (IsPredefined(hKey)) return ERROR_SUCCESS;
  return Handles().Remove(hKey) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LONG RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                      LPDWORD lpcbData) {
  return Guarded([&]() -> LONG {
    if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr)) return ERROR_INVALID_PARAMETER;
    const std::string_view name = lpValueName != nullptr ? lpValueName : "";
    Base base;
    if (const LONG rc = ResolveBase(hKey, false, base); rc != ERROR_SUCCESS) return rc;
    if (!base.handle) {  // HKEY_CURRENT_USER itself: no snapshot, read now
      const auto key = ReadKey(base.path);
      const qbhive::Value* value = key ? key->FindValue(name) : nullptr;
      return value ? CopyOut(*value, lpType, lpData, lpcbData) : ERROR_FILE_NOT_FOUND;
    }
    std::lock_guard<std::mutex> lock(base.handle->mutex);
    const qbhive::Value* value = base.handle->snapshot.FindValue(name);
    return value ? CopyOut(*value, lpType, lpData, lpcbData) : ERROR_FILE_NOT_FOUND;
  });
}

LONG RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD /*Reserved*/, DWORD dwType, const BYTE* lpData,
                    DWORD cbData) {
  return Guarded([&]() -> LONG {
    if ((lpData == nullptr && cbData != 0) || HasLineBreak(lpValueName)) return ERROR_INVALID_PARAMETER;
    const std::string_view name = lpValueName != nullptr ? lpValueName : "";
    Base base;
    if (const LONG rc = ResolveBase(hKey, true, base); rc != ERROR_SUCCESS) return rc;
    std::vector<uint8_t> data(lpData, lpData + cbData);
    qbhive::Key written;
    const LONG rc = UpdateKey(base.path, written, [&](qbhive::Key& key) -> LONG {
      key.SetValue(name, dwType, std::move(data));
      return ERROR_SUCCESS;
    });
    if (rc == ERROR_SUCCESS) RefreshSnapshot(base, std::move(written));
    return rc;
  });
}

LONG RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
  return Guarded([&]() -> LONG {
    const std::string_view name = lpValueName != nullptr ? lpValueName : "";
    Base base;
    if (const LONG rc = ResolveBase(hKey, true, base); rc != ERROR_SUCCESS) return rc;
    qbhive::Key written;
    const LONG rc = UpdateKey(base.path, written, [&](qbhive::Key& key) -> LONG {
      return key.DeleteValue(name) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    });
    if (rc == ERROR_SUCCESS) RefreshSnapshot(base, std::move(written));
    return rc;
  });
}

LONG RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
  return Guarded([&]() -> LONG {
    if (lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
    Base base;
    if (const LONG rc = ResolveBase(hKey, true, base); rc != ERROR_SUCCESS) return rc;
    const std::string path = SubkeyPath(base.path, lpSubKey);
    if (IsRoot(path)) return ERROR_ACCESS_DENIED;
    return qbhive::UpdateHive(qbhive::HivePath(), [&](qbhive::Hive& hive) -> LONG {
      if (hive.FindKey(path) == nullptr) return ERROR_FILE_NOT_FOUND;
      if (hive.HasSubkeys(path)) return ERROR_ACCESS_DENIED;
      hive.DeleteKey(path);
      return ERROR_SUCCESS;
    });
  });
}

}  // extern "C"
