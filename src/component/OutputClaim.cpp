#include "OutputClaim.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>

namespace pelorix {

namespace {

const char TemporaryPrefix[] = ".pelorix-";
constexpr size_t RandomLength = 12;

std::string FolderOf(const std::string& APath) {
  const size_t Slash = APath.find_last_of('/');
  if (Slash == std::string::npos) return ".";
  return Slash == 0 ? "/" : APath.substr(0, Slash);
}

std::string FileNameOf(const std::string& APath) {
  const size_t Slash = APath.find_last_of('/');
  return Slash == std::string::npos ? APath : APath.substr(Slash + 1);
}

// The extension of a file name with its dot; empty without one (a leading dot is none).
std::string ExtensionOf(const std::string& AFileName) {
  const size_t Dot = AFileName.find_last_of('.');
  if (Dot == std::string::npos || Dot == 0) return {};
  return AFileName.substr(Dot);
}

std::string RandomPart() {
  static const char Letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  unsigned char Bytes[RandomLength];
  size_t Got = 0;
  while (Got < sizeof Bytes) {
    const ssize_t Read = ::getrandom(Bytes + Got, sizeof Bytes - Got, 0);
    if (Read < 0 && errno == EINTR) continue;
    if (Read <= 0) break;
    Got += static_cast<size_t>(Read);
  }
  std::string Part;
  for (size_t I = 0; I < RandomLength; ++I)
    Part += Letters[(I < Got ? Bytes[I] : static_cast<unsigned char>(::rand())) % 36];
  return Part;
}

std::string SystemText(int AError) { return std::strerror(AError); }

// Takes the lock on AFile, waiting while a sweep holds it for a moment.
bool LockFile(int AFile) {
  while (::flock(AFile, LOCK_EX) != 0)
    if (errno != EINTR) return false;
  return true;
}

std::mutex ReservationLock;
std::multiset<std::string>& Reservations() {
  static std::multiset<std::string> Names;
  return Names;
}

} // namespace

std::string NumberedOutputName(const std::string& AName, int ANumber) {
  const size_t Slash = AName.find_last_of('/');
  const size_t NameStart = Slash == std::string::npos ? 0 : Slash + 1;
  const std::string Extension = ExtensionOf(AName.substr(NameStart));
  std::string Stem = AName.substr(0, AName.size() - Extension.size());
  std::string Closing;
  if (Stem.size() > NameStart && Stem.back() == ')') {
    Closing = ")";
    Stem.pop_back();
  }
  // A number already there: " [k]" at the end of the stem.
  int Base = 0;
  if (Stem.size() >= 4 && Stem.back() == ']') {
    const size_t Open = Stem.find_last_of('[');
    if (Open != std::string::npos && Open >= 1 && Stem[Open - 1] == ' ' && Open + 2 < Stem.size()) {
      const std::string Digits = Stem.substr(Open + 1, Stem.size() - Open - 2);
      if (Digits.size() <= 6 && Digits.find_first_not_of("0123456789") == std::string::npos) {
        Base = std::stoi(Digits);
        Stem.erase(Open - 1);
      }
    }
  }
  return Stem + " [" + std::to_string(Base + ANumber) + "]" + Closing + Extension;
}

bool IsTemporaryOutputName(const std::string& AFileName) {
  const size_t PrefixLength = sizeof TemporaryPrefix - 1;
  if (AFileName.compare(0, PrefixLength, TemporaryPrefix) != 0) return false;
  if (AFileName.size() < PrefixLength + RandomLength) return false;
  for (size_t I = PrefixLength; I < PrefixLength + RandomLength; ++I) {
    const char C = AFileName[I];
    if (!((C >= 'a' && C <= 'z') || (C >= '0' && C <= '9'))) return false;
  }
  return AFileName.size() == PrefixLength + RandomLength ||
         AFileName[PrefixLength + RandomLength] == '.';
}

void SweepAbandonedOutputs(const std::string& AFolder) {
  DIR* Folder = ::opendir(AFolder.c_str());
  if (!Folder) return;
  const int FolderFile = ::dirfd(Folder);
  while (const dirent* Entry = ::readdir(Folder)) {
    if (!IsTemporaryOutputName(Entry->d_name)) continue;
    const int File =
        ::openat(FolderFile, Entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (File < 0) continue;
    // A lock taken means its claim is gone: the file is a leftover. A claim being made takes
    // the lock after its create and then checks that its file still has a name.
    struct stat Open {
    }, Named{};
    if (::flock(File, LOCK_EX | LOCK_NB) == 0 && ::fstat(File, &Open) == 0 &&
        S_ISREG(Open.st_mode) &&
        ::fstatat(FolderFile, Entry->d_name, &Named, AT_SYMLINK_NOFOLLOW) == 0 &&
        Named.st_dev == Open.st_dev && Named.st_ino == Open.st_ino)
      ::unlinkat(FolderFile, Entry->d_name, 0);
    ::close(File);
  }
  ::closedir(Folder);
}

void ReserveOutputName(const std::string& AName) {
  std::lock_guard Guard(ReservationLock);
  Reservations().insert(AName);
}

void ReleaseOutputName(const std::string& AName) {
  std::lock_guard Guard(ReservationLock);
  const auto Found = Reservations().find(AName);
  if (Found != Reservations().end()) Reservations().erase(Found);
}

bool OutputNameReserved(const std::string& AName) {
  std::lock_guard Guard(ReservationLock);
  return Reservations().count(AName) > 0;
}

TOutputClaim::~TOutputClaim() { Abandon(); }

bool TOutputClaim::Begin(const std::string& AFinalName, std::string& AError, bool ASweep) {
  Abandon();
  FinalPath = AFinalName;
  const std::string Folder = FolderOf(AFinalName);
  if (ASweep) SweepAbandonedOutputs(Folder);
  const std::string Extension = ExtensionOf(FileNameOf(AFinalName));
  for (int Attempt = 0; Attempt < 100; ++Attempt) {
    const std::string Candidate = Folder + "/" + TemporaryPrefix + RandomPart() + Extension;
    const int Made = ::open(Candidate.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (Made < 0) {
      if (errno == EEXIST) continue;
      AError = "Could not open '" + AFinalName + "': " + SystemText(errno);
      return false;
    }
    struct stat Info {};
    if (!LockFile(Made) || ::fstat(Made, &Info) != 0) {
      AError = "Could not lock '" + Candidate + "': " + SystemText(errno);
      ::close(Made);
      ::unlink(Candidate.c_str());
      return false;
    }
    // A sweep that came between the create and the lock took the file away: another name.
    if (Info.st_nlink == 0) {
      ::close(Made);
      continue;
    }
    File = Made;
    TemporaryPath = Candidate;
    return true;
  }
  AError = "Could not open '" + AFinalName + "': no free temporary name in its folder";
  return false;
}

bool TOutputClaim::HasContent() const {
  struct stat Info {};
  return File >= 0 && StillOurs() && ::fstat(File, &Info) == 0 && Info.st_size > 0;
}

bool TOutputClaim::StillOurs() const {
  struct stat Open {
  }, Named{};
  return File >= 0 && ::fstat(File, &Open) == 0 && ::lstat(TemporaryPath.c_str(), &Named) == 0 &&
         Open.st_dev == Named.st_dev && Open.st_ino == Named.st_ino;
}

int TOutputClaim::TakeName(const std::string& ACandidate) {
  // One step where the file system has it; else a hard link (the temporary name goes after);
  // else, where there are no links, an exclusive create of the name, renamed over.
  if (::renameat2(AT_FDCWD, TemporaryPath.c_str(), AT_FDCWD, ACandidate.c_str(),
                  RENAME_NOREPLACE) == 0)
    return 1;
  if (errno == EEXIST) return 0;
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return -1;
  if (::link(TemporaryPath.c_str(), ACandidate.c_str()) == 0) {
    ::unlink(TemporaryPath.c_str());
    return 1;
  }
  if (errno == EEXIST) return 0;
  if (errno != EPERM && errno != ENOTSUP && errno != EMLINK) return -1;
  const int Holder = ::open(ACandidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (Holder < 0) return errno == EEXIST ? 0 : -1;
  ::close(Holder);
  if (::rename(TemporaryPath.c_str(), ACandidate.c_str()) == 0) return 1;
  const int Error = errno;
  ::unlink(ACandidate.c_str());
  errno = Error;
  return -1;
}

bool TOutputClaim::Commit(bool AReplace, std::string& AError) {
  if (!Active()) {
    AError = "The output '" + FinalPath + "' was not written";
    return false;
  }
  if (!StillOurs()) {
    AError = "The output '" + FinalPath + "' was removed while it was written";
    Close();
    return false;
  }
  if (AReplace) {
    if (::rename(TemporaryPath.c_str(), FinalPath.c_str()) == 0) {
      Close();
      return true;
    }
    AError = "Could not name the output '" + FinalPath + "': " + SystemText(errno);
    Abandon();
    return false;
  }
  for (int Number = 0; Number < 100000; ++Number) {
    const std::string Candidate = Number == 0 ? FinalPath : NumberedOutputName(FinalPath, Number);
    if (Number > 0 && OutputNameReserved(Candidate)) continue;
    const int Taken = TakeName(Candidate);
    if (Taken == 0) continue;
    if (Taken < 0) {
      AError = "Could not name the output '" + Candidate + "': " + SystemText(errno);
      Abandon();
      return false;
    }
    FinalPath = Candidate;
    Close();
    return true;
  }
  AError = "Could not name the output '" + FinalPath + "': no free name";
  Abandon();
  return false;
}

void TOutputClaim::Abandon() {
  if (File < 0) return;
  if (StillOurs()) ::unlink(TemporaryPath.c_str());
  Close();
}

void TOutputClaim::Close() {
  if (File >= 0) ::close(File);
  File = -1;
  TemporaryPath.clear();
}

} // namespace pelorix
