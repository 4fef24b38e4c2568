#include "platform/DeviceFacts.h"

#include "platform/Errors.h"
#include "platform/FileDescriptor.h"
#include "platform/ImageDrive.h"
#include "platform/Sha256.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

namespace {

// The image is hashed through one buffer of this size, whatever the image's.
constexpr size_t kHashChunk = 1 << 20;

} // namespace

Counters CounterDifference(const Counters& before, const Counters& after)
{
    Counters difference;
    for (const auto& [name, value] : after) {
        auto it = std::find_if(before.begin(), before.end(), [&](const auto& entry) { return entry.first == name; });
        if (it != before.end() && value >= it->second)
            difference.emplace_back(name, value - it->second);
    }
    return difference;
}

void FailDriveFacts(DriveFacts& facts, FactsMoment moment, const std::string& reason)
{
    if (moment == FactsMoment::SessionStart) {
        for (Fact<std::string>* fact : {&facts.vendor, &facts.product, &facts.revision, &facts.serialNumber})
            fact->Fail(reason);
        facts.blockLimits.Fail(reason);
        facts.densityCode.Fail(reason);
        facts.mediumType.Fail(reason);
        facts.writeProtected.Fail(reason);
        facts.readErrorsBefore.Fail(reason);
        facts.driverStatsBefore.Fail(reason);
    } else {
        facts.readErrorsAfter.Fail(reason);
        facts.tapeAlertFlags.Fail(reason);
        facts.driverStatsAfter.Fail(reason);
    }
}

ImageFacts ReadImageFileFacts(const std::string& path, std::optional<std::string> forced,
                              const std::function<bool()>& stop)
{
    ImageFacts facts;
    auto failAll = [&](const std::string& why) {
        facts.format.Fail(why);
        facts.size.Fail(why);
        facts.sha256.Fail(why);
    };
    UniqueFd fd(RetryOnInterrupt([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK); }));
    if (!fd.valid()) {
        failAll("the image cannot be opened: " + FailureReason(errno == ENOENT ? ERROR_FILE_NOT_FOUND : ErrorFromErrno(errno)));
        return facts;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        failAll("the image cannot be read: " + FailureReason(ErrorFromErrno(errno)));
        return facts;
    }
    if (!S_ISREG(st.st_mode)) {
        failAll("the image is not a regular file");
        return facts;
    }
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    facts.size.Set(size);
    if (forced) {
        facts.format.Set(*forced);
    } else {
        uint32_t error = ERROR_SUCCESS;
        if (std::optional<ImageFormat> format = DetectOpenImageFormat(fd.get(), size, path, error))
            facts.format.Set(std::string(ImageFormatName(*format)));
        else
            facts.format.Fail("no format fits the image: " + FailureReason(error));
    }

    // Read to the end of the file, not to the size seen before: an image that grows or
    // shrinks meanwhile gets the digest of what was read, and the size is put right.
    Sha256 hash;
    std::vector<unsigned char> chunk(kHashChunk);
    uint64_t hashed = 0;
    for (;;) {
        if (stop && stop()) {
            facts.sha256.Fail("not taken: the session was stopped first");
            return facts;
        }
        const ssize_t n = RetryOnInterrupt(
            [&] { return ::pread(fd.get(), chunk.data(), chunk.size(), static_cast<off_t>(hashed)); });
        if (n < 0) {
            facts.sha256.Fail("the image could not be read: " + FailureReason(ErrorFromErrno(errno)));
            return facts;
        }
        if (n == 0)
            break;
        if (!hash.Update(chunk.data(), static_cast<size_t>(n))) {
            facts.sha256.Fail("the checksum library failed");
            return facts;
        }
        hashed += static_cast<uint64_t>(n);
    }
    const std::string digest = hash.Final();
    if (digest.empty()) {
        facts.sha256.Fail("the checksum library failed");
        return facts;
    }
    facts.size.Set(hashed);
    facts.sha256.Set(digest);
    return facts;
}
