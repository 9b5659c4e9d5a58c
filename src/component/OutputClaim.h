// TOutputClaim: an output written under a temporary name and given its final name only when
// the run has ended, so that no program ever sees a half-written file under a name it could
// take for a converted one, and two programs writing into one folder never take the same
// name.
//
// The temporary file sits in the output's folder under a hidden name with a random part
// (".pelorix-" + random + the final name's extension, so that a format chosen by extension
// stays the same), made with an exclusive create and locked (flock) for as long as the claim
// lives. The final name is claimed with a step that refuses to replace an existing file; when
// another program took it meanwhile, the next numbered name is taken instead. A claim that
// replaces (the driver's -y) renames over the old file only then. A failed run's claim removes
// its temporary file and nothing else. Temporary files whose lock nobody holds any more (their
// program was killed) are removed by the next claim made in that folder.
//
// Threads: one claim is used by one thread at a time; the reservations are process-wide and
// may be used from any thread.
#pragma once

#include <string>

namespace pelorix {

// AName with the number ANumber (1, 2, ...) in the style of the output names: before the
// closing bracket of a name that ends with one ("clip (XviD Video).avi" gives
// "clip (XviD Video [1]).avi"; a number already there counts on from it), else after the
// name ("out.mp3" gives "out [1].mp3").
std::string NumberedOutputName(const std::string& AName, int ANumber);

// Whether AFileName (a name without folder) is the temporary name of a claim.
bool IsTemporaryOutputName(const std::string& AFileName);

// Removes the temporary files in AFolder whose claim has ended without removing them (their
// lock is free). Files of running claims, in this process or another, are left alone.
void SweepAbandonedOutputs(const std::string& AFolder);

// Output names this process has handed to tasks that have not run yet: a free name is one
// neither on disk nor reserved, so that two tasks of one program get different names before
// either has written anything.
void ReserveOutputName(const std::string& AName);
void ReleaseOutputName(const std::string& AName);
bool OutputNameReserved(const std::string& AName);

class TOutputClaim {
public:
  TOutputClaim() = default;
  // A claim still open removes its temporary file.
  ~TOutputClaim();
  TOutputClaim(const TOutputClaim&) = delete;
  TOutputClaim& operator=(const TOutputClaim&) = delete;

  // Clears abandoned temporary files from AFinalName's folder (unless not ASweep) and creates
  // a temporary file there, locked. False with AError (the system's reason) when the folder
  // takes no file.
  bool Begin(const std::string& AFinalName, std::string& AError, bool ASweep = true);
  bool Active() const { return File >= 0; }
  // The name the run writes to, while the claim is active.
  const std::string& TemporaryName() const { return TemporaryPath; }
  // The name asked for; after Commit, the name the file has.
  const std::string& FinalName() const { return FinalPath; }
  // Whether the temporary file holds anything.
  bool HasContent() const;

  // Gives the temporary file its final name and ends the claim. Without AReplace the first
  // free name of FinalName and its numbered names (reserved names skipped) is taken, never
  // replacing a file; with AReplace an existing file of the final name is replaced. False
  // with AError when no name could be given (the temporary file is removed).
  bool Commit(bool AReplace, std::string& AError);
  // Removes the temporary file, when it is still the one the claim made, and ends the claim.
  void Abandon();

private:
  // Whether TemporaryPath still names the claim's own file.
  bool StillOurs() const;
  // Takes ACandidate for the temporary file without replacing anything: 1 taken, 0 the name
  // exists, -1 failed (errno set).
  int TakeName(const std::string& ACandidate);
  void Close();

  int File = -1; // the temporary file, open and locked while the claim is active
  std::string TemporaryPath;
  std::string FinalPath;
};

} // namespace pelorix
