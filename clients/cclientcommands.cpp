// CClient: the commands a client sends and their replies.

#include "clients/cclient.h"

#include "clients/clientaccounts.h"
#include "clients/userinfo.h"
#include "core/servercontext.h"

#include <QDebug>
#include <QJsonValue>
#include <QTcpSocket>

namespace {
int num(const QJsonObject &o, const char *key)
{
    return o.value(QLatin1String(key)).toInt();
}

QString text(const QJsonObject &o, const char *key)
{
    return o.value(QLatin1String(key)).toString();
}

UserInfo userFrom(const QJsonObject &o)
{
    UserInfo u;
    u.nNumber = num(o, "q");
    u.strText = text(o, "r");
    u.server = text(o, "s");
    u.userName = text(o, "t");
    u.password = text(o, "u");
    return u;
}

QString controlLogText(quint8 nPanelID, int nCode, const QString &strDevice)
{
    return QStringLiteral("控制器编号:") + QString::number(nPanelID) + QStringLiteral(" 发送客户端命令:")
        + commandName(nCode) + strDevice;
}
} // namespace

void CClient::handleObject(const QJsonObject &obj)
{
    if (!obj.contains(QLatin1String("b"))) {
        qDebug() << "client" << peerText() << ": object without a command word ignored";
        return;
    }
    const QString raw = obj.value(QLatin1String("b")).toString();
    const QString word = raw.trimmed().toUpper();

    if (word == QLatin1String("LOGIN")) {
        handleLogin(obj);
    } else if (word == QLatin1String("LOGOUT")) {
        handleLogout(obj);
    } else if (word == QLatin1String("SETCONTROL")) {
        handleSetControl(obj);
    } else if (word == QLatin1String("SETTIME")) {
        handleSetTime();
    } else if (word == QLatin1String("READVALUESWITCH")) {
        handleReadValueSwitch(obj);
    } else if (word.contains(QLatin1String("READVALUE"))) {
        handleReadValue(obj);
    } else if (word == QLatin1String("GETREMOTE")) {
        handleGetRemote();
    } else if (word == QLatin1String("DATARECEIVED")) {
        // The client's acknowledgement: its arrival already counted as life.
    } else if (word == QLatin1String("NEWEVENT")) {
        CEvent e;
        e.nPanelID = quint8(num(obj, "d"));
        e.nEventCode = num(obj, "g");
        e.nEventProperty = num(obj, "h");
        e.nLoop = num(obj, "i");
        e.nAddress = num(obj, "j");
        e.nDevType = num(obj, "k");
        e.strNote = text(obj, "l");
        e.strCode = text(obj, "m");
        e.strEndCode = text(obj, "n");
        e.strTime = text(obj, "o");
        log(e.nPanelID, e.nEventCode,
            QStringLiteral("收到客户端事件:") + describeMessage(QStringLiteral("NEWEVENT"), e.toVariant()));
    } else if (word == QLatin1String("SETLAMP") || word == QLatin1String("SOUND")) {
        log(0, 0, QStringLiteral("收到客户端命令:") + raw);
    } else {
        qWarning() << "client" << peerText() << ": unknown command word" << raw;
        log(0, 0, QStringLiteral("未知的客户端命令:") + raw);
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

void CClient::handleLogin(const QJsonObject &obj)
{
    const UserInfo u = userFrom(obj);
    ClientAccounts &accounts = ClientAccounts::instance();
    const ServerContext &ctx = ServerContext::instance();
    const ClientAccounts::LoginResult result = accounts.decideLogin(
        u.userName, u.password, m_socket ? m_socket->peerAddress() : QHostAddress(), ctx.isHaveUserType);
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
    emit eSetUserConnState(m_userName, 1);
    resendBacklog();
    log(0, 0, ClientAccounts::loginLogText(ClientAccounts::LoginOk));
    processInput();
}

void CClient::handleLogout(const QJsonObject &obj)
{
    const UserInfo u = userFrom(obj);
    ClientAccounts &accounts = ClientAccounts::instance();
    if (!accounts.contains(u.userName)) {
        qDebug() << "client" << peerText() << ": logout of unknown user" << u.userName;
        log(0, 0, QStringLiteral("客户端登出失败,用户名错误!"));
        return;
    }
    accounts.setUserState(u.userName, 0);
    if (u.userName == m_userName)
        m_nSession = 0;
    emit eSetUserConnState(u.userName, 0);
    send(QStringLiteral("LogOutOK"), QVariant(QStringLiteral("OK")));
    log(0, 0, QStringLiteral("客户端登出成功!"));
}

// --- panel commands -----------------------------------------------------------

void CClient::handleSetControl(const QJsonObject &obj)
{
    CEvent e;
    e.nPanelID = quint8(num(obj, "d"));
    e.nPanelType = num(obj, "e");
    e.nEventCode = num(obj, "g");
    e.nEventProperty = num(obj, "h");
    e.nLoop = num(obj, "i");
    e.nAddress = num(obj, "j");
    e.nDevType = num(obj, "k");
    e.nChannel = num(obj, "x");
    e.strNote = text(obj, "l");
    e.strCode = text(obj, "m");
    e.strEndCode = text(obj, "n");
    e.strTime = text(obj, "o");
    e.strExtra = text(obj, "w");
    if (!allowPanelCommand(QStringLiteral("SETCONTROL"), e.nPanelID, e.nEventCode))
        return;

    const int clientCode = e.nEventCode;
    QString device;
    int code = 0;
    if (clientCode >= 0x8A && clientCode <= 0x93) {
        code = clientCode;
        device = QStringLiteral(" 设备编号:") + e.strCode;
        if (e.strEndCode != e.strCode)
            device += QLatin1Char('-') + e.strEndCode;
    } else if (clientCode == 16) {
        code = CmdSilence;
    } else if (clientCode == 18) {
        code = CmdControl97;
    } else if (clientCode == 11) {
        code = CmdReset;
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
        emit eSendCommandDataToPanel(e.toVariant());
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
    emit eSendCommandDataToPanel(e.toVariant());
    log(0, CmdSyncTime, controlLogText(0, CmdSyncTime, QString()));
}

void CClient::handleReadValueSwitch(const QJsonObject &obj)
{
    CEvent e;
    e.nPanelID = quint8(num(obj, "d"));
    e.nPanelType = num(obj, "e");
    e.nLoop = num(obj, "i");
    e.nDevType = num(obj, "k");
    e.nChannel = num(obj, "x");
    e.nEventCode = CmdReadValueSwitch;
    if (!allowPanelCommand(QStringLiteral("READVALUESWITCH"), e.nPanelID, CmdReadValueSwitch))
        return;
    emit eSendCommandDataToPanel(e.toVariant());
    log(e.nPanelID, CmdReadValueSwitch,
        QStringLiteral("发送实时值开关命令:控制器编号:%1 回路:%2 通道:%3 开关:%4")
            .arg(e.nPanelID).arg(e.nLoop).arg(e.nChannel).arg(e.nDevType));
}

void CClient::handleReadValue(const QJsonObject &obj)
{
    CEvent e;
    e.nPanelID = quint8(num(obj, "d"));
    e.nLoop = num(obj, "i");
    e.nChannel = num(obj, "x");
    // The client's switch is inverted on the panel side.
    e.nDevType = num(obj, "k") == 1 ? 0 : 1;
    e.strNote = QStringLiteral("ReadValue");
    e.nEventCode = CmdReadValue;
    if (!allowPanelCommand(QStringLiteral("READVALUE"), e.nPanelID, CmdReadValue))
        return;
    emit eSendCommandDataToPanel(e.toVariant());
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
