// The tape image choosers: where "Save tape image..." writes (a file and a type chosen in the
// save dialog), and the image "Validate tape image..." and "Open tape image..." read. The
// choosers are seams, so the window tests can answer without a file dialog.
#pragma once
#include <QString>

#include <cstddef>
#include <functional>
#include <string>

class QWidget;

// Asks for the image file, starting in folder, and its type (a position in
// SaveImageFileTypes(): the one offered on the way in, the one chosen on the way out); the
// name gets the type's extension when it has none. False when the user cancelled.
bool AskTapeImageFile(QWidget* owner, const std::string& folder, std::string& path, size_t& type);

// Replaces the chooser (an empty one puts the save dialog back); tests only. path carries
// the folder in and the name out, type as for AskTapeImageFile.
using TapeImageFileChooser =
    std::function<bool(QWidget* owner, const QString& title, std::string& path, size_t& type)>;
void SetTapeImageFileChooserForTesting(TapeImageFileChooser chooser);

// Asks for an existing tape image to read, starting in folder, under title ("Validate tape
// image", "Open tape image"); false when the user cancelled.
bool AskTapeImageToRead(QWidget* owner, const QString& title, const std::string& folder, std::string& path);

// Replaces that chooser (an empty one puts the open dialog back); tests only.
using TapeImageReadChooser = std::function<bool(QWidget* owner, const QString& title, std::string& path)>;
void SetTapeImageReadChooserForTesting(TapeImageReadChooser chooser);
