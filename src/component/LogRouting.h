// Routing of the media libraries' own log output to the converters' log events.
//
// The libraries call LibraryLogCallback on any thread: workers, the converter's thread while
// it opens inputs, library-internal threads. Each thread's unfinished line waits in the
// process-wide TLogList; every finished line goes, for every live converter in the component
// list, to that converter's task whose thread produced it (or to no task).
//
// Locks: the component list lock is taken inside CodecLock and before any converter's lock;
// the line buffers have a leaf lock of their own, never held while an event is raised.
// Both lists are never freed, so the callback stays safe after main returns.
#pragma once

#include <cstdarg>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace pelorix {

class TCustomConverter;

// The engine's scale (-1..3) of a library message level; colour bits are ignored. A level
// passes the libraries' threshold exactly when its scale passes MediaLogLevel.
int MessageScaleOf(int ALibraryLevel);

// Per-thread pending text of the library log lines. A thread holds an item only while it has
// an unfinished line, so the list does not grow with the threads that come and go.
// Thread-safe.
class TLogList {
public:
  // Appends AText to the calling thread's pending text and hands back every finished line;
  // the rest stays pending. With ACut the text ends a line even without a line feed.
  std::vector<std::string> Feed(std::thread::id AThread, const std::string& AText, bool ACut);
  // The pending text of AThread (empty when none).
  std::string Pending(std::thread::id AThread);
  // Drops the pending text of AThread only; every other thread's stays.
  void Forget(std::thread::id AThread);

private:
  struct TLogItem {
    std::thread::id ThreadID; // a default id marks the embedded first item free
    std::string Pending;
    TLogItem* Next = nullptr;
  };
  TLogItem& ItemOf(std::thread::id AThread);
  void Drop(std::thread::id AThread); // lock held

  std::mutex Lock;
  TLogItem First;
};

TLogList& LogLines();

// The process-wide list of live converters, in creation order.
std::mutex& ComponentListLock();
void EnterComponentList(TCustomConverter* AConverter);
void LeaveComponentList(TCustomConverter* AConverter);

// Size of the area in which a pending line and one message are assembled.
constexpr size_t LogAreaSize = 2048;

// Assembles one library message: the pending text, or else the "[name @ address]" prefix of
// the source, then the formatted message, cut to the area. ACut tells whether it was cut.
std::string AssembleLibraryMessage(const std::string& APending, void* ASource, const char* AFormat,
                                   va_list AArgs, bool& ACut);

// Installed as the libraries' log callback by the converter's LoadLibraries.
extern "C" void LibraryLogCallback(void* ASource, int ALevel, const char* AFormat, va_list AArgs);

} // namespace pelorix
