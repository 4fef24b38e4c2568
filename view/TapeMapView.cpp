#include "view/TapeMapView.h"

#include <QHelpEvent>
#include <QPainter>
#include <QToolTip>

namespace {

constexpr int kCell = 12;
constexpr int kGap = 2;
constexpr int kMargin = 8;
constexpr int kLabelWidth = 88;
constexpr int kHeader = 40;     // the summary and the legend above the cells

QColor Colour(MapState state)
{
    return QColor(QString::fromLatin1(MapStateColour(state)));
}

} // namespace

TapeMapView::TapeMapView(QWidget* parent) : QWidget(parent)
{
    setAccessibleName(tr("Tape map"));
    setMouseTracking(true);
    m_timer.setInterval(250);
    connect(&m_timer, &QTimer::timeout, this, &TapeMapView::Refresh);
}

void TapeMapView::SetMap(std::shared_ptr<TapeMap> map)
{
    m_map = std::move(map);
    Refresh();
}

void TapeMapView::Refresh()
{
    m_snapshot = m_map ? m_map->Snapshot() : TapeMapSnapshot{};
    if (!m_map)
        m_snapshot.running = false;
    if (m_snapshot.running && !m_timer.isActive())
        m_timer.start();
    else if (!m_snapshot.running)
        m_timer.stop();
    LayOut();
}

int TapeMapView::Columns() const
{
    const int room = width() - 2 * kMargin - kLabelWidth;
    return std::clamp(room / (kCell + kGap), 8, 256);
}

// As many rows as the room it is shown in has (the scroll area's, when it is in one), so the
// whole tape is in sight unless it has more files than rows.
int TapeMapView::RowRoom() const
{
    const int visible = parentWidget() ? parentWidget()->height() : height();
    return std::max(8, (visible - kHeader - 2 * kMargin) / (kCell + kGap));
}

void TapeMapView::LayOut()
{
    m_nRowRoom = RowRoom();
    m_layout = m_map ? LayOutMap(m_snapshot, Columns(), m_nRowRoom) : MapLayout{};
    updateGeometry();
    setMinimumHeight(sizeHint().height());
    update();
}

QSize TapeMapView::sizeHint() const
{
    return QSize(kMargin * 2 + kLabelWidth + 48 * (kCell + kGap),
                 kHeader + kMargin + std::max(m_layout.rows, 1) * (kCell + kGap) + kMargin);
}

QSize TapeMapView::minimumSizeHint() const
{
    return QSize(kMargin * 2 + kLabelWidth + 8 * (kCell + kGap), kHeader + 2 * kMargin + kCell);
}

void TapeMapView::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    if (m_map && (Columns() != m_layout.columns || RowRoom() != m_nRowRoom))
        LayOut();
}

QString TapeMapView::Summary() const
{
    if (!m_map)
        return tr("No load or capture yet in this window.");
    const QString state = m_snapshot.running     ? tr("running")
                          : m_snapshot.endOfTape ? tr("ended at the end of the tape")
                                                 : tr("ended before the end of the tape");
    return tr("%1 of %2, %3: %L4 blocks good, %L5 bad; one cell is %L6 block(s)")
        .arg(QString::fromStdString(m_snapshot.kind), QString::fromStdString(m_snapshot.tape), state)
        .arg(m_snapshot.Count(MapState::Good))
        .arg(m_snapshot.Count(MapState::Bad))
        .arg(m_layout.blocksPerCell);
}

QRect TapeMapView::CellRect(const MapCell& cell) const
{
    return QRect(kMargin + kLabelWidth + cell.x * (kCell + kGap), kHeader + kMargin + cell.y * (kCell + kGap), kCell,
                 kCell);
}

const MapCell* TapeMapView::CellAt(const QPoint& point) const
{
    for (const MapCell& cell : m_layout.cells)
        if (CellRect(cell).adjusted(-1, -1, 1, 1).contains(point))
            return &cell;
    return nullptr;
}

void TapeMapView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), palette().base());
    painter.setPen(palette().text().color());
    const QFontMetrics metrics(font());
    painter.drawText(QRect(kMargin, kMargin, width() - 2 * kMargin, metrics.height()), Qt::AlignLeft | Qt::AlignVCenter,
                     metrics.elidedText(Summary(), Qt::ElideMiddle, width() - 2 * kMargin));
    int x = kMargin;
    const int legendY = kMargin + metrics.height() + 4;
    for (MapState state : {MapState::Good, MapState::Bad, MapState::Skipped, MapState::Unread}) {
        painter.fillRect(QRect(x, legendY + 2, kCell, kCell), Colour(state));
        const QString name = QString::fromLatin1(MapStateName(state));
        painter.drawText(QPoint(x + kCell + 4, legendY + kCell), name);
        x += kCell + 16 + metrics.horizontalAdvance(name);
    }
    for (const MapRowLabel& label : m_layout.labels)
        painter.drawText(QRect(kMargin, kHeader + kMargin + label.y * (kCell + kGap) - 2, kLabelWidth - 4, kCell + 4),
                         Qt::AlignLeft | Qt::AlignVCenter, QString::fromStdString(label.text));
    for (const MapCell& cell : m_layout.cells) {
        QColor colour = Colour(cell.state);
        if (!cell.known)
            colour.setAlpha(140);
        painter.fillRect(CellRect(cell), colour);
        if (cell.place) {
            painter.setPen(QPen(palette().text().color(), 2));
            painter.drawRect(CellRect(cell).adjusted(-1, -1, 1, 1));
        }
    }
}

bool TapeMapView::event(QEvent* event)
{
    if (event->type() == QEvent::ToolTip) {
        const auto* help = static_cast<QHelpEvent*>(event);
        if (const MapCell* cell = CellAt(help->pos())) {
            const QString blocks = cell->known ? tr("blocks %L1-%L2").arg(cell->firstBlock).arg(cell->lastBlock)
                                               : tr("from block %L1, number unknown").arg(cell->firstBlock);
            QToolTip::showText(help->globalPos(), tr("File %1, %2: %3")
                                                      .arg(cell->file)
                                                      .arg(blocks, QString::fromLatin1(MapStateName(cell->state))));
        } else {
            QToolTip::hideText();
            event->ignore();
        }
        return true;
    }
    return QWidget::event(event);
}
