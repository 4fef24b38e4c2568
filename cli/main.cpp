// kellovaran-cli: the tape jobs of Kellovaran without a window.
#include "aspi/DriveReport.h"
#include "aspi/ReAspiManager.h"
#include "cli/CliOptions.h"
#include "cli/ConsoleNotify.h"
#include "cli/JobRunner.h"
#include "cli/MkTape.h"
#include "frontend/ExitStatus.h"
#include "platform/Files.h"
#include "platform/ImageValidate.h"
#include "platform/SimhTape.h"
#include "selection/FileSelection.h"
#include "tape/ImageMerge.h"
#include "tape/TapeContents.h"
#include "tape/TapeJob.h"
#include "tape/TapeJobList.h"

#include "Version.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <vector>

namespace {

std::string CurrentDirectory()
{
    std::vector<char> buffer(PATH_MAX + 1);
    if (getcwd(buffer.data(), buffer.size()) == nullptr)
        return ".";
    return buffer.data();
}

int UsageError(const std::string& reason)
{
    std::fprintf(stderr, "kellovaran-cli: %s\nTry 'kellovaran-cli --help' for more information.\n", reason.c_str());
    return ToInt(ExitStatus::Usage);
}

// Why the selection does not parse, when there is more to say than where: empty for a
// character out of place, which the caret shows well enough.
std::string SelectionFaultText(const std::string& selection, const FileSelectionError& problem)
{
    if (problem.fault != FileSelectionFault::NumberTooLarge && problem.fault != FileSelectionFault::ReversedRange)
        return {};
    std::string number = selection.substr(problem.offset, problem.length);
    const size_t significant = number.find_first_not_of('0');
    number = significant == std::string::npos ? "0" : number.substr(significant);
    // A run of hundreds of digits says nothing more than its first ones and its length.
    const size_t kLongest = 20;
    if (number.size() > kLongest)
        number = number.substr(0, kLongest) + "... (" + std::to_string(number.size()) + " digits)";
    if (problem.fault == FileSelectionFault::NumberTooLarge)
        return "file number " + number + " is larger than " + std::to_string(INT32_MAX);
    return "the range ends at " + number + ", below its first number";
}

// Where a selection that does not parse goes wrong: its offset, why if that is more than
// a character out of place, and the text around it with a caret under the place (the log
// keeps its one line).
void ExplainBadSelection(const std::string& selection)
{
    const FileSelectionError problem = FindFileSelectionError(selection.c_str());
    const size_t at = std::min(problem.offset, selection.size());
    const std::string why = SelectionFaultText(selection, problem);
    const size_t kContext = 30;
    const size_t from = at > kContext ? at - kContext : 0;
    std::string shown = selection.substr(from, at - from + kContext);
    for (char& c : shown)
        if (c == '\n' || c == '\t' || c == '\r')
            c = ' ';
    const std::string lead = from > 0 ? "..." : "";
    std::fprintf(stderr, "kellovaran-cli: the selection is not valid at character %zu:%s%s\n  %s%s\n  %s^\n", at + 1,
                 why.empty() ? "" : " ", why.c_str(), lead.c_str(), shown.c_str(),
                 std::string(lead.size() + at - from, ' ').c_str());
}

// --dir: a relative directory is taken from the current one, as the shell user means it;
// the load only creates the levels below a path's first component.
std::string JobFolder(const CliOptions& options)
{
    return !options.haveDir ? CurrentDirectory()
           : options.dir[0] == '/' ? options.dir
                                   : CurrentDirectory() + "/" + options.dir;
}

// A scan's report, and whether the one at that name is this session's: the report is
// renamed into place, so a new one is another file than the one there before.
std::string ScanReportPath(const CliJob& job)
{
    return job.path + "/" + job.fileBase + ".json";
}

struct ReportStamp {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const ReportStamp&) const = default;
};

ReportStamp StampOf(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return {};
    return {true, st.st_dev, st.st_ino};
}

// The table of the files after the log; nothing when the scan wrote no report.
void PrintScanTable(const CliJob& job, const ReportStamp& before)
{
    const std::string path = ScanReportPath(job);
    const ReportStamp after = StampOf(path);
    if (!after.exists || after == before)
        return;
    std::vector<TapeContentsRow> rows;
    std::string error;
    if (!ReadTapeContents(path, rows, error)) {
        std::fprintf(stderr, "kellovaran-cli: the scan's report could not be read back: %s\n", error.c_str());
        return;
    }
    std::fflush(stdout);
    std::printf("\nFiles on the tape (report: %s)\n%s", path.c_str(), TapeContentsTable(rows).c_str());
}

int RunJob(const CliOptions& options)
{
    CliJob job;
    job.tapeIndex = options.TapeIndex();
    switch (options.verb) {
    case CliVerb::Load:
        job.kind = TAPE_JOB_LOAD;
        job.path = JobFolder(options);
        job.fileBase = options.base;
        job.selection = options.selection;
        job.options = options.loadOptions;
        job.options.writeChecksumsAndReport = options.writeReport;
        job.options.noClobber = options.noClobber;
        break;
    case CliVerb::Scan:
        job.kind = TAPE_JOB_LOAD;
        job.path = JobFolder(options);
        job.fileBase = options.base;
        job.selection = "*";
        job.options = options.loadOptions;
        job.options.scanOnly = true;
        break;
    case CliVerb::Capture:
    case CliVerb::Convert: {
        job.kind = TAPE_JOB_CAPTURE;
        const std::string out =
            options.captureOut[0] == '/' ? options.captureOut : CurrentDirectory() + "/" + options.captureOut;
        const size_t slash = out.rfind('/');
        job.path = out.substr(0, slash);
        job.fileBase = out.substr(slash + 1);
        job.selection = std::string(1, '*');  // every file
        job.options = options.loadOptions;
        job.capture = options.captureOptions;
        if (!job.capture.retryFrom.empty() && job.capture.retryFrom[0] != '/')
            job.capture.retryFrom = CurrentDirectory() + "/" + job.capture.retryFrom;
        // An image's bad records are what they are: reading them again changes nothing, and
        // every one of them, however many in a row, goes into the copy.
        if (options.verb == CliVerb::Convert) {
            job.options.readRetries = 0;
            job.options.maxBadBlocksInARow = UINT32_MAX;
        }
        break;
    }
    case CliVerb::Rewind: job.kind = TAPE_JOB_REWIND; break;
    default: job.kind = TAPE_JOB_EJECT; break;
    }

    ConsoleNotify notify(stdout, isatty(STDERR_FILENO) ? stderr : nullptr);
    TapeJobList list;  // goes first, joining the worker, which reports to notify
    const ReportStamp before = StampOf(ScanReportPath(job));
    const TapeJobResult result = RunTapeJob(list, job, notify, stderr);
    if (options.verb == CliVerb::Scan)
        PrintScanTable(job, before);
    if (result == TapeJobResult::BadSelection)
        ExplainBadSelection(options.selection);
    if (int signal = TerminatingSignal())
        return 128 + signal;
    return ToInt(ExitStatusFor(result));
}

// drives lists what it is given: an image that cannot be opened is an error, not a drive.
bool ImagesCanBeOpened(const CliOptions& options)
{
    bool ok = true;
    for (const std::string& image : options.tapeImages) {
        uint32_t error = ERROR_SUCCESS;
        if (!OpenVirtualDrive(image, options.driveOptions, error)) {
            std::fprintf(stderr, "kellovaran-cli: tape image '%s': %s\n", image.c_str(),
                         DescribeFailure(error, image).c_str());
            ok = false;
        }
    }
    return ok;
}

// The cause of a write to fd that failed earlier, when its errno is long gone (the stream
// only kept its error flag): asked again of the descriptor without writing a byte. 0 when
// nothing tells.
int LostWriteError(int fd)
{
    if (fcntl(fd, F_GETFL) < 0)
        return errno;  // closed
    // A write of nothing still fails where every write does (/dev/full, a bad descriptor).
    if (write(fd, "", 0) < 0)
        return errno;
    struct stat st {};
    if (fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode)) {
        pollfd p{fd, 0, 0};
        if (poll(&p, 1, 0) == 1 && (p.revents & POLLERR))
            return EPIPE;  // the reader has gone
    }
    struct statvfs vfs {};
    if (S_ISREG(st.st_mode) && fstatvfs(fd, &vfs) == 0 && vfs.f_bavail == 0)
        return ENOSPC;
    return 0;
}

bool g_bStdoutWasClosed = false;

// A standard descriptor that is closed would go to the next file opened, and a disk file or
// an image would then take the log's lines. Each is held on /dev/null instead; a log that had
// nowhere to go is a failure at the end like any other.
void HoldStandardDescriptors()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
            continue;
        if (fd == STDOUT_FILENO)
            g_bStdoutWasClosed = true;
        const int held = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (held >= 0 && held != fd) {
            dup2(held, fd);
            close(held);
        }
    }
}

// The log is the user's record: one that could not be written makes the run a failure.
// The reason is the failing call's own errno, taken right there: by the time the stream is
// asked, errno is whatever some later call left in it.
int CheckStandardOutput(int status)
{
    bool failed = g_bStdoutWasClosed;
    int err = g_bStdoutWasClosed ? EBADF : 0;
    errno = 0;
    if (std::fflush(stdout) != 0) {
        failed = true;
        err = errno;
    } else if (std::ferror(stdout)) {  // a write during the run failed and was let go
        failed = true;
        err = LostWriteError(fileno(stdout));
    }
    errno = 0;
    if (std::fclose(stdout) != 0 && !failed) {
        failed = true;
        err = errno;
    }
    if (failed) {
        std::fprintf(stderr, "kellovaran-cli: the log could not be written to standard output: %s\n",
                     err != 0 ? std::strerror(err) : "a write failed");
        return status == 0 ? ToInt(ExitStatus::Error) : status;
    }
    return status;
}

// The drive part of the window's start-up log. Exit 1 when drive discovery is not available.
int RunDrives()
{
    ReAspiManager aspi;
    aspi.Initialize();
    std::string text = DescribeTapeDrives(aspi);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
    return ToInt(aspi.m_bInitialized ? ExitStatus::Done : ExitStatus::Error);
}

int RunMkTape(const CliOptions& options)
{
    MkTapeSummary summary;
    std::string error;
    if (!MakeTapeImage(options.mktapeOut, options.mktapeInputs, summary, error)) {
        std::fprintf(stderr, "kellovaran-cli: %s\n", error.c_str());
        return ToInt(ExitStatus::Error);
    }
    std::printf("%s: %llu files, %llu records, %llu bytes\n", options.mktapeOut.c_str(),
                static_cast<unsigned long long>(summary.files), static_cast<unsigned long long>(summary.records),
                static_cast<unsigned long long>(summary.bytes));
    return ToInt(ExitStatus::Done);
}

} // namespace

// validate: the image walked both ways; its report on standard output. 0 clean, 1 damaged
// or not readable at all.
int RunValidate(const CliOptions& options)
{
    const bool showProgress = isatty(STDERR_FILENO) != 0;
    auto lastShown = std::chrono::steady_clock::now();
    ImageValidation result;
    std::string error;
    const bool walked = ValidateImage(
        options.validateImage, options.driveOptions.format, result, error, [&](uint64_t walked) {
            const auto now = std::chrono::steady_clock::now();
            if (showProgress && now - lastShown > std::chrono::milliseconds(200) && result.imageSize > 0) {
                lastShown = now;
                std::fprintf(stderr, "\rvalidating: %3u%%", static_cast<unsigned>(walked * 50 / result.imageSize));
            }
            return true;  // Ctrl-C ends the program as it is: validate writes nothing
        });
    if (showProgress)
        std::fputs("\r                \r", stderr);
    if (!walked) {
        std::fprintf(stderr, "kellovaran-cli: %s: %s\n", options.validateImage.c_str(), error.c_str());
        return ToInt(ExitStatus::Error);
    }
    std::fputs(ValidationText(options.validateImage, result).c_str(), stdout);
    return ToInt(result.damaged ? ExitStatus::Error : ExitStatus::Done);
}

volatile std::sig_atomic_t g_nMergeStopSignal = 0;

extern "C" void OnMergeStopSignal(int signal)
{
    g_nMergeStopSignal = signal;
}

// merge: the inputs into OUT, the log on standard output. 0 when OUT has no bad record and
// no conflict; 1 when some remain (OUT is written), when the inputs do not fit together or
// anything fails (nothing written).
int RunMerge(const CliOptions& options)
{
    MergeOptions merge;
    merge.output = options.captureOut;
    merge.inputs = options.mergeInputs;
    merge.inputFormat = options.driveOptions.format;
    merge.format = options.captureOptions.format;
    merge.compression = options.captureOptions.compression;
    // Ctrl-C, SIGTERM and SIGHUP stop the merge at its next record, so that its temporary
    // image is deleted rather than left behind.
    struct sigaction action {};
    action.sa_handler = OnMergeStopSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signal, &action, nullptr);
    merge.stopRequested = [] { return g_nMergeStopSignal != 0; };
    MergeResult result;
    const bool merged = MergeImages(merge, result);
    if (result.stopped) {
        std::fprintf(stderr, "kellovaran-cli: merge stopped: nothing written to '%s'\n", merge.output.c_str());
        return 128 + g_nMergeStopSignal;
    }
    std::fputs(MergeLogText(result).c_str(), stdout);
    if (!merged) {
        std::fflush(stdout);
        std::fprintf(stderr, "kellovaran-cli: merge %s: %s\n", result.refused ? "refused" : "failed",
                     result.error.c_str());
        if (!result.written)
            std::fprintf(stderr, "kellovaran-cli: nothing written to '%s'\n", merge.output.c_str());
        return ToInt(ExitStatus::Error);
    }
    return ToInt(result.badAfter == 0 && result.conflicts == 0 ? ExitStatus::Done : ExitStatus::Error);
}

int Run(int argc, char** argv)
{
    // A reader that goes away (| head) must not end a load half-way: the copy goes on and
    // only the log is lost.
    std::signal(SIGPIPE, SIG_IGN);

    // --version anywhere before "--" answers alone, as --help does.
    for (int i = 1; i < argc && std::string(argv[i]) != "--"; ++i) {
        if (std::string(argv[i]) == "--version") {
            std::printf("kellovaran-cli %s\n", kKellovaranVersion);
            return 0;
        }
    }

    CliOptions options;
    std::string error;
    if (!ParseCliOptions(argc, argv, options, error))
        return UsageError(error);

    switch (options.verb) {
    case CliVerb::Help:
        std::fputs(CliUsage().c_str(), stdout);
        return ToInt(ExitStatus::Done);
    case CliVerb::Validate:
        return RunValidate(options);
    case CliVerb::Merge:
        return RunMerge(options);
    case CliVerb::Load:
    case CliVerb::Scan:
    case CliVerb::Capture:
    case CliVerb::Convert:
    case CliVerb::Rewind:
    case CliVerb::Eject:
        InstallPlatformServices(options);
        return RunJob(options);
    case CliVerb::Drives:
        if (!ImagesCanBeOpened(options))
            return ToInt(ExitStatus::Error);
        InstallPlatformServices(options);
        return RunDrives();
    case CliVerb::MkTape:
        return RunMkTape(options);
    default:
        return UsageError("unknown command");
    }
}

int main(int argc, char** argv)
{
    HoldStandardDescriptors();
    return CheckStandardOutput(Run(argc, argv));
}
