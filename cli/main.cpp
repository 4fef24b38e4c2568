// kellovaran-cli: the tape jobs of Kellovaran without a window.
#include "aspi/DriveReport.h"
#include "aspi/ReAspiManager.h"
#include "cli/CliOptions.h"
#include "cli/ConsoleNotify.h"
#include "cli/JobRunner.h"
#include "cli/MkTape.h"
#include "frontend/ExitStatus.h"
#include "tape/TapeJob.h"
#include "tape/TapeJobList.h"

#include "Version.h"

#include <climits>
#include <csignal>
#include <cstdio>
#include <string>
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
    std::fprintf(stderr, "kellovaran-cli: %s\n\n%s", reason.c_str(), CliUsage().c_str());
    return ToInt(ExitStatus::Usage);
}

int RunJob(const CliOptions& options)
{
    CliJob job;
    job.tapeIndex = options.TapeIndex();
    switch (options.verb) {
    case CliVerb::Load:
        job.kind = TAPE_JOB_LOAD;
        // A relative directory is taken from the current one, as the shell user means it;
        // the load only creates the levels below a path's first component.
        job.path = !options.haveDir ? CurrentDirectory()
                   : options.dir[0] == '/' ? options.dir
                                           : CurrentDirectory() + "/" + options.dir;
        job.fileBase = options.base;
        job.selection = options.selection;
        job.options = options.loadOptions;
        job.options.writeChecksumsAndReport = options.writeReport;
        break;
    case CliVerb::Capture: {
        job.kind = TAPE_JOB_CAPTURE;
        const std::string out =
            options.captureOut[0] == '/' ? options.captureOut : CurrentDirectory() + "/" + options.captureOut;
        const size_t slash = out.rfind('/');
        job.path = out.substr(0, slash);
        job.fileBase = out.substr(slash + 1);
        job.selection = std::string(1, '*');  // every file
        job.options = options.loadOptions;
        break;
    }
    case CliVerb::Rewind: job.kind = TAPE_JOB_REWIND; break;
    default: job.kind = TAPE_JOB_EJECT; break;
    }

    ConsoleNotify notify(stdout, isatty(STDERR_FILENO) ? stderr : nullptr);
    TapeJobList list;  // goes first, joining the worker, which reports to notify
    return ToInt(ExitStatusFor(RunTapeJob(list, job, notify, stderr)));
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

int main(int argc, char** argv)
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
    case CliVerb::Load:
    case CliVerb::Capture:
    case CliVerb::Rewind:
    case CliVerb::Eject:
        InstallPlatformServices(options);
        return RunJob(options);
    case CliVerb::Drives:
        InstallPlatformServices(options);
        return RunDrives();
    case CliVerb::MkTape:
        return RunMkTape(options);
    default:
        return UsageError("unknown command");
    }
}
