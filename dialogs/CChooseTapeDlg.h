// The dialog that chooses the current tape device from a list of entry texts. It returns a
// position in that list and knows nothing of devices.
#pragma once
#include <QDialog>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

class QComboBox;

class CChooseTapeDlg : public QDialog {
public:
    explicit CChooseTapeDlg(QWidget* parent = nullptr);

    QComboBox* m_cbDevice = nullptr;
    std::vector<std::string> m_astrDevices;
    int32_t m_nDevice = 0;

    QWidget* GetDlgItem(int id) const;

    void OnInitDialog();
    // Reads the chosen position; no selection counts as the first entry.
    void DoDataExchange(bool saveAndValidate);
    void OnOK();

    int exec() override;

private:
    std::map<int, QWidget*> m_controls;
};
