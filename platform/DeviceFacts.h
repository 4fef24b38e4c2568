// What a session learns about its device besides the data: a real drive's identity, limits,
// medium and counters, a tape image's format, size and checksum. Each fact is a value or the
// reason there is none (the drive refused the command, the driver has no such file, ...):
// never a guess, and never a failure of the session itself. Plain values, so the report
// needs to know nothing of how they were got.
#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

template <class T>
struct Fact {
    std::optional<T> value;
    std::string reason;  // why there is no value; empty when there is one

    void Set(T v)
    {
        value = std::move(v);
        reason.clear();
    }
    void Fail(std::string why)
    {
        value.reset();
        reason = std::move(why);
    }
};

// Named counters in the order the device or driver gave them.
using Counters = std::vector<std::pair<std::string, uint64_t>>;

// after - before, name by name, for the names both have; a counter that went down (the
// drive was reset, its log cleared) has no difference and is left out.
Counters CounterDifference(const Counters& before, const Counters& after);

struct BlockLimits {
    uint32_t maximum = 0;  // 0: the drive names no maximum
    uint32_t minimum = 0;
};

struct DriveFacts {
    // Read at the start of the session.
    Fact<std::string> vendor;
    Fact<std::string> product;
    Fact<std::string> revision;
    Fact<std::string> serialNumber;
    Fact<BlockLimits> blockLimits;
    Fact<uint32_t> densityCode;
    Fact<uint32_t> mediumType;
    Fact<bool> writeProtected;
    Fact<Counters> readErrorsBefore;
    Fact<Counters> driverStatsBefore;
    // Read at its end.
    Fact<Counters> readErrorsAfter;
    Fact<std::vector<uint32_t>> tapeAlertFlags;  // the numbers of the flags set
    Fact<Counters> driverStatsAfter;
};

enum class FactsMoment { SessionStart, SessionEnd };

// Sets every fact of the moment to no value, with this reason.
void FailDriveFacts(DriveFacts& facts, FactsMoment moment, const std::string& reason);

struct ImageFacts {
    Fact<std::string> format;  // as the image drive reads it: forced, or found from the content
    Fact<uint64_t> size;
    Fact<std::string> sha256;  // of the whole file, as it was at the start of the session
};

// The facts of the image file at path: forced is the format the image is read as when one
// is forced (--image-format). The file is hashed a chunk at a time; stop, when given, is asked
// between chunks, and a true answer abandons the checksum (its reason says so).
ImageFacts ReadImageFileFacts(const std::string& path, std::optional<std::string> forced,
                              const std::function<bool()>& stop = {});
