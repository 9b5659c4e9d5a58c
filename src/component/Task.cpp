#include "Task.h"

namespace pelorix {

TFFmpeg::~TFFmpeg() {
  // The engine's own destructor waits for its threads, but only after this object's members
  // are gone; the threads touch them until the end is reported, so wait for that here.
  const TTaskPhase Now = Phase();
  if (Now == TTaskPhase::tsRunning || Now == TTaskPhase::tsPublished ||
      Now == TTaskPhase::tsStopped || Now == TTaskPhase::tsEnded) {
    RequestStop();
    std::unique_lock Guard(EndLock);
    EndChanged.wait(Guard, [this] { return EndReported; });
  }
  CloseInputView();
}

AVFormatContext* TFFmpeg::FirstInputContext() {
  std::lock_guard Guard(InputLock);
  return InputOpen ? InputContext(0) : nullptr;
}

void TFFmpeg::AttachProbe() {
  std::lock_guard Guard(InputLock);
  InputOpen = InputFileCount() > 0;
  if (InputOpen) InputProbe.Attach(InputContext(InputFileCount() - 1));
}

void TFFmpeg::CloseInputView() {
  std::lock_guard Guard(InputLock);
  InputOpen = false;
  InputProbe.Close();
}

void TFFmpeg::AskStop() {
  // Paired with the starter, which publishes the thread and then reads the request: one of
  // the two sees the other and the engine gets the stop after its start.
  StopAskedValue.store(true);
  if (Phase() == TTaskPhase::tsPublished) RequestStop();
}

void TFFmpeg::NoteEndReported() {
  PhaseValue.store(TTaskPhase::tsEnded);
  std::lock_guard Guard(EndLock);
  EndReported = true;
  EndChanged.notify_all();
}

int TFFmpegList::Add(TFFmpegPtr ATask) {
  ATask->SetIndex(Count());
  Items.push_back(std::move(ATask));
  return Count() - 1;
}

TFFmpegPtr TFFmpegList::Remove(int AIndex) {
  TFFmpegPtr Task = std::move(Items[static_cast<size_t>(AIndex)]);
  Items.erase(Items.begin() + AIndex);
  for (int I = AIndex; I < Count(); ++I) At(I).SetIndex(I);
  return Task;
}

std::vector<TFFmpegPtr> TFFmpegList::TakeAll() {
  std::vector<TFFmpegPtr> All;
  All.swap(Items);
  return All;
}

} // namespace pelorix
