// The desktop's services for a converted file.
#include "DesktopSeam.h"

#include <QDesktopServices>
#include <QUrl>

namespace pelorix {

// Without a desktop that handles the address, openUrl reports false and nothing happens: the
// window has nothing better to offer, so the answer is not used.
void TDesktopServices::OpenFile(const QString& AFile) {
  QDesktopServices::openUrl(QUrl::fromLocalFile(AFile));
}

void TDesktopServices::OpenFolder(const QString& AFolder) {
  QDesktopServices::openUrl(QUrl::fromLocalFile(AFolder));
}

} // namespace pelorix
