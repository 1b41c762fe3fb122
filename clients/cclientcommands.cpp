// CClient: the commands a client sends and their replies.

#include "clients/cclient.h"

#include "clients/clientaccounts.h"
#include "core/servercontext.h"

#include <QDebug>
#include <QTcpSocket>

#include <utility>

namespace {
QString controlLogText(quint8 nPanelID, int nCode, const QString &strDevice)
{
    return QStringLiteral("控制器编号:") + QString::number(nPanelID) + QStringLiteral(" 发送客户端命令:")
        + commandName(nCode) + strDevice;
}
} // namespace

void CClient::handleRequest(const ClientCodec::Request &request)
{
    using Request = ClientCodec::Request;
    switch (request.kind) {
    case Request::NoWord:
        qDebug() << "client" << peerText() << ": object without a command word ignored";
        break;
    case Request::Login: handleLogin(request.user); break;
    case Request::Logout: handleLogout(request.user); break;
    case Request::SetControl: handleSetControl(request.event); break;
    case Request::SetTime: handleSetTime(); break;
    case Request::ReadValueSwitch: handleReadValueSwitch(request.event); break;
    case Request::ReadValue: handleReadValue(request.event); break;
    case Request::GetRemote: handleGetRemote(); break;
    case Request::History: handleHistory(request); break;
    case Request::DataReceived:
        // The client's acknowledgement: its arrival already counted as life.
        break;
    case Request::NewEvent:
        log(request.event.nPanelID, request.event.nEventCode,
            QStringLiteral("收到客户端事件:")
                + ClientCodec::describeMessage(QStringLiteral("NEWEVENT"), request.event.toVariant()));
        break;
    case Request::Lamp:
        log(0, 0, QStringLiteral("收到客户端命令:") + request.word);
        break;
    case Request::Unknown:
        qWarning() << "client" << peerText() << ": unknown command word" << request.word;
        log(0, 0, QStringLiteral("未知的客户端命令:") + request.word);
        break;
    }
}

bool CClient::allowPanelCommand(const QString &strWord, quint8 nPanelID, int nCode)
{
    if (isLoggedIn())
        return true;
    // Panels are only driven by a client that proved who it is.
    qWarning() << "client" << peerText() << ": command" << strWord << "refused, not logged in";
    log(nPanelID, nCode, QStringLiteral("客户端未登录,拒绝执行命令:") + strWord);
    return false;
}

// --- login and logout ---------------------------------------------------------

void CClient::handleLogin(const UserInfo &u)
{
    ClientAccounts &accounts = ClientAccounts::instance();
    const ServerContext &ctx = ServerContext::instance();
    const QHostAddress peer = m_socket ? m_socket->peerAddress() : QHostAddress();
    if (accounts.throttle().blocked(peer)) {
        qDebug() << "client" << peerText() << "login as" << u.userName << "refused unchecked: too many failures";
        send(QStringLiteral("LogFailed"), QVariant(QStringLiteral("FAILED")));
        log(0, 0, QStringLiteral("客户端登录失败次数过多,暂时拒绝登录!"));
        return;
    }
    const ClientAccounts::LoginResult result = accounts.decideLogin(u.userName, u.password, peer, ctx.isHaveUserType);
    if (result != ClientAccounts::LoginOk && result != ClientAccounts::LoginAlreadyIn)
        accounts.throttle().failed(peer);
    const QString logText = ClientAccounts::loginLogText(result);
    qDebug() << "client" << peerText() << "login as" << u.userName << ":" << logText;

    if (result == ClientAccounts::LoginTypeMismatch) {
        // No reply at all: the client must not learn that the account exists.
        log(0, 0, logText);
        return;
    }
    if (result != ClientAccounts::LoginOk) {
        send(QStringLiteral("LogFailed"), QVariant(QStringLiteral("FAILED")));
        log(0, 0, logText);
        return;
    }

    // A second login on the same connection gives up the first account.
    if (!m_userName.isEmpty() && accounts.releaseLogin(m_userName, m_nSession))
        emit eSetUserConnState(m_userName, 0);
    // Taken now, so a login elsewhere during the pause is refused.
    m_nSession = accounts.claimLogin(u.userName);
    m_pendingUser = u.userName;
    send(QStringLiteral("LogOK_Mulsys"), QVariant(QStringLiteral("OK")));
    // The backlog is what was standing now; what the dispatcher delivers
    // from here on is kept for the client through the pause.
    takeBacklog();
    m_pauseDeliveries.clear();
    m_bPauseOverflowLogged = false;
    // The rest follows after a pause; commands that arrive meanwhile wait
    // in the buffer so their replies keep their order.
    m_bLoginPending = true;
    m_loginTimer.start(m_timing.loginPauseMs);
}

void CClient::slotLoginContinue()
{
    if (!m_bLoginPending || m_bClosed)
        return;
    const ServerContext &ctx = ServerContext::instance();
    if (ctx.bRemote)
        send(ctx.remoteLinkOk ? QStringLiteral("RemoteOK") : QStringLiteral("RemoteFailed"), QVariant(QString()));
    m_userName = m_pendingUser;
    m_pendingUser.clear();
    m_bLoginPending = false;
    m_loginDeadline.stop();
    emit eSetUserConnState(m_userName, 1);
    // What went out during the pause, before the paced backlog: a fire alarm
    // raised then must not wait behind the replay. The state sent just above
    // supersedes a centre link change of the pause.
    const QList<QPair<int, CEvent>> pause = std::exchange(m_pauseDeliveries, {});
    for (const QPair<int, CEvent> &d : pause) {
        if (d.first == 1 || !ctx.bRemote)
            slotSendDataToClient(d.first, d.second, QStringLiteral("ALL"));
    }
    startBacklog();
    log(0, 0, ClientAccounts::loginLogText(ClientAccounts::LoginOk));
    processInput();
}

void CClient::handleLogout(const UserInfo &u)
{
    ClientAccounts &accounts = ClientAccounts::instance();
    if (!accounts.contains(u.userName)) {
        qDebug() << "client" << peerText() << ": logout of unknown user" << u.userName;
        log(0, 0, QStringLiteral("客户端登出失败,用户名错误!"));
        return;
    }
    accounts.setUserState(u.userName, 0);
    if (u.userName == m_userName) {
        m_nSession = 0;
        if (!ServerContext::instance().eventsWithoutLogin && !m_bClosed)
            m_loginDeadline.start(m_timing.loginDeadlineMs);
    }
    emit eSetUserConnState(u.userName, 0);
    send(QStringLiteral("LogOutOK"), QVariant(QStringLiteral("OK")));
    log(0, 0, QStringLiteral("客户端登出成功!"));
}

// --- panel commands -----------------------------------------------------------

void CClient::handleSetControl(CEvent e)
{
    if (!allowPanelCommand(QStringLiteral("SETCONTROL"), e.nPanelID, e.nEventCode))
        return;

    const int clientCode = e.nEventCode;
    const int code = ClientCodec::commandCodeFor(clientCode);
    QString device;
    if (code != 0 && code == clientCode) {
        device = QStringLiteral(" 设备编号:") + e.strCode;
        if (e.strEndCode != e.strCode)
            device += QLatin1Char('-') + e.strEndCode;
    }
    if (code == 0) {
        qWarning() << "client" << peerText() << ": SETCONTROL with unknown code" << clientCode;
        log(e.nPanelID, clientCode,
            QStringLiteral("控制器编号:") + QString::number(e.nPanelID) + QStringLiteral(" 未知的控制命令:")
                + QString::number(clientCode));
        return;
    }
    e.nEventCode = code;
    QString logText = controlLogText(e.nPanelID, code, device);
    if (ServerContext::instance().isControl) {
        emit eSendCommandDataToPanel(e);
    } else {
        logText += QStringLiteral(" (未启用控制,命令未发送)");
        // Without control the panel never reports the reset, so the client
        // gets its backlog again after a while as if it had.
        if (code == CmdReset && !m_bResend)
            m_resetTimer.start(m_timing.resetFollowUpMs);
    }
    log(e.nPanelID, code, logText);
}

void CClient::handleSetTime()
{
    CEvent e;
    e.nEventCode = CmdSyncTime;
    if (!allowPanelCommand(QStringLiteral("SETTIME"), 0, CmdSyncTime))
        return;
    emit eSendCommandDataToPanel(e);
    log(0, CmdSyncTime, controlLogText(0, CmdSyncTime, QString()));
}

void CClient::handleReadValueSwitch(CEvent e)
{
    e.nEventCode = CmdReadValueSwitch;
    if (!allowPanelCommand(QStringLiteral("READVALUESWITCH"), e.nPanelID, CmdReadValueSwitch))
        return;
    emit eSendCommandDataToPanel(e);
    log(e.nPanelID, CmdReadValueSwitch,
        QStringLiteral("发送实时值开关命令:控制器编号:%1 回路:%2 通道:%3 开关:%4")
            .arg(e.nPanelID).arg(e.nLoop).arg(e.nChannel).arg(e.nDevType));
}

void CClient::handleReadValue(CEvent e)
{
    e.nEventCode = CmdReadValue;
    if (!allowPanelCommand(QStringLiteral("READVALUE"), e.nPanelID, CmdReadValue))
        return;
    emit eSendCommandDataToPanel(e);
    log(e.nPanelID, CmdReadValue,
        QStringLiteral("发送查询实时值命令:控制器编号:%1 回路:%2 通道:%3")
            .arg(e.nPanelID).arg(e.nLoop).arg(e.nChannel));
}

void CClient::handleGetRemote()
{
    const bool ok = ServerContext::instance().remoteLinkOk;
    send(ok ? QStringLiteral("RemoteOK") : QStringLiteral("RemoteFailed"), QVariant(QString()));
    log(0, 0, QStringLiteral("客户端查询远程中心状态:") + (ok ? QStringLiteral("已连接") : QStringLiteral("未连接")));
}

// --- history ------------------------------------------------------------------

void CClient::handleHistory(const ClientCodec::Request &request)
{
    HistoryPage refusal;
    // Read-only, but the history tells who was where: for operators only.
    if (!isLoggedIn())
        refusal.error = QStringLiteral("log in first");
    else if (!request.error.isEmpty())
        refusal.error = request.error;
    else if (!m_historyHandler)
        refusal.error = QStringLiteral("this server records no history (History/enabled is not 1)");
    if (!refusal.error.isEmpty()) {
        qWarning().noquote() << "client" << peerText() << "HISTORY refused:" << refusal.error;
        sendHistory(refusal);
        return;
    }
    const HistoryQuery &q = request.history;
    log(quint8(q.panel), 0,
        QStringLiteral("客户端查询历史记录:%1 至 %2 控制器:%3 类别:%4").arg(q.from, q.to).arg(q.panel).arg(q.eventClass));
    m_historyHandler(q, this, [this](const HistoryPage &page) { sendHistory(page); });
}

void CClient::sendHistory(const HistoryPage &page)
{
    if (m_bSilent)
        return;
    const int nSerial = nextSequence();
    if (!writable())
        return;
    writeToSocket(ClientCodec::encodeHistoryReply(nSerial, page));
    m_bIdle = false;
}
