// The closing banner and the "More Software" window.
#include "InfoWindows.h"

#include "AppBrand.h"
#include "DialogSeam.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace pelorix {

namespace {
QLabel* SiteLink(QWidget* AParent, TDialogs& ADialogs) {
  auto* Link = new QLabel(QStringLiteral("<a href=\"%1\">%1</a>").arg(SiteAddress), AParent);
  Link->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
  QObject::connect(Link, &QLabel::linkActivated,
                   [&ADialogs](const QString& AUrl) { ADialogs.OpenUrl(QUrl(AUrl)); });
  return Link;
}

void FillWindow(QDialog& AWindow, TDialogs& ADialogs, const QString& ALine) {
  AWindow.setWindowTitle(AppTitle);
  AWindow.setWindowIcon(AppIcon());
  auto* Layout = new QVBoxLayout(&AWindow);
  auto* Name = new QLabel(ProductName, &AWindow);
  QFont Big = Name->font();
  Big.setPixelSize(24);
  Big.setBold(true);
  Name->setFont(Big);
  Layout->addWidget(Name);
  Layout->addWidget(new QLabel(ALine, &AWindow));
  Layout->addWidget(SiteLink(&AWindow, ADialogs));
  auto* Buttons = new QDialogButtonBox(&AWindow);
  Buttons->addButton(QStringLiteral("Close"), QDialogButtonBox::AcceptRole);
  QObject::connect(Buttons, &QDialogButtonBox::accepted, &AWindow, &QDialog::accept);
  Layout->addWidget(Buttons);
  AWindow.setFixedSize(AWindow.sizeHint().expandedTo(QSize(320, 0)));
}
} // namespace

TfrmClosing::TfrmClosing(QWidget* AParent, TDialogs& ADialogs) : QDialog(AParent) {
  setModal(true);
  FillWindow(*this, ADialogs, QStringLiteral("Thank you for converting with us."));
}

TfrmMoreSoftware::TfrmMoreSoftware(QWidget* AParent, TDialogs& ADialogs) : QDialog(AParent) {
  FillWindow(*this, ADialogs, QStringLiteral("More software from the makers of Pelorix:"));
}

} // namespace pelorix
