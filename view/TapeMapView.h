// The tape map drawn: the layout tape/TapeMap.h makes, as cells on a widget, with a legend and
// the counts, refreshed while the session runs. It only draws; what a cell stands for and its
// colour are decided by the layout.
#pragma once
#include "tape/TapeMap.h"

#include <QTimer>
#include <QWidget>

#include <memory>

class TapeMapView : public QWidget {
    Q_OBJECT
public:
    explicit TapeMapView(QWidget* parent = nullptr);

    // The map to draw from now on (null: none); redrawn until its session has ended.
    void SetMap(std::shared_ptr<TapeMap> map);
    // Draws the map as it stands now.
    void Refresh();

    const TapeMapSnapshot& Shown() const { return m_snapshot; }
    const MapLayout& Layout() const { return m_layout; }
    QString Summary() const;
    // The cell at a point of the widget, or null.
    const MapCell* CellAt(const QPoint& point) const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool event(QEvent* event) override;

private:
    int Columns() const;
    int RowRoom() const;
    QRect CellRect(const MapCell& cell) const;
    void LayOut();

    std::shared_ptr<TapeMap> m_map;
    TapeMapSnapshot m_snapshot;
    MapLayout m_layout;
    QTimer m_timer;
    int m_nRowRoom = 0;
};
