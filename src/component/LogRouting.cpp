#include "LogRouting.h"

#include "AVUtilHlpr.h"
#include "MediaLibraries.h"
#include "Utf8Text.h"
#include "VexoConverter.h"

#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstdio>

namespace pelorix {

namespace {

std::vector<TCustomConverter*>& Components() {
  static auto* List = new std::vector<TCustomConverter*>; // never freed, see the header
  return *List;
}

// Set while this thread routes a message: anything logged from inside is dropped rather than
// re-entering the list lock.
thread_local bool Routing = false;

// A cut can fall inside a UTF-8 sequence; the broken character goes.
void DropPartialUtf8(std::string& AText) {
  size_t Lead = AText.size();
  while (Lead > 0 && (static_cast<unsigned char>(AText[Lead - 1]) & 0xC0) == 0x80) --Lead;
  if (Lead == 0) return;
  const auto Byte = static_cast<unsigned char>(AText[Lead - 1]);
  const size_t Length = Byte >= 0xF0 ? 4 : Byte >= 0xE0 ? 3 : Byte >= 0xC0 ? 2 : 1;
  if (AText.size() - (Lead - 1) < Length) AText.resize(Lead - 1);
}

} // namespace

int MessageScaleOf(int ALibraryLevel) {
  const int Level = ALibraryLevel < 0 ? ALibraryLevel : (ALibraryLevel & 0xff);
  if (Level <= AV_LOG_QUIET) return -1;
  if (Level <= AV_LOG_ERROR) return 0;
  if (Level <= AV_LOG_INFO) return 1;
  if (Level <= AV_LOG_DEBUG) return 2;
  return 3;
}

TLogList::TLogItem& TLogList::ItemOf(std::thread::id AThread) {
  if (First.ThreadID == AThread) return First;
  for (TLogItem* Item = First.Next; Item; Item = Item->Next)
    if (Item->ThreadID == AThread) return *Item;
  if (First.ThreadID == std::thread::id()) {
    First.ThreadID = AThread;
    return First;
  }
  auto* Item = new TLogItem{AThread, {}, First.Next};
  First.Next = Item;
  return *Item;
}

std::vector<std::string> TLogList::Feed(std::thread::id AThread, const std::string& AText,
                                        bool ACut) {
  std::lock_guard Guard(Lock);
  TLogItem& Item = ItemOf(AThread);
  std::vector<std::string> Lines;
  size_t Start = 0;
  for (size_t Feed = AText.find('\n'); Feed != std::string::npos; Feed = AText.find('\n', Start)) {
    Lines.push_back(AText.substr(Start, Feed - Start));
    Start = Feed + 1;
  }
  Item.Pending = AText.substr(Start);
  if (ACut && !Item.Pending.empty()) {
    // A cut message ends its line, so that the pending text never outgrows the area.
    Lines.push_back(std::move(Item.Pending));
    Item.Pending.clear();
  }
  if (Item.Pending.empty()) Drop(AThread);
  return Lines;
}

std::string TLogList::Pending(std::thread::id AThread) {
  std::lock_guard Guard(Lock);
  if (First.ThreadID == AThread) return First.Pending;
  for (TLogItem* Item = First.Next; Item; Item = Item->Next)
    if (Item->ThreadID == AThread) return Item->Pending;
  return {};
}

void TLogList::Forget(std::thread::id AThread) {
  std::lock_guard Guard(Lock);
  Drop(AThread);
}

void TLogList::Drop(std::thread::id AThread) {
  if (First.ThreadID == AThread) {
    First.ThreadID = std::thread::id();
    First.Pending.clear();
    return;
  }
  for (TLogItem* Before = &First; Before->Next; Before = Before->Next) {
    if (Before->Next->ThreadID != AThread) continue;
    TLogItem* Item = Before->Next;
    Before->Next = Item->Next;
    delete Item;
    return;
  }
}

TLogList& LogLines() {
  static auto* List = new TLogList; // never freed, see the header
  return *List;
}

std::mutex& ComponentListLock() {
  static auto* Lock = new std::mutex; // never freed, see the header
  return *Lock;
}

void EnterComponentList(TCustomConverter* AConverter) {
  std::lock_guard Guard(ComponentListLock());
  Components().push_back(AConverter);
}

void LeaveComponentList(TCustomConverter* AConverter) {
  std::lock_guard Guard(ComponentListLock());
  auto& List = Components();
  List.erase(std::remove(List.begin(), List.end(), AConverter), List.end());
}

std::string AssembleLibraryMessage(const std::string& APending, void* ASource, const char* AFormat,
                                   va_list AArgs, bool& ACut) {
  char Area[LogAreaSize] = {};
  size_t Used = 0;
  ACut = false;
  if (!APending.empty()) {
    const std::string Start = CutUtf8(APending, LogAreaSize - 1);
    ACut = Start.size() < APending.size();
    std::copy(Start.begin(), Start.end(), Area);
    Used = Start.size();
  } else if (ASource) {
    const AVClass* Class = *static_cast<const AVClass* const*>(ASource);
    if (Class) {
      const char* Name = Class->item_name ? Class->item_name(ASource) : Class->class_name;
      // The descriptor's address, as eight hex digits: its low 32 bits on 64-bit systems.
      const int Written = std::snprintf(Area, sizeof Area, "[%s @ %08" PRIX32 "]", Name ? Name : "",
                                        static_cast<uint32_t>(reinterpret_cast<uintptr_t>(Class)));
      Used = Written < 0 ? 0 : std::min(static_cast<size_t>(Written), LogAreaSize - 1);
    }
  }
  if (AFormat && Used < LogAreaSize - 1) {
    const int Needed = std::vsnprintf(Area + Used, LogAreaSize - Used, AFormat, AArgs);
    if (Needed > 0) {
      const size_t Total = Used + static_cast<size_t>(Needed);
      if (Total >= LogAreaSize) ACut = true;
      Used = std::min(Total, LogAreaSize - 1);
    }
  } else if (AFormat) {
    ACut = true;
  }
  std::string Text(Area, Used);
  if (ACut) DropPartialUtf8(Text);
  return Text;
}

extern "C" void LibraryLogCallback(void* ASource, int ALevel, const char* AFormat, va_list AArgs) {
  // Every message arrives here whatever the libraries' own level says.
  const int Scale = MessageScaleOf(ALevel);
  if (MediaLogLevel.load() < Scale || Routing) return;
  Routing = true;
  try {
    const std::thread::id Self = std::this_thread::get_id();
    std::lock_guard Guard(ComponentListLock());
    bool Cut = false;
    const std::string Text =
        AssembleLibraryMessage(LogLines().Pending(Self), ASource, AFormat, AArgs, Cut);
    for (const std::string& Line : LogLines().Feed(Self, Text, Cut))
      for (TCustomConverter* Converter : Components())
        Converter->DispatchLibraryLine(Self, Scale, Line);
  } catch (...) {
    // Nothing may travel back into the library's C frames.
  }
  Routing = false;
}

} // namespace pelorix
