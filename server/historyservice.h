#pragma once
// The event history (config.ini's group History, off unless enabled=1): every
// event the dispatcher delivers and the server's own notices (centre link,
// client logins) go into "EventRec.db", which the query service on port 2000
// reads; clients ask for pages of it with HISTORY. Old rows go after
// keepDays. Main thread; the writing and the queries run in threads of their own.

#include "history/historyrecorder.h"
#include "server/serverservice.h"

#include <QString>

#include <memory>

class CClient;
class CPanelManager;
class HistoryReader;

class HistoryService : public ServerService
{
    Q_OBJECT
public:
    using ServerService::ServerService;
    ~HistoryService() override;

    Start start(FireServer &server) override;
    // After the panels close: their last events are in before the exit.
    void stop() override;
    void eventDelivered(const CEvent &e) override;
    void writeMetrics(MetricsText &t) const override;

    HistoryRecorder *recorder() const { return m_recorder.get(); }
    HistoryReader *reader() const { return m_reader; }

private:
    void clientConnected(CClient *client);

    std::unique_ptr<HistoryRecorder> m_recorder;
    HistoryReader *m_reader = nullptr; // child
    CPanelManager *m_panels = nullptr;
};
