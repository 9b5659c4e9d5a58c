// Pictures that look like what people convert, for the quality benchmark: a camera scene
// (detail at every scale, a slow pan, a moving object, grain) and a cartoon (flat colours with
// dark outlines, shapes moving over them). Each picture depends only on its number and size,
// so every run writes the same bytes.
#pragma once

extern "C" {
#include <libavutil/frame.h>
}

#include <cstdint>

namespace pelorix::testmedia {

enum class TPictureContent { pcTestPattern, pcCameraScene, pcCartoon };

// Paint picture number AIndex into a YUV420P frame.
void FillCameraScene(AVFrame& AFrame, int64_t AIndex);
void FillCartoon(AVFrame& AFrame, int64_t AIndex);

} // namespace pelorix::testmedia
