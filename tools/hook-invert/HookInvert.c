/* Example video hook module: inverts the colours of a rectangle of every picture.
 *
 * Arguments: none for the whole picture, or four integers "x y width height" in pixels of
 * the full-size plane, for instance vhook = "/path/hook-invert.so 16 16 64 32". The
 * rectangle is clipped to the picture. Planar 8-bit YUV and grey pictures and packed 24-bit
 * RGB/BGR pictures are inverted; other formats pass unchanged.
 *
 * Threads: one context per added module, used by one conversion at a time.
 */
#include <pelorix/hook_module.h>

#include <libavutil/pixfmt.h>

#include <errno.h>
#include <stddef.h>
#include <stdlib.h>

typedef struct TInvertContext {
  int X, Y, Width, Height; /* Width < 0: the whole picture */
} TInvertContext;

/* Reads a non-negative decimal integer that is the whole argument. */
static int ReadCount(const char *AText, int *AValue) {
  char *End = NULL;
  long Value;
  errno = 0;
  Value = strtol(AText, &End, 10);
  if (errno != 0 || End == AText || *End != '\0' || Value < 0 || Value > 1000000) return 0;
  *AValue = (int)Value;
  return 1;
}

int Configure(void **ctxp, int argc, char *argv[]) {
  TInvertContext *Context = calloc(1, sizeof(TInvertContext));
  if (!Context) return -1;
  Context->Width = -1;
  if (argc == 5) {
    if (!ReadCount(argv[1], &Context->X) || !ReadCount(argv[2], &Context->Y) ||
        !ReadCount(argv[3], &Context->Width) || !ReadCount(argv[4], &Context->Height)) {
      free(Context);
      return -1;
    }
  } else if (argc != 1) {
    free(Context);
    return -1;
  }
  *ctxp = Context;
  return 0;
}

/* Log2 of the chroma subsampling of the planar formats this module knows; 0 for others. */
static int ChromaShifts(int APixFmt, int *AShiftX, int *AShiftY) {
  switch (APixFmt) {
  case AV_PIX_FMT_YUV420P: case AV_PIX_FMT_YUVJ420P: *AShiftX = 1; *AShiftY = 1; return 3;
  case AV_PIX_FMT_YUV422P: case AV_PIX_FMT_YUVJ422P: *AShiftX = 1; *AShiftY = 0; return 3;
  case AV_PIX_FMT_YUV444P: case AV_PIX_FMT_YUVJ444P: *AShiftX = 0; *AShiftY = 0; return 3;
  case AV_PIX_FMT_YUV440P: case AV_PIX_FMT_YUVJ440P: *AShiftX = 0; *AShiftY = 1; return 3;
  case AV_PIX_FMT_YUV411P: *AShiftX = 2; *AShiftY = 0; return 3;
  case AV_PIX_FMT_YUV410P: *AShiftX = 2; *AShiftY = 2; return 3;
  case AV_PIX_FMT_GRAY8: *AShiftX = 0; *AShiftY = 0; return 1;
  default: return 0;
  }
}

static int CeilShift(int AValue, int AShift) { return (AValue + (1 << AShift) - 1) >> AShift; }

/* Inverts bytes [AX0, AX1) of rows [AY0, AY1) of one plane. */
static void InvertBytes(uint8_t *APlane, int ALineSize, int AX0, int AY0, int AX1, int AY1) {
  for (int Y = AY0; Y < AY1; ++Y) {
    uint8_t *Row = APlane + (ptrdiff_t)Y * ALineSize;
    for (int X = AX0; X < AX1; ++X) Row[X] = (uint8_t)(255 - Row[X]);
  }
}

void Process(void *ctx, TPelorixHookPicture *picture, int pix_fmt, int width, int height,
             int64_t pts) {
  const TInvertContext *Context = ctx;
  int X0 = 0, Y0 = 0, X1 = width, Y1 = height, ShiftX = 0, ShiftY = 0, Planes;
  (void)pts;
  if (Context && Context->Width >= 0) {
    X0 = Context->X < width ? Context->X : width;
    Y0 = Context->Y < height ? Context->Y : height;
    X1 = Context->Width < width - X0 ? X0 + Context->Width : width;
    Y1 = Context->Height < height - Y0 ? Y0 + Context->Height : height;
  }
  if (pix_fmt == AV_PIX_FMT_RGB24 || pix_fmt == AV_PIX_FMT_BGR24) {
    InvertBytes(picture->data[0], picture->linesize[0], 3 * X0, Y0, 3 * X1, Y1);
    return;
  }
  Planes = ChromaShifts(pix_fmt, &ShiftX, &ShiftY);
  for (int Plane = 0; Plane < Planes; ++Plane) {
    const int SX = Plane == 0 ? 0 : ShiftX, SY = Plane == 0 ? 0 : ShiftY;
    InvertBytes(picture->data[Plane], picture->linesize[Plane], X0 >> SX, Y0 >> SY,
                CeilShift(X1, SX), CeilShift(Y1, SY));
  }
}

void Release(void *ctx) { free(ctx); }
