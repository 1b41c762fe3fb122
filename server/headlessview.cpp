#include "server/headlessview.h"

#include "config/configtables.h"
#include "core/cevent.h"

#include <QDebug>
#include <cstdio>

HeadlessView::HeadlessView(QObject *parent) : QObject(parent)
{
}

QString HeadlessView::eventLine(const CEvent &e)
{
    return QStringLiteral("%1 panel %2 (%3) code \"%4\" event %5 %6 property %7")
        .arg(e.strTime, QString::number(e.nPanelID), ConfigTables::instance().systemType(e.nPanelType).name,
             e.strCode, QString::number(e.nEventNo), e.strEventName.isEmpty() ? QStringLiteral("-") : e.strEventName,
             QString::number(e.nEventProperty));
}

void HeadlessView::slotShowViewInTable(QString strView)
{
    qDebug().noquote() << QStringLiteral("系统提示信息:") + strView;
}

void HeadlessView::slotShowEventLog(const CEvent &e)
{
    // stdout is what a person watching the terminal reads: one flushed line per event.
    const QByteArray line = eventLine(e).toUtf8() + '\n';
    fwrite(line.constData(), 1, size_t(line.size()), stdout);
    fflush(stdout);
}

void HeadlessView::slotShowLogFromClient(const CEvent &e)
{
    if (!e.strExtra.isEmpty() || e.nEventProperty != 0)
        qDebug().noquote() << e.strTime.right(14) + e.strExtra;
}

void HeadlessView::slotSetUserState(QString strName, int iState)
{
    qDebug().noquote() << QStringLiteral("client account %1 %2").arg(strName, iState == 1 ? "logged in" : "logged out");
}
