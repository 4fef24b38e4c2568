// Eject, rewind and the block-size set-up of a tape job.
#include "tape/TapeJob.h"

#include "platform/Errors.h"

#include <cstdio>

namespace {


[[noreturn]] void ThrowSystemError(uint32_t code)
{
    throw ReTapeOpsException(SystemMessage(code), code);
}

std::string Format(const char* format, long long value)
{
    char text[128];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

} // namespace

// Eject and rewind differ only in their texts and in the unload. The drive's answer is
// reported: a drive that failed must not be logged as "Tape ejected" or "Tape rewinded".
void TapeJob::RunDeviceCommand(const char* startText, const char* statusText, bool unload, const char* doneText)
{
    uint32_t error = ERROR_SUCCESS;
    TapeDevicePtr device = OpenDevice(error);
    if (!device) {
        WriteDeviceAccessFailure(error);
        m_nResult = TapeJobResult::Failed;
        return;
    }
    WriteLog(1, startText);
    SendStatusText(statusText);
    error = device->SetTapePosition(TAPE_REWIND, 0, 0, 0, false);
    if (unload) {
        uint32_t unloadError = device->PrepareTape(TAPE_UNLOAD, false);
        if (error == ERROR_SUCCESS)
            error = unloadError;
    }
    if (error == ERROR_SUCCESS) {
        WriteLog(1, doneText);
    } else {
        WriteError(SystemMessage(error));
        m_nResult = TapeJobResult::Failed;
    }
    SendStatusText("Ready");
}

void TapeJob::Eject()
{
    RunDeviceCommand("Ejecting\n", "Ejecting", true, "Tape ejected\n\n");
}

void TapeJob::Rewind()
{
    RunDeviceCommand("Rewinding\n", "Rewinding", false, "Tape rewinded\n\n");
}

uint32_t TapeJob::IsVariableBlockSupported(TapeDevice& device)
{
    WriteLog(1, "Determing wether variable block mode is supported\n");
    TAPE_GET_DRIVE_PARAMETERS params;
    if (uint32_t error = device.GetDriveParameters(params))
        ThrowSystemError(error);
    uint32_t result = params.FeaturesLow & TAPE_DRIVE_VARIABLE_BLOCK;
    WriteLog(1, result ? "Variable block mode is supported\n\n" : "Variable block mode is NOT supported\n\n");
    return result;
}

uint32_t TapeJob::GetMaximumBlockSize(TapeDevice& device)
{
    WriteLog(1, "Determing maximum block size\n");
    TAPE_GET_DRIVE_PARAMETERS params;
    if (uint32_t error = device.GetDriveParameters(params))
        ThrowSystemError(error);
    WriteLog(1, Format("Maximum block size is %lld\n\n", params.MaximumBlockSize));
    return params.MaximumBlockSize;
}

uint32_t TapeJob::GetMediaFixedBlockSize(TapeDevice& device)
{
    WriteLog(1, "Determing media fixed block size\n");
    TAPE_GET_MEDIA_PARAMETERS params;
    if (uint32_t error = device.GetMediaParameters(params))
        ThrowSystemError(error);
    WriteLog(1, Format("Media fixed block size is %lld\n\n", params.BlockSize));
    return params.BlockSize;
}

void TapeJob::SetMediaBlockSize(TapeDevice& device, uint32_t size)
{
    WriteLog(1, Format("Setting media block size to vale %lld\n", size));
    TAPE_SET_MEDIA_PARAMETERS params;
    params.BlockSize = size;
    if (uint32_t error = device.SetMediaParameters(params))
        ThrowSystemError(error);
    WriteLog(1, "Media block size successfully set\n\n");
}
