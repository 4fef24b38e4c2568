// merge: several captures of one tape into the best image. The inputs are walked in
// lockstep, item by item, and must agree on the tape's shape (records, tapemarks, the end of
// the data); per record a good read wins over a bad one and is never replaced by one. Two
// good reads that differ are a conflict: the first is kept, the place is listed. The image
// is written through TapeImageFile (OUT.tmp, renamed when whole), with OUT.sha256 and the
// merge report OUT.json beside it.
#pragma once
#include "platform/ImageFormat.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

struct MergeOptions {
    std::string output;
    std::vector<std::string> inputs;
    std::optional<ImageFormat> inputFormat;  // --image-format: every input read so
    ImageFormat format = ImageFormat::Simh;
    ImageCompression compression = ImageCompression::None;
    // Asked before each item: true stops the merge, and nothing is written (half an image is
    // no image).
    std::function<bool()> stopRequested;
};

// Where a record stands: on the tape and in each input.
struct MergePlace {
    uint64_t file = 0;
    uint64_t block = 0;
    std::vector<uint64_t> offsets;  // per input
};

struct MergeInput {
    std::string path;
    ImageFormat format = ImageFormat::Simh;
    uint64_t size = 0;
    std::string sha256;
    uint64_t badRecords = 0;
};

// A run of records of one tape file taken from one input.
struct MergeRun {
    uint64_t file = 0;
    uint64_t firstBlock = 0;
    uint64_t lastBlock = 0;
    size_t input = 0;
};

struct MergeBadRecord {
    MergePlace place;
    uint64_t outputOffset = 0;   // where it stands in OUT (none: left out of a format without a mark)
    bool leftOut = false;
    std::vector<size_t> badIn;   // the inputs that had it bad: all of them
};

// Something the log tells per record: a bad record made good, a conflict, or a bad record a
// format without a bad-record mark took as an ordinary one or left out.
struct MergeEvent {
    enum class Kind { Replaced, Conflict, WrittenAsRecord, LeftOut };
    Kind kind = Kind::Replaced;
    MergePlace place;
    size_t from = 0;                 // Replaced, Conflict: the input whose good read was taken
    std::vector<size_t> differing;   // Conflict: the inputs whose good read differs from the kept one
};

struct MergeResult {
    std::vector<MergeInput> inputs;
    bool written = false;            // OUT, OUT.sha256 and OUT.json are on disk
    bool refused = false;            // the inputs do not fit together: nothing written
    bool stopped = false;            // stopRequested said so: nothing written
    std::string error;               // why nothing (or not everything) was written, one line
    uint64_t files = 0;
    uint64_t records = 0;
    uint64_t bytes = 0;
    uint64_t badAfter = 0;
    uint64_t replaced = 0;
    uint64_t conflicts = 0;
    uint64_t badWrittenAsGood = 0;   // formats without a mark: bad bytes as an ordinary record
    uint64_t badLeftOut = 0;         // ... and bad records without bytes left out
    ImageFormat format = ImageFormat::Simh;
    ImageCompression compression = ImageCompression::None;
    std::string output;
    uint64_t outputSize = 0;
    std::string outputSha256;

    // Listed up to kListed each; the counts above are whole.
    std::vector<MergeBadRecord> badRecords;
    std::vector<MergeEvent> conflictList;
    std::vector<MergeRun> runs;
    uint64_t runsNotListed = 0;      // records in runs past the listed ones
    std::vector<MergeEvent> events;  // the first kLogged replaced records and conflicts, in order
    uint64_t eventsNotLogged = 0;

    static constexpr size_t kListed = 10000;
    static constexpr size_t kLogged = 100;
};

// Merges; false when nothing was written (result.refused for inputs that do not fit
// together, else an error reading or writing) or the side files failed (error set, OUT
// written). OUT is never left partial or wrong.
bool MergeImages(const MergeOptions& options, MergeResult& result);

// What `merge` prints: a line per input, per logged event (and how many more), a summary.
std::string MergeLogText(const MergeResult& result);
// OUT.json's text.
std::string MergeReportText(const MergeResult& result);
