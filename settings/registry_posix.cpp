// RegOpenKeyA and friends over the current user's hive file.
//
// An HKEY refers to the key as it was in the parsed hive it was opened on:
// a shared, immutable snapshot. Queries answer from it and never read the
// file again, so several queries on one handle see one version of the
// settings even while a writer replaces the file. Writes go through
// qbhive::UpdateHive and give the handle they used a snapshot of the key as
// written.
//
// Only HKEY_CURRENT_USER (and handles opened below it) is backed by the
// file; the other predefined roots hold nothing here: reads answer
// ERROR_FILE_NOT_FOUND, writes ERROR_ACCESS_DENIED. Handles are looked up
// in a table, so a stale or made-up HKEY gives ERROR_INVALID_HANDLE.
// RegDeleteKeyA refuses a key that has subkeys (ERROR_ACCESS_DENIED), as
// Windows does. Registry functions return their error; they do not set the
// thread's last error.
//
// A file that exists but cannot be read is never taken for a missing one:
// RegOpenKeyA fails with the error Windows gives for such a cause, and
// nothing of that read is kept. A key or value that a cap of the reader
// may have left out is ERROR_CANTREAD, not ERROR_FILE_NOT_FOUND.
//
// Every Connect opens, queries and closes one key; with the file unchanged
// that path allocates nothing: the parsed hive is reused, a handle is a slot
// of a table that has already grown to its one slot, pointing into it, and
// key paths are joined on the stack. Threads that find the file changed
// parse it one at a time and share what one parse read, so that memory
// does not grow with their number; a reader with a bound
// (settings/read_bound.h, RegOpenKeyWithin) waits and parses only within it.
#include "settings/reg_text.h"
#include "settings/current_user.h"
#include "settings/read_bound.h"
#include "posix/system_calls.h"
#include "win32.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <memory>
#include <thread>
#include <mutex>
#include <new>
#include <vector>

namespace {

// A key as it is in one parsed hive; shares the hive's lifetime.
using KeyRef = std::shared_ptr<const qbhive::Key>;

// HKEY_CLASSES_ROOT to HKEY_DYN_DATA, which no handle of the table may be.
bool IsPredefined(HKEY key) {
  const auto id = reinterpret_cast<ULONG_PTR>(key);
  return id >= static_cast<ULONG_PTR>(static_cast<LONG>(0x80000000)) &&
         id <= static_cast<ULONG_PTR>(static_cast<LONG>(0x80000006));
}

// An object in the library's own static storage, constructed at its first
// use and never destroyed: it serves until the very end (a host may close
// keys from its own static destructors), and it goes with the library's
// memory when the library is unloaded. A heap block would stay behind at
// every unload of a library that is loaded again and again; what the object
// holds on the heap is given back at unload (ReleaseAtUnload, below).
template <typename T>
class Lasting {
 public:
  Lasting() { ::new (static_cast<void*>(storage_)) T(); }
  T& operator*() { return *std::launder(reinterpret_cast<T*>(storage_)); }

 private:
  alignas(T) unsigned char storage_[sizeof(T)];
};

// Open handles: slots that are reused, each with a generation bumped at
// every close, so that a closed handle stays invalid when its slot is
// taken again. A connect opens one key at a time, so the table stays one
// slot long and, once grown, allocates nothing. A handle is odd (never
// NULL, never a small made-up even number): the slot and its generation.
class HandleTable {
 public:
  HKEY Add(KeyRef snapshot) {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t index = 0;
    while (index < slots_.size() && slots_[index].snapshot) ++index;
    if (index > kIndexMask) throw std::bad_alloc();  // ERROR_NOT_ENOUGH_MEMORY
    if (index == slots_.size()) slots_.emplace_back();
    Slot& slot = slots_[index];
    slot.snapshot = std::move(snapshot);
    while (IsPredefined(Handle(index, slot.generation))) Bump(slot);
    return Handle(index, slot.generation);
  }

  // The handle's snapshot; null when the handle is not open.
  KeyRef Snapshot(HKEY key) {
    std::lock_guard<std::mutex> lock(mutex_);
    const Slot* slot = Find(key);
    return slot ? slot->snapshot : nullptr;
  }

  // After a write through the handle; nothing when it was closed meanwhile.
  void Refresh(HKEY key, KeyRef snapshot) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (Slot* slot = Find(key)) slot->snapshot = std::move(snapshot);
  }

  // Closes every handle and gives the slots back to the heap; a handle used
  // later is ERROR_INVALID_HANDLE.
  void Release() {
    std::vector<Slot> released;  // freed outside the lock
    std::lock_guard<std::mutex> lock(mutex_);
    released.swap(slots_);
  }

  bool Remove(HKEY key) {
    KeyRef released;  // freed outside the lock
    std::lock_guard<std::mutex> lock(mutex_);
    Slot* slot = Find(key);
    if (slot == nullptr) return false;
    released = std::move(slot->snapshot);
    slot->snapshot = nullptr;
    Bump(*slot);
    return true;
  }

 private:
  struct Slot {
    KeyRef snapshot;  // null while the slot is free
    uintptr_t generation = 0;
  };

  static constexpr unsigned kIndexBits = sizeof(uintptr_t) * 3;  // 24 of 64 bits, 12 of 32
  static constexpr uintptr_t kIndexMask = (uintptr_t{1} << kIndexBits) - 1;
  static constexpr uintptr_t kGenerationMask = UINTPTR_MAX >> (kIndexBits + 1);

  static HKEY Handle(size_t index, uintptr_t generation) {
    return reinterpret_cast<HKEY>((((generation << kIndexBits) | index) << 1) | 1);
  }
  static void Bump(Slot& slot) { slot.generation = (slot.generation + 1) & kGenerationMask; }

  // The open slot of a handle; the caller holds mutex_.
  Slot* Find(HKEY key) {
    const auto id = reinterpret_cast<uintptr_t>(key);
    const uintptr_t index = (id >> 1) & kIndexMask;
    if ((id & 1) == 0 || index >= slots_.size()) return nullptr;
    Slot& slot = slots_[index];
    return slot.snapshot && slot.generation == id >> (kIndexBits + 1) ? &slot : nullptr;
  }

  std::mutex mutex_;
  std::vector<Slot> slots_;
};

HandleTable& Handles() {
  static Lasting<HandleTable> table;
  return *table;
}

// An edit result meaning "nothing to change": no file is written.
constexpr LONG kUnchanged = -1;

// A name the file would not give back as written (a line break).
bool IsUnstorable(const char* name) { return name != nullptr && !qbhive::IsStorableName(name); }

bool IsRoot(std::string_view path) { return path == qbhive::kCurrentUserRoot; }

// The key a handle stands for, for reading: its snapshot, or none for
// HKEY_CURRENT_USER itself (read from the file at every use).
LONG ResolveForRead(HKEY key, KeyRef& snapshot) {
  if (key == HKEY_CURRENT_USER) return ERROR_SUCCESS;
  if (IsPredefined(key)) return ERROR_FILE_NOT_FOUND;
  snapshot = Handles().Snapshot(key);
  return snapshot ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

// The path of the key a handle stands for, for writing.
LONG ResolveForWrite(HKEY key, std::string& path) {
  if (key == HKEY_CURRENT_USER) {
    path = std::string(qbhive::kCurrentUserRoot);
    return ERROR_SUCCESS;
  }
  if (IsPredefined(key)) return ERROR_ACCESS_DENIED;
  const KeyRef snapshot = Handles().Snapshot(key);
  if (!snapshot) return ERROR_INVALID_HANDLE;
  path = snapshot->path;
  return ERROR_SUCCESS;
}

std::string SubkeyPath(std::string_view base, const char* subkey) {
  if (subkey == nullptr || subkey[0] == '\0') return std::string(base);
  // The base is canonical, so the join has a root and cannot fail.
  std::string joined = std::string(base) + '\\' + subkey;
  return qbhive::CanonicalKeyPath(joined).value_or(std::string(base));
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

  static FileStamp Of(const struct stat& st) { return {st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim}; }
  bool operator==(const FileStamp& o) const {
    return device == o.device && inode == o.inode && size == o.size && modified.tv_sec == o.modified.tv_sec &&
           modified.tv_nsec == o.modified.tv_nsec && changed.tv_sec == o.changed.tv_sec &&
           changed.tv_nsec == o.changed.tv_nsec;
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

// What a read that its bound ended returns inside this file (never to a
// caller: RegOpenKeyWithin says so by its own result).
constexpr LONG kGivenUp = ERROR_OPERATION_ABORTED;

// The hive as last parsed, so that the common case, a reader finding the
// file as it was (every Connect reads the settings), costs one stat and no
// allocation.
class ParsedHiveCache {
 public:
  // The hive as the file holds it now (empty when there is no file), or
  // why the file cannot be read; a failed read is never kept.
  LONG Current(std::shared_ptr<const qbhive::Hive>& current, const qbplatform::ReadBound* bound) {
    std::shared_ptr<const Parsed> last;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      last = last_;
    }
    // The environment decides the path; asked without building it anew.
    const bool same_path = last && qbhive::IsHivePath(last->path);
    std::string fresh;
    if (!same_path) {
      if (const LONG rc = qbhive::HivePathOf(fresh); rc != ERROR_SUCCESS) return rc;
    }
    const std::string& path = same_path ? last->path : fresh;
    struct stat st;
    if (path.empty() || qbplatform::sys::stat(path.c_str(), &st) != 0) {
      LONG rc = path.empty() ? ERROR_FILE_NOT_FOUND : qbhive::RegistryErrorOf(errno);
      if (rc == ERROR_FILE_NOT_FOUND && !path.empty()) rc = qbhive::NotFoundError(path);
      if (rc != ERROR_FILE_NOT_FOUND) return rc;
      current = std::make_shared<const qbhive::Hive>();
      return ERROR_SUCCESS;
    }
    // Taken before reading: if the file is replaced in between, the stamp is
    // the older one and the next reader parses again; it never passes off
    // an old hive as a newer file.
    const FileStamp stamp = FileStamp::Of(st);
    if (same_path && stamp == last->stamp) {
      current = last->hive;
      return ERROR_SUCCESS;
    }
    return ParseOnce(path, stamp, current, bound);
  }

  // From now on nothing is kept: the hive held goes as soon as no handle
  // holds it, and the password in it is wiped with it.
  void Release() {
    std::shared_ptr<const Parsed> released;
    std::lock_guard<std::mutex> lock(mutex_);
    released_ = true;
    released = std::move(last_);
  }

 private:
  struct Parsed {
    std::string path;
    FileStamp stamp;
    std::shared_ptr<const qbhive::Hive> hive;
  };
  // What one parse gave, for the threads that waited for it.
  struct Outcome {
    uint64_t generation = 0;  // the how-manieth parse it was
    LONG rc = ERROR_SUCCESS;
    std::shared_ptr<const qbhive::Hive> hive;
  };

  // One parse at a time. A thread that finds one running waits for it
  // (within its bound); a parse that started after the thread's call did
  // read the file as it was during that call, so its outcome is the
  // thread's too. Otherwise the thread parses next.
  LONG ParseOnce(const std::string& path, const FileStamp& stamp, std::shared_ptr<const qbhive::Hive>& current,
                 const qbplatform::ReadBound* bound) {
    // Freed after the lock is let go (declared before it): a hive wipes
    // its values as it goes.
    std::shared_ptr<const Outcome> released, replaced;
    std::shared_ptr<const Parsed> older;
    std::unique_lock<std::mutex> lock(mutex_);
    const uint64_t arrival = parses_started_;
    ++waiters_;
    const auto stop_waiting = [&] {
      if (--waiters_ == 0) released = std::move(shared_);
    };
    while (parsing_) {
      if (qbplatform::GivesUp(bound)) {
        stop_waiting();
        return kGivenUp;
      }
      // Polled, with no condition variable: a bound says when to give up,
      // it wakes no one; and the parsing thread calls nothing of the C++
      // run-time once it has read the file (see parsing_).
      lock.unlock();
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      lock.lock();
    }
    if (shared_ && shared_->generation > arrival) {
      current = shared_->hive;
      const LONG rc = shared_->rc;
      stop_waiting();
      return rc;
    }
    if (last_ && last_->path == path && last_->stamp == stamp) {  // parsed meanwhile, and settled
      current = last_->hive;
      stop_waiting();
      return ERROR_SUCCESS;
    }
    stop_waiting();
    parsing_ = true;
    auto outcome = std::make_shared<Outcome>();
    outcome->generation = ++parses_started_;
    lock.unlock();

    outcome->rc = Parse(path, outcome->hive, bound);

    lock.lock();
    parsing_ = false;
    replaced = std::move(shared_);
    if (waiters_ > 0 && outcome->rc != kGivenUp) shared_ = outcome;
    if (outcome->rc == ERROR_SUCCESS && stamp.Settled() && !released_) {
      // Taken before reading: if the file was replaced in between, the stamp
      // is the older one and the next reader parses again; an old hive is
      // never passed off as a newer file.
      older = std::make_shared<const Parsed>(Parsed{path, stamp, outcome->hive});
      std::swap(last_, older);
    }
    lock.unlock();
    current = outcome->hive;
    return outcome->rc;
  }

  // The hive in the file now. A parse that gave up for its reader's bound
  // read only part of the file: it is nobody's.
  static LONG Parse(const std::string& path, std::shared_ptr<const qbhive::Hive>& hive,
                    const qbplatform::ReadBound* bound) {
    auto loaded = std::make_shared<qbhive::Hive>();
    const LONG rc = qbhive::LoadHive(path, *loaded, nullptr, bound);
    if (rc != ERROR_SUCCESS) return rc;
    if (loaded->CutShort() && qbplatform::GivesUp(bound)) return kGivenUp;
    hive = std::move(loaded);
    return ERROR_SUCCESS;
  }

  std::mutex mutex_;
  std::shared_ptr<const Parsed> last_;
  bool released_ = false;
  // While one thread parses, the others poll this. No notify: the run-time
  // library's condition variable is bound lazily, and its first call saves
  // the vector registers, which may still hold the file's text (a password
  // among it), on the parsing thread's stack.
  bool parsing_ = false;
  uint64_t parses_started_ = 0;
  size_t waiters_ = 0;
  std::shared_ptr<const Outcome> shared_;  // the last parse's, while threads wait for one
};

ParsedHiveCache& HiveCache() {
  static Lasting<ParsedHiveCache> cache;
  return *cache;
}

// The tables themselves outlive the library's static objects, for hosts
// that read settings from their own static destructors, but what they hold
// does not outlive the library (at exit, or when it is unloaded): neither
// the settings, with the password, nor a block of the heap.
struct ReleaseAtUnload {
  ~ReleaseAtUnload() {
    HiveCache().Release();
    Handles().Release();
  }
} g_releaseAtUnload;

// HKEY_CURRENT_USER when the file has no such key: it exists all the same,
// with no values. Made at each use (opening the root itself is rare).
KeyRef EmptyRoot() {
  return std::make_shared<const qbhive::Key>(qbhive::Key{std::string(qbhive::kCurrentUserRoot), {}});
}

// The key at `path` as it is now, sharing the parsed hive; ERROR_FILE_NOT_FOUND
// when there is none, ERROR_CANTREAD when a cap of the reader may have left
// it out, or why the file cannot be read.
LONG ReadKey(std::string_view path, KeyRef& key, const qbplatform::ReadBound* bound = nullptr) {
  std::shared_ptr<const qbhive::Hive> hive;
  if (const LONG rc = HiveCache().Current(hive, bound); rc != ERROR_SUCCESS) return rc;
  if (const qbhive::Key* found = hive->FindKey(path)) {
    key = KeyRef(std::move(hive), found);
    return ERROR_SUCCESS;
  }
  if (hive->CutShort()) return ERROR_CANTREAD;
  if (!IsRoot(path)) return ERROR_FILE_NOT_FOUND;
  key = EmptyRoot();
  return ERROR_SUCCESS;
}

// The key below `base` (canonical) at `subkey`. A path that fits the stack
// is joined there; it is canonical unless the subkey has empty components,
// which FindKey then sorts out. A subkey of separators alone is the base.
LONG ReadSubkey(std::string_view base, const char* subkey, KeyRef& key, const qbplatform::ReadBound* bound) {
  if (subkey == nullptr || subkey[std::strspn(subkey, "\\")] == '\0') return ReadKey(base, key, bound);
  const size_t length = std::strlen(subkey);
  std::array<char, 512> joined;
  if (base.size() + 1 + length > joined.size()) return ReadKey(SubkeyPath(base, subkey), key, bound);
  std::memcpy(joined.data(), base.data(), base.size());
  joined[base.size()] = '\\';
  std::memcpy(joined.data() + base.size() + 1, subkey, length);
  return ReadKey(std::string_view(joined.data(), base.size() + 1 + length), key, bound);
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

// A handle's view after a write through it (HKEY_CURRENT_USER has none).
void RefreshSnapshot(HKEY key, qbhive::Key written) {
  if (key == HKEY_CURRENT_USER) return;
  Handles().Refresh(key, std::make_shared<const qbhive::Key>(std::move(written)));
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

// RegOpenKeyA, within bound (null: none).
LONG OpenKey(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult, const qbplatform::ReadBound* bound) {
  return Guarded([&]() -> LONG {
    if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    KeyRef base;
    if (const LONG rc = ResolveForRead(hKey, base); rc != ERROR_SUCCESS) return rc;
    KeyRef key;
    const LONG rc = ReadSubkey(base ? std::string_view(base->path) : qbhive::kCurrentUserRoot, lpSubKey, key, bound);
    if (rc != ERROR_SUCCESS) return rc;
    *phkResult = Handles().Add(std::move(key));
    return ERROR_SUCCESS;
  });
}

}  // namespace

extern "C" {

LONG RegOpenKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult) { return OpenKey(hKey, lpSubKey, phkResult, nullptr); }

LONG RegCreateKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult) {
  return Guarded([&]() -> LONG {
    if (phkResult == nullptr || IsUnstorable(lpSubKey)) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    std::string base;
    if (const LONG rc = ResolveForWrite(hKey, base); rc != ERROR_SUCCESS) return rc;
    const std::string path = SubkeyPath(base, lpSubKey);
    // Beyond Windows' limits on a key, as Windows refuses it.
    if (!qbhive::WithinKeyLimits(path)) return ERROR_INVALID_PARAMETER;
    qbhive::Key written;
    const LONG rc = qbhive::UpdateHive(qbhive::HivePath(), [&](qbhive::Hive& hive) -> LONG {
      const bool existed = hive.FindKey(path) != nullptr;
      const qbhive::Key* key = hive.CreateKey(path);
      if (key == nullptr) return ERROR_INVALID_PARAMETER;
      written = *key;
      return existed ? kUnchanged : ERROR_SUCCESS;
    });
    if (rc != ERROR_SUCCESS && rc != kUnchanged) return rc;
    *phkResult = Handles().Add(std::make_shared<const qbhive::Key>(std::move(written)));
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
    KeyRef key;
    if (const LONG rc = ResolveForRead(hKey, key); rc != ERROR_SUCCESS) return rc;
    if (!key) {  // HKEY_CURRENT_USER itself: read now
      if (const LONG rc = ReadKey(qbhive::kCurrentUserRoot, key); rc != ERROR_SUCCESS) return rc;
    }
    if (const qbhive::Value* value = key->FindValue(name)) return CopyOut(*value, lpType, lpData, lpcbData);
    return key->values_cut ? ERROR_CANTREAD : ERROR_FILE_NOT_FOUND;
  });
}

LONG RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD /*Reserved*/, DWORD dwType, const BYTE* lpData,
                    DWORD cbData) {
  return Guarded([&]() -> LONG {
    if ((lpData == nullptr && cbData != 0) || IsUnstorable(lpValueName)) return ERROR_INVALID_PARAMETER;
    const std::string_view name = lpValueName != nullptr ? lpValueName : "";
    std::string path;
    if (const LONG rc = ResolveForWrite(hKey, path); rc != ERROR_SUCCESS) return rc;
    std::vector<uint8_t> data(lpData, lpData + cbData);
    qbhive::Key written;
    const LONG rc = UpdateKey(path, written, [&](qbhive::Key& key) -> LONG {
      key.SetValue(name, dwType, std::move(data));
      return ERROR_SUCCESS;
    });
    qbhive::Wipe(data.data(), data.size());  // still here when the edit never ran
    if (rc == ERROR_SUCCESS) RefreshSnapshot(hKey, std::move(written));
    return rc;
  });
}

LONG RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
  return Guarded([&]() -> LONG {
    const std::string_view name = lpValueName != nullptr ? lpValueName : "";
    std::string path;
    if (const LONG rc = ResolveForWrite(hKey, path); rc != ERROR_SUCCESS) return rc;
    qbhive::Key written;
    const LONG rc = UpdateKey(path, written, [&](qbhive::Key& key) -> LONG {
      return key.DeleteValue(name) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    });
    if (rc == ERROR_SUCCESS) RefreshSnapshot(hKey, std::move(written));
    return rc;
  });
}

LONG RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
  return Guarded([&]() -> LONG {
    if (lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
    std::string base;
    if (const LONG rc = ResolveForWrite(hKey, base); rc != ERROR_SUCCESS) return rc;
    const std::string path = SubkeyPath(base, lpSubKey);
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

namespace qbplatform {

OpenWithin RegOpenKeyWithin(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult, const ReadBound& bound) {
  const LONG rc = OpenKey(hKey, lpSubKey, phkResult, &bound);
  return rc == kGivenUp ? OpenWithin{ERROR_SUCCESS, true} : OpenWithin{rc, false};
}

}  // namespace qbplatform
