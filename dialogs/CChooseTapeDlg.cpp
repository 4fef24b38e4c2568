#include "dialogs/CChooseTapeDlg.h"

#include "res/Resource.h"

#include <QComboBox>
#include <QPushButton>

CChooseTapeDlg::CChooseTapeDlg(QWidget* parent) : QDialog(parent)
{
    m_controls = CreateDialogControls(*this, ChooseTapeDialogResource());
    m_cbDevice = qobject_cast<QComboBox*>(GetDlgItem(IDC_DEVICE));
    connect(static_cast<QPushButton*>(GetDlgItem(IDOK)), &QPushButton::clicked, this, [this] { OnOK(); });
    connect(static_cast<QPushButton*>(GetDlgItem(IDCANCEL)), &QPushButton::clicked, this, &QDialog::reject);
}

QWidget* CChooseTapeDlg::GetDlgItem(int id) const
{
    auto it = m_controls.find(id);
    return it == m_controls.end() ? nullptr : it->second;
}

void CChooseTapeDlg::OnInitDialog()
{
    m_cbDevice->clear();
    // In the caller's order, unsorted: a position in the list is a position in m_astrDevices.
    for (const std::string& entry : m_astrDevices) {
        m_cbDevice->addItem(QString::fromLocal8Bit(entry));
    }
    const bool inside = m_nDevice >= 0 && m_nDevice < m_cbDevice->count();
    m_cbDevice->setCurrentIndex(inside ? m_nDevice : -1);
    GetDlgItem(IDOK)->setFocus(Qt::TabFocusReason);
}

void CChooseTapeDlg::DoDataExchange(bool saveAndValidate)
{
    if (saveAndValidate) {
        const int selected = m_cbDevice->currentIndex();
        m_nDevice = selected < 0 ? 0 : selected;
    }
}

void CChooseTapeDlg::OnOK()
{
    DoDataExchange(true);
    accept();
}

int CChooseTapeDlg::exec()
{
    OnInitDialog();
    return QDialog::exec();
}
