// Times the log view's append over the texts of a 10 000-file load: the load runs once on
// a virtual drive with its texts recorded, then every text is appended to a shown view
// as the job messages would do it. Prints the mean time per append over the first and
// the last thousand appends; they should be about equal.
//
// With LINES the load's texts are sent again and again, in the same batches and from a
// worker as a load sends them, until the log holds that many lines (a million lines take a
// load far longer than the bench should run). One repaint of the view is timed as the log
// grows: it should not grow with it.
//
// Usage: QT_QPA_PLATFORM=offscreen bench_logview [FILES [LINES]]
#include "app/MainFrame.h"
#include "platform/DeviceNamespace.h"
#include "platform/SimhTapeWriter.h"
#include "tape/TapeJob.h"
#include "tape/TapeJobList.h"
#include "testsupport/SimulatedAspiBus.h"
#include "view/ChildView.h"

#include <QApplication>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
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
    const long lines = argc > 2 ? std::max(1L, std::atol(argv[2])) : 0;
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
    std::vector<std::string> texts = recorder.texts;
    if (lines > 0) {
        size_t recorded = 0;
        for (const std::string& text : texts) {
            recorded += static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
        }
        const size_t rounds = recorded == 0 ? 1 : (static_cast<size_t>(lines) + recorded - 1) / recorded;
        for (size_t round = 1; round < rounds; ++round) {
            texts.insert(texts.end(), recorder.texts.begin(), recorder.texts.end());
        }
    }
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
    // A repaint with the log as it stands; the paint pause of a running job is cut short.
    const auto timePaint = [&view] {
        view.setUpdatesEnabled(true);
        view.viewport()->setUpdatesEnabled(true);
        const auto start = Clock::now();
        view.viewport()->repaint();
        return MicrosPer(Clock::now() - start, 1);
    };

    Clock::duration first{}, last{}, all{};
    const size_t bucket = lines > 0 ? 100000 : 10000;
    Clock::duration inBucket{};
    std::vector<double> buckets;
    std::vector<double> paints;  // with LINES: one repaint after each bucket
    const auto note = [&](size_t i, Clock::duration took) {
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
    };
    if (lines == 0) {
        // Each append is timed on its own; the window repaints between appends as it
        // would while a job waits for each message.
        for (size_t i = 0; i < texts.size(); ++i) {
            const auto start = Clock::now();
            view.AppendLogText(texts[i].c_str());
            note(i, Clock::now() - start);
            if (i % 64 == 0) {
                QApplication::processEvents();
            }
        }
    } else {
        // As a load sends them: from a worker, each text waiting until the view has taken
        // it. The time per append is what the worker waits.
        std::atomic<size_t> sent{0};
        std::atomic<bool> done{false};
        std::thread worker([&] {
            for (size_t i = 0; i < texts.size(); ++i) {
                TaskMemBlock block = TaskMemBlock::Alloc(texts[i].size() + 1);
                std::memcpy(block.data(), texts[i].data(), texts[i].size());
                const auto start = Clock::now();
                view.Send(UM_LOG_TEXT, std::move(block));
                note(i, Clock::now() - start);
                sent = i + 1;
            }
            done = true;
        });
        QTimer wake;  // the loop below waits for events; this one comes at least every 10 ms
        wake.start(10);
        size_t nextPaint = 1000;
        while (!done) {
            QApplication::processEvents(QEventLoop::WaitForMoreEvents);
            if (sent >= nextPaint) {
                paints.push_back(timePaint());
                nextPaint = nextPaint == 1000 ? bucket : nextPaint + bucket;
            }
        }
        worker.join();
    }
    paints.push_back(timePaint());
    const auto saveStart = Clock::now();
    const size_t saved = view.toPlainText().toUtf8().size();
    const double saveMs = MicrosPer(Clock::now() - saveStart, 1000);
    std::printf("files %d, appends %zu, log lines %d\n", files, texts.size(), view.GetLineCount());
    std::printf("first %zu appends: %.2f us per append\n", window, MicrosPer(first, window));
    std::printf("last  %zu appends: %.2f us per append\n", window, MicrosPer(last, window));
    std::printf("all appends: %.2f us per append\n", MicrosPer(all, texts.size()));
    std::printf("per %zu appends (us per append):", bucket);
    for (double micros : buckets) {
        std::printf(" %.1f", micros);
    }
    std::printf("\n");
    std::printf("one repaint (us) after 1000 appends, every %zu and at the end:", bucket);
    for (double micros : paints) {
        std::printf(" %.0f", micros);
    }
    std::printf("\n");
    std::printf("whole text for the saved log: %zu bytes in %.0f ms\n", saved, saveMs);
    return 0;
}
