#include "tape/TapeLabels.h"

#include <cstdio>
#include <cstring>

namespace {

// EBCDIC (code page 037) to ASCII for what labels hold: letters, digits, blanks and the
// usual punctuation; anything else reads as '?'.
char FromEbcdic(unsigned char c)
{
    static const struct {
        unsigned char from, to;
        char first;
    } kRuns[] = {
        {0x81, 0x89, 'a'}, {0x91, 0x99, 'j'}, {0xA2, 0xA9, 's'}, {0xC1, 0xC9, 'A'},
        {0xD1, 0xD9, 'J'}, {0xE2, 0xE9, 'S'}, {0xF0, 0xF9, '0'},
    };
    for (const auto& run : kRuns)
        if (c >= run.from && c <= run.to)
            return static_cast<char>(run.first + (c - run.from));
    static const struct {
        unsigned char code;
        char ascii;
    } kSigns[] = {
        {0x40, ' '}, {0x4B, '.'}, {0x4C, '<'}, {0x4D, '('}, {0x4E, '+'}, {0x4F, '|'}, {0x50, '&'},
        {0x5A, '!'}, {0x5B, '$'}, {0x5C, '*'}, {0x5D, ')'}, {0x5E, ';'}, {0x60, '-'}, {0x61, '/'},
        {0x6B, ','}, {0x6C, '%'}, {0x6D, '_'}, {0x6E, '>'}, {0x6F, '?'}, {0x7A, ':'}, {0x7B, '#'},
        {0x7C, '@'}, {0x7D, '\''}, {0x7E, '='}, {0x7F, '"'},
    };
    for (const auto& sign : kSigns)
        if (c == sign.code)
            return sign.ascii;
    return '?';
}

// The names a label starts with: three letters and a digit (UVL, UHL and UTL are the user's).
bool IsLabelName(const std::string& id)
{
    static const char* const kNames[] = {"VOL", "HDR", "EOF", "EOV", "UVL", "UHL", "UTL"};
    if (id.size() != 4 || id[3] < '1' || id[3] > '9')
        return false;
    for (const char* name : kNames)
        if (id.compare(0, 3, name) == 0)
            return true;
    return false;
}

// The fields this program reads, by label and columns (from 1, as the standards count
// them). IBM's and ANSI's labels put these in the same places; EOF1 and EOV1 repeat HDR1's
// layout (with the block count set), EOF2 and EOV2 HDR2's.
struct LabelFieldPlace {
    const char* label;
    const char* field;
    unsigned first, last;
};

const LabelFieldPlace kLabelFields[] = {
    {"VOL1", "volume_serial", 5, 10},
    {"VOL1", "owner", 42, 51},
    {"HDR1", "file_identifier", 5, 21},
    {"HDR1", "file_set_identifier", 22, 27},
    {"HDR1", "file_section_number", 28, 31},
    {"HDR1", "file_sequence_number", 32, 35},
    {"HDR1", "generation_number", 36, 39},
    {"HDR1", "generation_version", 40, 41},
    {"HDR1", "creation_date", 42, 47},
    {"HDR1", "expiration_date", 48, 53},
    {"HDR1", "block_count", 55, 60},
    {"HDR1", "system_code", 61, 73},
    {"HDR2", "record_format", 5, 5},
    {"HDR2", "block_length", 6, 10},
    {"HDR2", "record_length", 11, 15},
};

std::string Trim(const std::string& text)
{
    const size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// A number of digits only; -1 for anything else (blanks, letters, nothing).
int64_t Number(const std::string& text)
{
    if (text.empty() || text.size() > 12)
        return -1;
    int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return -1;
        value = value * 10 + (c - '0');
    }
    return value;
}

} // namespace

std::optional<TapeLabel> ParseLabel(const void* data, uint32_t size)
{
    if (size != kLabelSize)
        return std::nullopt;
    const auto* bytes = static_cast<const unsigned char*>(data);
    TapeLabel label;
    label.text.assign(reinterpret_cast<const char*>(bytes), kLabelSize);
    label.id = label.text.substr(0, 4);
    if (IsLabelName(label.id)) {
        label.standard = LabelStandard::Ansi;
        return label;
    }
    for (size_t i = 0; i < kLabelSize; ++i)
        label.text[i] = FromEbcdic(bytes[i]);
    label.id = label.text.substr(0, 4);
    if (!IsLabelName(label.id))
        return std::nullopt;
    label.standard = LabelStandard::Ibm;
    return label;
}

std::string LabelField(const TapeLabel& label, const std::string& field)
{
    std::string layout = label.id;
    if (layout == "EOF1" || layout == "EOV1")
        layout = "HDR1";
    else if (layout == "EOF2" || layout == "EOV2")
        layout = "HDR2";
    for (const LabelFieldPlace& place : kLabelFields)
        if (layout == place.label && field == place.field)
            return Trim(label.text.substr(place.first - 1, place.last - place.first + 1));
    return {};
}

std::string LabelDate(const std::string& cyyddd)
{
    if (cyyddd.size() != 6 || (cyyddd[0] != ' ' && (cyyddd[0] < '0' || cyyddd[0] > '9')))
        return {};
    const int64_t yy = Number(cyyddd.substr(1, 2));
    const int64_t ddd = Number(cyyddd.substr(3, 3));
    if (yy < 0 || ddd < 1)
        return {};
    const int year = 1900 + (cyyddd[0] == ' ' ? 0 : 100 * (cyyddd[0] - '0' + 1)) + static_cast<int>(yy);
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    static const int kMonthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    int day = static_cast<int>(ddd);
    int month = 0;
    for (; month < 12; ++month) {
        const int length = kMonthDays[month] + (month == 1 && leap ? 1 : 0);
        if (day <= length)
            break;
        day -= length;
    }
    if (month == 12)
        return {};  // day 366 of a common year, or more
    char text[16];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", year, month + 1, day);
    return text;
}

std::string LabelNamePart(const std::string& identifier)
{
    std::string name = Trim(identifier);
    for (char& c : name)
        if (c == '/' || c == ' ' || static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = '_';
    const size_t first = name.find_first_not_of('.');
    return first == std::string::npos ? std::string() : name.substr(first);
}

void LabelTracker::BeginFile(int32_t number)
{
    m_nFile = number;
    m_labels.clear();
    m_bAllLabels = true;
    m_nBlocks = 0;
}

void LabelTracker::Block(const void* data, uint32_t size)
{
    ++m_nBlocks;
    if (!m_bAllLabels)
        return;
    std::optional<TapeLabel> label = m_labels.size() < kMaxLabelsInFile ? ParseLabel(data, size) : std::nullopt;
    // One standard in a file: an EBCDIC label among ASCII ones is no label file.
    if (!label || (!m_labels.empty() && label->standard != m_labels.front().standard)) {
        m_bAllLabels = false;
        m_labels.clear();
        return;
    }
    m_labels.push_back(std::move(*label));
}

std::vector<LabelledFile> LabelTracker::EndFile(uint64_t blocks, const std::string& diskFile)
{
    std::vector<LabelledFile> done;
    const int32_t number = m_nFile;
    const bool labelFile = m_bAllLabels && !m_labels.empty() && blocks == m_labels.size() && m_nBlocks == blocks;
    m_bLastWasHeader = false;

    if (m_pending) {
        LabelledFile& file = *m_pending;
        if (!file.dataRead && number == file.headerFile + 1) {
            // The file after the header labels is their data file, whatever it holds.
            file.dataFile = number;
            file.dataRead = true;
            file.blocksRead = blocks;
            file.diskFile = diskFile;
            return done;
        }
        bool trailer = false;
        if (file.dataRead && number == file.dataFile + 1 && labelFile) {
            for (const TapeLabel& label : m_labels) {
                if (label.id != "EOF1" && label.id != "EOV1")
                    continue;
                trailer = true;
                file.trailerFile = number;
                file.trailerBlockCount = Number(LabelField(label, "block_count"));
                // Six digits: a count past 999 999 is compared in its last six.
                if (file.trailerBlockCount >= 0 &&
                    static_cast<uint64_t>(file.trailerBlockCount) != file.blocksRead % 1000000)
                    file.warning = "the trailer label counts " + std::to_string(file.trailerBlockCount) +
                                   " blocks, " + std::to_string(file.blocksRead) + " were read";
                break;
            }
        }
        done.push_back(std::move(file));
        m_pending.reset();
        if (trailer)
            return done;
    }
    if (!labelFile)
        return done;
    for (const TapeLabel& label : m_labels) {
        if (label.id == "VOL1") {
            m_strVolume = LabelField(label, "volume_serial");
        } else if (label.id == "HDR1") {
            LabelledFile file;
            file.standard = label.standard;
            file.headerFile = number;
            file.volumeSerial = m_strVolume;
            file.fileIdentifier = LabelField(label, "file_identifier");
            file.sequence = Number(LabelField(label, "file_sequence_number"));
            const std::string date = label.text.substr(41, 6);  // columns 42-47, blanks and all
            file.creationDate = LabelDate(date);
            m_pending = std::move(file);
        } else if (label.id == "HDR2" && m_pending && m_pending->headerFile == number) {
            m_pending->recordFormat = LabelField(label, "record_format");
            m_pending->blockLength = Number(LabelField(label, "block_length"));
            m_pending->recordLength = Number(LabelField(label, "record_length"));
        }
    }
    m_bLastWasHeader = m_pending && m_pending->headerFile == number;
    return done;
}

std::vector<LabelledFile> LabelTracker::Flush()
{
    std::vector<LabelledFile> done;
    if (m_pending)
        done.push_back(std::move(*m_pending));
    m_pending.reset();
    return done;
}

const LabelledFile* LabelTracker::HeaderFor(int32_t number) const
{
    if (m_pending && !m_pending->dataRead && m_pending->headerFile + 1 == number)
        return &*m_pending;
    return nullptr;
}
