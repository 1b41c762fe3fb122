#pragma once
// What the console would show, for a server without a window: every event of
// the event view becomes one line on standard output, system messages and
// client log lines go to the log.

#include "core/cevent.h"

#include <QObject>

class HeadlessView : public QObject
{
    Q_OBJECT
public:
    explicit HeadlessView(QObject *parent = nullptr);

    // The line written for one event: time, panel, code text, event name, property.
    static QString eventLine(const CEvent &e);

public slots:
    void slotShowViewInTable(QString strView);
    void slotShowEventLog(const CEvent &e);
    void slotShowLogFromClient(const CEvent &e);
    void slotSetUserState(QString strName, int iState);
};
