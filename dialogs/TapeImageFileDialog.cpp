#include "dialogs/TapeImageFileDialog.h"

#include "dialogs/ImageFileTypes.h"

#include <QFileDialog>
#include <QStringList>

namespace {

const char* const kTitle = "Save tape image";

// The folder to start in travels in path; the type offered first and the one chosen in type.
bool ChooseWithSaveDialog(QWidget* owner, const QString& title, std::string& path, size_t& type)
{
    const auto& types = SaveImageFileTypes();
    QStringList filters;
    for (const ImageFileType& entry : types)
        filters << QString::fromStdString(ImageFileTypeFilter(entry));
    QString selected = filters.value(static_cast<qsizetype>(type < types.size() ? type : 0));
    const QString chosen = QFileDialog::getSaveFileName(owner, title, QString::fromLocal8Bit(path),
                                                        filters.join(QStringLiteral(";;")), &selected);
    if (chosen.isEmpty())
        return false;
    // Two types share ".het": the filter's whole text tells them apart.
    const qsizetype index = filters.indexOf(selected);
    if (index >= 0)
        type = static_cast<size_t>(index);
    path = chosen.toLocal8Bit().toStdString();
    return true;
}

bool ChooseWithOpenDialog(QWidget* owner, const QString& title, std::string& path)
{
    const QString chosen = QFileDialog::getOpenFileName(
        owner, title, QString::fromLocal8Bit(path),
        QStringLiteral("Tape images (*.tap *.e11 *.aws *.het *.tpc);;All files (*)"));
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

TapeImageReadChooser& ReadChooser()
{
    static TapeImageReadChooser chooser = ChooseWithOpenDialog;
    return chooser;
}

} // namespace

bool AskTapeImageFile(QWidget* owner, const std::string& folder, std::string& path, size_t& type)
{
    const auto& types = SaveImageFileTypes();
    std::string chosen = folder;
    size_t chosenType = type < types.size() ? type : 0;
    if (!Chooser()(owner, QString::fromLatin1(kTitle), chosen, chosenType) || chosen.empty() || chosen.back() == '/')
        return false;
    if (chosenType >= types.size())
        return false;
    type = chosenType;
    path = WithImageExtension(chosen, types[type]);
    return true;
}

void SetTapeImageFileChooserForTesting(TapeImageFileChooser chooser)
{
    Chooser() = chooser ? std::move(chooser) : TapeImageFileChooser(ChooseWithSaveDialog);
}

bool AskTapeImageToRead(QWidget* owner, const QString& title, const std::string& folder, std::string& path)
{
    std::string chosen = folder;
    if (!ReadChooser()(owner, title, chosen) || chosen.empty() || chosen.back() == '/')
        return false;
    path = chosen;
    return true;
}

void SetTapeImageReadChooserForTesting(TapeImageReadChooser chooser)
{
    ReadChooser() = chooser ? std::move(chooser) : TapeImageReadChooser(ChooseWithOpenDialog);
}
