#include <cstdio>

#include "tape/ByteFigure.h"

std::string ByteFigure(const char* head, const char* gap, uint64_t count)
{
    char text[160];
    if (count < 1000ull) {
        std::snprintf(text, sizeof text, "%s%llu\n", head, static_cast<unsigned long long>(count));
    } else {
        const char* unit = "Gb";
        double divisor = 1073741824.0;
        if (count < 1024000ull) {
            unit = "Kb";
            divisor = 1024.0;
        } else if (count < 1048576000ull) {
            unit = "Mb";
            divisor = 1048576.0;
        }
        std::snprintf(text, sizeof text, "%s%llu%s(%0.2f %s)\n", head, static_cast<unsigned long long>(count), gap,
                      static_cast<double>(count) / divisor, unit);
    }
    return text;
}
