#include "dialogs/TapeImageFileDialog.h"

#include <QFileDialog>

namespace {

const char* const kTitle = "Save tape image";

// The folder to start in travels in path.
bool ChooseWithSaveDialog(QWidget* owner, const QString& title, std::string& path)
{
    const QString chosen = QFileDialog::getSaveFileName(owner, title, QString::fromLocal8Bit(path),
                                                        QStringLiteral("SIMH tape images (*.tap);;All files (*)"));
    if (chosen.isEmpty())
        return false;
    path = chosen.toLocal8Bit().toStdString();
    return true;
}

TapeImageFileChooser& Chooser()
{
    static TapeImageFileChooser chooser = ChooseWithSaveDialog;
    return chooser;
}

} // namespace

bool AskTapeImageFile(QWidget* owner, const std::string& folder, std::string& path)
{
    std::string chosen = folder;
    if (!Chooser()(owner, QString::fromLatin1(kTitle), chosen) || chosen.empty() || chosen.back() == '/')
        return false;
    path = chosen;
    return true;
}

void SetTapeImageFileChooserForTesting(TapeImageFileChooser chooser)
{
    Chooser() = chooser ? std::move(chooser) : TapeImageFileChooser(ChooseWithSaveDialog);
}
