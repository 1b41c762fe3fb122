#pragma once
// A model's driver on an in-process fake link, for the model tests: the
// panel's side answered by its simulator (or by the test's own `respond`),
// the driver's events collected, its clock pinned, the link opened. All of
// it runs in the test's thread, so each call of the driver is one exchange.

#include "common/eventsink.h"
#include "panels/fakelink.h"

#include <QCoreApplication>
#include <QDateTime>

#include <functional>
#include <utility>

// For models whose tests need no simulator.
struct NoPanelSim
{
    QByteArray feed(const QByteArray &) { return QByteArray(); }
};

template <class Driver, class Sim = NoPanelSim, class Link = FakeLink>
struct DriverRig
{
    // The time every rig's clock shows unless a test sets its own.
    static QDateTime pinnedTime() { return QDateTime(QDate(2024, 12, 5), QTime(21, 45, 10)); }

    template <class... SimArgs>
    DriverRig(const QString &link, int id, int type, SimArgs &&...simArgs)
        : d(link, id, type), f(new Link), sim(std::forward<SimArgs>(simArgs)...)
    {
        f->setResponder([this](const QByteArray &b, QSerialPort::Parity) { return respond ? respond(b) : sim.feed(b); });
        d.setLink(f);
        d.setClock(&pinnedTime);
        sink.watch(&d);
        ok = d.openController();
    }

    QList<CEvent> events()
    {
        QCoreApplication::processEvents(); // events are queued even in one thread
        return sink.events;
    }
    QList<QByteArray> writes() const
    {
        QList<QByteArray> out;
        for (const FakeLink::Write &w : f->writes())
            out << w.bytes;
        return out;
    }

    Driver d;
    Link *f; // owned by the driver
    Sim sim;
    EventSink sink;
    std::function<QByteArray(const QByteArray &)> respond;
    bool ok = false;
};
