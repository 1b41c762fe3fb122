#pragma once
// Draws table cells with a small text margin while keeping the cell's own
// background colour (the console colours whole rows by state, which a
// style-sheet item rule would override).

#include <QStyledItemDelegate>

class PaddedDelegate : public QStyledItemDelegate
{
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override;
};
