#include "console/paddeddelegate.h"

#include <QApplication>
#include <QPainter>

void PaddedDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option,
                           const QModelIndex &index) const
{
    QStyleOptionViewItem opt(option);
    initStyleOption(&opt, index);
    const QWidget *widget = opt.widget;
    QStyle *style = widget ? widget->style() : QApplication::style();
    // Background and selection across the whole cell, then the text inset.
    style->drawPrimitive(QStyle::PE_PanelItemViewItem, &opt, painter, widget);
    opt.rect.adjust(6, 0, -4, 0);
    opt.backgroundBrush = Qt::NoBrush;
    style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, widget);
}
