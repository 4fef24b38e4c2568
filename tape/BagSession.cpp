// The steps a load takes when its folder is to become a bag (LoadOptions::bag): the checks
// before anything is written, and the seal once the session has ended.
#include "tape/BagIt.h"
#include "tape/TapeJob.h"

#include "Version.h"
#include "platform/DeviceNamespace.h"
#include "platform/linux/ScsiDevices.h"

#include <cstdlib>
#include <sys/stat.h>

namespace {

const char* const kNoBagText = "The folder cannot be made a bag\n";

// What was read, from what, for bag-info.txt's External-Description.
std::string DescribeSource(int32_t tapeIndex, bool variableBlock, uint32_t bufferSize)
{
    std::string text = "Files of the tape in " + DeviceNamespace::DeviceName(tapeIndex);
    const std::vector<std::string>& images = DeviceNamespace::TapeImages();
    if (!images.empty()) {
        if (tapeIndex >= 0 && static_cast<size_t>(tapeIndex) < images.size()) {
            char* resolved = ::realpath(images[tapeIndex].c_str(), nullptr);
            text += ", a virtual drive over the tape image '" + std::string(resolved ? resolved : images[tapeIndex].c_str()) + "'";
            std::free(resolved);
            struct stat st {};
            if (::stat(images[tapeIndex].c_str(), &st) == 0)
                text += " of " + std::to_string(st.st_size) + " bytes";
        }
    } else {
        std::vector<ScsiDevice> drives = EnumerateLinuxTapeDrives();
        if (tapeIndex >= 0 && static_cast<size_t>(tapeIndex) < drives.size())
            text += ", the tape drive " + drives[tapeIndex].vendor + " " + drives[tapeIndex].model + " " +
                    drives[tapeIndex].revision + (drives[tapeIndex].stNode.empty() ? "" : " (" + drives[tapeIndex].stNode + ")");
    }
    text += variableBlock ? ", read in variable block mode" : ", read in fixed blocks of " + std::to_string(bufferSize) + " bytes";
    return text;
}

} // namespace

std::string TapeJob::DataBase() const
{
    return m_loadOptions.bag ? std::string(kBagPayloadFolder) + "/" + m_strFileBase : m_strFileBase;
}

bool TapeJob::CheckBagTarget()
{
    std::string why;
    if (!m_loadOptions.writeChecksumsAndReport)
        why = "a bag holds the checksums and the report, and they are turned off";
    else if (m_strFileBase.empty() || m_strFileBase.find('/') != std::string::npos || m_strFileBase[0] == '.')
        why = "a bag's base is a plain name, without folders or a leading dot: '" + m_strFileBase + "'";
    else
        why = BagFolderRefusal(m_strPath);
    if (why.empty())
        return true;
    WriteError(kNoBagText);
    WriteLog(1, "Reason: " + why + "\n");
    m_nResult = TapeJobResult::Failed;
    return false;
}

void TapeJob::FinishBag()
{
    if (!m_pBag)
        return;
    std::unique_ptr<BagWriter> bag = std::move(m_pBag);  // the log it keeps ends here
    if (!bag->LogStarted()) {  // no tape file was reached: nothing was written
        bag->Abandon();
        return;
    }
    if (m_nResult != TapeJobResult::Completed) {
        bag->Abandon();
        WriteLog(1, "The folder is not made a bag: the session did not complete\n");
        return;
    }
    std::string selection = m_strSelection;
    if (selection.size() > 200)
        selection = selection.substr(0, 200) + "...";
    std::vector<std::pair<std::string, std::string>> info = {
        {"Bag-Software-Agent", std::string("kellovaran ") + kKellovaranVersion},
        {"External-Description", DescribeSource(m_nTapeIndex, m_bVariableBlock != 0, m_nBufferSize) +
                                     "; selection \"" + selection + "\", " + std::to_string(m_nFilesRead) +
                                     " files, " + std::to_string(m_nBlocksTotal) + " blocks, " +
                                     std::to_string(m_nBytesTotal) + " bytes"},
    };
    std::string failure;
    if (!bag->Seal(info,
                   {m_strFileBase + ".sha256", m_strFileBase + ".json", m_strFileBase + ".map.json",
                    m_strFileBase + ".map.svg"},
                   failure)) {
        WriteError("Couldn't make the folder a bag\n");
        WriteLog(1, "Reason: " + failure + "\n");
        m_nResult = TapeJobResult::Failed;
        return;
    }
    WriteLog(1, "The folder is a complete bag: '" + m_strPath + "' (" + std::to_string(bag->PayloadFiles()) +
                    " files, " + std::to_string(bag->PayloadBytes()) + " bytes)\n");
}
