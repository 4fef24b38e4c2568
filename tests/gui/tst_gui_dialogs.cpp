// The load-files and choose-tape dialogs on their own: template layout and tab order, the
// selection check, browsing, and the position the device list returns.
#include "dialogs/CChooseTapeDlg.h"
#include "dialogs/CLoadAllFilesDialog.h"
#include "dialogs/CTapeContentsDialog.h"
#include "platform/DeviceNamespace.h"
#include "platform/SimhTapeWriter.h"
#include "tape/TapeJob.h"
#include "tape/TapeJobList.h"
#include "res/Resource.h"
#include "tests/common/TestSupport.h"
#include "tests/gui/GuiTestSupport.h"

#include <QComboBox>
#include <QFileDialog>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>

namespace {

QPushButton* Button(QDialog& dialog, QWidget* item)
{
    (void)dialog;
    return static_cast<QPushButton*>(item);
}

// Clicks Load; when the selection is refused, answers the message box and returns its
// caption and text.
QString ClickLoad(CLoadAllFilesDialog& dialog, QString* caption = nullptr)
{
    QString text;
    auto answer = ModalAnswer::When<QMessageBox>(
        [&](QMessageBox* box) {
            text = box->text();
            if (caption) {
                *caption = box->windowTitle();
            }
            box->button(QMessageBox::Ok)->click();
        },
        2000);
    QTest::mouseClick(Button(dialog, dialog.GetDlgItem(IDOK)), Qt::LeftButton);
    return text;
}

std::unique_ptr<CLoadAllFilesDialog> OpenLoadDialog(const std::string& path, const std::string& base,
                                                    const std::string& selection)
{
    auto dialog = std::make_unique<CLoadAllFilesDialog>();
    dialog->m_strPath = path;
    dialog->m_strFileBase = base;
    dialog->m_strSelection = selection;
    dialog->OnInitDialog();
    dialog->show();
    return dialog;
}

} // namespace

class TestGuiDialogs : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { CLoadAllFilesDialog::SetFolderBrowserForTesting({}); }

    void loadDialogFollowsItsTemplate()
    {
        CLoadAllFilesDialog dialog;
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Load files from tape"));
        DialogBaseUnits units;
        CLoadAllFilesDialog probe;
        CreateDialogControls(probe, LoadAllFilesDialogResource(), &units);
        QCOMPARE(dialog.size(), QSize(units.X(319), units.Y(150)));
        QCOMPARE(dialog.GetDlgItem(IDOK)->geometry(), QRect(units.X(102), units.Y(129), units.X(50), units.Y(14)));
        QCOMPARE(dialog.GetDlgItem(IDC_PATH)->geometry().topLeft(), QPoint(units.X(14), units.Y(26)));
        QCOMPARE(dialog.GetDlgItem(IDC_BROWSE)->geometry().topLeft(), QPoint(units.X(295), units.Y(26)));
        QVERIFY(Button(dialog, dialog.GetDlgItem(IDOK))->isDefault());
        QCOMPARE(Button(dialog, dialog.GetDlgItem(IDOK))->text(), QStringLiteral("Load"));
        QCOMPARE(Button(dialog, dialog.GetDlgItem(IDC_BROWSE))->text(), QStringLiteral("..."));
        QStringList labels;
        for (QLabel* label : dialog.findChildren<QLabel*>()) {
            labels << label->text();
        }
        QCOMPARE(labels, (QStringList{"Path to save loaded files", "File name base",
                                      "Select files (Syntax : * or 0-1,5, 7-8 (index begining with zero) )"}));
        // the units follow the font: a quarter of the average width, an eighth of the height
        QFontMetrics metrics(dialog.font());
        QCOMPARE(units.cy, metrics.height());
        QVERIFY(units.cx > 0 && units.cx < metrics.height());
    }

    // The dialog opens in its first field and tabs through the fields as they stand, then
    // Load and Cancel; each field is named by the label above it.
    void loadDialogOpensInItsFirstFieldAndTabsThroughTheFieldsThenTheButtons()
    {
        auto dialog = OpenLoadDialog("/p", "b", "*");
        QVERIFY(QTest::qWaitForWindowActive(dialog.get()));
        QCOMPARE(QApplication::focusWidget(), dialog->GetDlgItem(IDC_PATH));
        const int order[] = {IDC_BROWSE, IDC_FILE_BASE, IDC_SELECTION, IDC_BAG, IDC_NAME_FROM_LABELS, IDOK, IDCANCEL,
                             IDC_PATH};
        for (int id : order) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget(), dialog->GetDlgItem(id));
        }
        QCOMPARE(dialog->GetEdit(IDC_PATH)->accessibleName(), QStringLiteral("Path to save loaded files"));
        QCOMPARE(dialog->GetEdit(IDC_FILE_BASE)->accessibleName(), QStringLiteral("File name base"));
        QCOMPARE(dialog->GetDlgItem(IDC_BROWSE)->accessibleName(), QStringLiteral("Browse"));
        for (QLabel* label : dialog->findChildren<QLabel*>())
            QVERIFY2(label->buddy() != nullptr, qPrintable(label->text()));
    }

    // An empty base, or one that is only folders, would name the files "0000", ".json" and
    // ".sha256": refused, the dialog stays open on the base.
    void emptyFileBaseIsRefused()
    {
        for (const QString& base : {QString(), QStringLiteral("sub/")}) {
            auto dialog = OpenLoadDialog("/p", "b", "*");
            dialog->GetEdit(IDC_FILE_BASE)->setText(base);
            QString caption;
            const QString text = ClickLoad(*dialog, &caption);
            QVERIFY2(text.startsWith(QStringLiteral("The file name base ")), qPrintable(text));
            QVERIFY(dialog->isVisible());
            QCOMPARE(dialog->focusWidget(), dialog->GetEdit(IDC_FILE_BASE));
            QCOMPARE(dialog->m_strFileBase, std::string("b"));
        }
    }

    void invalidSelectionKeepsTheDialogOpenWithTheTextSelected_data()
    {
        QTest::addColumn<QString>("selection");
        QTest::newRow("empty") << QString();
        QTest::newRow("open range") << QStringLiteral("1-");
        QTest::newRow("letters") << QStringLiteral("a");
    }
    void invalidSelectionKeepsTheDialogOpenWithTheTextSelected()
    {
        QFETCH(QString, selection);
        auto dialog = OpenLoadDialog("/old/path", "old", "*");
        dialog->GetEdit(IDC_PATH)->setText(QStringLiteral("/new/path"));
        dialog->GetEdit(IDC_SELECTION)->setText(selection);
        QString caption;
        QCOMPARE(ClickLoad(*dialog, &caption), QStringLiteral("Invalid selection string syntax"));
        QCOMPARE(caption, QStringLiteral("Kellovaran"));
        QVERIFY(dialog->isVisible());
        QCOMPARE(dialog->result(), 0);
        QLineEdit* edit = dialog->GetEdit(IDC_SELECTION);
        QCOMPARE(dialog->focusWidget(), edit);
        QCOMPARE(edit->selectedText(), selection);
        QCOMPARE(edit->text(), selection);
        QCOMPARE(dialog->GetEdit(IDC_PATH)->text(), QStringLiteral("/new/path"));
        QCOMPARE(dialog->m_strPath, std::string("/old/path"));
        QCOMPARE(dialog->m_strSelection, std::string("*"));
    }

    void validSelectionClosesWithTheEditedValues_data()
    {
        QTest::addColumn<QString>("selection");
        QTest::newRow("star with blanks") << QStringLiteral(" * ");
        QTest::newRow("list") << QStringLiteral("0-1,5, 7-8");
    }
    void validSelectionClosesWithTheEditedValues()
    {
        QFETCH(QString, selection);
        auto dialog = OpenLoadDialog("/old", "old", "*");
        dialog->GetEdit(IDC_PATH)->setText(QString());
        dialog->GetEdit(IDC_FILE_BASE)->setText(QStringLiteral("new"));
        dialog->GetEdit(IDC_SELECTION)->setText(selection);
        QCOMPARE(ClickLoad(*dialog), QString());
        QCOMPARE(dialog->result(), int(QDialog::Accepted));
        QVERIFY(!dialog->isVisible());
        QCOMPARE(dialog->m_strPath, std::string());
        QCOMPARE(dialog->m_strFileBase, std::string("new"));
        QCOMPARE(dialog->m_strSelection, selection.toStdString());
    }

    void checkBoxesShowAndTakeTheLoadOptions()
    {
        auto dialog = std::make_unique<CLoadAllFilesDialog>();
        dialog->m_bNameFromLabels = true;
        dialog->m_strFileBase = "file";
        dialog->OnInitDialog();
        dialog->show();
        auto* bag = qobject_cast<QCheckBox*>(dialog->GetDlgItem(IDC_BAG));
        auto* names = qobject_cast<QCheckBox*>(dialog->GetDlgItem(IDC_NAME_FROM_LABELS));
        QVERIFY(bag && names);
        QVERIFY(!bag->isChecked());
        QVERIFY(names->isChecked());
        QTest::mouseClick(bag, Qt::LeftButton, {}, QPoint(4, bag->height() / 2));
        QTest::mouseClick(names, Qt::LeftButton, {}, QPoint(4, names->height() / 2));
        QCOMPARE(ClickLoad(*dialog), QString());
        QVERIFY(dialog->m_bBag);
        QVERIFY(!dialog->m_bNameFromLabels);
    }

    void cancelLeavesTheMembers()
    {
        auto dialog = OpenLoadDialog("/old", "old", "2");
        dialog->GetEdit(IDC_PATH)->setText(QStringLiteral("/new"));
        dialog->GetEdit(IDC_SELECTION)->setText(QStringLiteral("3"));
        QTest::mouseClick(Button(*dialog, dialog->GetDlgItem(IDCANCEL)), Qt::LeftButton);
        QCOMPARE(dialog->result(), int(QDialog::Rejected));
        QCOMPARE(dialog->m_strPath, std::string("/old"));
        QCOMPARE(dialog->m_strSelection, std::string("2"));
    }

    void cancelledFolderBrowserChangesNothing()
    {
        auto dialog = OpenLoadDialog("/old", "old", "*");
        dialog->GetEdit(IDC_FILE_BASE)->setText(QStringLiteral("typed"));
        auto answer = ModalAnswer::When<QFileDialog>([](QFileDialog* browser) {
            QCOMPARE(browser->windowTitle(), QStringLiteral("Select directory to store files"));
            browser->reject();
        });
        QTest::mouseClick(Button(*dialog, dialog->GetDlgItem(IDC_BROWSE)), Qt::LeftButton);
        QVERIFY(answer->Answered());
        QCOMPARE(dialog->GetEdit(IDC_PATH)->text(), QStringLiteral("/old"));
        QCOMPARE(dialog->GetEdit(IDC_FILE_BASE)->text(), QStringLiteral("typed"));
        QCOMPARE(dialog->m_strPath, std::string("/old"));
    }

    void chosenFolderShowsInThePathEditOnly()
    {
        // the folder browser answers through the test's stand-in: the real one fills its
        // list in the background, so what it returns on an immediate accept varies
        QString title;
        CLoadAllFilesDialog::SetFolderBrowserForTesting([&](QWidget*, const QString& caption, std::string& path) {
            title = caption;
            path = "/chosen/folder";
            return true;
        });
        auto dialog = OpenLoadDialog("/old", "old", "*");
        dialog->GetEdit(IDC_FILE_BASE)->setText(QStringLiteral("typed base"));
        dialog->GetEdit(IDC_SELECTION)->setText(QStringLiteral("4-5"));
        QTest::mouseClick(Button(*dialog, dialog->GetDlgItem(IDC_BROWSE)), Qt::LeftButton);
        QCOMPARE(title, QStringLiteral("Select directory to store files"));
        QCOMPARE(dialog->GetEdit(IDC_PATH)->text(), QStringLiteral("/chosen/folder"));
        QCOMPARE(dialog->GetEdit(IDC_FILE_BASE)->text(), QStringLiteral("typed base"));
        QCOMPARE(dialog->GetEdit(IDC_SELECTION)->text(), QStringLiteral("4-5"));
        // and Load takes the chosen folder
        QCOMPARE(ClickLoad(*dialog), QString());
        QCOMPARE(dialog->m_strPath, std::string("/chosen/folder"));
        QCOMPARE(dialog->m_strFileBase, std::string("typed base"));
    }

    void browserFailureChangesNothing()
    {
        CLoadAllFilesDialog::SetFolderBrowserForTesting([](QWidget*, const QString&, std::string&) { return false; });
        auto dialog = OpenLoadDialog("/old", "old", "*");
        QTest::mouseClick(Button(*dialog, dialog->GetDlgItem(IDC_BROWSE)), Qt::LeftButton);
        QCOMPARE(dialog->GetEdit(IDC_PATH)->text(), QStringLiteral("/old"));
        QCOMPARE(dialog->m_strPath, std::string("/old"));
    }

    // A scan of an image of four files (one of them empty) lists each of them; the ticks,
    // in any order, become the selection text.
    void tapeContentsListsAScannedImageAndTicksGiveTheSelection()
    {
        TempDir dir;
        SimhTapeWriter tape;
        QVERIFY(tape.Open(dir / "t.tap"));
        for (int file = 0; file < 4; ++file) {
            for (int block = 0; file != 2 && block <= file; ++block)
                tape.WriteRecord(std::string(512 * (file + 1), static_cast<char>('a' + block)));
            tape.WriteTapemark();
        }
        tape.WriteEndOfMedium();
        QVERIFY(tape.Close());
        DeviceNamespace::SetTapeImages({dir / "t.tap"});
        {
            RecordingNotify notify;
            TapeJobList jobs;
            TapeJob* job = jobs.AddJob(dir.path(), "scan", "*", 0, &jobs, &notify, TAPE_JOB_LOAD);
            job->m_loadOptions.scanOnly = true;
            job->RunLoad();
            QCOMPARE(job->m_nResult, TapeJobResult::Completed);
            jobs.RemoveJob(job);
        }
        DeviceNamespace::SetTapeImages({});
        QVERIFY(!FileExists(dir / "scan0000"));
        std::vector<TapeContentsRow> rows;
        std::string error;
        QVERIFY2(ReadTapeContents(dir / "scan.json", rows, error), error.c_str());

        CTapeContentsDialog dialog(rows);
        dialog.show();
        QTableWidget* table = dialog.GetTable();
        QCOMPARE(table->rowCount(), 4);
        QCOMPARE(table->item(3, 0)->text(), QStringLiteral("0003"));
        QCOMPARE(table->item(3, 1)->text(), QLocale().toString(4));
        QCOMPARE(table->item(3, 3)->text(), QLocale().toString(2048));
        QCOMPARE(table->item(2, 1)->text(), QStringLiteral("0"));
        QVERIFY(!dialog.GetOkButton()->isEnabled());  // nothing ticked yet
        for (int row : {3, 0, 1})
            table->item(row, 0)->setCheckState(Qt::Checked);
        QVERIFY(dialog.GetOkButton()->isEnabled());
        QTest::mouseClick(dialog.GetOkButton(), Qt::LeftButton);
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(dialog.m_strSelection, std::string("0,1,3"));
    }

    void chooseTapeFollowsItsTemplate()
    {
        CChooseTapeDlg dialog;
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Choose tape device"));
        QVERIFY(dialog.m_cbDevice);
        QVERIFY(!dialog.m_cbDevice->isEditable());
        QCOMPARE(Button(dialog, dialog.GetDlgItem(IDOK))->text(), QStringLiteral("OK"));
        QVERIFY(Button(dialog, dialog.GetDlgItem(IDOK))->isDefault());
        QCOMPARE(dialog.m_nDevice, 0);
    }

    void chooseTapeKeepsTheCallersOrder()
    {
        CChooseTapeDlg dialog;
        dialog.m_astrDevices = {"[0:9] -- V -- P9", "[0:10] -- V -- P10", "[0:2] -- V -- P2"};
        dialog.m_nDevice = 1;
        dialog.OnInitDialog();
        QCOMPARE(dialog.m_cbDevice->count(), 3);
        QCOMPARE(dialog.m_cbDevice->itemText(0), QStringLiteral("[0:9] -- V -- P9"));
        QCOMPARE(dialog.m_cbDevice->itemText(1), QStringLiteral("[0:10] -- V -- P10"));
        QCOMPARE(dialog.m_cbDevice->itemText(2), QStringLiteral("[0:2] -- V -- P2"));
        QCOMPARE(dialog.m_cbDevice->currentIndex(), 1);
        dialog.show();
        QTest::mouseClick(Button(dialog, dialog.GetDlgItem(IDOK)), Qt::LeftButton);
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(dialog.m_nDevice, 1);
    }

    void chooseTapeOutOfRangeOrEmptyGivesZero_data()
    {
        QTest::addColumn<int>("entries");
        QTest::addColumn<int>("device");
        QTest::newRow("equal to the count") << 4 << 4;
        QTest::newRow("far beyond") << 4 << 100;
        QTest::newRow("negative") << 2 << -3;
        QTest::newRow("empty list") << 0 << 0;
    }
    void chooseTapeOutOfRangeOrEmptyGivesZero()
    {
        QFETCH(int, entries);
        QFETCH(int, device);
        CChooseTapeDlg dialog;
        for (int i = 0; i < entries; ++i) {
            dialog.m_astrDevices.push_back("TAPE" + std::to_string(i));
        }
        dialog.m_nDevice = device;
        dialog.OnInitDialog();
        QCOMPARE(dialog.m_cbDevice->currentIndex(), -1);
        dialog.show();
        QTest::mouseClick(Button(dialog, dialog.GetDlgItem(IDOK)), Qt::LeftButton);
        QCOMPARE(dialog.m_nDevice, 0);
    }

    void chooseTapeCancelKeepsThePosition()
    {
        CChooseTapeDlg dialog;
        dialog.m_astrDevices = {"TAPE0", "TAPE1", "TAPE2", "TAPE3"};
        dialog.m_nDevice = 3;
        dialog.OnInitDialog();
        dialog.show();
        dialog.m_cbDevice->setCurrentIndex(0);
        QTest::mouseClick(Button(dialog, dialog.GetDlgItem(IDCANCEL)), Qt::LeftButton);
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
        QCOMPARE(dialog.m_nDevice, 3);
    }

    void chooseTapeEscapeIsCancel()
    {
        CChooseTapeDlg dialog;
        dialog.m_astrDevices = {"TAPE0", "TAPE1"};
        dialog.m_nDevice = 1;
        auto answer = ModalAnswer::When<CChooseTapeDlg>([](CChooseTapeDlg* shown) {
            shown->m_cbDevice->setCurrentIndex(0);
            QTest::keyClick(shown, Qt::Key_Escape);
        });
        QCOMPARE(dialog.exec(), int(QDialog::Rejected));
        QVERIFY(answer->Answered());
        QCOMPARE(dialog.m_nDevice, 1);
    }
};

QTEST_MAIN(TestGuiDialogs)
#include "tst_gui_dialogs.moc"
