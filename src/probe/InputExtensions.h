// The file name extensions of the sources the loaded libraries can read: every extension their
// demuxers declare, for the window's open dialog. Taken from the libraries at run time, so the
// list grows and shrinks with the libraries installed beside the program.
//
// Threads: any, once the probe's libraries are loaded.
#pragma once

#include <string>
#include <vector>

namespace pelorix {

struct TInputExtension {
  std::string Extension; // lower case, without the dot: "mp4"
  // The library's muxer for this extension carries sound and no moving pictures (a cover
  // picture at most): a file of this kind is sound.
  bool Sound = false;
};

// Every extension once, sorted; demuxers of devices and of no file are left out. Empty when
// the format library is not loaded.
std::vector<TInputExtension> InputExtensions();

} // namespace pelorix
