// The saved list: its JSON text, the atomic write, restoring and setting damaged files aside.
#include "SavedList.h"

#include "OutputClaim.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <array>
#include <optional>
#include <utility>

namespace pelorix {

namespace {

constexpr int ListVersion = 1;

const std::array<std::pair<TRowState, const char*>, 7> StateNames = {{
    {TRowState::rsReady, "ready"},
    {TRowState::rsConverting, "converting"},
    {TRowState::rsDone, "done"},
    {TRowState::rsFailed, "failed"},
    {TRowState::rsIncomplete, "incomplete"},
    {TRowState::rsStopped, "stopped"},
    {TRowState::rsNotStarted, "not started"},
}};

QString NameOf(TRowState AState) {
  for (const auto& [State, Name] : StateNames)
    if (State == AState) return QString::fromLatin1(Name);
  return QString();
}

std::optional<TRowState> StateNamed(const QString& AName) {
  for (const auto& [State, Name] : StateNames)
    if (AName == QLatin1String(Name)) return State;
  return std::nullopt;
}

// The rows of a list's text; nothing when the text is not a list this program wrote.
std::optional<std::pair<QString, TRowStates>> Parse(const QByteArray& AText) {
  QJsonParseError Error{};
  const QJsonDocument Document = QJsonDocument::fromJson(AText, &Error);
  if (Error.error != QJsonParseError::NoError || !Document.isObject()) return std::nullopt;
  const QJsonObject Root = Document.object();
  if (Root.value(QStringLiteral("version")).toInt() != ListVersion ||
      !Root.value(QStringLiteral("rows")).isArray())
    return std::nullopt;
  TRowStates Rows;
  for (const QJsonValue& Value : Root.value(QStringLiteral("rows")).toArray()) {
    if (!Value.isObject()) return std::nullopt;
    const QJsonObject Row = Value.toObject();
    const auto State = StateNamed(Row.value(QStringLiteral("state")).toString());
    const QString Source = Row.value(QStringLiteral("source")).toString();
    if (!State || Source.isEmpty()) return std::nullopt;
    TRowRecord Record;
    Record.Source = Source;
    Record.Output = Row.value(QStringLiteral("output")).toString();
    Record.State = *State;
    Record.Reason = Row.value(QStringLiteral("reason")).toString();
    Record.Copied = CopiedStreamsNamed(Row.value(QStringLiteral("copied")).toString());
    Rows.Append(Record);
  }
  return std::pair{Root.value(QStringLiteral("format")).toString(), std::move(Rows)};
}

// A row of a run the program did not see to its end starts over. Its run wrote under a
// temporary name beside the output, which nobody holds any more: such files of the output's
// folder go (running conversions of other programs keep theirs). The output's own name was
// never given, so whatever has it now is not ours.
TRowRecord Restored(TRowRecord ARecord) {
  const bool Unended =
      ARecord.State == TRowState::rsReady || ARecord.State == TRowState::rsConverting;
  if (!Unended) return ARecord;
  if (!ARecord.Output.isEmpty())
    SweepAbandonedOutputs(QFileInfo(ARecord.Output).absolutePath().toStdString());
  TRowRecord Fresh;
  Fresh.Source = ARecord.Source;
  return Fresh;
}

} // namespace

QString UserDataFolder() {
  const QString Data = qEnvironmentVariable("XDG_DATA_HOME");
  return (Data.isEmpty() ? QDir::homePath() + QStringLiteral("/.local/share") : Data) +
         QStringLiteral("/pelorix");
}

TSavedList::TSavedList(const QString& AFolder)
    : Path(QDir(AFolder).filePath(QStringLiteral("list.json"))) {}

bool TSavedList::Save(const QString& AFormat, const TRowStates& ARows) const {
  QJsonArray Rows;
  for (int I = 0; I < ARows.Count(); ++I) {
    const TRowRecord& Row = ARows.Row(I);
    QJsonObject Entry;
    Entry.insert(QStringLiteral("source"), Row.Source);
    Entry.insert(QStringLiteral("state"), NameOf(Row.State));
    if (!Row.Output.isEmpty()) Entry.insert(QStringLiteral("output"), Row.Output);
    if (!Row.Reason.isEmpty()) Entry.insert(QStringLiteral("reason"), Row.Reason);
    if (Row.Copied != TCopiedStreams::csNone)
      Entry.insert(QStringLiteral("copied"), CopiedStreamsText(Row.Copied));
    Rows.append(Entry);
  }
  QJsonObject Root;
  Root.insert(QStringLiteral("version"), ListVersion);
  Root.insert(QStringLiteral("format"), AFormat);
  Root.insert(QStringLiteral("rows"), Rows);

  QDir().mkpath(QFileInfo(Path).absolutePath());
  QSaveFile File(Path); // a temporary file, renamed over the list on commit
  if (!File.open(QIODevice::WriteOnly)) return false;
  File.write(QJsonDocument(Root).toJson(QJsonDocument::Indented));
  return File.commit();
}

TListLoad TSavedList::Load(QString& AFormat, TRowStates& ARows, QString& ASetAsidePath) const {
  QFile File(Path);
  if (!File.exists()) return TListLoad::llNone;
  std::optional<std::pair<QString, TRowStates>> Parsed;
  if (File.open(QIODevice::ReadOnly)) Parsed = Parse(File.readAll());
  File.close();
  if (!Parsed) {
    ASetAsidePath = Path + QStringLiteral(".damaged-") +
                    QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd-HHmmss-zzz"));
    if (!QFile::rename(Path, ASetAsidePath)) QFile::remove(Path);
    return TListLoad::llSetAside;
  }
  AFormat = Parsed->first;
  ARows.Clear();
  for (int I = 0; I < Parsed->second.Count(); ++I) ARows.Append(Restored(Parsed->second.Row(I)));
  return TListLoad::llLoaded;
}

} // namespace pelorix
