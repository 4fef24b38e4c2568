#include "tape/TapeContents.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

namespace {

using Json = nlohmann::json;

std::string TextOrEmpty(const Json& object, const char* key)
{
    auto it = object.find(key);
    return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

uint64_t NumberOrZero(const Json& object, const char* key)
{
    auto it = object.find(key);
    return it != object.end() && it->is_number_unsigned() ? it->get<uint64_t>() : 0;
}

std::string RecordSizesText(const Json& file)
{
    std::vector<uint64_t> sizes;
    if (auto it = file.find("record_sizes"); it != file.end() && it->is_array())
        for (const Json& entry : *it)
            if (entry.is_object())
                sizes.push_back(NumberOrZero(entry, "size"));
    const bool others = NumberOrZero(file, "other_record_sizes") > 0;
    if (sizes.empty())
        return "-";
    std::string text;
    if (sizes.size() <= 3 && !others) {
        for (uint64_t size : sizes)
            text += (text.empty() ? "" : ", ") + std::to_string(size);
        return text;
    }
    // The listed sizes are the first few seen; the smallest and largest are of them all.
    return std::to_string(NumberOrZero(file, "smallest_record")) + " ... " +
           std::to_string(NumberOrZero(file, "largest_record")) + " (" + std::to_string(sizes.size()) +
           (others ? " and more" : "") + " sizes)";
}

// A file the tape does not have: the read past the last one found only the end of the data.
bool IsEndOfDataProbe(const Json& file)
{
    if (NumberOrZero(file, "blocks") != 0)
        return false;
    auto end = file.find("end");
    if (end == file.end() || !end->is_object())
        return false;
    const std::string condition = TextOrEmpty(*end, "condition");
    return condition == "no_more_data" || condition == "end_of_media";
}

std::string Cut(const std::string& text, size_t width)
{
    return text.size() <= width ? text : text.substr(0, width - 3) + "...";
}

} // namespace

bool TapeContentsFromReport(const std::string& reportText, std::vector<TapeContentsRow>& rows, std::string& error)
{
    rows.clear();
    const Json report = Json::parse(reportText, nullptr, false);
    if (!report.is_object() || !report.contains("files") || !report["files"].is_array()) {
        error = "not a session report";
        return false;
    }
    std::map<int64_t, std::string> labels;
    if (auto it = report.find("labelled_files"); it != report.end() && it->is_array())
        for (const Json& entry : *it)
            if (entry.is_object() && entry.contains("data_file") && entry["data_file"].is_number_integer())
                labels[entry["data_file"].get<int64_t>()] = TextOrEmpty(entry, "file_identifier");
    for (const Json& file : report["files"]) {
        if (!file.is_object() || !file.contains("number") || !file["number"].is_number_integer()) {
            error = "a file entry without its number";
            rows.clear();
            return false;
        }
        if (IsEndOfDataProbe(file))
            continue;
        TapeContentsRow row;
        row.number = file["number"].get<int32_t>();
        row.blocks = NumberOrZero(file, "blocks");
        row.bytes = NumberOrZero(file, "bytes");
        row.largest = static_cast<uint32_t>(NumberOrZero(file, "largest_record"));
        row.recordSizes = RecordSizesText(file);
        row.contentType = TextOrEmpty(file, "content_type");
        row.mimeType = TextOrEmpty(file, "mime_type");
        row.whole = !file.contains("whole") || !file["whole"].is_boolean() || file["whole"].get<bool>();
        if (auto label = labels.find(row.number); label != labels.end())
            row.label = label->second;
        rows.push_back(std::move(row));
    }
    return true;
}

bool ReadTapeContents(const std::string& path, std::vector<TapeContentsRow>& rows, std::string& error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read '" + path + "'";
        rows.clear();
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    return TapeContentsFromReport(text.str(), rows, error);
}

std::string TapeContentsTable(const std::vector<TapeContentsRow>& rows)
{
    std::string table = "File      Blocks           Bytes  Record sizes              Content type                              Label\n";
    for (const TapeContentsRow& row : rows) {
        char line[96];
        std::snprintf(line, sizeof line, "%04d %11llu %15llu  ", row.number, static_cast<unsigned long long>(row.blocks),
                      static_cast<unsigned long long>(row.bytes));
        std::string type = row.contentType.empty() ? "-" : row.contentType;
        if (!row.whole)
            type = "(not read to its end) " + type;
        char rest[160];
        std::snprintf(rest, sizeof rest, "%-24s  %-40s  %s", Cut(row.recordSizes, 24).c_str(), Cut(type, 40).c_str(),
                      row.label.empty() ? "-" : row.label.c_str());
        std::string text = std::string(line) + rest;
        while (!text.empty() && text.back() == ' ')
            text.pop_back();
        table += text + "\n";
    }
    return table;
}
