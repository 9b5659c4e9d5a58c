// Option values as numbers: the integer and decimal conversions with their error texts.
#include "OptionConversions.h"

#include "FFMpegException.h"

#include <charconv>
#include <limits>
#include <locale>

namespace pelorix {

namespace {

[[noreturn]] void NotInteger(const std::string& AValue) {
  throw TConvertError("'" + AValue + "' is not a valid integer value");
}

template <class TInt> TInt ParseInteger(const std::string& AValue) {
  using TUnsigned = std::make_unsigned_t<TInt>;
  size_t Pos = AValue.find_first_not_of(" \t");
  if (Pos == std::string::npos) NotInteger(AValue);
  bool Negative = false;
  if (AValue[Pos] == '+' || AValue[Pos] == '-') Negative = AValue[Pos++] == '-';
  int Base = 10;
  if (AValue.compare(Pos, 1, "$") == 0) {
    Base = 16;
    Pos += 1;
  } else if (AValue.compare(Pos, 2, "0x") == 0 || AValue.compare(Pos, 2, "0X") == 0) {
    Base = 16;
    Pos += 2;
  }
  const char* First = AValue.data() + Pos;
  const char* Last = AValue.data() + AValue.size();
  if (First == Last || *First == '+' || *First == '-') NotInteger(AValue);
  TUnsigned Magnitude = 0;
  auto [End, Error] = std::from_chars(First, Last, Magnitude, Base);
  if (Error != std::errc() || End != Last) NotInteger(AValue);
  if (Base == 10) {
    const TUnsigned Limit = static_cast<TUnsigned>(std::numeric_limits<TInt>::max()) + Negative;
    if (Magnitude > Limit) NotInteger(AValue);
  }
  // Two's complement wrap-around, as hexadecimal values are meant.
  const TUnsigned Bits = Negative ? static_cast<TUnsigned>(0 - Magnitude) : Magnitude;
  return static_cast<TInt>(Bits);
}

} // namespace

int32_t StrToInt(const std::string& AValue) { return ParseInteger<int32_t>(AValue); }

int64_t StrToInt64(const std::string& AValue) { return ParseInteger<int64_t>(AValue); }

char UserDecimalSeparator() {
  static const char Separator = [] {
    try {
      return std::use_facet<std::numpunct<char>>(std::locale("")).decimal_point();
    } catch (const std::exception&) {
      return '.'; // an unknown locale in the environment
    }
  }();
  return Separator;
}

double StrToFloat(const std::string& AValue) {
  auto Fail = [&AValue]() -> double {
    throw TConvertError("'" + AValue + "' is not a valid floating point value");
  };
  const size_t Begin = AValue.find_first_not_of(" \t");
  if (Begin == std::string::npos) return Fail();
  const size_t End = AValue.find_last_not_of(" \t") + 1;
  std::string Text = AValue.substr(Begin, End - Begin);
  const char Separator = UserDecimalSeparator();
  for (char& C : Text) {
    if (C == Separator)
      C = '.';
    else if (!(C >= '0' && C <= '9') && C != '.' && C != '+' && C != '-' && C != 'e' && C != 'E')
      return Fail();
  }
  size_t Start = 0;
  if (Text[0] == '+') Start = 1; // from_chars takes no plus sign
  if (Start < Text.size() && (Text[Start] == '+' || Text[Start] == '-') && Start == 1)
    return Fail();
  double Result = 0;
  auto [Stop, Error] = std::from_chars(Text.data() + Start, Text.data() + Text.size(), Result);
  if (Error != std::errc() || Stop != Text.data() + Text.size()) return Fail();
  return Result;
}

} // namespace pelorix
