#pragma once
// Alarm transmission to an alarm receiving centre in SIA DC-09
// (config.ini's group Arc): every delivered event that ArcCodes.xml gives a
// code goes out as SIA DCS or Contact ID, journaled before it is sent and
// removed only when the centre acknowledged it (or refused it with DUH),
// in order, also across a restart. A lost or restored path is an event of
// its own for the operators. Main thread.

#include "gateways/journal.h"
#include "remote/dc09events.h"
#include "remote/dc09link.h"
#include "server/serverservice.h"

#include <QSet>
#include <QTimer>

class Dc09Service : public ServerService
{
    Q_OBJECT
public:
    // Raw codes of the link's own events (EventConfig.xml names them).
    enum { LinkLostCode = 3901, LinkRestoredCode = 9901 };

    struct Settings
    {
        Dc09::Format format = Dc09::Format::SiaDcs;
        Dc09LinkOptions link;
        QString codesPath;   // ArcCodes.xml
        QString journalPath; // ArcJournal.db
        Journal::Caps journalCaps;
    };
    // config.ini's group Arc (files in the application directory); false
    // with *error when it is off or cannot work as written.
    static bool settingsFromIni(Settings *settings, QString *error);

    using ServerService::ServerService;
    ~Dc09Service() override;

    Start start(FireServer &server) override;
    void stop() override;
    void eventDelivered(const CEvent &e) override;
    void writeMetrics(MetricsText &t) const override;
    QList<Link> links() const override;

    // What start does once the settings are read; benchmarks call it without a server.
    void startWith(const Settings &settings);
    Dc09Link *link() const { return m_link; }
    const Journal &journal() const { return m_journal; }

signals:
    // The link's own events, towards the dispatcher.
    void sendEvent(const CEvent &e);

private:
    void forget(qint64 id);
    void removeAnswered();
    void flushStaged();
    void pump();
    void onPathChanged(int path, bool up);

    Settings m_settings;
    Dc09::CodeTable m_codes;
    Journal m_journal;
    Dc09Link *m_link = nullptr; // child
    QList<QByteArray> m_staged; // events of this pass of the event loop, not yet journaled
    QList<Journal::Entry> m_ahead; // read from the journal, not yet sent
    qint64 m_cursor = 0;        // journal id of the newest entry read
    QList<qint64> m_answered;   // acknowledged or refused, not yet removed
    QTimer m_removeTimer;
    qint64 m_inFlight = 0;      // journal id out on the link
    qint64 m_lastAckMs = 0;
    qint64 m_notSent = 0;       // events without a code
    QSet<qint64> m_unmappedLogged;
};
