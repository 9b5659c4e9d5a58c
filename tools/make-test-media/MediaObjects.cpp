#include "MediaObjects.h"

extern "C" {
#include <libavutil/error.h>
}

namespace pelorix::testmedia {

int SetEntry(TDictionaryPtr& ADictionary, const char* AKey, const char* AValue) {
  AVDictionary* Raw = ADictionary.release();
  const int Result = av_dict_set(&Raw, AKey, AValue, 0);
  ADictionary.reset(Raw);
  return Result;
}

std::string ErrorText(int ACode) {
  char Text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(ACode, Text, sizeof(Text));
  return Text;
}

int Check(int ACode, const std::string& AWhat) {
  if (ACode < 0) throw TMediaError(AWhat + ": " + ErrorText(ACode));
  return ACode;
}

} // namespace pelorix::testmedia
