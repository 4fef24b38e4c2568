// The fixed 24-character time text of the log ("Wed Jan 02 02:03:55 1980\n"): English
// names whatever the locale, the day of month in two digits with a leading zero.
#pragma once
#include <ctime>
#include <string>

std::string CTimeText(std::time_t when);
inline std::string CTimeNow() { return CTimeText(std::time(nullptr)); }
