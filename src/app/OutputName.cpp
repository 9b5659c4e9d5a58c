// Output file naming.
#include "OutputName.h"

#include "FormatEntry.h"

#include <QFileInfo>

namespace pelorix {

QString MakeOutputName(const QString& ASource, const QString& AExtension, const QString& ALabel) {
  const QString Base = ASource.left(ASource.size() - ExtensionOf(ASource).size());
  QString Candidate = Base + QStringLiteral(" (") + ALabel + QStringLiteral(")") + AExtension;
  for (int N = 1; QFileInfo::exists(Candidate); ++N)
    Candidate = Base + QStringLiteral(" (") + ALabel + QStringLiteral(" [") + QString::number(N) +
                QStringLiteral("])") + AExtension;
  return Candidate;
}

} // namespace pelorix
