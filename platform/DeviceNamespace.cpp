#include "platform/DeviceNamespace.h"

#include "platform/Errors.h"
#include "platform/SimhTape.h"

#include <mutex>

namespace {

struct State {
    std::mutex lock;
    std::vector<std::string> images;
    VirtualDriveOptions options;
    DeviceNamespace::Opener realOpener;
    DeviceNamespace::Opener testOpener;
    std::function<std::string(int)> realNamer;
    DeviceNamespace::FactsReader realFactsReader;
    DeviceNamespace::FactsReader testFactsReader;
};

State& state()
{
    static State s;
    return s;
}

} // namespace

namespace DeviceNamespace {

void SetTapeImages(std::vector<std::string> images, VirtualDriveOptions options)
{
    std::lock_guard guard(state().lock);
    state().images = std::move(images);
    state().options = options;
}

const std::vector<std::string>& TapeImages()
{
    return state().images;
}

int AddTapeImage(const std::string& image)
{
    std::lock_guard guard(state().lock);
    auto& images = state().images;
    for (size_t n = 0; n < images.size(); ++n) {
        if (images[n] == image)
            return static_cast<int>(n);
    }
    images.push_back(image);
    return static_cast<int>(images.size() - 1);
}

const VirtualDriveOptions& ImageOptions()
{
    return state().options;
}

void SetRealDriveOpener(Opener opener)
{
    std::lock_guard guard(state().lock);
    state().realOpener = std::move(opener);
}

void SetRealDriveNamer(std::function<std::string(int index)> namer)
{
    std::lock_guard guard(state().lock);
    state().realNamer = std::move(namer);
}

void SetOpenerForTesting(Opener opener)
{
    std::lock_guard guard(state().lock);
    state().testOpener = std::move(opener);
}

void SetRealDriveFactsReader(FactsReader reader)
{
    std::lock_guard guard(state().lock);
    state().realFactsReader = std::move(reader);
}

void SetFactsReaderForTesting(FactsReader reader)
{
    std::lock_guard guard(state().lock);
    state().testFactsReader = std::move(reader);
}

void ReadDriveFacts(int index, FactsMoment moment, DriveFacts& facts)
{
    FactsReader reader;
    {
        std::lock_guard guard(state().lock);
        // The reader that goes with the opener that opened the drive.
        reader = state().testOpener ? state().testFactsReader : state().realFactsReader;
    }
    if (reader)
        reader(index, moment, facts);
    else
        FailDriveFacts(facts, moment, "the drive's backend tells nothing about it");
}

bool IsTapeImage(int index)
{
    std::lock_guard guard(state().lock);
    return !state().testOpener && index >= 0 && static_cast<size_t>(index) < state().images.size();
}

ImageFacts ReadTapeImageFacts(int index, const std::function<bool()>& stop)
{
    std::string image;
    std::optional<std::string> forced;
    {
        std::lock_guard guard(state().lock);
        if (index >= 0 && static_cast<size_t>(index) < state().images.size())
            image = state().images[static_cast<size_t>(index)];
        if (state().options.format)
            forced = std::string(ImageFormatName(*state().options.format));
    }
    if (image.empty()) {
        ImageFacts none;
        none.format.Fail("no tape image is TAPE" + std::to_string(index));
        none.size.Fail(none.format.reason);
        none.sha256.Fail(none.format.reason);
        return none;
    }
    return ReadImageFileFacts(image, forced, stop);
}

TapeDevicePtr OpenTape(int index, uint32_t& error)
{
    Opener opener;
    std::string image;
    VirtualDriveOptions options;
    {
        std::lock_guard guard(state().lock);
        if (state().testOpener) {
            opener = state().testOpener;
        } else if (!state().images.empty()) {
            if (index < 0 || static_cast<size_t>(index) >= state().images.size()) {
                error = ERROR_FILE_NOT_FOUND;
                return nullptr;
            }
            image = state().images[static_cast<size_t>(index)];
            options = state().options;
        } else {
            opener = state().realOpener;
        }
    }
    if (opener)
        return opener(index, error);
    if (!image.empty())
        return OpenVirtualDrive(image, options, error);
    error = ERROR_BAD_UNIT;  // no backend for real drives in this build
    return nullptr;
}

std::string DeviceName(int index)
{
    return "\\\\.\\TAPE" + std::to_string(index);
}

std::string DevicePath(int index)
{
    std::function<std::string(int)> namer;
    {
        std::lock_guard guard(state().lock);
        if (!state().testOpener && !state().images.empty()) {
            if (index >= 0 && static_cast<size_t>(index) < state().images.size())
                return state().images[static_cast<size_t>(index)];
            return DeviceName(index).substr(4);
        }
        if (!state().testOpener)
            namer = state().realNamer;
    }
    std::string path = namer ? namer(index) : std::string();
    return path.empty() ? DeviceName(index).substr(4) : path;
}

} // namespace DeviceNamespace
