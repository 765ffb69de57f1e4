#include "ui/song_list.h"

#include <QApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStyledItemDelegate>

namespace loudara {
namespace {

// The "No" column is 40 pixels wide: its 16-pixel icon and two-digit number fit side by side
// only without the style's item margins, which would otherwise elide the number.
class NumberColumnDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        QStyleOptionViewItem background(option);
        initStyleOption(&background, index);
        background.text.clear();
        background.icon = QIcon();
        const QWidget* widget = option.widget;
        QStyle* style = widget ? widget->style() : QApplication::style();
        style->drawControl(QStyle::CE_ItemViewItem, &background, painter, widget);

        const QRect r = option.rect;
        const QIcon icon = index.data(Qt::DecorationRole).value<QIcon>();
        if (!icon.isNull()) icon.paint(painter, QRect(r.left() + 1, r.top() + (r.height() - 16) / 2, 16, 16));
        const bool selected = option.state & QStyle::State_Selected;
        painter->save();
        painter->setPen(selected ? option.palette.highlightedText().color() : option.palette.text().color());
        painter->drawText(r.adjusted(19, 0, 0, 0), Qt::AlignLeft | Qt::AlignVCenter, index.data().toString());
        painter->restore();
    }
};

}  // namespace

void SongListModel::setRows(std::vector<SongRow> rows) {
    beginResetModel();
    rows_ = std::move(rows);
    endResetModel();
}

int SongListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int SongListModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : kSongListColumns; }

QVariant SongListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= static_cast<int>(rows_.size())) return {};
    const SongRow& row = rows_[index.row()];
    if (role == Qt::DisplayRole) return QString::fromStdString(row.cells[index.column()]);
    if (role == Qt::DecorationRole && index.column() == 0) return skin_.rowIcon(row.icon);
    return {};
}

QVariant SongListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 && section < kSongListColumns) {
        return QString::fromLatin1(kSongListHeaders[section]);
    }
    return {};
}

SongListView::SongListView(const Skin& skin, QWidget* parent) : QTableView(parent), model_(skin, this) {
    setModel(&model_);
    setShowGrid(true);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setWordWrap(false);
    setIconSize(QSize(16, 16));
    verticalHeader()->hide();
    verticalHeader()->setDefaultSectionSize(18);
    horizontalHeader()->setSectionsMovable(true);
    horizontalHeader()->setSectionsClickable(true);
    horizontalHeader()->setHighlightSections(false);
    horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    for (int c = 0; c < kSongListColumns; ++c) setColumnWidth(c, kSongListWidths[c]);
    setItemDelegateForColumn(0, new NumberColumnDelegate(this));
    viewport()->installEventFilter(this);
}

void SongListView::markCurrent(int row) {
    if (row < 0 || row >= model_.rowCount()) {
        clearSelection();
        return;
    }
    const QModelIndex index = model_.index(row, 0);
    if (selectionModel()->currentIndex().row() == row && selectionModel()->isRowSelected(row, {})) return;
    selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

bool SongListView::eventFilter(QObject* watched, QEvent* event) {
    if (watched == viewport()) {
        if (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonDblClick) {
            auto* mouse = static_cast<QMouseEvent*>(event);
            if (mouse->button() != Qt::LeftButton) return true;
            setFocus(Qt::MouseFocusReason);
            const int row = rowAt(mouse->position().toPoint().y());
            if (event->type() == QEvent::MouseButtonPress) {
                if (onRowPress) onRowPress(row);
            } else if (onRowDoubleClick) {
                onRowDoubleClick(row);
            }
            return true;
        }
        // The view's own selection follows the window's current song only.
        if (event->type() == QEvent::MouseButtonRelease || event->type() == QEvent::MouseMove) return true;
    }
    return QTableView::eventFilter(watched, event);
}

void SongListView::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
        case Qt::Key_Space:
        case Qt::Key_Up:
        case Qt::Key_Down:
        case Qt::Key_Delete:
            if (onKey) onKey(event->key(), (event->modifiers() & Qt::ShiftModifier) != 0);
            event->accept();
            return;
        default: QTableView::keyPressEvent(event);
    }
}

}  // namespace loudara
