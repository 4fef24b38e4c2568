// The checksum file and the report a load leaves beside its disk files: sha256sum accepts
// the one, the other holds the log's numbers and keeps to its published schema.
#include "tape/Fixity.h"
#include "tape/SessionReport.h"
#include "tape/TapeContents.h"
#include "tape/TapeJob.h"
#include "tape/TapeJobList.h"
#include "tape/TapeLabels.h"
#include "platform/DeviceNamespace.h"
#include "platform/Errors.h"
#include "platform/SimhTapeWriter.h"
#include "tests/common/TestSupport.h"
#include "tests/tape/FakeTape.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <iconv.h>
#include <functional>
#include <map>
#include <regex.h>  // POSIX extended expressions: std::regex draws GCC 12 warnings
#include <sys/stat.h>
#include <sys/wait.h>

using Json = nlohmann::json;

namespace {

// Checks a value against the part of JSON Schema that docs/report-schema.json uses: type,
// enum, properties, required, additionalProperties (false or a schema), items, maxItems, minimum,
// pattern, anyOf and local $ref. Anything else in the schema is a failure, so the schema
// cannot grow past what this checks unnoticed.
class SchemaValidator {
public:
    explicit SchemaValidator(Json root) : m_root(std::move(root)) {}
    std::vector<std::string> Validate(const Json& value)
    {
        m_errors.clear();
        Check(m_root, value, "$");
        return m_errors;
    }

private:
    static bool HasType(const Json& value, const std::string& type)
    {
        if (type == "object") return value.is_object();
        if (type == "array") return value.is_array();
        if (type == "string") return value.is_string();
        if (type == "integer") return value.is_number_integer();
        if (type == "number") return value.is_number();
        if (type == "boolean") return value.is_boolean();
        if (type == "null") return value.is_null();
        return false;
    }
    void Fail(const std::string& where, const std::string& what) { m_errors.push_back(where + ": " + what); }
    bool Matches(const Json& schema, const Json& value)
    {
        std::vector<std::string> saved = std::move(m_errors);
        m_errors.clear();
        Check(schema, value, "");
        bool ok = m_errors.empty();
        m_errors = std::move(saved);
        return ok;
    }
    static bool MatchesPattern(const std::string& pattern, const std::string& text)
    {
        regex_t compiled;
        if (regcomp(&compiled, pattern.c_str(), REG_EXTENDED | REG_NOSUB) != 0)
            return false;
        const bool match = regexec(&compiled, text.c_str(), 0, nullptr, 0) == 0;
        regfree(&compiled);
        return match;
    }
    void Check(const Json& schema, const Json& value, const std::string& where)
    {
        static const std::set<std::string> known = {"$schema", "$id", "title", "description", "$defs", "type",
                                                    "enum", "properties", "required", "additionalProperties",
                                                    "items", "maxItems", "minimum", "pattern", "anyOf", "$ref"};
        for (const auto& [key, unused] : schema.items())
            if (!known.count(key))
                Fail(where, "schema keyword not checked: " + key);
        if (schema.contains("$ref")) {
            const std::string ref = schema["$ref"];
            if (ref.rfind("#/$defs/", 0) != 0 || !m_root["$defs"].contains(ref.substr(8)))
                return Fail(where, "unresolved $ref " + ref);
            Check(m_root["$defs"][ref.substr(8)], value, where);
        }
        if (schema.contains("type")) {
            const Json& type = schema["type"];
            bool ok = false;
            if (type.is_string())
                ok = HasType(value, type);
            else
                for (const Json& t : type)
                    ok = ok || HasType(value, t);
            if (!ok)
                return Fail(where, "type " + type.dump() + " expected, got " + value.dump());
        }
        if (schema.contains("enum")) {
            bool found = false;
            for (const Json& e : schema["enum"])
                found = found || e == value;
            if (!found)
                Fail(where, value.dump() + " not in " + schema["enum"].dump());
        }
        if (schema.contains("anyOf")) {
            bool any = false;
            for (const Json& s : schema["anyOf"])
                any = any || Matches(s, value);
            if (!any)
                Fail(where, "matches none of anyOf: " + value.dump());
        }
        if (schema.contains("minimum") && value.is_number() && value.get<double>() < schema["minimum"].get<double>())
            Fail(where, "below minimum");
        if (schema.contains("pattern") && value.is_string() &&
            !MatchesPattern(schema["pattern"].get<std::string>(), value.get<std::string>()))
            Fail(where, "does not match " + schema["pattern"].get<std::string>());
        if (value.is_object()) {
            if (schema.contains("required"))
                for (const Json& name : schema["required"])
                    if (!value.contains(name.get<std::string>()))
                        Fail(where, "missing " + name.get<std::string>());
            const Json properties = schema.value("properties", Json::object());
            for (const auto& [key, member] : value.items()) {
                if (properties.contains(key))
                    Check(properties[key], member, where + "." + key);
                else if (schema.contains("additionalProperties") && schema["additionalProperties"] == false)
                    Fail(where, "unexpected member " + key);
                else if (schema.contains("additionalProperties") && schema["additionalProperties"].is_object())
                    Check(schema["additionalProperties"], member, where + "." + key);
            }
        }
        if (value.is_array()) {
            if (schema.contains("maxItems") && value.size() > schema["maxItems"].get<size_t>())
                Fail(where, "more than maxItems");
            if (schema.contains("items"))
                for (size_t i = 0; i < value.size(); ++i)
                    Check(schema["items"], value[i], where + "[" + std::to_string(i) + "]");
        }
    }
    Json m_root;
    std::vector<std::string> m_errors;
};

Json Schema()
{
    return Json::parse(ReadWholeFile(KV_SOURCE_DIR "/docs/report-schema.json"));
}

// The shell's exit status of a command.
int ShellStatus(const std::string& command)
{
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Quoted(const std::string& text)
{
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// The numbers after "label" in the log, in order.
std::vector<uint64_t> NumbersAfter(const std::string& log, const std::string& label)
{
    std::vector<uint64_t> numbers;
    for (size_t at = log.find(label); at != std::string::npos; at = log.find(label, at + 1))
        numbers.push_back(std::stoull(log.substr(at + label.size())));
    return numbers;
}

// A receiver that runs a hook on every counters record: lets a test break at an exact block.
class HookedNotify : public RecordingNotify {
public:
    std::function<void(const TapeCounters&)> onCounters;
    void Send(uint32_t message, TaskMemBlock block) override
    {
        if (message == UM_COUNTERS && onCounters) {
            TapeCounters c;
            std::memcpy(&c, block.data(), sizeof c);
            onCounters(c);
        }
        RecordingNotify::Send(message, std::move(block));
    }
};

class ReportTest : public ::testing::Test {
protected:
    TempDir dir;
    std::string image = dir / "t.tap";
    HookedNotify notify;
    std::unique_ptr<TapeJobList> jobs;
    TapeJobResult result{};
    bool nameFromLabels = false;

    ~ReportTest() override { DeviceNamespace::SetTapeImages({}); }

    void MakeImage(const std::function<void(SimhTapeWriter&)>& write)
    {
        SimhTapeWriter tape;
        ASSERT_TRUE(tape.Open(image)) << tape.Error();
        write(tape);
        ASSERT_TRUE(tape.Close()) << tape.Error();
        DeviceNamespace::SetTapeImages({image});
    }
    std::string Load(const std::string& out, const std::string& base, bool report)
    {
        notify.Clear();
        jobs = std::make_unique<TapeJobList>();
        TapeJob* job = jobs->AddJob(out, base, "*", 0, jobs.get(), &notify, TAPE_JOB_LOAD);
        job->m_loadOptions.writeChecksumsAndReport = report;
        job->m_loadOptions.nameFromLabels = nameFromLabels;
        job->RunLoad();
        result = job->m_nResult;
        jobs->RemoveJob(job);
        return notify.Log();
    }
    static std::string MaskTime(std::string log)
    {
        size_t at = log.find("Session completed at ");
        if (at != std::string::npos)
            log.replace(at, log.find('\n', at) - at, "Session completed at (time)");
        return log;
    }
    static std::set<std::string> Names(const std::string& folder)
    {
        std::set<std::string> names;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(folder))
            names.insert(std::filesystem::relative(entry.path(), folder).string());
        return names;
    }
};

} // namespace

TEST_F(ReportTest, ChecksumsVerifyWithSha256sumAndTheReportHoldsTheLogsNumbers)
{
    const std::string text = "Lines of plain text as a tape of notes holds them.\n";
    WriteWholeFile(dir / "member", text);
    ASSERT_EQ(ShellStatus("cd " + Quoted(dir.path()) + " && tar cf archive.tar member"), 0);
    const std::string archive = ReadWholeFile(dir / "archive.tar");
    std::string notes;
    while (notes.size() < 1000)
        notes += text;
    MakeImage([&](SimhTapeWriter& tape) {
        for (size_t at = 0; at < notes.size(); at += 300)
            tape.WriteRecord(notes.substr(at, 300));
        tape.WriteTapemark();
        tape.WriteTapemark();  // an empty file: deleted, no checksum line
        for (uint32_t n = 1; n <= 10; ++n)  // ten sizes: eight are counted, two go together
            tape.WriteRecord(std::string(n * 50, static_cast<char>(n)));
        tape.WriteRecord(std::string(50, 'x'));
        tape.WriteTapemark();
        for (size_t at = 0; at < archive.size(); at += 10240)
            tape.WriteRecord(archive.substr(at, 10240));
        tape.WriteTapemark();
        tape.WriteEndOfMedium();
    });
    // A folder part in the base, and a backslash, which sha256sum writes escaped.
    const std::string base = "sub/x\\y";
    std::string withReport = Load(dir / "a", base, true);
    ASSERT_EQ(result, TapeJobResult::Completed) << withReport;
    std::string without = Load(dir / "b", base, false);
    // The same log either way, but for the folder's name.
    for (size_t at = without.find(dir / "b"); at != std::string::npos; at = without.find(dir / "b", at))
        without.replace(at, (dir / "b").size(), dir / "a");
    EXPECT_EQ(MaskTime(withReport), MaskTime(without));

    // The same disk files either way, and the two files and the map beside them.
    std::set<std::string> a = Names(dir / "a"), b = Names(dir / "b");
    EXPECT_EQ(a.erase("sub/x\\y.sha256") + a.erase("sub/x\\y.json") + a.erase("sub/x\\y.map.json") +
                  a.erase("sub/x\\y.map.svg"),
              4u);
    EXPECT_EQ(a, b);
    EXPECT_EQ(ReadWholeFile(dir / "a/sub/x\\y0000"), ReadWholeFile(dir / "b/sub/x\\y0000"));

    EXPECT_EQ(ShellStatus("cd " + Quoted(dir / "a") + " && sha256sum --quiet -c " + Quoted(base + ".sha256")), 0);
    std::string sums = ReadWholeFile(dir / "a/sub/x\\y.sha256");
    EXPECT_EQ(std::count(sums.begin(), sums.end(), '\n'), 3);
    EXPECT_EQ(sums.find("y0001"), std::string::npos);
    // The check is real: a changed byte fails it.
    std::string changed = ReadWholeFile(dir / "a/sub/x\\y0002");
    changed[7] ^= 1;
    WriteWholeFile(dir / "a/sub/x\\y0002", changed);
    EXPECT_NE(ShellStatus("cd " + Quoted(dir / "a") + " && sha256sum --status -c " + Quoted(base + ".sha256")), 0);

    Json report = Json::parse(ReadWholeFile(dir / "a/sub/x\\y.json"));
    SchemaValidator validator(Schema());
    std::vector<std::string> errors = validator.Validate(report);
    EXPECT_TRUE(errors.empty()) << ::testing::PrintToString(errors);
    Json damaged = report;  // the validator does reject what breaks the schema
    damaged["files"][0]["sha256"] = "not hex";
    damaged["totals"].erase("bytes");
    EXPECT_EQ(validator.Validate(damaged).size(), 2u);

    EXPECT_EQ(report["totals"]["files"], NumbersAfter(withReport, "######## Files read \t\t: ").at(0));
    EXPECT_EQ(report["totals"]["blocks"], NumbersAfter(withReport, "######## Blocks read\t\t: ").at(0));
    EXPECT_EQ(report["totals"]["bytes"], NumbersAfter(withReport, "######## Bytes  read\t\t: ").at(0));
    std::vector<uint64_t> blocks = NumbersAfter(withReport, "********* Blocks successfully read : ");
    std::vector<uint64_t> bytes = NumbersAfter(withReport, "********* Bytes successfully read  : ");
    ASSERT_EQ(report["files"].size(), blocks.size());
    for (size_t f = 0; f < blocks.size(); ++f) {
        EXPECT_EQ(report["files"][f]["number"], f);
        EXPECT_EQ(report["files"][f]["blocks"], blocks[f]) << f;
        EXPECT_EQ(report["files"][f]["bytes"], bytes[f]) << f;
    }

    const Json& first = report["files"][0];
    EXPECT_EQ(first["disk_file"], "sub/x\\y0000");
    EXPECT_EQ(first["sha256"], Sha256Hex(notes.data(), notes.size()));
    EXPECT_EQ(first["smallest_record"], notes.size() % 300);
    EXPECT_EQ(first["largest_record"], 300);
    EXPECT_EQ(first["end"]["condition"], "filemark");
    EXPECT_EQ(first["mime_type"], "text/plain");
    EXPECT_NE(first["content_type"].get<std::string>().find("text"), std::string::npos);
    EXPECT_TRUE(report["files"][1]["disk_file"].is_null());
    EXPECT_TRUE(report["files"][1]["sha256"].is_null());
    const Json& sizes = report["files"][2];
    ASSERT_EQ(sizes["record_sizes"].size(), 8u);
    EXPECT_EQ(sizes["record_sizes"][0], (Json{{"size", 50}, {"count", 2}}));
    EXPECT_EQ(sizes["other_record_sizes"], 2);
    EXPECT_EQ(sizes["largest_record"], 500);
    EXPECT_EQ(report["files"][3]["mime_type"], "application/x-tar");
    EXPECT_EQ(report["files"].back()["end"]["condition"], "no_more_data");

    // The map keeps to its schema and agrees with the report: each file's blocks, all good,
    // and the end of the tape reached.
    const Json map = Json::parse(ReadWholeFile(dir / "a/sub/x\\y.map.json"));
    SchemaValidator mapValidator(Json::parse(ReadWholeFile(KV_SOURCE_DIR "/docs/map-schema.json")));
    EXPECT_TRUE(mapValidator.Validate(map).empty()) << ::testing::PrintToString(mapValidator.Validate(map));
    // The report's last entry is the read past the last file, which found none: no file on the map.
    ASSERT_EQ(map["files"].size() + 1, report["files"].size());
    for (size_t f = 0; f < map["files"].size(); ++f) {
        EXPECT_EQ(map["files"][f]["file"], f);
        uint64_t good = 0;
        for (const Json& run : map["files"][f]["runs"]) {
            EXPECT_EQ(run["state"], "good");
            good += run["count"].get<uint64_t>();
        }
        EXPECT_EQ(good, blocks[f]) << f;
    }
    EXPECT_EQ(map["end_of_tape"], true);
    EXPECT_EQ(map["running"], false);
    EXPECT_NE(ReadWholeFile(dir / "a/sub/x\\y.map.svg").find("<svg"), std::string::npos);

    EXPECT_EQ(report["result"], (Json{{"status", "done"}, {"error", nullptr}}));
    EXPECT_EQ(report["block_mode"], "variable");
    EXPECT_EQ(report["device"]["kind"], "tape_image");
    struct stat st{};
    ASSERT_EQ(stat(image.c_str(), &st), 0);
    EXPECT_EQ(report["device"]["image_size"], st.st_size);
    EXPECT_EQ(report["device"]["image_path"], std::filesystem::canonical(image).string());
}

TEST_F(ReportTest, AfterAFailureOrABreakTheChecksumsListOnlyTheKeptFiles)
{
    MakeImage([&](SimhTapeWriter& tape) {
        tape.WriteRecord(std::string(100, 'a'));
        tape.WriteTapemark();
        tape.WriteTapemark();
        tape.WriteRecord(std::string(100, 'c'));
        tape.WriteRecord(std::string(100, 'd'));
        tape.WriteBadRecord(std::string(100, '?'));
        tape.WriteRecord(std::string(100, 'e'));
        tape.WriteTapemark();
        tape.WriteRecord(std::string(100, 'f'));
        tape.WriteTapemark();
    });

    std::string log = Load(dir / "fail", "file", true);
    ASSERT_EQ(result, TapeJobResult::Failed) << log;
    EXPECT_EQ(ShellStatus("cd " + Quoted(dir / "fail") + " && sha256sum --quiet -c file.sha256"), 0);
    std::string sums = ReadWholeFile(dir / "fail/file.sha256");
    EXPECT_NE(sums.find("  file0000\n"), std::string::npos);
    // The file the read error cut short is not whole: it keeps its temporary name and has no
    // line, so nothing passes it for a complete copy.
    EXPECT_EQ(sums.find("file0002"), std::string::npos);
    EXPECT_EQ(std::count(sums.begin(), sums.end(), '\n'), 1);
    EXPECT_EQ(ReadWholeFile(dir / "fail/file0002.part"), std::string(100, 'c').append(100, 'd'));
    Json report = Json::parse(ReadWholeFile(dir / "fail/file.json"));
    EXPECT_TRUE(SchemaValidator(Schema()).Validate(report).empty());
    EXPECT_EQ(report["result"]["status"], "failed");
    EXPECT_FALSE(report["result"]["error"].is_null());
    const Json& broken = report["files"][2];
    EXPECT_EQ(broken["end"]["condition"], "error");
    EXPECT_NE(broken["end"]["code"], 0);
    EXPECT_EQ(broken["end"]["text"], report["result"]["error"]);
    EXPECT_EQ(broken["whole"], false);
    EXPECT_EQ(broken["cut"], "the read failed");
    EXPECT_EQ(broken["disk_file"], "file0002.part");
    EXPECT_EQ(broken["sha256"], Sha256Hex(std::string(100, 'c').append(100, 'd').data(), 200));
    EXPECT_EQ(report["files"][0]["whole"], true);
    EXPECT_EQ(report["files"].size(), 3u);

    // Broken off at once in the middle of the third file: what was read stays as a cut copy.
    notify.onCounters = [&](const TapeCounters& c) {
        if (c.nFileBlocks == 1 && c.nBlocksTotal == 2)
            jobs->SetBreakRequest(1, 1);
    };
    log = Load(dir / "break", "file", true);
    ASSERT_EQ(result, TapeJobResult::BrokenByUser) << log;
    EXPECT_EQ(ShellStatus("cd " + Quoted(dir / "break") + " && sha256sum --quiet -c file.sha256"), 0);
    sums = ReadWholeFile(dir / "break/file.sha256");
    EXPECT_EQ(std::count(sums.begin(), sums.end(), '\n'), 1);
    EXPECT_EQ(sums.find("file0002"), std::string::npos);
    report = Json::parse(ReadWholeFile(dir / "break/file.json"));
    EXPECT_EQ(report["result"]["status"], "broken_by_user");
    EXPECT_EQ(report["files"][2]["end"]["condition"], "user_break");
    EXPECT_EQ(report["files"][2]["cut"], "stopped by the user");
    EXPECT_EQ(report["files"][2]["disk_file"], "file0002.part");
    EXPECT_EQ(report["totals"]["blocks"], 2);

    for (const char* folder : {"fail", "break"})
        for (const std::string& name : Names(dir / folder))
            EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
}

// A capture's report keeps to the same schema, whole or not; only a whole image gets a
// checksum file.
TEST_F(ReportTest, CaptureReportNamesTheImageAndKeepsToTheSchema)
{
    MakeImage([](SimhTapeWriter& tape) {
        tape.WriteRecord(std::string(3000, 'a'));
        tape.WriteBadRecord("bad");
        tape.WriteTapemark();
        tape.WriteTapemark();
        tape.WriteRecord("z");
    });
    SchemaValidator validator(Schema());
    auto capture = [&](uint32_t maxBlockSize) {
        VirtualDriveOptions options;
        options.maxBlockSize = maxBlockSize;
        DeviceNamespace::SetTapeImages({image}, options);
        jobs = std::make_unique<TapeJobList>();
        TapeJob* job = jobs->AddJob(dir.path(), "c.tap", "*", 0, jobs.get(), &notify, TAPE_JOB_CAPTURE);
        job->RunCapture();
        jobs->RemoveJob(job);
        Json report = Json::parse(ReadWholeFile(dir / "c.tap.json"));
        EXPECT_TRUE(validator.Validate(report).empty()) << ::testing::PrintToString(validator.Validate(report));
        EXPECT_EQ(report["format"], "kellovaran-capture-report");
        return report;
    };
    Json whole = capture(0);
    const std::string bytes = ReadWholeFile(dir / "c.tap");
    EXPECT_EQ(whole["image"], (Json{{"file", "c.tap"}, {"size", bytes.size()},
                                    {"sha256", Sha256Hex(bytes.data(), bytes.size())}, {"bad_records", 1},
                                 {"format", "simh"}, {"compression", nullptr}, {"bad_records_marked", true}}));
    ASSERT_EQ(whole["files"].size(), 3u);
    EXPECT_EQ(whole["files"][0]["blocks"], 2);
    EXPECT_EQ(whole["files"][2]["end"]["condition"], "no_more_data");
    EXPECT_EQ(whole["totals"], (Json{{"files", 3}, {"blocks", 3}, {"bytes", 3004}}));

    std::remove((dir / "c.tap.sha256").c_str());
    Json cut = capture(1000);  // the first record is too long: no image
    EXPECT_EQ(cut["result"]["status"], "failed");
    EXPECT_TRUE(cut["image"]["size"].is_null());
    EXPECT_FALSE(FileExists(dir / "c.tap.sha256"));
    EXPECT_EQ(ReadWholeFile(dir / "c.tap"), bytes);  // the earlier image stays
}

// A tape image's facts: the format it is read in (found or forced), and the size and SHA-256
// of the whole file, taken at the start of the session, in a load's and a capture's report.
TEST_F(ReportTest, ImageFactsGiveTheFormatReadInAndTheChecksumOfTheWholeImage)
{
    MakeImage([](SimhTapeWriter& tape) {  // past the hasher's 1 MiB chunks, not a multiple of them
        for (int n = 0; n < 5; ++n)
            tape.WriteRecord(std::string(500000, static_cast<char>('a' + n)));
        tape.WriteTapemark();
    });
    std::string digest;  // from another program than ours
    if (std::FILE* pipe = ::popen(("sha256sum " + Quoted(image)).c_str(), "r")) {
        char text[65] = {};
        if (std::fread(text, 1, 64, pipe) == 64)
            digest = text;
        ::pclose(pipe);
    }
    ASSERT_EQ(digest.size(), 64u);
    const uint64_t size = std::filesystem::file_size(image);
    ASSERT_GT(size, 2u << 20);
    SchemaValidator validator(Schema());

    Load(dir / "found", "f", true);
    ASSERT_EQ(result, TapeJobResult::Completed);
    Json report = Json::parse(ReadWholeFile(dir / "found/f.json"));
    EXPECT_TRUE(validator.Validate(report).empty()) << ::testing::PrintToString(validator.Validate(report));
    EXPECT_EQ(report["device"]["image_format"], "simh");
    EXPECT_EQ(report["device"]["image_sha256"], digest);
    EXPECT_EQ(report["device"]["image_size"], size);
    for (const char* fact : {"image_format_reason", "image_sha256_reason", "image_size_reason"})
        EXPECT_TRUE(report["device"][fact].is_null()) << fact;
    EXPECT_FALSE(report["device"].contains("serial_number"));  // a drive's facts are not an image's

    // Even-length records read the same as E11: the format given is the one asked for.
    VirtualDriveOptions options;
    options.format = ImageFormat::E11;
    DeviceNamespace::SetTapeImages({image}, options);
    jobs = std::make_unique<TapeJobList>();
    TapeJob* job = jobs->AddJob(dir.path(), "c.tap", "*", 0, jobs.get(), &notify, TAPE_JOB_CAPTURE);
    job->RunCapture();
    jobs->RemoveJob(job);
    report = Json::parse(ReadWholeFile(dir / "c.tap.json"));
    EXPECT_TRUE(validator.Validate(report).empty()) << ::testing::PrintToString(validator.Validate(report));
    EXPECT_EQ(report["device"]["image_format"], "e11");
    EXPECT_EQ(report["device"]["image_sha256"], digest);
}

// A drive's facts as its backend's reader gives them, asked once when the drive is open and
// once when the session ends: the values, and for the others null and the reason.
TEST_F(ReportTest, DriveFactsAreReadAtTheStartAndTheEndAndKeepToTheSchema)
{
    ScopedFakeTape tape;
    tape.state->File({100}).File({});
    std::vector<FactsMoment> asked;
    DeviceNamespace::SetFactsReaderForTesting([&](int index, FactsMoment moment, DriveFacts& facts) {
        EXPECT_EQ(index, 0);
        asked.push_back(moment);
        EXPECT_EQ(tape.state->open, moment == FactsMoment::SessionStart);  // the end: after the close
        FailDriveFacts(facts, moment, "refused");
        if (moment == FactsMoment::SessionStart) {
            facts.vendor.Set("ACME");
            facts.blockLimits.Set({65536, 1});
            facts.writeProtected.Set(false);
            facts.readErrorsBefore.Set({{"total_corrected", 2}, {"uncorrected", 0}});
        } else {
            facts.readErrorsAfter.Set({{"total_corrected", 5}, {"uncorrected", 1}});
            facts.tapeAlertFlags.Set({});
            facts.driverStatsAfter.Set({{"read_cnt", 7}});
        }
    });
    // A session that writes no report does not ask for the last facts: reading the
    // TapeAlert flags clears them on many drives.
    tape.state->driveParamsError = ERROR_IO_DEVICE;
    Load(dir / "none", "f", true);
    EXPECT_EQ(asked, (std::vector<FactsMoment>{FactsMoment::SessionStart}));
    EXPECT_FALSE(FileExists(dir / "none/f.json"));
    tape.state->driveParamsError = ERROR_SUCCESS;
    asked.clear();

    Load(dir / "drive", "f", true);
    DeviceNamespace::SetFactsReaderForTesting({});
    ASSERT_EQ(result, TapeJobResult::Completed);
    EXPECT_EQ(asked, (std::vector<FactsMoment>{FactsMoment::SessionStart, FactsMoment::SessionEnd}));
    Json report = Json::parse(ReadWholeFile(dir / "drive/f.json"));
    SchemaValidator validator(Schema());
    EXPECT_TRUE(validator.Validate(report).empty()) << ::testing::PrintToString(validator.Validate(report));
    const Json& device = report["device"];
    EXPECT_EQ(device["kind"], "drive");
    EXPECT_EQ(device["vendor"], "ACME");
    EXPECT_TRUE(device["vendor_reason"].is_null());
    EXPECT_TRUE(device["product"].is_null());
    EXPECT_EQ(device["product_reason"], "refused");
    EXPECT_EQ(device["block_limits"], (Json{{"maximum", 65536}, {"minimum", 1}}));
    EXPECT_EQ(device["write_protected"], false);
    EXPECT_EQ(device["read_errors"]["difference"], (Json{{"total_corrected", 3}, {"uncorrected", 1}}));
    EXPECT_EQ(device["tape_alert_flags"], Json::array());
    EXPECT_TRUE(device["st_stats"]["before"].is_null());
    EXPECT_EQ(device["st_stats"]["before_reason"], "refused");
    EXPECT_EQ(device["st_stats"]["after"], (Json{{"read_cnt", 7}}));
    Json damaged = report;  // the schema does hold the counters to numbers
    damaged["device"]["read_errors"]["after"]["uncorrected"] = "1";
    EXPECT_EQ(validator.Validate(damaged).size(), 1u);
}

TEST_F(ReportTest, ReportThatCannotBeWrittenFailsTheSessionAndSaysSo)
{
    MakeImage([&](SimhTapeWriter& tape) {
        tape.WriteRecord("data");
        tape.WriteTapemark();
    });
    std::filesystem::create_directories(dir / "out/file.sha256");  // the name is taken by a folder
    std::string log = Load(dir / "out", "file", true);
    EXPECT_EQ(result, TapeJobResult::Failed);
    EXPECT_EQ(ReadWholeFile(dir / "out/file0000"), "data");
    EXPECT_NE(log.find("[00][TAPE0] -- --//--//-- ERROR --//--//--\n"
                       "[00][TAPE0] -- Couldn't write the checksum file or the session report\n"),
              std::string::npos)
        << log;
    EXPECT_FALSE(FileExists(dir / "out/file.sha256.tmp"));

    // A later session that cannot reach the tape leaves the earlier one's files alone.
    Load(dir / "a", "file", true);
    const std::string sums = ReadWholeFile(dir / "a/file.sha256");
    ASSERT_NE(sums, "");
    DeviceNamespace::SetTapeImages({dir / "missing.tap"});
    Load(dir / "a", "file", true);
    EXPECT_EQ(result, TapeJobResult::Failed);
    EXPECT_EQ(ReadWholeFile(dir / "a/file.sha256"), sums);
}

TEST(ChecksumLine, NamesWithBackslashOrLineBreakAreEscapedAsSha256sumReadsThem)
{
    const std::string hex(64, 'a');
    EXPECT_EQ(ChecksumLine(hex, "dir/file0001"), hex + "  dir/file0001\n");
    EXPECT_EQ(ChecksumLine(hex, "a\\b\nc"), "\\" + hex + "  a\\\\b\\nc\n");
}

// Small blocks are digested on the copying thread when the hasher is idle, large ones on
// the hasher: in any mix, each file's digest is that of its bytes in order.
TEST(BlockHasher, MixedBlockSizesDigestInOrderAcrossFiles)
{
    // With SHA-512 (a bag's) the ring is shared by two hashers: neither may lose a block,
    // see one twice or see a buffer the copy has already refilled.
    Sha512 abc;
    abc.Update("abc", 3);
    ASSERT_EQ(abc.Final(), "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
                           "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f");
    const size_t bufferSize = 64 * 1024;
    PageBuffer read = PageBuffer::Allocate(bufferSize);
    ASSERT_TRUE(read);
    for (bool sha512 : {false, true}) {
        BlockHasher hasher(read.data(), bufferSize, 4, sha512);
        ASSERT_TRUE(hasher.Overlapped());
        const uint32_t sizes[] = {512, 60000, 100, 1, 40000, 40000, 16384, 16385, 3, 65536, 7};
        for (int file = 0; file < 3; ++file) {
            std::string all;
            unsigned char next = static_cast<unsigned char>(file);
            for (int round = 0; round < 40; ++round) {
                for (uint32_t size : sizes) {
                    auto* block = static_cast<unsigned char*>(hasher.NextBuffer());
                    for (uint32_t i = 0; i < size; ++i)
                        block[i] = next = static_cast<unsigned char>(next * 31 + 7);
                    all.append(reinterpret_cast<const char*>(block), size);
                    hasher.Submit(size);
                }
            }
            EXPECT_EQ(hasher.FinishFile(), Sha256Hex(all.data(), all.size())) << "file " << file;
            Sha512 whole;
            whole.Update(all.data(), all.size());
            EXPECT_EQ(hasher.LastSha512(), sha512 ? whole.Final() : "") << "file " << file;
        }
    }
}

namespace {

// An 80-byte label from its text, blanks after it; in EBCDIC through the C library's own
// code page 037, not the program's table.
std::string LabelRecord(const std::string& text, bool ebcdic)
{
    std::string ascii = text + std::string(80 - text.size(), ' ');
    if (!ebcdic)
        return ascii;
    iconv_t cd = iconv_open("IBM037", "ASCII");
    EXPECT_NE(cd, reinterpret_cast<iconv_t>(-1));
    std::string out(80, '\0');
    char* in = ascii.data();
    char* to = out.data();
    size_t inLeft = 80, outLeft = 80;
    EXPECT_NE(iconv(cd, &in, &inLeft, &to, &outLeft), static_cast<size_t>(-1));
    iconv_close(cd);
    return out;
}

// HDR1/EOF1: identifier (5-21), set (22-27), section (28-31), sequence (32-35), generation
// (36-41), created (42-47), expires (48-53), security (54), block count (55-60).
std::string Hdr1(const std::string& id, const std::string& identifier, int sequence, const std::string& created,
                 int blocks)
{
    char text[96];
    std::snprintf(text, sizeof text, "%s%-17s%-6s0001%04d000100%-6s%-6s %06d", id.c_str(), identifier.c_str(),
                  "VOLA", sequence, created.c_str(), " 99365", blocks);
    return text;
}

std::string Hdr2(const std::string& id, char format, int block, int record)
{
    char text[32];
    std::snprintf(text, sizeof text, "%s%c%05d%05d", id.c_str(), format, block, record);
    return text;
}

} // namespace

TEST(TapeLabels, RecordsFieldsAndDatesAsTheStandardsLayThemOut)
{
    std::optional<TapeLabel> ibm = ParseLabel(LabelRecord(Hdr1("HDR1", "PAYROLL.DATA", 3, "024060", 0), true).data(), 80);
    ASSERT_TRUE(ibm);
    EXPECT_EQ(ibm->standard, LabelStandard::Ibm);
    EXPECT_EQ(ibm->id, "HDR1");
    EXPECT_EQ(LabelField(*ibm, "file_identifier"), "PAYROLL.DATA");
    EXPECT_EQ(LabelField(*ibm, "file_sequence_number"), "0003");
    EXPECT_EQ(LabelField(*ibm, "file_set_identifier"), "VOLA");
    EXPECT_EQ(LabelField(*ibm, "creation_date"), "024060");
    std::optional<TapeLabel> eof = ParseLabel(LabelRecord(Hdr1("EOF1", "X", 1, " 99001", 123456), false).data(), 80);
    ASSERT_TRUE(eof);
    EXPECT_EQ(eof->standard, LabelStandard::Ansi);
    EXPECT_EQ(LabelField(*eof, "block_count"), "123456");  // EOF1 has HDR1's layout
    std::optional<TapeLabel> hdr2 = ParseLabel(LabelRecord(Hdr2("EOF2", 'V', 32760, 84), true).data(), 80);
    ASSERT_TRUE(hdr2);
    EXPECT_EQ(LabelField(*hdr2, "record_format"), "V");
    EXPECT_EQ(LabelField(*hdr2, "block_length"), "32760");
    EXPECT_EQ(LabelField(*hdr2, "record_length"), "00084");
    // Not labels: another length, another name, a record of data.
    EXPECT_FALSE(ParseLabel(LabelRecord("HDR1", false).data(), 79));
    EXPECT_FALSE(ParseLabel(LabelRecord("HDRX", false).data(), 80));
    EXPECT_FALSE(ParseLabel(std::string(80, '\0').data(), 80));

    EXPECT_EQ(LabelDate(" 99001"), "1999-01-01");
    EXPECT_EQ(LabelDate("024060"), "2024-02-29");  // a leap year
    EXPECT_EQ(LabelDate("023060"), "2023-03-01");
    EXPECT_EQ(LabelDate("000366"), "2000-12-31");
    EXPECT_EQ(LabelDate("123032"), "2123-02-01");
    EXPECT_EQ(LabelDate("023366"), "");  // no such day
    EXPECT_EQ(LabelDate("000000"), "");
    EXPECT_EQ(LabelDate("      "), "");
    EXPECT_EQ(LabelDate("0A3001"), "");

    EXPECT_EQ(LabelNamePart("  PAYROLL.DATA     "), "PAYROLL.DATA");
    EXPECT_EQ(LabelNamePart("../ETC/PASSWD"), "_ETC_PASSWD");
    EXPECT_EQ(LabelNamePart(".HIDDEN FILE\x01"), "HIDDEN_FILE_");
    EXPECT_EQ(LabelNamePart(" ... "), "");
}

// IBM's and ANSI's labels around two data files each; the second trailer counts wrong.
TEST_F(ReportTest, LabelledTapesAreReportedAndNameTheirDataFiles)
{
    for (bool ebcdic : {true, false}) {
        MakeImage([&](SimhTapeWriter& tape) {
            auto label = [&](const std::string& text) { tape.WriteRecord(LabelRecord(text, ebcdic)); };
            label("VOL1VOLA01");
            label(Hdr1("HDR1", "PAYROLL.DATA", 1, "024060", 0));
            label(Hdr2("HDR2", 'F', 800, 80));
            tape.WriteTapemark();
            for (int i = 0; i < 3; ++i)
                tape.WriteRecord(std::string(800, static_cast<char>('a' + i)));
            tape.WriteTapemark();
            label(Hdr1("EOF1", "PAYROLL.DATA", 1, "024060", 3));
            label(Hdr2("EOF2", 'F', 800, 80));
            tape.WriteTapemark();
            label(Hdr1("HDR1", "../SECRET", 2, " 99032", 0));
            label(Hdr2("HDR2", 'V', 4000, 3996));
            tape.WriteTapemark();
            tape.WriteRecord(std::string(4000, 'v'));
            tape.WriteRecord(std::string(100, 'w'));
            tape.WriteTapemark();
            label(Hdr1("EOF1", "../SECRET", 2, " 99032", 5));
            label(Hdr2("EOF2", 'V', 4000, 3996));
            tape.WriteTapemark();
            tape.WriteTapemark();
            tape.WriteEndOfMedium();
        });
        nameFromLabels = ebcdic;  // names after labels with one, as they always were with the other
        const std::string out = dir / (ebcdic ? "ibm" : "ansi");
        const std::string log = Load(out, "file", true);
        ASSERT_EQ(result, TapeJobResult::Completed) << log;
        const std::string first = ebcdic ? "file0001_PAYROLL.DATA" : "file0001";
        const std::string second = ebcdic ? "file0004__SECRET" : "file0004";
        EXPECT_EQ(ReadWholeFile(out + "/" + first), std::string(800, 'a') + std::string(800, 'b') + std::string(800, 'c'));
        EXPECT_TRUE(FileExists(out + "/" + second));
        EXPECT_TRUE(FileExists(out + "/file0000") && FileExists(out + "/file0002") && FileExists(out + "/file0005"));
        EXPECT_NE(log.find(std::string("Tape labels (") + (ebcdic ? "IBM" : "ANSI") +
                           "): volume VOLA01, file 'PAYROLL.DATA', sequence 1, created 2024-02-29, record format F, "
                           "block length 800, record length 80"),
                  std::string::npos)
            << log;
        EXPECT_NE(log.find("WARNING: tape file 0004 ('../SECRET'): the trailer label counts 5 blocks, 2 were read"),
                  std::string::npos)
            << log;
        EXPECT_EQ(log.find("WARNING: tape file 0001"), std::string::npos);
        EXPECT_EQ(ShellStatus("cd " + Quoted(out) + " && sha256sum --quiet -c file.sha256"), 0);

        const Json report = Json::parse(ReadWholeFile(out + "/file.json"));
        EXPECT_EQ(SchemaValidator(Schema()).Validate(report), std::vector<std::string>{});
        ASSERT_EQ(report["labelled_files"].size(), 2u) << report["labelled_files"].dump();
        const Json& a = report["labelled_files"][0];
        EXPECT_EQ(a["standard"], ebcdic ? "ibm" : "ansi");
        EXPECT_EQ(a["header_file"], 0);
        EXPECT_EQ(a["data_file"], 1);
        EXPECT_EQ(a["trailer_file"], 2);
        EXPECT_EQ(a["disk_file"], first);
        EXPECT_EQ(a["volume_serial"], "VOLA01");
        EXPECT_EQ(a["file_identifier"], "PAYROLL.DATA");
        EXPECT_EQ(a["file_sequence_number"], 1);
        EXPECT_EQ(a["creation_date"], "2024-02-29");
        EXPECT_EQ(a["record_format"], "F");
        EXPECT_EQ(a["block_length"], 800);
        EXPECT_EQ(a["record_length"], 80);
        EXPECT_EQ(a["blocks_read"], 3);
        EXPECT_EQ(a["trailer_block_count"], 3);
        EXPECT_TRUE(a["warning"].is_null());
        const Json& b = report["labelled_files"][1];
        EXPECT_EQ(b["data_file"], 4);
        EXPECT_EQ(b["disk_file"], second);
        EXPECT_EQ(b["creation_date"], "1999-02-01");
        EXPECT_EQ(b["record_format"], "V");
        EXPECT_EQ(b["blocks_read"], 2);
        EXPECT_EQ(b["trailer_block_count"], 5);
        EXPECT_EQ(b["warning"], "the trailer label counts 5 blocks, 2 were read");
    }
}

// Names from labels, loaded again after the tape changed: the checksum file holds one true
// line per file, not the earlier line beside the new one.
TEST_F(ReportTest, ALabelNamedFileLoadedAgainReplacesItsChecksumLine)
{
    nameFromLabels = true;
    for (char fill : {'1', '2'}) {
        MakeImage([&](SimhTapeWriter& tape) {
            tape.WriteRecord(LabelRecord(Hdr1("HDR1", "DATA", 1, "024001", 0), false));
            tape.WriteTapemark();
            tape.WriteRecord(std::string(100, fill));
            tape.WriteTapemark();
            tape.WriteEndOfMedium();
        });
        Load(dir / "out", "file", true);
        ASSERT_EQ(result, TapeJobResult::Completed);
    }
    const std::string sums = ReadWholeFile(dir / "out/file.sha256");
    EXPECT_EQ(std::count(sums.begin(), sums.end(), '\n'), 2) << sums;  // file0000 and file0001_DATA
    EXPECT_EQ(ShellStatus("cd " + Quoted(dir / "out") + " && sha256sum --quiet -c file.sha256"), 0) << sums;
}

namespace {

// A scan into dir, as the front ends start one: every file, the report, no data file.
TapeJobResult Scan(const std::string& dir, const std::string& base, RecordingNotify& notify)
{
    TapeJobList jobs;
    TapeJob* job = jobs.AddJob(dir, base, "*", 0, &jobs, &notify, TAPE_JOB_LOAD);
    job->m_loadOptions.scanOnly = true;
    job->m_loadOptions.noClobber = job->m_loadOptions.nameFromLabels = true;  // set aside by a scan
    job->RunLoad();
    const TapeJobResult result = job->m_nResult;
    jobs.RemoveJob(job);
    return result;
}

// Each file's inode and bytes: a file written anew under the same name, even with the same
// bytes, is another inode.
std::map<std::string, std::string> Contents(const std::string& folder)
{
    std::map<std::string, std::string> contents;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        struct stat st {};
        EXPECT_EQ(::lstat(entry.path().c_str(), &st), 0);
        contents[entry.path().filename().string()] =
            std::to_string(st.st_ino) + ":" + ReadWholeFile(entry.path().string());
    }
    return contents;
}

} // namespace

// A scan over the folder of an earlier load: the report lists each tape file with the digest
// the load's checksum file has for it, and every file of the load stays as it was, the cut
// copy and the checksum file too.
TEST_F(ReportTest, ScanReportsEveryFileAndLeavesTheLoadsFilesAlone)
{
    MakeImage([&](SimhTapeWriter& tape) {
        tape.WriteRecord(LabelRecord("VOL1VOLA01", false));
        tape.WriteRecord(LabelRecord(Hdr1("HDR1", "PAYROLL.DATA", 1, "024060", 0), false));
        tape.WriteTapemark();
        for (int i = 0; i < 3; ++i)
            tape.WriteRecord(std::string(800, static_cast<char>('a' + i)));
        tape.WriteTapemark();
        tape.WriteTapemark();  // an empty file
        tape.WriteRecord("#!/bin/sh\necho hello\n");
        tape.WriteRecord(std::string(4000, 'z'));
        tape.WriteTapemark();
        tape.WriteEndOfMedium();
    });
    const std::string out = dir / "out";
    Load(out, "file", true);
    ASSERT_EQ(result, TapeJobResult::Completed) << notify.Log();
    WriteWholeFile(out + "/file0003.part", "a copy an earlier load left cut");
    const std::map<std::string, std::string> before = Contents(out);
    const Json loaded = Json::parse(ReadWholeFile(out + "/file.json"));

    notify.Clear();
    ASSERT_EQ(Scan(out, "file", notify), TapeJobResult::Completed) << notify.Log();
    const std::string log = notify.Log();
    EXPECT_NE(log.find("Scanning file number 0003 of the tape (nothing is written to disk)"), std::string::npos) << log;
    EXPECT_EQ(log.find("File deleted"), std::string::npos) << log;

    std::map<std::string, std::string> after = Contents(out);
    for (const auto& [name, content] : before) {
        if (name == "file.json" || name.rfind("file.map.", 0) == 0)
            continue;  // the report and map are the scan's; the earlier report is kept
        EXPECT_EQ(after[name], content) << name;
        after.erase(name);
    }
    after.erase("file.json");
    after.erase("file.map.json");
    after.erase("file.map.svg");
    ASSERT_EQ(after.size(), 1u);  // the load's report, under its start time
    EXPECT_EQ(Json::parse(ReadWholeFile(out + "/" + after.begin()->first))["format"], "kellovaran-load-report");

    const Json report = Json::parse(ReadWholeFile(out + "/file.json"));
    std::vector<std::string> errors = SchemaValidator(Schema()).Validate(report);
    EXPECT_TRUE(errors.empty()) << ::testing::PrintToString(errors);
    EXPECT_EQ(report["format"], "kellovaran-scan-report");
    EXPECT_TRUE(report["checksum_file"].is_null());
    EXPECT_EQ(report["totals"], loaded["totals"]);
    ASSERT_EQ(report["files"].size(), loaded["files"].size());
    for (size_t i = 0; i < report["files"].size(); ++i) {
        const Json& file = report["files"][i];
        EXPECT_TRUE(file["disk_file"].is_null());
        for (const char* key : {"number", "blocks", "bytes", "record_sizes", "sha256", "content_type", "mime_type"})
            EXPECT_EQ(file[key], loaded["files"][i][key]) << i << " " << key;
    }

    // The rows the table and the window's list are drawn from: the read past the end is none.
    std::vector<TapeContentsRow> rows;
    std::string error;
    ASSERT_TRUE(ReadTapeContents(out + "/file.json", rows, error)) << error;
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[1].number, 1);
    EXPECT_EQ(rows[1].blocks, 3u);
    EXPECT_EQ(rows[1].largest, 800u);
    EXPECT_EQ(rows[1].label, "PAYROLL.DATA");
    EXPECT_EQ(rows[2].blocks, 0u);
    EXPECT_EQ(rows[3].recordSizes, "21, 4000");
    EXPECT_EQ(rows[3].bytes, 4021u);
    EXPECT_EQ(rows[3].label, "");
    EXPECT_NE(rows[3].mimeType.find("text/"), std::string::npos) << rows[3].mimeType;
    const std::string table = TapeContentsTable(rows);
    EXPECT_NE(table.find("0001           3            2400  800"), std::string::npos) << table;
    EXPECT_NE(table.find("PAYROLL.DATA\n"), std::string::npos) << table;

    // A bag's report and map are its tag files: a scan there is refused and writes nothing.
    WriteWholeFile(out + "/bagit.txt", "BagIt-Version: 1.0\n");
    const std::map<std::string, std::string> bag = Contents(out);
    notify.Clear();
    EXPECT_EQ(Scan(out, "file", notify), TapeJobResult::Failed);
    EXPECT_NE(notify.Log().find("A scan does not write into a bag"), std::string::npos) << notify.Log();
    EXPECT_EQ(Contents(out), bag);
}
