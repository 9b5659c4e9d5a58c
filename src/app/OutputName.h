// Output file names: the source's name with the format label in parentheses and the format's
// extension, numbered so that an existing file is never overwritten. GUI thread.
#pragma once

#include <QString>

namespace pelorix {

// ASource without its extension (the last "." of the file name and what follows), then
// " (label)" and AExtension; when that exists, " (label [n])" with the first free n from 1.
// Uniqueness within one run holds because setting a task's output creates the file.
QString MakeOutputName(const QString& ASource, const QString& AExtension, const QString& ALabel);

} // namespace pelorix
