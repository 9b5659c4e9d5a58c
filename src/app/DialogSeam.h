// Every dialog, message box and desktop hand-off of the window goes through TDialogs, so that
// tests can answer them without a person. TDesktopDialogs is the real one. GUI thread.
#pragma once

#include <QString>
#include <QStringList>
#include <QUrl>

class QWidget;

namespace pelorix {

enum class TMessageKind { mkPlain, mkInformation };

class TDialogs {
public:
  virtual ~TDialogs() = default;
  // The chosen files, in the order given; empty when the user cancels. The dialog shows
  // AFolder first.
  virtual QStringList OpenFiles(QWidget* AParent, const QString& AFilters,
                                const QString& AFolder) = 0;
  // An existing folder; empty when the user cancels.
  virtual QString PickFolder(QWidget* AParent, const QString& ATitle) = 0;
  // A box with an OK button. Texts may hold "\r\n" line breaks.
  virtual void Message(QWidget* AParent, TMessageKind AKind, const QString& ATitle,
                       const QString& AText) = 0;
  // A box with Yes and No buttons; true for Yes.
  virtual bool Ask(QWidget* AParent, const QString& ATitle, const QString& AText) = 0;
  // Hands a web address or a local folder to the desktop (a converted file's output goes
  // through TDesktop).
  virtual void OpenUrl(const QUrl& AUrl) = 0;
  // The small windows of the product: the closing banner (modal) and the site list.
  virtual void ShowClosingBanner(QWidget* AParent) = 0;
  virtual void ShowMoreSoftware(QWidget* AParent) = 0;
};

class TDesktopDialogs final : public TDialogs {
public:
  QStringList OpenFiles(QWidget* AParent, const QString& AFilters, const QString& AFolder) override;
  QString PickFolder(QWidget* AParent, const QString& ATitle) override;
  void Message(QWidget* AParent, TMessageKind AKind, const QString& ATitle,
               const QString& AText) override;
  bool Ask(QWidget* AParent, const QString& ATitle, const QString& AText) override;
  void OpenUrl(const QUrl& AUrl) override;
  void ShowClosingBanner(QWidget* AParent) override;
  void ShowMoreSoftware(QWidget* AParent) override;
};

} // namespace pelorix
