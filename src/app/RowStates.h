// The state of every row of the file list, kept apart from the cells that show it: a row's
// source, its output, where it stands (ready, converting, done, failed, incomplete, stopped,
// not started), why it failed, and how far a conversion has come. The cells' texts are drawn
// from here (StatusText, StatusTip, ProgressDetail); the window never reads a state back from
// a cell.
//
// Threads: GUI thread only. Times are milliseconds on one clock the window keeps, passed in.
#pragma once

#include "TaskOutcome.h"

#include <QString>

#include <cstdint>
#include <vector>

namespace pelorix {

enum class TRowState {
  rsReady, // waiting for a run, or for its turn in one
  rsConverting, // its task has reported progress and not ended yet
  rsDone,
  rsFailed, // Reason says why
  rsIncomplete, // the run ended, its output lacks part of the source: Reason says what
  rsStopped, // stopped while it converted: the output holds the part done so far
  rsNotStarted, // the run was stopped before it started
};

// Which of the source's streams the row's output takes unchanged (copied, not encoded again).
enum class TCopiedStreams { csNone, csVideo, csAudio, csBoth };
// "video", "audio", "video and audio"; empty for none.
QString CopiedStreamsText(TCopiedStreams ACopied);
// The value of such a text; none for anything else.
TCopiedStreams CopiedStreamsNamed(const QString& AText);

// The row state a task's end gives.
TRowState StateOfOutcome(TTaskOutcome AOutcome);

struct TRowRecord {
  QString Source; // full path
  QString Output; // the output file set for the last run; empty before
  TRowState State = TRowState::rsReady;
  QString Reason;
  TCopiedStreams Copied = TCopiedStreams::csNone; // as set up for the last run
  int64_t LengthMs = -1; // the source's length as probed when added; -1 unknown
  // Progress of the current conversion; -1 while unknown.
  int64_t DoneMs = -1; // output written so far
  int64_t TotalMs = -1; // output to write; 0 or less: unknown
  int64_t FirstReportAt = -1; // clock time of the first report
  int64_t FirstDoneMs = 0; // DoneMs at the first report
  int64_t LastReportAt = -1;
};

// "Ready", "Done", "Failed", "Incomplete", "Canceled" (stopped or never started), or for a
// converting row the progress cell: "{|" + percent ("{|" alone when the total is unknown). A
// done row whose streams were copied says so: "Done (copied)" when all of them were, else
// "Done (video copied)" or "Done (audio copied)".
QString StatusText(const TRowRecord& ARow);
// The status cell's tool tip: the reason of a failed or incomplete row, the output of a done
// one (and which streams it took unchanged), what a stop left; empty otherwise.
QString StatusTip(const TRowRecord& ARow);
// Shown on a converting row's bar: "45%  2.1x  0:07 left". Speed and time left appear once the
// row has run a second since its first report (before that they say nothing); without a
// known total only the speed.
QString ProgressDetail(const TRowRecord& ARow);
// The percent of a converting row (0..100), -1 when the total is unknown.
int RowPercent(const TRowRecord& ARow);

// How far a run over the rows in it has come: the rows ended and the percent of all of them
// together, each row weighing as much as its source's length (rows of unknown length weigh
// as much as the average of the known ones, or all the same when none is known), so the
// total never goes back while the rows move on.
struct TRunTotals {
  int Ended = 0;
  int Count = 0;
  int Percent = 0;
};

class TRowStates {
public:
  int Count() const { return static_cast<int>(Rows.size()); }
  const TRowRecord& Row(int ARow) const { return Rows.at(static_cast<size_t>(ARow)); }
  int Append(const QString& ASource);
  int Append(const TRowRecord& ARecord);
  void Remove(int ARow);
  void Clear() { Rows.clear(); }

  // Back to "Ready" for a new run: state, reason, progress and the last run's output
  // forgotten (that output stays on disk; the new run takes a new name).
  void SetReady(int ARow);
  void SetOutput(int ARow, const QString& AOutput);
  void SetCopied(int ARow, TCopiedStreams ACopied);
  // A progress report of the row's task at clock time ANowMs; makes the row converting.
  void Report(int ARow, int64_t ADoneMs, int64_t ATotalMs, int64_t ANowMs);
  // The row's task ended with AResult.
  void End(int ARow, const TTaskResult& AResult);
  // A row set up for a run that could not start: failed with AReason.
  void Fail(int ARow, const QString& AReason);
  // What a stop leaves of a row that has not ended: not started.
  void SetNotStarted(int ARow);

  // Totals over the rows flagged in AInRun (one flag per row).
  TRunTotals RunTotals(const std::vector<bool>& AInRun) const;

private:
  TRowRecord& At(int ARow) { return Rows.at(static_cast<size_t>(ARow)); }
  std::vector<TRowRecord> Rows;
};

} // namespace pelorix
