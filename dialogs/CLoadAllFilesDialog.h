// The dialog that sets up a load: target folder, file name base and file selection.
#pragma once
#include <QDialog>

#include <functional>
#include <map>
#include <string>

class QLineEdit;

class CLoadAllFilesDialog : public QDialog {
public:
    explicit CLoadAllFilesDialog(QWidget* parent = nullptr);

    std::string m_strFileBase;
    std::string m_strPath;
    std::string m_strSelection = "*";
    bool m_bBag = false;             // "Make the folder a BagIt bag" (LoadOptions::bag)
    bool m_bNameFromLabels = false;  // "Name files after tape labels"

    QWidget* GetDlgItem(int id) const;
    QLineEdit* GetEdit(int id) const;

    // Picks a folder for OnBrowse: false when the user cancelled. The default asks with a
    // folder browser; tests put their own in place.
    using FolderBrowser = std::function<bool(QWidget* owner, const QString& title, std::string& path)>;
    static void SetFolderBrowserForTesting(FolderBrowser browser);

    // Fills the edits from the members; the focus goes to the first tab stop.
    void OnInitDialog();
    // Moves the three values between the members and the edits (1002, 1000, 1005), and the
    // two check boxes (1006, 1007).
    void DoDataExchange(bool saveAndValidate);
    void OnBrowse();
    // The Load button: closes only with a valid selection.
    void OnOK();

    int exec() override;

private:
    std::map<int, QWidget*> m_controls;
};
