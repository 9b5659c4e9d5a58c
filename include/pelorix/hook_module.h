/* Video hook modules: the interface between the converter and a module.
 *
 * A video hook module is a shared library that the converter loads when the "vhook" option
 * names it, for instance "vhook" = "/opt/hooks/invert.so 10 10 64 48". The option text is
 * split into an argument vector (at "|" when the text holds one, else at blanks); argument 0
 * is the module's path. The module exports, with C linkage:
 *
 *   Configure  optional  int  Configure(void **ctxp, int argc, char *argv[]);
 *              Called once when the module is added, with the whole argument vector
 *              (argv[argc] is NULL). Store the module's own state in *ctxp; return 0 on
 *              success, anything else refuses the arguments. A module without Configure
 *              can only be named without arguments, and its context stays NULL.
 *   Process    required void Process(void *ctx, TPelorixHookPicture *picture, int pix_fmt,
 *                                    int width, int height, int64_t pts);
 *              Called for every decoded picture the hooks run on, in the order the modules
 *              were added. Change the picture in place. pix_fmt is an enum AVPixelFormat
 *              value of the media libraries; pts is in microseconds.
 *   Release    optional void Release(void *ctx);
 *              Called once at the end of the conversion; free the state made by Configure.
 *
 * The argument texts stay valid until Release has returned. Configure runs on the thread
 * that sets the options, Process and Release on the thread that runs the conversion; a
 * module named by several conversions gets one context per conversion, and the library is
 * loaded once and stays loaded until the process ends.
 */
#ifndef PELORIX_HOOK_MODULE_H
#define PELORIX_HOOK_MODULE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A picture: up to four planes and the byte distance between their rows. */
typedef struct TPelorixHookPicture {
  uint8_t* data[4];
  int linesize[4];
} TPelorixHookPicture;

typedef int (*TPelorixHookConfigure)(void** ctxp, int argc, char* argv[]);
typedef void (*TPelorixHookProcess)(void* ctx, TPelorixHookPicture* picture, int pix_fmt, int width,
                                    int height, int64_t pts);
typedef void (*TPelorixHookRelease)(void* ctx);

/* Modules built with hidden symbols still export the three entry points. */
#define PELORIX_HOOK_EXPORT __attribute__((visibility("default")))

PELORIX_HOOK_EXPORT int Configure(void** ctxp, int argc, char* argv[]);
PELORIX_HOOK_EXPORT void Process(void* ctx, TPelorixHookPicture* picture, int pix_fmt, int width,
                                 int height, int64_t pts);
PELORIX_HOOK_EXPORT void Release(void* ctx);

#ifdef __cplusplus
}
#endif

#endif /* PELORIX_HOOK_MODULE_H */
