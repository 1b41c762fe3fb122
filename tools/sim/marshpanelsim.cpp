#include "tools/sim/marshpanelsim.h"

#include <QNetworkDatagram>
#include <QRandomGenerator>
#include <QRegularExpression>

namespace {
QString describe(const SPanel2ATSData &r)
{
    return QStringLiteral("record %1 byte1=%2 byte7=%3 byte8=%4 text1=%5 text2=%6 text3=%7")
        .arg(r.nCode, 2, 16, QLatin1Char('0')).arg(r.nByte1).arg(r.byte7()).arg(r.byte8())
        .arg(r.strText1, r.strText2, r.strText3);
}

// "host:port" of the tool's --server option.
bool parseServer(const QString &text, QHostAddress *host, quint16 *port)
{
    const int colon = text.lastIndexOf(QLatin1Char(':'));
    bool ok = false;
    const uint p = text.mid(colon + 1).toUInt(&ok);
    *host = QHostAddress(text.left(colon));
    *port = quint16(p);
    return colon > 0 && ok && p > 0 && p < 65536 && !host->isNull();
}
}

MarshPanelSim::MarshPanelSim(int id) : PanelSim(id)
{
    m_nSequence = quint16(QRandomGenerator::global()->generate());
}

SimulatorEntry MarshPanelSim::entry()
{
    SimulatorEntry e;
    e.key = QStringLiteral("marsh");
    e.create = [](const PanelModel &, const QCommandLineParser &, QString *) -> PanelSim * {
        return new MarshPanelSim;
    };
    e.open = [](PanelSim &sim, const PanelModel &, const QCommandLineParser &parser, QString *error) -> SimTransport * {
        const QString listenText = parser.value(QStringLiteral("listen"));
        bool ok = true;
        const uint listenPort = listenText.isEmpty() ? 9101 : listenText.toUInt(&ok);
        if (!ok || listenPort > 65535) {
            *error = QStringLiteral("--listen must be a port number, not %1").arg(listenText);
            return nullptr;
        }
        const QString serverText = parser.value(QStringLiteral("server"));
        QHostAddress server(QHostAddress::LocalHost);
        quint16 serverPort = 9102;
        if (!serverText.isEmpty() && !parseServer(serverText, &server, &serverPort)) {
            *error = QStringLiteral("--server must be address:port, not %1").arg(serverText);
            return nullptr;
        }
        auto *t = new MarshSimTransport(sim);
        t->setServer(server, serverPort);
        // A server on this machine is reached on loopback only.
        const QHostAddress local = server.isLoopback() ? QHostAddress(QHostAddress::LocalHost)
                                                       : QHostAddress(QHostAddress::AnyIPv4);
        if (!t->listen(local, quint16(listenPort))) {
            *error = QStringLiteral("cannot listen on UDP %1: %2").arg(listenPort).arg(t->errorText());
            delete t;
            return nullptr;
        }
        return t;
    };
    return e;
}

SPanel2ATSData MarshPanelSim::report(quint8 code, quint8 byte1, quint8 byte7, quint8 byte8,
                                     const QString &text2, const QString &text3)
{
    SPanel2ATSData r;
    r.nCode = code;
    r.nByte1 = byte1;
    r.setByte7(byte7);
    r.setByte8(byte8);
    r.strText2 = text2;
    r.strText3 = text3;
    return r;
}

void MarshPanelSim::addReport(const SPanel2ATSData &report)
{
    m_script.append(report);
}

bool MarshPanelSim::loadScript(const QString &text, QString *error)
{
    return readScriptLines(text, error, [this](const QString &line) {
        const QStringList w = line.split(QRegularExpression(QStringLiteral("\\s+")));
        const QString word = w.at(0).toLower();
        QList<uint> v;
        bool ok = true;
        for (int i = 1; i < w.size() && i <= 4 && ok; ++i)
            v.append(w.at(i).toUInt(&ok, 0));
        if (ok && word == QLatin1String("report") && w.size() == 7 && v.at(0) > 0 && v.at(0) < 256
            && v.at(1) < 256 && v.at(2) < 256 && v.at(3) < 256
            && Ats2Wire::recordFits(report(0, 0, 0, 0, w.at(5), w.at(6)))) {
            addReport(report(quint8(v.at(0)), quint8(v.at(1)), quint8(v.at(2)), quint8(v.at(3)), w.at(5), w.at(6)));
        } else if (ok && word == QLatin1String("wait") && w.size() == 2 && v.at(0) > 0 && v.at(0) < 65536) {
            SPanel2ATSData pause;
            pause.nIndex = quint16(v.at(0));
            addReport(pause);
        } else {
            return false;
        }
        return true;
    });
}

QByteArray MarshPanelSim::encode(quint8 kind, quint16 sequence, const SPanel2ATSData &record) const
{
    return Ats2Wire::encode(kind, quint8(m_nId), sequence, record);
}

void MarshPanelSim::note(const QString &text, int size)
{
    m_frames.append({text, size});
}

QByteArray MarshPanelSim::feed(const QByteArray &datagram)
{
    const Ats2Wire::Decoded d = Ats2Wire::decode(datagram);
    if (d.status != Ats2Wire::Complete) {
        note(QStringLiteral("invalid: %1").arg(d.error), datagram.size());
        return QByteArray();
    }
    const SATSPacket &p = d.packet;
    if (p.nPanelId != m_nId) {
        note(QStringLiteral("for panel %1, not this one").arg(p.nPanelId), datagram.size());
        return QByteArray();
    }
    switch (p.nKind) {
    case Ats2Wire::Record:
        note(describe(p.record), datagram.size());
        break;
    case Ats2Wire::KeepAlive:
        note(QStringLiteral("keep-alive"), datagram.size());
        break;
    case Ats2Wire::Ack:
        note(QStringLiteral("ack"), datagram.size());
        break;
    default:
        note(QStringLiteral("keep-alive answer"), datagram.size());
        break;
    }
    if (m_bSilent)
        return QByteArray();
    if (m_bGarbage)
        return randomBytes(64);
    switch (p.nKind) {
    case Ats2Wire::Record:
        // A repeat (our acknowledgement was lost) is acknowledged again, kept once.
        if (!m_bHaveLast || p.nSequence != m_nLastCommand)
            m_commands.append(p.record);
        m_bHaveLast = true;
        m_nLastCommand = p.nSequence;
        return encode(Ats2Wire::Ack, p.nSequence);
    case Ats2Wire::KeepAlive:
        return encode(Ats2Wire::KeepAliveAnswer, p.nSequence);
    case Ats2Wire::Ack:
        if (m_bUnacked && p.nSequence == m_nPendingSequence)
            m_bUnacked = false;
        return QByteArray();
    default:
        return QByteArray();
    }
}

QByteArray MarshPanelSim::unsolicited()
{
    if (m_bSilent)
        return QByteArray();
    if (m_bUnacked)
        return encode(Ats2Wire::Record, m_nPendingSequence, m_pending);
    if (m_nWait > 0) {
        --m_nWait;
        return QByteArray();
    }
    if (m_nScriptPos >= m_script.size() && m_bLoop)
        m_nScriptPos = 0;
    if (m_nScriptPos >= m_script.size())
        return QByteArray();
    const SPanel2ATSData next = m_script.at(m_nScriptPos++);
    if (next.nCode == 0) {
        m_nWait = next.nIndex - 1; // this period is the first of the wait
        return QByteArray();
    }
    m_pending = next;
    ++m_nReportsSent;
    m_nPendingSequence = ++m_nSequence;
    m_bUnacked = true;
    return encode(Ats2Wire::Record, m_nPendingSequence, m_pending);
}

QList<PanelSim::Frame> MarshPanelSim::takeFrames()
{
    return m_frames.take();
}

QList<SPanel2ATSData> MarshPanelSim::takeCommands()
{
    return m_commands.take();
}

MarshSimTransport::MarshSimTransport(PanelSim &sim, QObject *parent) : SimTransport(parent), m_sim(sim)
{
    connect(&m_socket, &QUdpSocket::readyRead, this, &MarshSimTransport::onReadyRead);
    connect(&m_reports, &QTimer::timeout, this, [this] { sendRaw(m_sim.unsolicited()); });
}

bool MarshSimTransport::listen(const QHostAddress &address, quint16 port)
{
    if (!m_socket.bind(address, port))
        return false;
    if (m_sim.unsolicitedIntervalMs() > 0)
        m_reports.start(m_sim.unsolicitedIntervalMs());
    return true;
}

void MarshSimTransport::setServer(const QHostAddress &address, quint16 port)
{
    m_server = address;
    m_nServerPort = port;
}

void MarshSimTransport::sendRaw(const QByteArray &datagram)
{
    if (!datagram.isEmpty())
        m_socket.writeDatagram(datagram, m_server, m_nServerPort);
}

void MarshSimTransport::emitFrames()
{
    for (const PanelSim::Frame &f : m_sim.takeFrames())
        emit frameReceived(f.text);
}

void MarshSimTransport::onReadyRead()
{
    while (m_socket.hasPendingDatagrams()) {
        const QNetworkDatagram dg = m_socket.receiveDatagram(4096);
        if (!dg.isValid())
            break;
        setServer(dg.senderAddress(), quint16(dg.senderPort()));
        const QByteArray reply = m_sim.feed(dg.data());
        emitFrames();
        sendRaw(reply);
    }
}
