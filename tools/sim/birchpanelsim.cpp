#include "tools/sim/birchpanelsim.h"

#include "panels/models/birchframes.h"

#include <QRegularExpression>

using namespace BirchFrames;

BirchPanelSim::BirchPanelSim(int id) : StreamPanelSim(id) {}

SimulatorEntry BirchPanelSim::entry()
{
    SimulatorEntry e;
    e.key = QStringLiteral("birch");
    e.options = {QCommandLineOption(QStringLiteral("ack"),
                                    QStringLiteral("Birch/Ash: command acknowledgement, short or long (default short)."),
                                    QStringLiteral("form"), QStringLiteral("short"))};
    e.create = [](const PanelModel &, const QCommandLineParser &parser, QString *error) -> PanelSim * {
        const QString ack = parser.value(QStringLiteral("ack")).toLower();
        if (ack != QLatin1String("short") && ack != QLatin1String("long")) {
            *error = QStringLiteral("--ack must be short or long, not %1").arg(ack);
            return nullptr;
        }
        auto *sim = new BirchPanelSim(1);
        sim->setAckForm(ack == QLatin1String("long") ? LongAck : ShortAck);
        return sim;
    };
    return e;
}

QByteArray BirchPanelSim::reportFrame(quint8 kind, quint8 code, quint8 b3, quint8 b4, quint8 b5, quint8 b6) const
{
    QByteArray f;
    f.append(char(m_nId + 0x10));
    f.append(char(9));
    f.append(char(0x00));
    f.append(char(kind));
    f.append(char(code));
    f.append(char(b3)).append(char(b4)).append(char(b5)).append(char(b6));
    return f;
}

QByteArray BirchPanelSim::statusFrame(quint8 s) const
{
    QByteArray f;
    f.append(char(m_nId + 0x10)).append(char(5)).append(char(0)).append(char(KindStatus)).append(char(s));
    return f;
}

QByteArray BirchPanelSim::endFrame() const
{
    QByteArray f;
    f.append(char(m_nId + 0x10)).append(char(4)).append(char(0)).append(char(KindEnd));
    return f;
}

void BirchPanelSim::addScriptFrame(const QByteArray &frame) { m_script.append(frame); }

void BirchPanelSim::addReport(quint8 code, quint8 b3, quint8 b4, quint8 b5, quint8 b6)
{
    m_script.append(reportFrame(KindReport, code, b3, b4, b5, b6));
}

void BirchPanelSim::addStatus(quint8 s) { m_script.append(statusFrame(s)); }

void BirchPanelSim::addRecord(quint8 code, quint8 b3, quint8 b4, quint8 b5, quint8 b6)
{
    m_records.append(reportFrame(KindReport, code, b3, b4, b5, b6));
}

bool BirchPanelSim::loadScript(const QString &text, QString *error)
{
    return readScriptLines(text, error, [this](const QString &line) {
        const QStringList w = line.split(QRegularExpression(QStringLiteral("\\s+")));
        QList<quint8> v;
        bool ok = hexBytes(w, &v);
        const QString word = w.at(0).toLower();
        if (word == QLatin1String("idle") && w.size() == 2) {
            // "idle N": answer the next N polls with the idle byte (N decimal),
            // so a looping script can space its reports out.
            bool nOk = false;
            const int count = w.at(1).toInt(&nOk);
            if (nOk && count > 0 && count <= 100000) {
                for (int i = 0; i < count; ++i)
                    addScriptFrame(QByteArray(1, char(idleByte(m_nId))));
                return true;
            }
            ok = false;
        }
        if (ok && (word == QLatin1String("report") || word == QLatin1String("record")) && v.size() == 5) {
            if (word == QLatin1String("report"))
                addReport(v[0], v[1], v[2], v[3], v[4]);
            else
                addRecord(v[0], v[1], v[2], v[3], v[4]);
        } else if (ok && word == QLatin1String("status") && v.size() == 1) {
            addStatus(v[0]);
        } else if (ok && word == QLatin1String("raw") && !v.isEmpty()) {
            QByteArray f;
            for (quint8 b : v)
                f.append(char(b));
            addScriptFrame(f);
        } else {
            return false;
        }
        return true;
    });
}

bool BirchPanelSim::parseOne(Received *out)
{
    if (m_buffer.isEmpty())
        return false;
    const quint8 b = quint8(m_buffer.at(0));
    Received r;
    int take = 1;
    if (b == recordAddress(m_nId) && (m_buffer.size() < 2 || quint8(m_buffer.at(1)) == 0x07)) {
        if (m_buffer.size() < 7)
            return false;
        take = 7;
        r.type = Received::RecordRequest;
        r.counter = quint8(m_buffer.at(2));
    } else if (b == pollByte(m_nId)) {
        r.type = Received::Poll;
    } else if (b == quint8(m_nId) && (m_buffer.size() < 2 || quint8(m_buffer.at(1)) == 0x0A
                                      || quint8(m_buffer.at(1)) == 0x0B)) {
        if (m_buffer.size() < 2)
            return false;
        take = quint8(m_buffer.at(1));
        if (m_buffer.size() < take)
            return false;
        r.type = take == 0x0A ? Received::Command : Received::DeviceState;
        r.command = quint8(m_buffer.at(4));
    } else if (b == idleByte(m_nId)) {
        r.type = Received::Ack;
    } else if (b == statusAck(m_nId)) {
        r.type = Received::StatusAck;
    }
    r.bytes = m_buffer.left(take);
    m_buffer.remove(0, take);
    *out = r;
    return true;
}

QByteArray BirchPanelSim::answer(const Received &r)
{
    if (m_bSilent)
        return QByteArray();
    const bool asks = r.type == Received::Poll || r.type == Received::RecordRequest
        || r.type == Received::Command || r.type == Received::DeviceState;
    if (m_bGarbage)
        return asks ? randomBytes(24) : QByteArray();
    switch (r.type) {
    case Received::Poll:
        if (m_nScriptPos >= m_script.size() && m_bLoop)
            m_nScriptPos = 0;
        if (m_nScriptPos < m_script.size()) {
            const QByteArray &f = m_script.at(m_nScriptPos++);
            if (f.size() > 1)
                ++m_nReportsSent;
            return f;
        }
        return QByteArray(1, char(idleByte(m_nId)));
    case Received::RecordRequest:
        if (r.counter >= 1 && r.counter <= m_records.size())
            return m_records.at(r.counter - 1);
        return endFrame();
    case Received::Command:
    case Received::DeviceState: {
        if (m_ackForm == ShortAck)
            return QByteArray(1, char(idleByte(m_nId)));
        QByteArray a;
        a.append(char(m_nId)).append(char(r.command)).append(char(0x01)).append(char(0x02)).append(char(0x03));
        a.append(char(quint8(m_nId + r.command + 1 + 2 + 3)));
        return a;
    }
    default:
        return QByteArray();
    }
}

QString BirchPanelSim::describe(const Received &r) const
{
    static const char *const names[] = {"poll", "record-request", "command", "device-state",
                                        "ack", "status-ack", "unknown"};
    return QStringLiteral("%1 %2").arg(QLatin1String(names[r.type]),
                                       QString::fromLatin1(r.bytes.toHex(' ')));
}
