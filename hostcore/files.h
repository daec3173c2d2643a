// Files gaugehost writes (pictures, reports): written whole to a temporary
// file beside the target, every write and the close checked, then renamed
// into place, so a failed write never leaves a truncated file behind and is
// never reported as success.
#pragma once

#include <string>

#include "renderer.h"

namespace gaugehost {

// Throws InputError (the user's output cannot be written) on any failure.
void writeFileAtomically(const std::string& path, const std::string& bytes);

// The picture as an RGB PNG file (png.cpp). Throws HostFault for a picture
// without pixels.
std::string encodePng(const Picture& p);
void writePng(const Picture& p, const std::string& path);

}  // namespace gaugehost
