// Renders the main window (idle and in the middle of a load) and both dialogs to PNG files,
// for looking at the program without a display. Run through tools/screenshots/screenshots.sh.
#include "app/MainFrame.h"
#include "dialogs/CChooseTapeDlg.h"
#include "dialogs/CLoadAllFilesDialog.h"
#include "testsupport/SimulatedAspiBus.h"
#include "view/ChildView.h"

#include <QApplication>
#include <QDir>
#include <QPixmap>

#include <cstdio>
#include <cstring>
#include <memory>

namespace {

bool Save(QWidget& widget, const QString& directory, const char* name)
{
    widget.show();
    QApplication::processEvents();
    const QString path = QDir(directory).filePath(QString::fromLatin1(name));
    if (!widget.grab().save(path)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

void Post(CChildView& view, uint32_t message, const void* data, size_t size)
{
    TaskMemBlock block = TaskMemBlock::Alloc(size);
    std::memcpy(block.data(), data, size);
    view.Send(message, std::move(block));
}

void PostText(CChildView& view, const std::string& text)
{
    Post(view, UM_LOG_TEXT, text.c_str(), text.size() + 1);
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    const QString directory = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
    QDir().mkpath(directory);

    // Two drives on a simulated bus, so the title and the device list look as on a machine.
    auto bus = std::make_shared<SimulatedAspiBus>();
    bus->adapters.resize(1);
    bus->adapters[0].units[3] = SimulatedUnit::Tape("ACME", "DLT 8000");
    bus->adapters[0].units[5] = SimulatedUnit::Tape("QUANTUM", "SDLT320");
    RegisterSimulatedAspi(bus);

    CMainFrame frame;
    if (!frame.LoadFrame()) {
        return 1;
    }
    frame.resize(900, 560);
    bool ok = Save(frame, directory, "main-idle.png");

    CChildView& view = *frame.GetView();
    PostText(view, "[00][TAPE0] -- Determing wether variable block mode is supported\n");
    PostText(view, "[00][TAPE0] -- Variable block mode is supported\n\n");
    PostText(view, "[00][TAPE0] -- Rewinding\n\n");
    PostText(view, std::string(102, '*') + "\n");
    PostText(view, "[00][TAPE0] -- Trying read file number 0000 from tape to disk file '/data/tapes/file0000'\n\n");
    TapeCounters counters{1234, 56, 4096, 128, 0};
    Post(view, UM_COUNTERS, &counters, sizeof counters);
    ok = Save(frame, directory, "main-loading.png") && ok;

    CLoadAllFilesDialog load(&frame);
    load.m_strPath = "/data/tapes";
    load.m_strFileBase = "file";
    load.m_strSelection = "0-1,5, 7-8";
    load.OnInitDialog();
    ok = Save(load, directory, "dialog-load-files.png") && ok;
    load.hide();

    CChooseTapeDlg choose(&frame);
    choose.m_astrDevices = frame.GetDeviceEntries();
    choose.m_nDevice = 1;
    choose.OnInitDialog();
    ok = Save(choose, directory, "dialog-choose-tape.png") && ok;
    choose.hide();
    return ok ? 0 : 1;
}
