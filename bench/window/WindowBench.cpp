// A load from the window against the same load from kellovaran-cli: one tape file of
// SIZE_MIB MiB (default 64) on tmpfs, selection "*", for records of 512 B, 4 KiB, 32 KiB and
// 256 KiB. The window is the real frame, shown, running its own event loop; the load is
// started through the load dialog as a user would. Window and command line alternate,
// after one untimed load of each per size. Prints the median times and the window / cli
// throughput ratio per size, and beside them the engine alone: the same load in this
// process on a thread of its own, its messages taken and dropped, the floor of both.
//
// Usage: QT_QPA_PLATFORM=offscreen bench_window [ROUNDS] [SIZE_MIB] [CLI]
//
// The window's clock stops when the frame announces the end of the job (JobEnded).
// kellovaran-cli's time is that of the whole process, start-up included.
#include "app/KellovaranApp.h"
#include "app/MainFrame.h"
#include "dialogs/CLoadAllFilesDialog.h"
#include "platform/SimhTapeWriter.h"
#include "res/Resource.h"
#include "tape/TapeJob.h"
#include "tape/TapeJobList.h"

#include <QApplication>
#include <QEventLoop>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

double Seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Bytes that do not compress or repeat with the record size.
std::vector<char> Payload(size_t size)
{
    std::vector<char> bytes(size);
    uint64_t x = 0x9E3779B97F4A7C15ULL;
    for (size_t i = 0; i + 8 <= size; i += 8) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        std::memcpy(&bytes[i], &x, 8);
    }
    return bytes;
}

bool MakeImage(const std::string& path, const std::vector<char>& payload, uint32_t record)
{
    SimhTapeWriter tape;
    bool ok = tape.Open(path);
    for (size_t at = 0; ok && at < payload.size(); at += record) {
        ok = tape.WriteRecord(&payload[at], static_cast<uint32_t>(std::min<size_t>(record, payload.size() - at)));
    }
    ok = ok && tape.WriteTapemark() && tape.WriteEndOfMedium();
    if (!tape.Close() || !ok) {
        std::fprintf(stderr, "%s: %s\n", path.c_str(), tape.Error().c_str());
        return false;
    }
    return true;
}

bool SameBytes(const std::string& path, const std::vector<char>& payload)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<char> chunk(1 << 20);
    size_t at = 0;
    while (in.read(chunk.data(), static_cast<std::streamsize>(chunk.size())), in.gcount() > 0) {
        const size_t got = static_cast<size_t>(in.gcount());
        if (at + got > payload.size() || std::memcmp(chunk.data(), &payload[at], got) != 0) {
            return false;
        }
        at += got;
    }
    return at == payload.size();
}

void FreshDir(const std::string& dir)
{
    fs::remove_all(dir);
    fs::create_directories(dir);
}

// One load of TAPE<device> into dir from the frame: the load dialog is answered from the
// event loop, the clock runs from the click on Load until the frame says the job ended.
double WindowLoad(CMainFrame& frame, int device, const std::string& dir)
{
    frame.m_nCurrentDevice = device;
    QEventLoop loop;
    Clock::time_point start{}, end{};
    bool launched = false;

    QTimer answer;
    answer.setInterval(1);
    QObject::connect(&answer, &QTimer::timeout, [&] {
        auto* dialog = dynamic_cast<CLoadAllFilesDialog*>(QApplication::activeModalWidget());
        if (!dialog) {
            return;
        }
        answer.stop();
        dialog->GetEdit(IDC_PATH)->setText(QString::fromStdString(dir));
        dialog->GetEdit(IDC_FILE_BASE)->setText(QStringLiteral("file"));
        dialog->GetEdit(IDC_SELECTION)->setText(QStringLiteral("*"));
        start = Clock::now();
        static_cast<QPushButton*>(dialog->GetDlgItem(IDOK))->click();
    });

    // The frame says when the job has ended; the clock stops there.
    QMetaObject::Connection ended = QObject::connect(&frame, &CMainFrame::JobEnded, &loop, [&] {
        if (launched && frame.m_jobs.GetJobCount() == 0) {
            end = Clock::now();
            loop.quit();
        }
    });

    QTimer::singleShot(0, &frame, [&] {
        answer.start();
        frame.OnLoadFiles();  // returns once the dialog is closed and the job started
        launched = true;
    });
    loop.exec();
    QObject::disconnect(ended);
    return Seconds(end - start);
}

// Takes every message and keeps nothing, as fast as a receiver can be.
class DroppingNotify : public NotifyWindow {
public:
    void Send(uint32_t, TaskMemBlock) override {}
    void PostLatest(uint32_t, const void*, size_t) override {}
};

double EngineLoad(int device, const std::string& dir)
{
    DroppingNotify notify;
    TapeJobList list;
    TapeJob* job = list.AddJob(dir, "file", "*", device, &list, &notify, TAPE_JOB_LOAD);
    const auto start = Clock::now();
    std::thread worker(LoadThreadProc, job);
    worker.join();
    return Seconds(Clock::now() - start);
}

double CliLoad(const std::string& cli, const std::string& image, const std::string& dir, const std::string& logFile)
{
    std::vector<std::string> args = {cli, "load", "--tape-image", image, "--dir", dir};
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const auto start = Clock::now();
    const int spawned = posix_spawn(&pid, cli.c_str(), &actions, nullptr, argv.data(), environ);
    int status = 0;
    if (spawned == 0) {
        waitpid(pid, &status, 0);
    }
    const auto end = Clock::now();
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "%s failed\n", cli.c_str());
        std::exit(1);
    }
    return Seconds(end - start);
}

} // namespace

int main(int argc, char** argv)
{
    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const size_t sizeMiB = argc > 2 ? std::max(1, std::atoi(argv[2])) : 64;
    const std::string cli = argc > 3 ? argv[3] : KV_CLI_PROGRAM;

    char pattern[] = "/dev/shm/kv-bench-window.XXXXXX";
    if (!mkdtemp(pattern)) {
        std::perror("/dev/shm");
        return 1;
    }
    const std::string work = pattern;

    const uint32_t records[] = {512, 4096, 32768, 262144};
    const std::vector<char> payload = Payload(sizeMiB << 20);
    CommandLineOptions options;
    for (uint32_t record : records) {
        options.tapeImages.push_back(work + "/r" + std::to_string(record) + ".tap");
        if (!MakeImage(options.tapeImages.back(), payload, record)) {
            fs::remove_all(work);
            return 1;
        }
    }

    // The window as the program makes it, with the images as its drives.
    InstallPlatformServices(options);
    CMainFrame frame;
    frame.LoadFrame();
    frame.resize(800, 600);
    frame.show();
    QApplication::processEvents();

    const std::string out = work + "/out";
    const std::string log = work + "/cli.log";
    const std::string copied = out + "/file0000";
    auto check = [&](const char* who, uint32_t record) {
        if (!SameBytes(copied, payload)) {
            std::fprintf(stderr, "%s: the load of %u-byte records copied different bytes\n", who, record);
            fs::remove_all(work);
            std::exit(1);
        }
    };

    std::printf("%zu MiB in one tape file on %s, %d rounds (medians)\n", sizeMiB, work.c_str(), rounds);
    std::printf("%-8s %10s %10s %22s %11s\n", "record", "cli (s)", "window (s)", "window/cli throughput",
                "engine (s)");
    for (size_t i = 0; i < std::size(records); ++i) {
        const std::string& image = options.tapeImages[i];
        FreshDir(out);
        WindowLoad(frame, static_cast<int>(i), out);
        check("window", records[i]);
        FreshDir(out);
        CliLoad(cli, image, out, log);
        check("cli", records[i]);

        std::vector<double> window, command, engine;
        for (int round = 0; round < rounds; ++round) {
            FreshDir(out);
            engine.push_back(EngineLoad(static_cast<int>(i), out));
            check("engine", records[i]);
            FreshDir(out);
            window.push_back(WindowLoad(frame, static_cast<int>(i), out));
            check("window", records[i]);
            FreshDir(out);
            command.push_back(CliLoad(cli, image, out, log));
            check("cli", records[i]);
        }
        const double w = Median(window), c = Median(command);
        char label[16];
        if (records[i] >= 1024) {
            std::snprintf(label, sizeof label, "%u KiB", records[i] >> 10);
        } else {
            std::snprintf(label, sizeof label, "%u B", records[i]);
        }
        std::printf("%-8s %10.3f %10.3f %22.2f %11.3f\n", label, c, w, c / w, Median(engine));
        std::fflush(stdout);
    }
    if (frame.GetPaneText(0) != QStringLiteral("Ready")) {
        std::printf("note: the status pane shows \"%s\" after the last load\n", qPrintable(frame.GetPaneText(0)));
    }
    fs::remove_all(work);
    return 0;
}
