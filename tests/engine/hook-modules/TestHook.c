/* Stand-in video hook module for the tests. It records every call in a text that the test
 * reads back through HookTestEvents. Built three times from this source: complete, without
 * Configure (HOOK_NO_CONFIGURE) and without Process (HOOK_NO_PROCESS). Configure refuses
 * the argument "refuse". Release names the context's first argument, which must still be
 * readable then. */
#include <pelorix/hook_module.h>

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

typedef struct TTestContext {
  int Id;
  const char *FirstArgument;
} TTestContext;

static char Events[8192];

static void Record(const char *AFormat, ...) {
  const size_t Used = strlen(Events);
  va_list Arguments;
  va_start(Arguments, AFormat);
  vsnprintf(Events + Used, sizeof(Events) - Used, AFormat, Arguments);
  va_end(Arguments);
}

PELORIX_HOOK_EXPORT const char *HookTestEvents(void) { return Events; }

#ifndef HOOK_NO_CONFIGURE
static int NextId = 1;

int Configure(void **ctxp, int argc, char *argv[]) {
  TTestContext *Context;
  Record("configure");
  for (int Index = 1; Index < argc; ++Index) {
    Record(" [%s]", argv[Index]);
    if (strcmp(argv[Index], "refuse") == 0) {
      Record(" refused;");
      return 1;
    }
  }
  if (argv[argc] != NULL) Record(" (vector not terminated)");
  Context = calloc(1, sizeof(TTestContext));
  Context->Id = NextId++;
  Context->FirstArgument = argc > 1 ? argv[1] : "-";
  *ctxp = Context;
  Record(" -> %d;", Context->Id);
  return 0;
}
#endif

#ifndef HOOK_NO_PROCESS
void Process(void *ctx, TPelorixHookPicture *picture, int pix_fmt, int width, int height,
             int64_t pts) {
  const TTestContext *Context = ctx;
  Record("process %d fmt %d %dx%d pts %lld;", Context ? Context->Id : 0, pix_fmt, width, height,
         (long long)pts);
  picture->data[0][0] = (uint8_t)(picture->data[0][0] + 1);
}
#endif

void Release(void *ctx) {
  TTestContext *Context = ctx;
  Record("release %d %s;", Context ? Context->Id : 0, Context ? Context->FirstArgument : "-");
  free(Context);
}
