// Where "Save tape image..." writes: a file chosen in the save dialog. The chooser is a seam,
// so the window tests can answer without a file dialog.
#pragma once
#include <QString>

#include <functional>
#include <string>

class QWidget;

// Asks for the image file, starting in folder; false when the user cancelled.
bool AskTapeImageFile(QWidget* owner, const std::string& folder, std::string& path);

// Replaces the chooser (an empty one puts the save dialog back); tests only.
using TapeImageFileChooser = std::function<bool(QWidget* owner, const QString& title, std::string& path)>;
void SetTapeImageFileChooserForTesting(TapeImageFileChooser chooser);
