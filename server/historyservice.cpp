#include "server/historyservice.h"

#include "clients/cclient.h"
#include "core/apppaths.h"
#include "core/servercontext.h"
#include "history/historyreader.h"
#include "panels/cpanelmanager.h"
#include "server/centreservice.h"
#include "server/fireserver.h"
#include "server/metricstext.h"

#include <QDebug>
#include <QPointer>

namespace {
const QString kConnection = QStringLiteral("连接");
} // namespace

HistoryService::~HistoryService() = default;

ServerService::Start HistoryService::start(FireServer &server)
{
    const ServerContext &ctx = ServerContext::instance();
    if (!ctx.iniSwitch(QStringLiteral("History/enabled")))
        return Start::Off;
    HistoryRecorder::Options options;
    options.path = AppPaths::file(QStringLiteral("EventRec.db"));
    options.keepDays = ctx.iniInt(QStringLiteral("History/keepDays"), 400);
    if (options.keepDays <= 0) {
        qWarning() << "History/keepDays" << options.keepDays << "is not a number of days; 400 are kept";
        options.keepDays = 400;
    }
    options.maxBacklog = qMax(1000, ctx.iniInt(QStringLiteral("History/maxBacklog"), options.maxBacklog));
    m_panels = server.panelManager();

    m_recorder.reset(new HistoryRecorder(options));
    m_recorder->start();
    m_reader = new HistoryReader(options.path, this);
    connect(&server, &FireServer::clientConnected, this, &HistoryService::clientConnected);
    if (CentreService *centre = server.service<CentreService>()) {
        connect(centre->remoteServer(), &RemoteServer::linkAnnounced, this, [this](bool bUp) {
            m_recorder->recordNotice(kConnection, bUp ? QStringLiteral("监控中心连接正常")
                                                      : QStringLiteral("监控中心连接故障"));
        });
    }
    qDebug().noquote() << QStringLiteral("history: recording into %1, rows kept %2 days")
                              .arg(options.path).arg(options.keepDays);
    return Start::Running;
}

void HistoryService::stop()
{
    // The readers first: they hold no events. Then whatever waits is written.
    delete m_reader;
    m_reader = nullptr;
    m_recorder->stop();
    const HistoryRecorder::Counters c = m_recorder->counters();
    qDebug().noquote() << QStringLiteral("history: stopped; %1 rows written in this run, %2 dropped, %3 lost at the exit")
                              .arg(c.written).arg(c.dropped).arg(c.lost);
}

void HistoryService::eventDelivered(const CEvent &e)
{
    const ControllerInfo *info = m_panels ? m_panels->controllerInfo(e.nPanelID) : nullptr;
    m_recorder->record(e, info ? info->name : QString());
}

void HistoryService::clientConnected(CClient *client)
{
    // A connection can outlive the service (the shutdown stops the service
    // before the clients go): once the readers are gone, it is told so.
    const QPointer<HistoryReader> reader = m_reader;
    client->setHistoryHandler([reader](const HistoryQuery &q, QObject *context,
                                       std::function<void(const HistoryPage &)> done) {
        if (!reader) {
            HistoryPage stopped;
            stopped.error = QStringLiteral("the event history has stopped");
            done(stopped);
            return;
        }
        reader->query(q, context, std::move(done));
    });
    const QString peer = client->socket() ? client->socket()->peerAddress().toString() : QString();
    connect(client, &CClient::eSetUserConnState, this, [this, peer](const QString &strUser, int iState) {
        if (!m_recorder || !m_reader)
            return; // stopped
        m_recorder->recordNotice(kConnection, (iState == 1 ? QStringLiteral("客户端登录:%1 地址:%2")
                                                           : QStringLiteral("客户端登出:%1 地址:%2"))
                                                  .arg(strUser, peer));
    });
}

void HistoryService::writeMetrics(MetricsText &t) const
{
    if (!m_recorder)
        return;
    const HistoryRecorder::Counters c = m_recorder->counters();
    t.family("fireserver_history_written_total", "counter", "Events written into the event log.");
    t.sample("fireserver_history_written_total", double(c.written));
    t.family("fireserver_history_waiting", "gauge", "Events waiting in memory to be written.");
    t.sample("fireserver_history_waiting", c.waiting);
    t.family("fireserver_history_dropped_total", "counter", "Events dropped because too many waited.");
    t.sample("fireserver_history_dropped_total", double(c.dropped));
    t.family("fireserver_history_write_failures_total", "counter", "Writes of the event log that failed.");
    t.sample("fireserver_history_write_failures_total", double(c.failedWrites));
    t.family("fireserver_history_removed_total", "counter", "Old rows removed by the retention.");
    t.sample("fireserver_history_removed_total", double(c.removed));
}
