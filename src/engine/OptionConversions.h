// The number conversions of option values. Failures raise TConvertError with the fixed texts
// "'%s' is not a valid integer value" and "'%s' is not a valid floating point value".
#pragma once

#include <cstdint>
#include <string>

namespace pelorix {

// Leading blanks, an optional sign, then decimal digits or hexadecimal digits after "$" or
// "0x"; nothing may follow. Hexadecimal values use all bits of the result's width.
int32_t StrToInt(const std::string& AValue);
int64_t StrToInt64(const std::string& AValue);

// A decimal number written with the user's decimal separator (a point is read as well),
// independent of the process's numeric locale.
double StrToFloat(const std::string& AValue);

// The decimal separator of the user's locale, taken from the environment once.
char UserDecimalSeparator();

} // namespace pelorix
