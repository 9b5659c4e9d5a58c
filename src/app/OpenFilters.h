// The open dialog's filters, built from the extensions the loaded libraries read: "Media files"
// with all of them, then "Video files", "Audio files" and "All files (*)". GUI thread.
#pragma once

#include "InputExtensions.h"

#include <QString>

#include <vector>

namespace pelorix {

// The filter text for AExtensions (Qt's "Name (*.a *.b);;..." form). An extension is sound
// when the libraries say so or when it is one of the output formats' audio extensions; the
// others are video. With no extension at all only "All files (*)" is left.
QString OpenFileFilters(const std::vector<TInputExtension>& AExtensions);

} // namespace pelorix
