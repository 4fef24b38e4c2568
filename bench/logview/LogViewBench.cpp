// Times the log view's append over the texts of a 10 000-file load: the load runs once on
// a virtual drive with its texts recorded, then every text is appended to a shown view
// as the job messages would do it. Prints the mean time per append over the first and
// the last thousand appends; they should be about equal.
//
// Usage: QT_QPA_PLATFORM=offscreen bench_logview [FILES]
#include "app/MainFrame.h"
#include "platform/DeviceNamespace.h"
#include "platform/SimhTapeWriter.h"
#include "tape/TapeJob.h"
#include "tape/TapeJobList.h"
#include "testsupport/SimulatedAspiBus.h"
#include "view/ChildView.h"

#include <QApplication>
#include <QTemporaryDir>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace {

class TextRecorder : public NotifyWindow {
public:
    void Send(uint32_t message, TaskMemBlock block) override
    {
        if (message == UM_LOG_TEXT && block) {
            std::lock_guard lock(m_lock);
            texts.emplace_back(block.data(), strnlen(block.data(), block.size()));
        }
    }
    std::mutex m_lock;
    std::vector<std::string> texts;
};

using Clock = std::chrono::steady_clock;

double MicrosPer(Clock::duration total, size_t count)
{
    return std::chrono::duration<double, std::micro>(total).count() / static_cast<double>(count);
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    const int files = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10000;
    QTemporaryDir dir;
    if (!dir.isValid()) {
        std::fprintf(stderr, "no temporary directory\n");
        return 1;
    }
    const std::string root = dir.path().toStdString();

    // The load's texts, as the engine writes them for a tape of that many small files.
    std::vector<std::vector<std::string>> tape(files, std::vector<std::string>{std::string(512, 'x')});
    std::string error;
    if (!WriteTapeImage(root + "/bench.tap", tape, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    DeviceNamespace::SetTapeImages({root + "/bench.tap"});
    TextRecorder recorder;
    {
        TapeJobList list;
        TapeJob* job = list.AddJob(root + "/out", "file", "*", 0, &list, &recorder, TAPE_JOB_LOAD);
        LoadThreadProc(job);
    }
    const std::vector<std::string>& texts = recorder.texts;
    const size_t window = std::min<size_t>(1000, texts.size() / 2);
    if (window == 0) {
        std::fprintf(stderr, "the load wrote too few texts\n");
        return 1;
    }

    UnregisterAspiProvider();
    CMainFrame frame;
    frame.LoadFrame();
    frame.resize(900, 600);
    frame.show();
    QApplication::processEvents();
    CChildView& view = *frame.GetView();

    // Each append is timed on its own; the window repaints between appends as it would
    // while a job waits for each message.
    Clock::duration first{}, last{}, all{};
    const size_t bucket = 10000;
    Clock::duration inBucket{};
    std::vector<double> buckets;
    for (size_t i = 0; i < texts.size(); ++i) {
        const auto start = Clock::now();
        view.AppendLogText(texts[i].c_str());
        const auto took = Clock::now() - start;
        all += took;
        inBucket += took;
        if ((i + 1) % bucket == 0) {
            buckets.push_back(MicrosPer(inBucket, bucket));
            inBucket = {};
        }
        if (i < window) {
            first += took;
        } else if (i >= texts.size() - window) {
            last += took;
        }
        if (i % 64 == 0) {
            QApplication::processEvents();
        }
    }
    std::printf("files %d, appends %zu, log lines %d\n", files, texts.size(), view.GetLineCount());
    std::printf("first %zu appends: %.2f us per append\n", window, MicrosPer(first, window));
    std::printf("last  %zu appends: %.2f us per append\n", window, MicrosPer(last, window));
    std::printf("all appends: %.2f us per append\n", MicrosPer(all, texts.size()));
    std::printf("per %zu appends (us per append):", bucket);
    for (double micros : buckets) {
        std::printf(" %.1f", micros);
    }
    std::printf("\n");
    return 0;
}
