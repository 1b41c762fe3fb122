#include "server/fireserver.h"
#include "server/monitoring.h"

#include "clients/cclient.h"
#include "clients/ceventprocess.h"
#include "clients/clientaccounts.h"
#include "config/configtables.h"
#include "config/controllerstore.h"
#include "panels/cpanelmanager.h"
#include "panels/panelmodel.h"

#include <QDebug>
#include <QMetaMethod>
#include <QTcpServer>
#include <QTcpSocket>

FireServer::FireServer(QObject *parent) : FireServer(Options(), parent)
{
}

FireServer::FireServer(const Options &options, QObject *parent)
    : QObject(parent), m_options(options)
{
}

FireServer::~FireServer()
{
    shutdown();
    delete m_panelManager;
    delete m_dispatcher;
}

void FireServer::connectView(const char *signal, QObject *sender, const char *slot, Qt::ConnectionType type)
{
    if (!m_view || !sender)
        return;
    // SLOT() text starts with a code digit; the meta-object wants the bare signature.
    const QByteArray signature = QMetaObject::normalizedSignature(slot + 1);
    if (m_view->metaObject()->indexOfSlot(signature.constData()) < 0)
        return;
    connect(sender, signal, m_view, slot, type);
}

bool FireServer::start(QObject *view)
{
    if (m_started)
        return isRunning();
    m_started = true;
    m_view = view;
    ServerContext &ctx = ServerContext::instance();
    // config.ini first and once: every component below reads its switches
    // from the context.
    ctx.loadIniIfChanged();

    // Configuration tables first: the dispatcher and the drivers' events need them.
    ConfigTables &tables = ConfigTables::instance();
    tables.loadEventTable();
    tables.loadSystemTypes();

    m_dispatcher = new CEventProcess;
    // Empty until the controllers are loaded; the first services wire to it.
    m_panelManager = new CPanelManager;
    m_services = ServerServices::create(this);
    if (!startServices(ServerService::StartPhase::BeforeControllers)) {
        // Nothing to store or close: the shutdown has nothing to do.
        m_stopped = true;
        return false;
    }

    m_title = tables.appName();

    ControllerStore::openDatabase(ControllerStore::selectDatabaseFile());
    ClientAccounts &accounts = ClientAccounts::instance();
    accounts.load();
    const QString title = ClientAccounts::readServerTitle();
    if (!title.isNull())
        m_title = title;
    loadControllers();

    m_clientLimiter.reset(new ConnectionLimiter(QStringLiteral("client port %1").arg(m_options.clientPort),
                                                ctx.iniInt(QStringLiteral("Server/maxConnectionsPerAddress"), 64),
                                                ctx.iniInt(QStringLiteral("Server/maxConnections"), 2000)));
    m_listener = new QTcpServer(this);
    new AcceptGuard(m_listener, QStringLiteral("client port %1").arg(m_options.clientPort));
    if (m_listener->listen(QHostAddress::Any, m_options.clientPort)) {
        CClient::resetSequence();
        qDebug() << "client service listening on port" << m_listener->serverPort();
    } else {
        // Runs without the client service, as a taken port has always meant.
        qWarning() << "client port" << m_options.clientPort << "unavailable:" << m_listener->errorString();
    }
    connect(m_listener, &QTcpServer::newConnection, this, &FireServer::on_newClientConnect);

    connect(&m_stateTimer, &QTimer::timeout, this, &FireServer::slotTimControlState);
    m_stateTimer.start(m_options.stateTimerMs);

    // The dispatcher is connected first, so it sees every event before the
    // view and the services.
    connect(m_panelManager, &CPanelManager::sendEvent, m_dispatcher, &CEventProcess::handleEvent);
    connectView(SIGNAL(sendEvent(CEvent)), m_panelManager, SLOT(setControlListItemState(CEvent)));
    connect(m_panelManager, &CPanelManager::sendEvent, this, &FireServer::onPanelEvent);
    connectView(SIGNAL(sendEvent(CEvent)), m_panelManager, SLOT(slotShowEventLog(CEvent)),
                Qt::UniqueConnection);
    connect(m_dispatcher, &CEventProcess::sendEventToClient, this, &FireServer::onDelivered);

    startServices(ServerService::StartPhase::AfterControllers);
    startMonitoring();
    qDebug() << "server started:" << m_panelManager->controllerIds().size() << "controllers";
    return true;
}

bool FireServer::startServices(ServerService::StartPhase phase)
{
    for (ServerService *s : qAsConst(m_services)) {
        if (s->startPhase() != phase)
            continue;
        switch (s->start(*this)) {
        case ServerService::Start::Refused:
            return false;
        case ServerService::Start::Running:
            m_startedServices.append(s);
            m_running.append(s);
            break;
        case ServerService::Start::Off:
            break;
        }
    }
    return true;
}

void FireServer::stopServices(ServerService::StopPhase phase)
{
    // Later services may build on earlier ones: they stop first.
    for (int i = m_running.size() - 1; i >= 0; --i) {
        if (m_running.at(i)->stopPhase() != phase)
            continue;
        // Out of the list first: the dispatcher's pacing and the drivers'
        // last events go on during the shutdown, and must not reach what
        // a stopped service has released.
        m_running.takeAt(i)->stop();
    }
}

void FireServer::onPanelEvent(const CEvent &e)
{
    for (ServerService *s : qAsConst(m_running))
        s->panelEvent(e);
}

void FireServer::onDelivered(int nEventType, const CEvent &e, const QString &strUserName)
{
    if (nEventType != 1 || strUserName != QLatin1String("ALL"))
        return;
    for (ServerService *s : qAsConst(m_running))
        s->eventDelivered(e);
}

void FireServer::startMonitoring()
{
    const ServerContext &ctx = ServerContext::instance();
    int port = m_options.metricsPort;
    if (port < 0) {
        port = ctx.iniInt(QStringLiteral("Server/metricsPort"), 0);
        if (port <= 0)
            return; // off: nothing listens, nothing is counted beyond the plain counters
    }
    if (port > 65535) {
        qWarning() << "Server/metricsPort" << port << "is not a port; health and metrics off";
        return;
    }
    m_monitoring = new Monitoring(this, this);
    const QString host = ctx.iniValue(QStringLiteral("Server/metricsHost"), QStringLiteral("127.0.0.1")).toString().trimmed();
    if (!m_monitoring->start(host.isEmpty() ? QStringLiteral("127.0.0.1") : host, quint16(port))) {
        delete m_monitoring;
        m_monitoring = nullptr;
    }
}

void FireServer::loadControllers()
{
    m_panelManager->clearControllers();
    const QList<ControllerInfo> rows = ControllerStore::readControllers(&PanelModels::isNetworkType);
    for (const ControllerInfo &info : rows)
        m_panelManager->addController(new ControllerInfo(info));
    qDebug() << "openAllControls";
    m_panelManager->openAllPanels();
}


void FireServer::on_newClientConnect()
{
    while (QTcpSocket *socket = m_listener->nextPendingConnection()) {
        const QHostAddress peer = socket->peerAddress();
        // Connections that never log in (a flood of them, from many
        // addresses or from one, such as a NAT address the operator's PC
        // shares) must not lock an operator out: when the newcomer's address
        // or the whole port has no place left, the oldest of them that holds
        // no login makes room. Logged-in sessions are never closed for it.
        const bool peerFull = m_clientLimiter->openFrom(peer) >= m_clientLimiter->perAddress();
        const bool full = m_clientLimiter->open() >= m_clientLimiter->total();
        if (!full)
            m_bEvicting = false;
        if (!peerFull)
            m_evictingFrom.remove(ConnectionLimiter::key(peer));
        if (peerFull || full)
            evictClientWithoutLogin(peer, peerFull);
        if (!m_clientLimiter->admit(peer)) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        // The socket goes with its client; the client cuts all its own
        // connections when it closes, the socket's are left alone.
        connect(socket, &QObject::destroyed, this, [this, peer] { m_clientLimiter->release(peer); });
        auto *client = new CClient(m_dispatcher, this);
        connectView(SIGNAL(eSetUserConnState(QString,int)), client, SLOT(slotSetUserState(QString,int)));
        connectView(SIGNAL(eEventSent2Client(QVariant,QString)), client, SLOT(showSentDataToClient(QVariant,QString)));
        connectView(SIGNAL(eLog(CEvent)), client, SLOT(slotShowLogFromClient(CEvent)));
        connect(client, &CClient::eSendCommandDataToPanel, m_panelManager, &CPanelManager::slotHandleCommandData);
        client->setSocket(socket);
        m_clients.append(client);
        // A closed connection deletes itself; drop the dead pointers as we go.
        m_clients.removeAll(QPointer<CClient>());
        emit clientConnected(client);
    }
}

bool FireServer::evictClientWithoutLogin(const QHostAddress &newcomer, bool bSameAddress)
{
    // Display boards that never log in are clients like any other then.
    if (ServerContext::instance().eventsWithoutLogin)
        return false;
    const QString from = ConnectionLimiter::key(newcomer);
    for (const QPointer<CClient> &c : qAsConst(m_clients)) {
        if (!c || c->isLoggedIn() || c->isLoginPending())
            continue;
        const QString address = c->socket() ? ConnectionLimiter::key(c->socket()->peerAddress()) : QString();
        if (bSameAddress && address != from)
            continue;
        ++m_nEvicted;
        if (bSameAddress && !m_evictingFrom.contains(from)) {
            m_evictingFrom.insert(from);
            qWarning().noquote() << QStringLiteral("client port %1: %2 has all its %3 places taken; its oldest "
                                                   "connection without a login gives its place to the newcomer, "
                                                   "and so on while it stays full")
                                        .arg(m_options.clientPort).arg(from).arg(m_clientLimiter->perAddress());
        } else if (!bSameAddress && !m_bEvicting) {
            m_bEvicting = true;
            qWarning().noquote() << QStringLiteral("client port %1: all %2 places taken; the oldest connection "
                                                   "without a login (%3) gives its place to %4, and so on while "
                                                   "the server stays full")
                                        .arg(m_options.clientPort).arg(m_clientLimiter->total()).arg(address, from);
        }
        // The socket goes with its client and frees the place at once.
        delete c.data();
        return true;
    }
    return false;
}

void FireServer::addEventSource(QObject *source)
{
    connect(source, SIGNAL(sendEvent(CEvent)), m_dispatcher, SLOT(handleEvent(CEvent)));
    connectView(SIGNAL(sendEvent(CEvent)), source, SLOT(slotShowEventLog(CEvent)), Qt::UniqueConnection);
}

QList<ControllerInfo> FireServer::controllers() const
{
    QList<ControllerInfo> out;
    for (quint8 id : m_panelManager->controllerIds()) {
        if (const ControllerInfo *info = m_panelManager->controllerInfo(id))
            out << *info;
    }
    return out;
}

bool FireServer::isControllerRunning(int nControllerID) const
{
    return m_panelManager && m_panelManager->isPanelConnected(quint8(nControllerID));
}

ControllerInfo *FireServer::newRecord(int nControllerID, const QString &strName, int nType,
                                      const QString &strCommValue)
{
    return new ControllerInfo(
        ControllerStore::decodeRow(nControllerID, strName, nType, strCommValue, &PanelModels::isNetworkType));
}

bool FireServer::addController(int nControllerID, const QString &strName, int nType, const QString &strCommValue)
{
    m_panelManager->addController(newRecord(nControllerID, strName, nType, strCommValue));
    if (m_panelManager->openPanel(quint8(nControllerID)))
        return true;
    qWarning() << "controller" << nControllerID << "added but its link did not open";
    return false;
}

void FireServer::replaceController(int nOldID, int nControllerID, const QString &strName, int nType,
                                   const QString &strCommValue)
{
    m_panelManager->removeController(quint8(nOldID));
    m_panelManager->addController(newRecord(nControllerID, strName, nType, strCommValue));
}

bool FireServer::openController(int nControllerID)
{
    return m_panelManager->openPanel(quint8(nControllerID));
}

void FireServer::closeController(int nControllerID)
{
    m_panelManager->closePanel(quint8(nControllerID));
}

FireServer::RemoveResult FireServer::removeController(int nControllerID)
{
    if (!m_panelManager->controllerInfo(quint8(nControllerID)))
        return RemoveResult::Unknown;
    if (m_panelManager->isPanelConnected(quint8(nControllerID)))
        return RemoveResult::Running;
    if (!ControllerStore::deleteController(nControllerID))
        return RemoveResult::StoreFailed;
    m_panelManager->removeController(quint8(nControllerID));
    return RemoveResult::Removed;
}

ClientAccounts &FireServer::accounts() const
{
    return ClientAccounts::instance();
}

QList<CClient *> FireServer::clients() const
{
    QList<CClient *> out;
    for (const QPointer<CClient> &c : m_clients) {
        if (c)
            out.append(c);
    }
    return out;
}

void FireServer::slotTimControlState()
{
    if (m_panelManager)
        m_panelManager->checkCommState();
    for (ServerService *s : qAsConst(m_running))
        s->stateTimer();
}

void FireServer::shutdown()
{
    if (!m_started || m_stopped)
        return;
    m_stopped = true;
    m_stateTimer.stop();
    delete m_monitoring;
    m_monitoring = nullptr;
    if (m_listener)
        m_listener->close();
    stopServices(ServerService::StopPhase::BeforePanelsClose);
    QList<QPair<int, bool>> states;
    for (quint8 id : m_panelManager->controllerIds())
        states.append({m_panelManager->controllerInfo(id)->controllerId, m_panelManager->isPanelConnected(id)});
    const int stored = ControllerStore::recordOpenStates(states);
    qDebug() << "open states stored for" << stored << "controllers";
    // Every driver is closed before the objects its events reach go away.
    m_panelManager->closeAllPanels();
    stopServices(ServerService::StopPhase::AfterPanelsClose);
    for (CClient *client : clients())
        delete client;
    m_clients.clear();
    ClientAccounts::instance().save();
    qDebug() << "server stopped";
}
