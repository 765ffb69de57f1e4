#pragma once
// The playlist view: a report view of the RefreshSongList rows with ten columns and row icons.
// Clicks, double clicks and the keys Space, Up, Down and Delete are handed to the window instead
// of moving the view's own selection; the window marks the current song.

#include <QAbstractTableModel>
#include <QTableView>
#include <functional>
#include <vector>

#include "persistence/playlist.h"
#include "ui/skin.h"

namespace loudara {

class SongListModel : public QAbstractTableModel {
public:
    explicit SongListModel(const Skin& skin, QObject* parent = nullptr) : QAbstractTableModel(parent), skin_(skin) {}
    void setRows(std::vector<SongRow> rows);
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    const Skin& skin_;
    std::vector<SongRow> rows_;
};

class SongListView : public QTableView {
public:
    SongListView(const Skin& skin, QWidget* parent);
    SongListModel& songModel() { return model_; }

    // Marks `row` selected and focused (no row when negative).
    void markCurrent(int row);

    std::function<void(int row)> onRowPress;        // button down on a row, -1 below the last row
    std::function<void(int row)> onRowDoubleClick;
    std::function<void(int key, bool shift)> onKey;  // Qt::Key_Space, _Up, _Down, _Delete

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    SongListModel model_;
};

}  // namespace loudara
