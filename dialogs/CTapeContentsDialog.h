// The files a scan found on the tape (Tools > "Tape contents..."), a row each with a check
// box: OK turns the ticked ones into the selection the next load offers. It draws rows the
// frame reads from the scan's report (tape/TapeContents.h); the selection text comes from
// the grammar's FileSelectionText.
#pragma once
#include "tape/TapeContents.h"

#include <QDialog>

#include <cstdint>
#include <string>
#include <vector>

class QPushButton;
class QTableWidget;

class CTapeContentsDialog : public QDialog {
public:
    CTapeContentsDialog(std::vector<TapeContentsRow> rows, QWidget* parent = nullptr);

    // Set by OK: the ticked files, as "0-2,5".
    std::string m_strSelection;

    QTableWidget* GetTable() const { return m_pTable; }
    QPushButton* GetOkButton() const { return m_pOk; }
    // The tape file numbers of the ticked rows, in the list's order.
    std::vector<int32_t> TickedFiles() const;
    void OnOK();

private:
    std::vector<TapeContentsRow> m_rows;
    QTableWidget* m_pTable = nullptr;
    QPushButton* m_pOk = nullptr;
};
