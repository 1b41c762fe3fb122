#pragma once
// The server without its window: builds every component in the start-up
// order, connects them, and runs the shutdown path. The console owns one and
// reaches every component through it; headless mode runs it on its own.

#include "config/controllerinfo.h"
#include "core/connectionlimits.h"
#include "core/servercontext.h"
#include "gateways/chttpclient.h"
#include "gateways/cmodbusdevice.h"
#include "gateways/mqttpublisher.h"
#include "remote/remoteserver.h"
#include "remote/remotesearch.h"
#include "server/serverservice.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QTimer>

#include <memory>

class CClient;
class ClientAccounts;
class CEventProcess;
class CPanelManager;
class Monitoring;
class QTcpServer;

class FireServer : public QObject
{
    Q_OBJECT
public:
    struct Options
    {
        quint16 clientPort = 5999;
        quint16 centrePort = 2009;  // also the guard against a second server
        quint16 queryPort = 2000;
        int stateTimerMs = 5000;
        // Health and metrics port: -1 takes Server/metricsPort of config.ini
        // (absent or 0: off); 0 here means any free port (tests).
        int metricsPort = -1;
        // The web console's port: -1 takes Web/port of config.ini (absent or
        // 0: off); 0 here means any free port (tests).
        int webPort = -1;
        quint16 modbusPort = CModbusDevice::DefaultPort;
        CHttpClient::Options cloud;
        RemoteServer::Options centre;
        RemoteSearch::Options query;
        MqttPublisher::Options mqtt; // under config.ini's group Mqtt
    };

    explicit FireServer(QObject *parent = nullptr);
    explicit FireServer(const Options &options, QObject *parent = nullptr);
    ~FireServer() override;

    // Builds and connects everything. The view, when given, receives the
    // console's connections by slot signature, after the dispatcher's, so the
    // dispatcher always sees an event first: setControlListItemState(CEvent),
    // slotShowEventLog(CEvent) (unique), slotShowViewInTable(QString), and
    // per client slotSetUserState(QString,int), showSentDataToClient(QVariant,QString),
    // slotShowLogFromClient(CEvent). A view without one of them is skipped.
    // False when the centre port is taken: another server runs. The operator
    // has been told through the prompt layer and the caller ends the process;
    // nothing but the dispatcher and the tables has been built.
    bool start(QObject *view = nullptr);
    // Stores every controller's open state, closes every driver and saves the
    // accounts. Runs once; later calls do nothing.
    void shutdown();
    bool isRunning() const { return m_started && !m_stopped; }

    CEventProcess *dispatcher() const { return m_dispatcher; }
    CPanelManager *panelManager() const { return m_panelManager; }
    QTcpServer *clientListener() const { return m_listener; }
    const Options &options() const { return m_options; }
    // Health and metrics; null unless switched on.
    Monitoring *monitoring() const { return m_monitoring; }
    // Client connections closed at once by the connection bounds.
    int clientConnectionsRefused() const { return m_clientLimiter ? m_clientLimiter->refused() : 0; }
    // Connections without a login closed to make room for a newcomer.
    int clientConnectionsEvicted() const { return m_nEvicted; }
    // The services that started running, in start order (stopped ones too).
    const QList<ServerService *> &runningServices() const { return m_startedServices; }
    // The running service of that class; null when config.ini left it off.
    template<class T>
    T *service() const
    {
        for (ServerService *s : m_startedServices) {
            if (T *t = qobject_cast<T *>(s))
                return t;
        }
        return nullptr;
    }
    QList<CClient *> clients() const;
    // The application name of SysSet.xml, replaced by ServerConfig.cfg's
    // title when that file has one.
    QString title() const { return m_title; }

    // --- what an operator console does (the Qt window; later the web) ---
    // The controllers held, in ascending number.
    QList<ControllerInfo> controllers() const;
    bool isControllerRunning(int nControllerID) const;
    // A controller whose row the store now holds: put behind its driver and
    // opened at once, as those loaded at start-up are; false when its link
    // did not open (it stays, stopped).
    bool addController(int nControllerID, const QString &strName, int nType, const QString &strCommValue);
    // A stopped controller whose row changed (maybe its number): the old
    // record and driver go, the new one stays stopped.
    void replaceController(int nOldID, int nControllerID, const QString &strName, int nType,
                           const QString &strCommValue);
    bool openController(int nControllerID);
    void closeController(int nControllerID);
    enum class RemoveResult { Removed, Unknown, Running, StoreFailed };
    // The stored row goes first (a controller left in the table would come
    // back at the next start), then the controller; a running one stays.
    RemoveResult removeController(int nControllerID);
    // The client accounts and the operator password.
    ClientAccounts &accounts() const;

    // A source of events beside the panels (a service's receiver): its
    // sendEvent(CEvent) goes to the dispatcher, then to the view's event log.
    void addEventSource(QObject *source);

    // Connects sender's signal to the view's slot of that signature, when
    // there is a view and it has the slot (services use it for theirs).
    void connectView(const char *signal, QObject *sender, const char *slot, Qt::ConnectionType type = Qt::AutoConnection);

signals:
    // A new client connection, after its own connections are made.
    void clientConnected(CClient *client);

public slots:
    void on_newClientConnect();
    void slotTimControlState();

private:
    void startMonitoring();
    // Empties the panel manager, hands it one record per stored row in
    // ascending number, then opens them all.
    void loadControllers();
    // Starts the services of one phase; false when one refused to let the
    // server run.
    bool startServices(ServerService::StartPhase phase);
    void stopServices(ServerService::StopPhase phase);
    void onPanelEvent(const CEvent &e);
    // A record as the store reads a row, for the panel manager to own.
    static ControllerInfo *newRecord(int nControllerID, const QString &strName, int nType,
                                     const QString &strCommValue);
    void onDelivered(int nEventType, const CEvent &e, const QString &strUserName);
    // Closes the oldest client connection that holds no login (from the
    // newcomer's own address when bSameAddress), so that the newcomer gets
    // its place; false when there is none.
    bool evictClientWithoutLogin(const QHostAddress &newcomer, bool bSameAddress);

    Options m_options;
    QPointer<QObject> m_view;
    QString m_title;
    CEventProcess *m_dispatcher = nullptr;   // owned, no Qt parent
    CPanelManager *m_panelManager = nullptr; // owned, no Qt parent
    QTcpServer *m_listener = nullptr;
    std::unique_ptr<ConnectionLimiter> m_clientLimiter;
    Monitoring *m_monitoring = nullptr; // child
    QList<ServerService *> m_services;  // children, in start order
    QList<ServerService *> m_startedServices; // those that started
    QList<ServerService *> m_running;   // those started and not yet stopped: they get events
    QTimer m_stateTimer;
    QList<QPointer<CClient>> m_clients; // in the order they connected
    int m_nEvicted = 0;
    bool m_bEvicting = false; // logged the current episode of evictions
    QSet<QString> m_evictingFrom; // addresses in a logged episode of their own
    bool m_started = false;
    bool m_stopped = false;
};
