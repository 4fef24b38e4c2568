#include "dialogs/CLoadAllFilesDialog.h"

#include "res/Resource.h"
#include "selection/FileSelection.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>

namespace {

bool BrowseWithFileDialog(QWidget* owner, const QString& title, std::string& path)
{
    QFileDialog dialog(owner, title);
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    if (dialog.exec() != QDialog::Accepted) {
        return false;
    }
    const QStringList chosen = dialog.selectedFiles();
    if (chosen.isEmpty() || chosen.front().isEmpty()) {
        return false;  // nothing that is a folder of the file system
    }
    path = chosen.front().toLocal8Bit().toStdString();
    return true;
}

CLoadAllFilesDialog::FolderBrowser& Browser()
{
    static CLoadAllFilesDialog::FolderBrowser browser = BrowseWithFileDialog;
    return browser;
}

} // namespace

CLoadAllFilesDialog::CLoadAllFilesDialog(QWidget* parent) : QDialog(parent)
{
    m_controls = CreateDialogControls(*this, LoadAllFilesDialogResource());
    connect(static_cast<QPushButton*>(GetDlgItem(IDOK)), &QPushButton::clicked, this, [this] { OnOK(); });
    connect(static_cast<QPushButton*>(GetDlgItem(IDCANCEL)), &QPushButton::clicked, this, &QDialog::reject);
    connect(static_cast<QPushButton*>(GetDlgItem(IDC_BROWSE)), &QPushButton::clicked, this, [this] { OnBrowse(); });
}

void CLoadAllFilesDialog::SetFolderBrowserForTesting(FolderBrowser browser)
{
    Browser() = browser ? std::move(browser) : FolderBrowser(BrowseWithFileDialog);
}

QWidget* CLoadAllFilesDialog::GetDlgItem(int id) const
{
    auto it = m_controls.find(id);
    return it == m_controls.end() ? nullptr : it->second;
}

QLineEdit* CLoadAllFilesDialog::GetEdit(int id) const
{
    return qobject_cast<QLineEdit*>(GetDlgItem(id));
}

void CLoadAllFilesDialog::OnInitDialog()
{
    DoDataExchange(false);
    GetDlgItem(IDC_PATH)->setFocus(Qt::TabFocusReason);
}

void CLoadAllFilesDialog::DoDataExchange(bool saveAndValidate)
{
    const std::pair<int, std::string*> fields[] = {
        {IDC_FILE_BASE, &m_strFileBase}, {IDC_PATH, &m_strPath}, {IDC_SELECTION, &m_strSelection}};
    for (const auto& [id, member] : fields) {
        if (saveAndValidate) {
            *member = GetEdit(id)->text().toLocal8Bit().toStdString();
        } else {
            GetEdit(id)->setText(QString::fromLocal8Bit(*member));
        }
    }
    const std::pair<int, bool*> boxes[] = {{IDC_BAG, &m_bBag}, {IDC_NAME_FROM_LABELS, &m_bNameFromLabels}};
    for (const auto& [id, member] : boxes) {
        auto* box = qobject_cast<QCheckBox*>(GetDlgItem(id));
        if (saveAndValidate) {
            *member = box->isChecked();
        } else {
            box->setChecked(*member);
        }
    }
}

void CLoadAllFilesDialog::OnBrowse()
{
    std::string path;
    if (!Browser()(this, QStringLiteral("Select directory to store files"), path)) {
        return;
    }
    m_strPath = path;
    // Only the path edit is refreshed: what the user typed into the other two edits
    // before browsing stays as typed.
    GetEdit(IDC_PATH)->setText(QString::fromLocal8Bit(m_strPath));
}

void CLoadAllFilesDialog::OnOK()
{
    QLineEdit* selection = GetEdit(IDC_SELECTION);
    const std::string text = selection->text().toLocal8Bit().toStdString();
    if (!IsValidFileSelection(text.c_str())) {
        QMessageBox::warning(this, LoadResString(AFX_IDS_APP_TITLE), QStringLiteral("Invalid selection string syntax"),
                             QMessageBox::Ok);
        selection->setFocus(Qt::OtherFocusReason);
        selection->selectAll();
        return;
    }
    QLineEdit* base = GetEdit(IDC_FILE_BASE);
    if (const std::string problem = FileBaseProblem(base->text().toLocal8Bit().toStdString()); !problem.empty()) {
        QString text = QString::fromLocal8Bit(problem);
        text[0] = text[0].toUpper();
        QMessageBox::warning(this, LoadResString(AFX_IDS_APP_TITLE), text + QLatin1Char('.'), QMessageBox::Ok);
        base->setFocus(Qt::OtherFocusReason);
        base->selectAll();
        return;
    }
    DoDataExchange(true);
    accept();
}

int CLoadAllFilesDialog::exec()
{
    OnInitDialog();
    return QDialog::exec();
}
