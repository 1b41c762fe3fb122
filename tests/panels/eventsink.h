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
        connect(d, &Driver::sendEvent, this, [this](const QVariant &v) { take(v); }, Qt::QueuedConnection);
    }
    QList<int> codes() const
    {
        QList<int> c;
        for (const CEvent &e : events)
            c << e.nEventCode;
        return c;
    }

    void take(const QVariant &v) { events.append(CEvent::fromVariant(v)); }
};
