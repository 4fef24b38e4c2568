// The fixed 24-character time text of the log ("Wed Jan 02 02:03:55 1980\n"): English
// names whatever the locale, the day of month in two digits with a leading zero.
#pragma once
#include <ctime>
#include <string>

std::string CTimeText(std::time_t when);
inline std::string CTimeNow() { return CTimeText(std::time(nullptr)); }

// The time now in UTC, in an strftime format ("%Y-%m-%dT%H:%M:%SZ" for the reports).
std::string UtcNowText(const char* format = "%Y-%m-%dT%H:%M:%SZ");
