// The rows' states and the texts drawn from them.
#include "RowStates.h"

#include <QStringList>

#include <algorithm>

namespace pelorix {

namespace {
constexpr int64_t MinMeasureMs = 1000;

QString Clock(int64_t ASeconds) {
  const int64_t Hours = ASeconds / 3600, Minutes = ASeconds / 60 % 60, Seconds = ASeconds % 60;
  const QString MinSec = QStringLiteral("%1:%2").arg(Minutes).arg(Seconds, 2, 10, QLatin1Char('0'));
  return Hours > 0 ? QStringLiteral("%1:%2").arg(Hours).arg(Minutes, 2, 10, QLatin1Char('0')) +
                         QStringLiteral(":%1").arg(Seconds, 2, 10, QLatin1Char('0'))
                   : MinSec;
}

// Milliseconds of output per millisecond of run since the first report; 0 before a second.
double Speed(const TRowRecord& ARow) {
  const int64_t Ran = ARow.LastReportAt - ARow.FirstReportAt;
  if (ARow.FirstReportAt < 0 || Ran < MinMeasureMs) return 0;
  return static_cast<double>(ARow.DoneMs - ARow.FirstDoneMs) / static_cast<double>(Ran);
}
} // namespace

QString CopiedStreamsText(TCopiedStreams ACopied) {
  switch (ACopied) {
  case TCopiedStreams::csVideo:
    return QStringLiteral("video");
  case TCopiedStreams::csAudio:
    return QStringLiteral("audio");
  case TCopiedStreams::csBoth:
    return QStringLiteral("video and audio");
  case TCopiedStreams::csNone:
    break;
  }
  return QString();
}

TCopiedStreams CopiedStreamsNamed(const QString& AText) {
  for (const TCopiedStreams Copied :
       {TCopiedStreams::csVideo, TCopiedStreams::csAudio, TCopiedStreams::csBoth})
    if (AText == CopiedStreamsText(Copied)) return Copied;
  return TCopiedStreams::csNone;
}

TRowState StateOfOutcome(TTaskOutcome AOutcome) {
  switch (AOutcome) {
  case TTaskOutcome::toConverted:
    return TRowState::rsDone;
  case TTaskOutcome::toFailed:
  case TTaskOutcome::toSkipped:
    return TRowState::rsFailed;
  case TTaskOutcome::toIncomplete:
    return TRowState::rsIncomplete;
  case TTaskOutcome::toStopped:
    return TRowState::rsStopped;
  case TTaskOutcome::toNotStarted:
    return TRowState::rsNotStarted;
  case TTaskOutcome::toNone:
    break;
  }
  return TRowState::rsReady;
}

int RowPercent(const TRowRecord& ARow) {
  if (ARow.TotalMs <= 0 || ARow.DoneMs < 0) return -1;
  return static_cast<int>(std::clamp<int64_t>(ARow.DoneMs * 100 / ARow.TotalMs, 0, 100));
}

QString StatusText(const TRowRecord& ARow) {
  switch (ARow.State) {
  case TRowState::rsReady:
    return QStringLiteral("Ready");
  case TRowState::rsConverting: {
    const int Percent = RowPercent(ARow);
    return QStringLiteral("{|") + (Percent < 0 ? QString() : QString::number(Percent));
  }
  case TRowState::rsDone:
    switch (ARow.Copied) {
    case TCopiedStreams::csNone:
      return QStringLiteral("Done");
    case TCopiedStreams::csBoth:
      return QStringLiteral("Done (copied)");
    default:
      return QStringLiteral("Done (%1 copied)").arg(CopiedStreamsText(ARow.Copied));
    }
  case TRowState::rsFailed:
    return QStringLiteral("Failed");
  case TRowState::rsIncomplete:
    return QStringLiteral("Incomplete");
  case TRowState::rsStopped:
  case TRowState::rsNotStarted:
    return QStringLiteral("Canceled");
  }
  return QString();
}

QString StatusTip(const TRowRecord& ARow) {
  switch (ARow.State) {
  case TRowState::rsDone:
    if (ARow.Copied == TCopiedStreams::csNone) return ARow.Output;
    return ARow.Output + QStringLiteral("\nThe %1 copied unchanged, not encoded again")
                             .arg(ARow.Copied == TCopiedStreams::csBoth
                                      ? QStringLiteral("video and audio were")
                                      : CopiedStreamsText(ARow.Copied) + QStringLiteral(" was"));
  case TRowState::rsFailed:
  case TRowState::rsIncomplete:
    return ARow.Reason;
  case TRowState::rsStopped:
    return QStringLiteral("Stopped: %1 holds the part converted until then").arg(ARow.Output);
  case TRowState::rsNotStarted:
    return QStringLiteral("Not started: the run was stopped before this file");
  default:
    return QString();
  }
}

QString ProgressDetail(const TRowRecord& ARow) {
  const int Percent = RowPercent(ARow);
  const double Rate = Speed(ARow);
  QStringList Parts;
  if (Percent >= 0) Parts << QStringLiteral("%1%").arg(Percent);
  if (Rate > 0) {
    Parts << QStringLiteral("%1\u00d7").arg(Rate, 0, 'f', 1);
    if (ARow.TotalMs > 0) {
      const auto Left = static_cast<int64_t>(
          static_cast<double>(std::max<int64_t>(ARow.TotalMs - ARow.DoneMs, 0)) / Rate / 1000.0 +
          0.5);
      Parts << QStringLiteral("%1 left").arg(Clock(Left));
    }
  }
  return Parts.join(QStringLiteral("  "));
}

int TRowStates::Append(const QString& ASource) {
  TRowRecord Record;
  Record.Source = ASource;
  return Append(Record);
}

int TRowStates::Append(const TRowRecord& ARecord) {
  Rows.push_back(ARecord);
  return Count() - 1;
}

void TRowStates::Remove(int ARow) { Rows.erase(Rows.begin() + ARow); }

void TRowStates::SetReady(int ARow) {
  TRowRecord& Row = At(ARow);
  TRowRecord Fresh;
  Fresh.Source = Row.Source;
  Fresh.LengthMs = Row.LengthMs;
  Row = Fresh;
}

void TRowStates::SetOutput(int ARow, const QString& AOutput) { At(ARow).Output = AOutput; }

void TRowStates::SetCopied(int ARow, TCopiedStreams ACopied) { At(ARow).Copied = ACopied; }

void TRowStates::Report(int ARow, int64_t ADoneMs, int64_t ATotalMs, int64_t ANowMs) {
  TRowRecord& Row = At(ARow);
  if (Row.State != TRowState::rsConverting) {
    Row.State = TRowState::rsConverting;
    Row.FirstReportAt = ANowMs;
    Row.FirstDoneMs = std::max<int64_t>(ADoneMs, 0);
    Row.DoneMs = ADoneMs;
  }
  // The engine reports the shortest stream written so far; a stream that starts writing late
  // can pull that back for a moment. A row's progress only moves forward.
  Row.DoneMs = std::max(Row.DoneMs, ADoneMs);
  Row.TotalMs = ATotalMs;
  Row.LastReportAt = ANowMs;
}

void TRowStates::End(int ARow, const TTaskResult& AResult) {
  TRowRecord& Row = At(ARow);
  Row.State = StateOfOutcome(AResult.Outcome);
  Row.Reason = QString::fromStdString(AResult.Reason);
}

void TRowStates::Fail(int ARow, const QString& AReason) {
  TRowRecord& Row = At(ARow);
  Row.State = TRowState::rsFailed;
  Row.Reason = AReason;
}

void TRowStates::SetNotStarted(int ARow) { At(ARow).State = TRowState::rsNotStarted; }

TRunTotals TRowStates::RunTotals(const std::vector<bool>& AInRun) const {
  TRunTotals Totals;
  double KnownWeight = 0;
  int Known = 0;
  for (size_t I = 0; I < Rows.size() && I < AInRun.size(); ++I) {
    if (!AInRun[I]) continue;
    ++Totals.Count;
    if (Rows[I].LengthMs > 0) {
      KnownWeight += static_cast<double>(Rows[I].LengthMs);
      ++Known;
    }
  }
  if (Totals.Count == 0) return Totals;
  const double Average = Known > 0 ? KnownWeight / Known : 1.0;
  double Weight = 0, Done = 0;
  for (size_t I = 0; I < Rows.size() && I < AInRun.size(); ++I) {
    if (!AInRun[I]) continue;
    const TRowRecord& Row = Rows[I];
    const double RowWeight = Row.LengthMs > 0 ? static_cast<double>(Row.LengthMs) : Average;
    Weight += RowWeight;
    const bool Ended = Row.State != TRowState::rsReady && Row.State != TRowState::rsConverting;
    if (Ended) {
      ++Totals.Ended;
      Done += RowWeight;
    } else if (const int Percent = RowPercent(Row); Percent > 0) {
      Done += RowWeight * Percent / 100.0;
    }
  }
  Totals.Percent = static_cast<int>(std::clamp(Done * 100.0 / Weight, 0.0, 100.0));
  return Totals;
}

} // namespace pelorix
