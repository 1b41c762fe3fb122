#pragma once
// Collects a driver's events in the test's thread: the driver emits from its
// worker, so the connection is queued, as the panel manager's would be.

#include "core/cevent.h"

#include <QList>
#include <QObject>

class EventSink : public QObject
{
public:
    QList<CEvent> events;

    template <class Driver>
    void watch(Driver *d)
    {
        connect(d, &Driver::sendEvent, this, [this](const CEvent &e) { take(e); }, Qt::QueuedConnection);
    }
    QList<int> codes() const
    {
        QList<int> c;
        for (const CEvent &e : events)
            c << e.nEventCode;
        return c;
    }

    void take(const CEvent &e) { events.append(e); }
};
