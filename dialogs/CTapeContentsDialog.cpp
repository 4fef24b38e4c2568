#include "dialogs/CTapeContentsDialog.h"

#include "selection/FileSelection.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

namespace {

QTableWidgetItem* Cell(const QString& text, bool number)
{
    auto* item = new QTableWidgetItem(text);
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    if (number)
        item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
    return item;
}

} // namespace

CTapeContentsDialog::CTapeContentsDialog(std::vector<TapeContentsRow> rows, QWidget* parent)
    : QDialog(parent), m_rows(std::move(rows))
{
    setWindowTitle(QStringLiteral("Tape contents"));
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(QStringLiteral("Tick the files to load; OK makes them the selection of the next load.")));

    m_pTable = new QTableWidget(static_cast<int>(m_rows.size()), 6, this);
    m_pTable->setHorizontalHeaderLabels({QStringLiteral("File"), QStringLiteral("Blocks"), QStringLiteral("Bytes"),
                                         QStringLiteral("Largest record"), QStringLiteral("Content type"),
                                         QStringLiteral("Label")});
    m_pTable->verticalHeader()->hide();
    m_pTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    const QLocale locale;
    for (int r = 0; r < static_cast<int>(m_rows.size()); ++r) {
        const TapeContentsRow& row = m_rows[static_cast<size_t>(r)];
        QTableWidgetItem* file = Cell(QString::asprintf("%04d", row.number), false);
        file->setFlags(file->flags() | Qt::ItemIsUserCheckable);
        file->setCheckState(Qt::Unchecked);
        m_pTable->setItem(r, 0, file);
        m_pTable->setItem(r, 1, Cell(locale.toString(static_cast<qulonglong>(row.blocks)), true));
        m_pTable->setItem(r, 2, Cell(locale.toString(static_cast<qulonglong>(row.bytes)), true));
        m_pTable->setItem(r, 3, Cell(row.blocks ? locale.toString(row.largest) : QStringLiteral("-"), true));
        QString type = QString::fromStdString(row.contentType.empty() ? "-" : row.contentType);
        if (!row.whole)
            type = QStringLiteral("(not read to its end) ") + type;
        QTableWidgetItem* typeCell = Cell(type, false);
        typeCell->setToolTip(QString::fromStdString(row.mimeType));
        m_pTable->setItem(r, 4, typeCell);
        m_pTable->setItem(r, 5, Cell(QString::fromStdString(row.label), false));
    }
    m_pTable->resizeColumnsToContents();
    m_pTable->horizontalHeader()->setStretchLastSection(true);
    layout->addWidget(m_pTable);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    m_pOk = buttons->button(QDialogButtonBox::Ok);
    m_pOk->setEnabled(false);  // no tick, no selection
    connect(m_pOk, &QPushButton::clicked, this, [this] { OnOK(); });
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(m_pTable, &QTableWidget::itemChanged, this, [this] { m_pOk->setEnabled(!TickedFiles().empty()); });
    layout->addWidget(buttons);
    resize(760, 420);
}

std::vector<int32_t> CTapeContentsDialog::TickedFiles() const
{
    std::vector<int32_t> ticked;
    for (int r = 0; r < m_pTable->rowCount(); ++r)
        if (m_pTable->item(r, 0)->checkState() == Qt::Checked)
            ticked.push_back(m_rows[static_cast<size_t>(r)].number);
    return ticked;
}

void CTapeContentsDialog::OnOK()
{
    const std::vector<int32_t> ticked = TickedFiles();
    if (ticked.empty())
        return;
    m_strSelection = FileSelectionText(ticked);
    accept();
}
