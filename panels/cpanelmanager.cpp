#include "panels/cpanelmanager.h"

#include "config/configtables.h"
#include "core/cevent.h"
#include "panels/controller.h"
#include "panels/panelmodel.h"

#include <QDebug>
#include <QStringList>

#include <algorithm>

namespace {

const char *const TimeFormat = "yyyy-MM-dd hh:mm:ss";

} // namespace

CPanelManager::CPanelManager(QObject *parent)
    : QObject(parent), m_clock([] { return QDateTime::currentDateTime(); })
{
    m_lastCheckTime = m_clock();
}

CPanelManager::~CPanelManager()
{
    clearControllers();
}

void CPanelManager::setClock(Clock clock)
{
    m_clock = clock ? std::move(clock) : Clock([] { return QDateTime::currentDateTime(); });
    m_lastCheckTime = m_clock();
}

Controller *CPanelManager::createDriver(const ControllerInfo &info)
{
    const PanelModel *model = PanelModels::forType(info.controllerType);
    return model ? model->createDriver(info) : nullptr;
}

void CPanelManager::addController(ControllerInfo *info)
{
    if (!info)
        return;
    const quint8 id = quint8(info->controllerId);
    if (m_controllerInfos.contains(id)) {
        qWarning().noquote() << QStringLiteral("controller %1 (\"%2\", type %3, %4) ignored: number %5 is already held by \"%6\"")
                                    .arg(info->controllerId)
                                    .arg(info->name)
                                    .arg(info->controllerType)
                                    .arg(info->commValue)
                                    .arg(id)
                                    .arg(m_controllerInfos.value(id)->name);
        delete info;
        return;
    }
    m_controllerInfos.insert(id, info);
    Controller *driver = createDriver(*info);
    if (!driver) {
        qDebug() << "controller" << info->controllerId << "type" << info->controllerType
                 << "has no driver; record kept";
        return;
    }
    connect(driver, &Controller::sendEvent, this, &CPanelManager::slotRevCommData);
    m_controllers.insert(id, driver);
}

void CPanelManager::destroyDriver(Controller *driver)
{
    disconnect(driver, &Controller::sendEvent, this, &CPanelManager::slotRevCommData);
    // A running worker must be stopped before its object goes.
    if (driver->isConnected() || driver->isRunning())
        driver->closeController();
    delete driver;
}

void CPanelManager::removeController(quint8 nControllerID)
{
    // A record without a driver goes as well: otherwise a deleted or
    // modified controller of such a type would linger under its number and
    // the modified record would be refused as a duplicate.
    if (Controller *driver = m_controllers.take(nControllerID))
        destroyDriver(driver);
    delete m_controllerInfos.take(nControllerID);
    m_reportedPanels.remove(nControllerID);
}

void CPanelManager::clearControllers()
{
    const QList<Controller *> drivers = m_controllers.values();
    m_controllers.clear();
    for (Controller *driver : drivers)
        destroyDriver(driver);
    qDeleteAll(m_controllerInfos);
    m_controllerInfos.clear();
    m_reportedPanels.clear();
}

void CPanelManager::emitPanelNotice(quint8 nControllerID, int nProperty, const QString &strText)
{
    CEvent e;
    e.nPanelID = nControllerID;
    e.nEventCode = 17;
    e.nEventProperty = nProperty;
    e.strNote = strText;
    e.strExtra = strText;
    e.strTime = m_clock().toString(QLatin1String(TimeFormat));
    // Numbered and named like a driver's event, but kept a notice of the
    // server's own (no class): the views show it as a system event and the
    // centre line leaves it out, as before.
    ConfigTables::instance().complete(e);
    e.nEventType = 0;
    emit sendEvent(e);
}

bool CPanelManager::openPanel(quint8 nControllerID)
{
    // The normal notice goes out before the open is even tried.
    emitPanelNotice(nControllerID, 0);
    Controller *driver = m_controllers.value(nControllerID);
    if (!driver)
        return false;
    if (!driver->openController()) {
        qWarning() << "controller" << nControllerID << "could not be opened on" << driver->m_strPortName;
        return false;
    }
    driver->start();
    return true;
}

void CPanelManager::closePanel(quint8 nControllerID)
{
    if (Controller *driver = m_controllers.value(nControllerID))
        driver->closeController();
    emitPanelNotice(nControllerID, 1);
}

void CPanelManager::openAllPanels()
{
    for (auto it = m_controllers.cbegin(); it != m_controllers.cend(); ++it) {
        Controller *driver = it.value();
        if (driver->isConnected())
            continue;
        if (driver->openController())
            driver->start();
        else
            qWarning() << "controller" << it.key() << "could not be opened on" << driver->m_strPortName;
    }
}

void CPanelManager::closeAllPanels()
{
    for (auto it = m_controllers.cbegin(); it != m_controllers.cend(); ++it) {
        if (!it.value()->isConnected())
            continue;
        it.value()->closeController();
        emitPanelNotice(it.key(), 1);
    }
}

bool CPanelManager::isPanelConnected(quint8 nControllerID) const
{
    Controller *driver = m_controllers.value(nControllerID);
    return driver && driver->isConnected();
}

QList<quint8> CPanelManager::controllerIds() const
{
    QList<quint8> ids = m_controllerInfos.keys();
    std::sort(ids.begin(), ids.end());
    return ids;
}

void CPanelManager::slotRevCommData(const CEvent &event)
{
    CEvent e = event;
    // By the sending driver: its events carry the panel number they report,
    // which a model may take from the panel's own frames.
    if (auto *driver = qobject_cast<Controller *>(sender())) {
        const quint8 id = quint8(driver->m_nControllerID);
        ++m_eventCounts[id];
        if (driver->model() && driver->model()->frontsNetwork && e.nPanelID != 0 && e.nPanelID != id)
            m_reportedPanels[id].set(e.nPanelID);
    }
    if (const EventEntry *entry = ConfigTables::instance().complete(e)) {
        // Communication entries carry the state in the driver's property
        // (lost or restored); every other entry fixes the property itself.
        if (entry->commStatus == 0)
            e.nEventProperty = entry->property;
    } else {
        e.nEventProperty = 0;
    }
    emit sendEvent(e);
}

void CPanelManager::slotHandleCommandData(const CEvent &command)
{
    sendCommand(command);
}

Controller *CPanelManager::commandOwner(quint8 nPanel, QString *why) const
{
    // A controller's own number comes first: it is what the operator configured.
    if (Controller *driver = m_controllers.value(nPanel))
        return driver;
    if (m_controllerInfos.contains(nPanel)) {
        *why = QStringLiteral("controller %1 has no driver for its type %2")
                   .arg(nPanel).arg(m_controllerInfos.value(nPanel)->controllerType);
        return nullptr;
    }
    QList<quint8> owners;
    for (auto it = m_reportedPanels.cbegin(); it != m_reportedPanels.cend(); ++it) {
        if (it.value().test(nPanel) && m_controllers.contains(it.key()))
            owners.append(it.key());
    }
    if (owners.size() == 1)
        return m_controllers.value(owners.first());
    if (owners.isEmpty()) {
        *why = QStringLiteral("no controller has number %1 and no network controller has reported a panel %1")
                   .arg(nPanel);
    } else {
        std::sort(owners.begin(), owners.end());
        QStringList ids;
        for (quint8 id : qAsConst(owners))
            ids.append(QString::number(id));
        *why = QStringLiteral("panel %1 has been reported by several network controllers (%2); "
                              "which one is meant cannot be known")
                   .arg(nPanel).arg(ids.join(QLatin1String(", ")));
    }
    return nullptr;
}

CPanelManager::CommandResult CPanelManager::sendCommand(const CEvent &command)
{
    CommandResult result;
    const QString what = QStringLiteral("command 0x%1 for panel %2").arg(command.nEventCode, 0, 16).arg(command.nPanelID);
    const int code = command.nEventCode;
    if (command.nPanelID == 0) {
        const bool siteWide = code == CmdSilence || code == CmdReset || code == CmdSyncTime || code == CmdControl97;
        if (!siteWide) {
            result.error = QStringLiteral("a device command needs the number of its panel, not 0");
        } else {
            for (Controller *driver : qAsConst(m_controllers)) {
                if (driver->addCommand(command))
                    ++result.queued;
            }
            if (result.queued == 0)
                result.error = QStringLiteral("no running controller is answering");
        }
    } else if (Controller *driver = commandOwner(command.nPanelID, &result.error)) {
        if (!driver->isConnected())
            result.error = QStringLiteral("controller %1 is not running").arg(driver->m_nControllerID);
        else if (!driver->addCommand(command))
            result.error = QStringLiteral("controller %1 is not answering or its queue is full").arg(driver->m_nControllerID);
        else
            result.queued = 1;
        if (result.ok() && driver->m_nControllerID != command.nPanelID)
            qDebug().noquote() << what << "goes to network controller" << driver->m_nControllerID;
    }
    if (!result.ok()) {
        ++m_nUnrouted;
        qWarning().noquote() << what << "reaches no panel:" << result.error;
    }
    return result;
}

void CPanelManager::slotIndicateRemoteLight(uchar nStatus)
{
    for (Controller *driver : qAsConst(m_controllers)) {
        if (driver->model() && driver->model()->remoteLamp)
            driver->setRemoteLight(nStatus);
    }
}

void CPanelManager::checkCommState()
{
    const QDateTime now = m_clock();
    const qint64 s = m_lastCheckTime.secsTo(now);
    m_lastCheckTime = now;
    // First call, a clock jump or a stalled main thread: the counters say
    // nothing reliable about the last interval.
    if (s < 1 || s > 29)
        return;
    for (auto it = m_controllers.cbegin(); it != m_controllers.cend(); ++it) {
        Controller *driver = it.value();
        // A closed link has no communication to judge; reporting it "normal"
        // would contradict the closed notice it got.
        if (!driver->model() || !driver->model()->listening || !driver->isConnected())
            continue;
        const int timeOut = driver->getTimeOutCount();
        // The count starts full at open: only bytes really received since
        // then make a panel normal (and let commands through). One never
        // heard runs the count down and is reported lost after 30 s.
        const bool heard = driver->lastReceiveMsecs() != 0;
        if (timeOut == 0 && driver->getCommState() != 0) {
            driver->setCommState(0);
            emitPanelNotice(it.key(), 1, tr("通讯超时"));
        } else if (driver->isGarbled() && driver->getCommState() != 0) {
            // Bytes keep coming, so the link looks alive, but for the whole
            // silence period none of them formed a frame with a good check
            // sum: every alarm the panel sends is lost, and someone must know.
            driver->setCommState(0);
            emitPanelNotice(it.key(), 1, tr("校验错误"));
        } else if (timeOut > 0 && heard && !driver->lastFramesInvalid() && driver->getCommState() != 1) {
            driver->setCommState(1);
            emitPanelNotice(it.key(), 0, tr("通讯正常"));
        }
    }
}
