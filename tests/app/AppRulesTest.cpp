// The window's rules that need no window: format entries, output names and records, the
// progress cell, and the settings file.
#include "AppSettings.h"
#include "FileList.h"
#include "FormatEntry.h"
#include "OutputName.h"
#include "OutputPlan.h"
#include "WindowTestSupport.h"

#include <QApplication>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <climits>

using namespace pelorix;

class TAppRulesTest : public QObject {
  Q_OBJECT

private slots:
  void FormatEntryGivesExtensionAndLabel() {
    const TFormatEntry Xvid = ParseFormatEntry(XvidEntryText);
    QCOMPARE(Xvid.Extension, QStringLiteral(".avi"));
    QCOMPARE(Xvid.Label, QStringLiteral("XviD Video"));
    // Every "*" of the label becomes "x"; the extension ends at the first ")".
    const TFormatEntry Odd = ParseFormatEntry(QStringLiteral("3*2 Clip (*.3gp) (old)"));
    QCOMPARE(Odd.Extension, QStringLiteral(".3gp"));
    QCOMPARE(Odd.Label, QStringLiteral("3x2 Clip"));
  }

  void AudioExtensionsAreListedExactly() {
    QVERIFY(IsAudioExtension(QStringLiteral(".mp3")));
    QVERIFY(IsAudioExtension(QStringLiteral(".ra")));
    QVERIFY(IsAudioExtension(QStringLiteral(".fla")));  // a substring of the list counts
    QVERIFY(!IsAudioExtension(QStringLiteral(".MP3")));
    QVERIFY(!IsAudioExtension(QStringLiteral(".m4a")));
    QVERIFY(!IsAudioExtension(QString()));  // no extension: the video stays
    QCOMPARE(ExtensionOf(QStringLiteral("/media/clips.v2/clip")), QString());
    QCOMPARE(ExtensionOf(QStringLiteral("/media/clip.tar.mp3")), QStringLiteral(".mp3"));
  }

  void OutputNamesNeverOverwrite() {
    QTemporaryDir Dir;
    const QString Source = Dir.filePath(QStringLiteral("clip.3gp"));
    const QString First = Dir.filePath(QStringLiteral("clip (XviD Video).avi"));
    QCOMPARE(MakeOutputName(Source, QStringLiteral(".avi"), QStringLiteral("XviD Video")), First);
    QFile(First).open(QIODevice::WriteOnly);
    const QString Second = Dir.filePath(QStringLiteral("clip (XviD Video [1]).avi"));
    QCOMPARE(MakeOutputName(Source, QStringLiteral(".avi"), QStringLiteral("XviD Video")), Second);
    QFile(Second).open(QIODevice::WriteOnly);
    QCOMPARE(MakeOutputName(Source, QStringLiteral(".avi"), QStringLiteral("XviD Video")),
             Dir.filePath(QStringLiteral("clip (XviD Video [2]).avi")));
    // A dot in a folder name is not the file's extension.
    QCOMPARE(MakeOutputName(Dir.filePath(QStringLiteral("a.b/clip")), QStringLiteral(".avi"), QStringLiteral("L")),
             Dir.filePath(QStringLiteral("a.b/clip (L).avi")));
  }

  void ProgressCellRoundsTowardZeroAndClamps() {
    QCOMPARE(ProgressCellText(1000, 4000), QStringLiteral("{|25"));
    QCOMPARE(ProgressCellText(999, 1000), QStringLiteral("{|99"));
    QCOMPARE(ProgressCellText(INT_MAX, INT_MAX - 1), QStringLiteral("{|100"));  // no 32-bit overflow
    QCOMPARE(ProgressCellText(30000000, 40000000), QStringLiteral("{|75"));
    QCOMPARE(ProgressCellText(-5, 1000), QStringLiteral("{|0"));
    QCOMPARE(ProgressCellText(500, 0), QStringLiteral("{|"));  // unknown total: busy bar
    QCOMPARE(ProgressCellText(500, -1), QStringLiteral("{|"));
  }

  void OutputRecordFollowsTheSource() {
    TSourceFacts Clip;
    Clip.OpenedFileName = QStringLiteral("/m/clip.3gp");
    Clip.HasVideo = true;
    Clip.Video.Width = 176;
    Clip.Video.Height = 144;
    Clip.Audio.Channels = 1;
    Clip.Audio.SampleRate = 16000;
    Clip.Audio.BitRate = 32000;
    TOutputOptions Out = MakeOutputOptions(XvidEntryText, Clip);
    QCOMPARE(Out.VideoCodec, std::string("libxvid"));
    QCOMPARE(Out.AudioCodec, std::string("libmp3lame"));
    QCOMPARE(Out.FrameSize, std::string("176x144"));
    QCOMPARE(Out.VideoBitrate, 1500000);
    QCOMPARE(Out.AudioChannels, 1);
    QCOMPARE(Out.AudioSampleRate, 16000);
    QCOMPARE(Out.AudioBitrate, 32000);
    QVERIFY(!Out.DisableVideo);

    // Odd sizes lose their last line or column; an unknown size is left to the engine.
    Clip.Video.Width = 175;
    Clip.Video.Height = 145;
    QCOMPARE(MakeOutputOptions(XvidEntryText, Clip).FrameSize, std::string("174x144"));
    Clip.Video.Width = -1;
    QVERIFY(MakeOutputOptions(XvidEntryText, Clip).FrameSize.empty());
    Clip.Video.Width = 176;

    // Without an extension the video stays; an audio extension or no video stream drops it.
    Clip.OpenedFileName = QStringLiteral("/m/clip");
    QVERIFY(!MakeOutputOptions(XvidEntryText, Clip).DisableVideo);
    Clip.OpenedFileName = QStringLiteral("/m/clip.mp3");
    Out = MakeOutputOptions(XvidEntryText, Clip);
    QVERIFY(Out.DisableVideo);
    QVERIFY(Out.FrameSize.empty());
    QCOMPARE(Out.VideoBitrate, -1);
    Clip.OpenedFileName = QStringLiteral("/m/tone.m4a");
    Clip.HasVideo = false;
    QVERIFY(MakeOutputOptions(XvidEntryText, Clip).DisableVideo);

    // Other entries keep the codecs unset; a source without audio leaves the audio unset.
    TSourceFacts Silent;
    Silent.OpenedFileName = QStringLiteral("/m/a.mkv");
    Silent.HasVideo = true;
    Silent.Video.Width = 320;
    Silent.Video.Height = 240;
    Out = MakeOutputOptions(QStringLiteral("XviD Video  (*.avi)"), Silent);
    QVERIFY(Out.VideoCodec.empty());
    QCOMPARE(Out.AudioChannels, -1);
    QCOMPARE(Out.AudioSampleRate, -1);
  }

  void Mp3AudioStaysWithinWhatMp3Carries() {
    TSourceFacts Surround;
    Surround.OpenedFileName = QStringLiteral("/m/film.mkv");
    Surround.Audio.Channels = 6;
    Surround.Audio.SampleRate = 96000;
    const TOutputOptions Out = MakeOutputOptions(XvidEntryText, Surround);
    QCOMPARE(Out.AudioChannels, 2);
    QCOMPARE(Out.AudioSampleRate, 48000);
    QCOMPARE(NearestMp3SampleRate(44100), 44100);
    QCOMPARE(NearestMp3SampleRate(11000), 11025);
    QCOMPARE(NearestMp3SampleRate(4000), 8000);
    QCOMPARE(NearestMp3SampleRate(-1), -1);
  }

  void SettingsFirstStartWriteAndReadBack() {
    QTemporaryDir App;
    TAppSettings Settings(App.path() + QLatin1Char('/'));
    QCOMPARE(Settings.FilePath(), App.filePath(QStringLiteral("conf.ini")));
    const TSettingsValues First = Settings.Read();
    QCOMPARE(First.Output, QDir::homePath() + QStringLiteral("/orvaneVideo"));
    QVERIFY(!First.SameFolder);

    QString Failed;
    QVERIFY(Settings.Write({QStringLiteral("/data/out"), true}, Failed));
    QSettings Stored(Settings.FilePath(), QSettings::IniFormat);
    QCOMPARE(Stored.value(QStringLiteral("Main/strOutput")).toString(), QStringLiteral("/data/out"));
    QCOMPARE(Stored.value(QStringLiteral("Main/booSameFolder")).toString(), QStringLiteral("1"));
    const TSettingsValues Back = TAppSettings(App.path() + QLatin1Char('/')).Read();
    QCOMPARE(Back.Output, QStringLiteral("/data/out"));
    QVERIFY(Back.SameFolder);
    QVERIFY(Settings.Write({QStringLiteral("/data/out"), false}, Failed));
    QCOMPARE(QSettings(Settings.FilePath(), QSettings::IniFormat).value(QStringLiteral("Main/booSameFolder")).toString(),
             QStringLiteral("0"));
  }

  void SameFolderIsReadAsAnInteger() {
    // A folder per value: the settings class caches a file it has read.
    const auto ReadStored = [](const QByteArray& AValue) {
      QTemporaryDir App;
      QFile File(App.filePath(QStringLiteral("conf.ini")));
      File.open(QIODevice::WriteOnly);
      File.write("[Main]\nbooSameFolder=" + AValue + "\n");
      File.close();
      return TAppSettings(App.path() + QLatin1Char('/')).Read().SameFolder;
    };
    QVERIFY(!ReadStored("true"));
    QVERIFY(!ReadStored("0"));
    QVERIFY(ReadStored("1"));
    QVERIFY(ReadStored("2"));
  }

  void SettingsMoveToTheUserFolderWhenTheProgramFolderCannotHoldThem() {
    // A program folder that cannot be written (here: one that is not there at all).
    TAppSettings Settings(QStringLiteral("/proc/pelorix-missing/"));
    const QString UserFile = qEnvironmentVariable("XDG_CONFIG_HOME") + QStringLiteral("/pelorix/conf.ini");
    QCOMPARE(Settings.FilePath(), UserFile);
    QString Failed;
    QVERIFY(Settings.Write({QStringLiteral("/x"), false}, Failed));
    QCOMPARE(TAppSettings(QStringLiteral("/proc/pelorix-missing/")).Read().Output, QStringLiteral("/x"));
    QFile::remove(UserFile);

    // Neither place writable: the failure names the file.
    const QByteArray Saved = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", "/proc/pelorix-missing-config");
    TAppSettings Nowhere(QStringLiteral("/proc/pelorix-missing/"));
    QVERIFY(!Nowhere.Write({QStringLiteral("/x"), false}, Failed));
    QCOMPARE(Failed, QStringLiteral("/proc/pelorix-missing-config/pelorix/conf.ini"));
    qputenv("XDG_CONFIG_HOME", Saved);
  }
};

PELORIX_WINDOW_TEST_MAIN(TAppRulesTest)
#include "AppRulesTest.moc"
