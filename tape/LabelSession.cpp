// What a load does with standard tape labels: each file's blocks go past the tracker; after
// a header label file the log says what its labels describe, a trailer whose block count
// does not match the blocks read is a warning, and the report lists every labelled file.
#include "tape/SessionReport.h"
#include "tape/TapeJob.h"

#include <cstdio>

namespace {

std::string OrDash(const std::string& text)
{
    return text.empty() ? "-" : text;
}

std::string OrDash(int64_t number)
{
    return number < 0 ? "-" : std::to_string(number);
}

} // namespace

std::string TapeJob::LabelNameSuffix(int32_t fileNumber) const
{
    if (!m_loadOptions.nameFromLabels)
        return {};
    const LabelledFile* header = m_labels.HeaderFor(fileNumber);
    if (!header)
        return {};
    const std::string part = LabelNamePart(header->fileIdentifier);
    return part.empty() ? std::string() : "_" + part;
}

void TapeJob::NoteFileLabels(bool kept, bool whole)
{
    char digits[16];
    std::snprintf(digits, sizeof digits, "%04d", m_nTapeFile);
    std::string diskFile;
    if (kept && !m_loadOptions.scanOnly) {
        diskFile = DataBase() + digits + m_strFileSuffix + (whole ? "" : ".part");
        while (!diskFile.empty() && diskFile.front() == '/')
            diskFile.erase(0, 1);
    }
    std::vector<LabelledFile> done = m_labels.EndFile(m_nFileBlocks, diskFile);
    if (m_labels.LastWasHeader()) {
        const LabelledFile& file = *m_labels.Pending();
        WriteLog(1, std::string("Tape labels (") + (file.standard == LabelStandard::Ibm ? "IBM" : "ANSI") +
                        "): volume " + OrDash(file.volumeSerial) + ", file '" + file.fileIdentifier +
                        "', sequence " + OrDash(file.sequence) + ", created " + OrDash(file.creationDate) +
                        ", record format " + OrDash(file.recordFormat) + ", block length " +
                        OrDash(file.blockLength) + ", record length " + OrDash(file.recordLength) + "\n\n");
    }
    NoteLabelledFiles(done);
}

void TapeJob::NoteLabelledFiles(const std::vector<LabelledFile>& files)
{
    for (const LabelledFile& file : files) {
        if (!file.warning.empty()) {
            char number[16];
            std::snprintf(number, sizeof number, "%04d", file.dataFile);
            WriteLog(1, "WARNING: tape file " + std::string(number) + " ('" + file.fileIdentifier + "'): " +
                            file.warning + "\n\n");
        }
        if (m_pReport)
            m_pReport->NoteLabelledFile(file);
    }
}

void TapeJob::FinishLabels()
{
    NoteLabelledFiles(m_labels.Flush());
    m_labels = LabelTracker();
}
