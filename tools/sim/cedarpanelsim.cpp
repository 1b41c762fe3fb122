#include "tools/sim/cedarpanelsim.h"

#include "panels/models/cedarframes.h"

#include <QRegularExpression>

using namespace CedarFrames;

namespace {
QByteArray withSum(QByteArray f, int first)
{
    f.append(char(panelSum(f, first, f.size() - 1)));
    f.append(char(Terminator));
    return f;
}

QByteArray bytesOf(const QList<quint8> &v, int from, int count)
{
    QByteArray b;
    for (int i = from; i < from + count && i < v.size(); ++i)
        b.append(char(v.at(i)));
    return b;
}
}

CedarPanelSim::CedarPanelSim(int id, Model model) : StreamPanelSim(id), m_model(model) {}

SimulatorEntry CedarPanelSim::entry()
{
    SimulatorEntry e;
    e.key = QStringLiteral("cedar");
    e.options = {QCommandLineOption(QStringLiteral("wrong-sum-every"),
                                    QStringLiteral("Cedar/Dune: every n-th checksummed report first goes out with a "
                                                   "wrong checksum (default 0, never)."),
                                    QStringLiteral("n"), QStringLiteral("0"))};
    e.create = [](const PanelModel &model, const QCommandLineParser &parser, QString *error) -> PanelSim * {
        bool ok = false;
        const int every = parser.value(QStringLiteral("wrong-sum-every")).toInt(&ok);
        if (!ok || every < 0) {
            *error = QStringLiteral("--wrong-sum-every must be 0 or more, not %1")
                         .arg(parser.value(QStringLiteral("wrong-sum-every")));
            return nullptr;
        }
        auto *sim = new CedarPanelSim(1, model.name == QLatin1String("ControllerDune") ? Dune : Cedar);
        sim->setWrongChecksumEvery(every);
        return sim;
    };
    return e;
}

void CedarPanelSim::setSilent(bool on)
{
    StreamPanelSim::setSilent(on);
    m_state = Idle;
}

QByteArray CedarPanelSim::statusFrame(quint8 s) const
{
    QByteArray f;
    f.append(char(0xCB)).append(char(0xCB)).append(char(s)).append(char(0));
    if (m_model == Dune)
        f.append(char(0));
    return f;
}

QByteArray CedarPanelSim::conditionFrame(bool raised, const QByteArray &address, quint8 state)
{
    QByteArray f;
    f.append(char(raised ? 0xFE : 0xFD)).append(char(raised ? 0xEE : 0xDD));
    f.append(address.left(4).leftJustified(4, '\0'));
    f.append(char(state));
    return withSum(f, 2);
}

QByteArray CedarPanelSim::analogFrame(const QByteArray &address, quint8 b4, quint8 b5, quint8 b6)
{
    QByteArray f;
    f.append(char(0xF9)).append(char(0x99));
    f.append(address.left(4).leftJustified(4, '\0'));
    f.append(char(b4)).append(char(b5)).append(char(b6));
    return withSum(f, 2);
}

QByteArray CedarPanelSim::recordReply(int index, const QByteArray &address) const
{
    QByteArray f = recordRequest(m_nId, index);
    f.append(QByteArray(4, '\0'));
    f.append(address.left(4).leftJustified(4, '\0'));
    f.append(char(0));
    return withSum(f, 0);
}

void CedarPanelSim::addScriptFrame(const QByteArray &frame, bool checksummed)
{
    m_script.append(ScriptFrame{frame, checksummed});
}

void CedarPanelSim::addIdle(int polls)
{
    for (int i = 0; i < polls; ++i)
        addScriptFrame(QByteArray::fromHex("f0f0"));
}

void CedarPanelSim::addReset() { addScriptFrame(QByteArray::fromHex("0aaa")); }
void CedarPanelSim::addSilenced() { addScriptFrame(QByteArray::fromHex("0aab")); }
void CedarPanelSim::addStatus(quint8 s) { addScriptFrame(statusFrame(s)); }

void CedarPanelSim::addRaised(const QByteArray &address, quint8 state)
{
    addScriptFrame(conditionFrame(true, address, state), true);
}

void CedarPanelSim::addCleared(const QByteArray &address, quint8 state)
{
    addScriptFrame(conditionFrame(false, address, state), true);
}

void CedarPanelSim::addAnalog(const QByteArray &address, quint8 b4, quint8 b5, quint8 b6)
{
    addScriptFrame(analogFrame(address, b4, b5, b6), true);
}

void CedarPanelSim::addRecord(const QByteArray &address) { m_records.append(address); }

bool CedarPanelSim::loadScript(const QString &text, QString *error)
{
    return readScriptLines(text, error, [this](const QString &line) {
        const QStringList w = line.split(QRegularExpression(QStringLiteral("\\s+")));
        const QString word = w.at(0).toLower();
        QList<quint8> v;
        const bool ok = hexBytes(w, &v);
        bool known = ok;
        if (word == QLatin1String("idle") && w.size() == 2) {
            const int count = w.at(1).toInt(&known);
            known = known && count > 0 && count <= 100000;
            if (known)
                addIdle(count);
        } else if (ok && word == QLatin1String("reset") && v.isEmpty()) {
            addReset();
        } else if (ok && word == QLatin1String("silenced") && v.isEmpty()) {
            addSilenced();
        } else if (ok && word == QLatin1String("status") && v.size() == 1) {
            addStatus(v[0]);
        } else if (ok && (word == QLatin1String("raised") || word == QLatin1String("cleared")) && v.size() == 5) {
            if (word == QLatin1String("raised"))
                addRaised(bytesOf(v, 0, 4), v[4]);
            else
                addCleared(bytesOf(v, 0, 4), v[4]);
        } else if (ok && word == QLatin1String("analog") && v.size() == 7) {
            addAnalog(bytesOf(v, 0, 4), v[4], v[5], v[6]);
        } else if (ok && word == QLatin1String("record") && v.size() == 4) {
            addRecord(bytesOf(v, 0, 4));
        } else if (ok && word == QLatin1String("raw") && !v.isEmpty()) {
            addScriptFrame(bytesOf(v, 0, v.size()));
        } else {
            known = false;
        }
        return known;
    });
}

bool CedarPanelSim::parseOne(Received *out)
{
    if (m_buffer.isEmpty())
        return false;
    const quint8 b0 = quint8(m_buffer.at(0));
    Received r;
    int take = 1;
    const State state = m_state;
    m_state = Idle;
    if (state == WaitData && b0 == DataPhase) {
        r.type = Received::DataPhase;
        r.command = m_nPending;
    } else if (state == WaitAck && (b0 == Accepted || b0 == SendAgain)) {
        r.type = b0 == Accepted ? Received::Accepted : Received::SendAgain;
    } else if ((state == WaitTimeBlock && b0 == 0xD5) || (state == WaitStateBlock && b0 == 0x0C)) {
        take = state == WaitTimeBlock ? 10 : 9;
        if (m_buffer.size() < take) {
            m_state = state;
            return false;
        }
        r.type = state == WaitTimeBlock ? Received::SetTime : Received::DeviceState;
    } else if (b0 == quint8(m_nId)) {
        if (m_buffer.size() < 2) {
            m_state = state;
            return false;
        }
        const quint8 b1 = quint8(m_buffer.at(1));
        if (b1 == RecordCommand || b1 == 0x65 || b1 == 0x66) {
            take = 4;
            if (m_buffer.size() < take) {
                m_state = state;
                return false;
            }
            r.type = b1 == RecordCommand ? Received::RecordRequest : Received::ReadValue;
            const quint8 hi = quint8(m_buffer.at(2));
            r.index = (hi >> 4) * 1000 + (hi & 0x0F) * 100 + fromBcd(quint8(m_buffer.at(3)));
        } else if (b1 == CommandPoll || b1 == CommandSilence || b1 == CommandReset || b1 == CommandSetTime
                   || b1 == CommandDeviceState) {
            take = 2;
            r.type = Received::Handshake;
            r.command = b1;
        }
    }
    r.bytes = m_buffer.left(take);
    m_buffer.remove(0, take);
    *out = r;
    return true;
}

QByteArray CedarPanelSim::nextReport()
{
    if (!m_resend.isEmpty()) {
        QByteArray f;
        f.swap(m_resend);
        m_lastGood = f;
        return f;
    }
    if (m_nScriptPos >= m_script.size() && m_bLoop)
        m_nScriptPos = 0;
    if (m_nScriptPos >= m_script.size()) {
        m_lastGood.clear();
        return QByteArray::fromHex("f0f0");
    }
    const ScriptFrame &f = m_script.at(m_nScriptPos++);
    if (!f.checksummed) {
        m_lastGood.clear();
        return f.bytes;
    }
    m_lastGood = f.bytes;
    ++m_nReportsSent;
    if (m_nWrongEvery > 0 && ++m_nChecksummed % m_nWrongEvery == 0) {
        QByteArray wrong = f.bytes;
        const int at = wrong.size() - 2;
        wrong[at] = char(wrong.at(at) ^ 0x01);
        return wrong;
    }
    return f.bytes;
}

QByteArray CedarPanelSim::answer(const Received &r)
{
    if (m_bSilent) {
        m_state = Idle;
        return QByteArray();
    }
    if (m_bGarbage) {
        m_state = Idle;
        const bool asks = r.type == Received::Handshake || r.type == Received::RecordRequest
            || r.type == Received::ReadValue;
        return asks ? randomBytes(24) : QByteArray();
    }
    switch (r.type) {
    case Received::Handshake:
        if (r.command == CommandPoll || r.command == CommandSetTime || r.command == CommandDeviceState) {
            m_state = WaitData;
            m_nPending = r.command;
        }
        return QByteArray(1, char(m_nId));
    case Received::DataPhase:
        if (r.command == CommandSetTime) {
            m_state = WaitTimeBlock;
            return QByteArray();
        }
        if (r.command == CommandDeviceState) {
            m_state = WaitStateBlock;
            return QByteArray();
        }
        m_state = WaitAck;
        return nextReport();
    case Received::Accepted:
        m_lastGood.clear();
        return QByteArray();
    case Received::SendAgain:
        m_resend = m_lastGood;
        return QByteArray();
    case Received::SetTime:
        return QByteArray::fromHex(m_bRefuse ? "0100bb" : "0000bb");
    case Received::DeviceState:
        return QByteArray::fromHex(m_bRefuse ? "0001bb" : "0000bb");
    case Received::RecordRequest:
        if (r.index >= 1 && r.index <= m_records.size())
            return recordReply(r.index, m_records.at(r.index - 1));
        return QByteArray(); // past the last record: silence ends the query
    case Received::ReadValue: {
        QByteArray f = r.bytes.left(3);
        f.append(char(m_nReadValue >> 8)).append(char(m_nReadValue & 0xFF));
        return withSum(f, 0);
    }
    case Received::Unknown:
        break;
    }
    return QByteArray();
}

QString CedarPanelSim::describe(const Received &r) const
{
    static const char *const names[] = {"handshake", "data", "accepted", "send-again", "record-request",
                                        "set-time", "device-state", "read-value", "unknown"};
    QString text = QLatin1String(names[r.type]);
    if (r.type == Received::Handshake) {
        switch (r.command) {
        case CommandPoll: text += QLatin1String(" poll"); break;
        case CommandSilence: text += QLatin1String(" silence"); break;
        case CommandReset: text += QLatin1String(" reset"); break;
        case CommandSetTime: text += QLatin1String(" set-time"); break;
        default: text += QLatin1String(" device-state"); break;
        }
    }
    return text + QLatin1Char(' ') + QString::fromLatin1(r.bytes.toHex(' '));
}
