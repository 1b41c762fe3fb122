#include "tools/sim/recordpanelsim.h"

#include "panels/models/elmframes.h"
#include "tools/sim/elmsimsocket.h"

#include <QRegularExpression>
#include <QTextCodec>

using namespace ElmFrames;

namespace {
// An answer whose time is further off than this from our clock is wrong.
const int kTimeSlackSecs = 5;

QByteArray gbk(const QString &text)
{
    static QTextCodec *const codec = QTextCodec::codecForName("GBK");
    return codec ? codec->fromUnicode(text) : text.toLatin1();
}

QByteArray reportHeader(quint8 kind, quint8 id)
{
    QByteArray f = QByteArray::fromHex("7e01010103");
    f.append(char(kind)).append(char(0x00)).append(char(id));
    return f;
}

QByteArray timeBytes(const QDateTime &t)
{
    QByteArray b;
    b.append(char(t.date().year() % 100)).append(char(t.date().month())).append(char(t.date().day()));
    b.append(char(t.time().hour())).append(char(t.time().minute())).append(char(t.time().second()));
    return b;
}
} // namespace

RecordPanelSim::RecordPanelSim(Model model, int id)
    : PanelSim(id), m_model(model), m_clock([] { return QDateTime::currentDateTime(); })
{
}

QByteArray RecordPanelSim::deviceBody(int loop, int address, quint8 type, const QByteArray &text) const
{
    // Bytes 8..66 of a device report: loop, address, type, time, text, then
    // the start and end codes (panel, loop, address as decimal pairs).
    QByteArray b;
    b.append(char(loop >> 8)).append(char(loop)).append(char(address >> 8)).append(char(address));
    b.append(char(type)).append(timeBytes(m_clock()));
    b.append(text.left(39).leftJustified(40, '\0'));
    const QByteArray code = QByteArray().append(char(m_nId % 100)).append(char(loop % 100))
                                .append(char(address / 100 % 100)).append(char(address % 100));
    return b.append(code).append(code);
}

QByteArray RecordPanelSim::elmReport(quint8 kind, int loop, int address, quint8 type, const QByteArray &text) const
{
    QByteArray f = reportHeader(kind, quint8(m_nId));
    switch (elmClass(kind)) {
    case 1:
        f.append(deviceBody(loop, address, type, text));
        break;
    case 2:
        f.append(timeBytes(m_clock()));
        break;
    case 3:
        f.append(char(loop >> 8)).append(char(loop)).append(timeBytes(m_clock()));
        break;
    default:
        break;
    }
    return appendCrc(f);
}

QByteArray RecordPanelSim::juniperReport(quint8 kind, int loop, int address, quint8 type, const QByteArray &text) const
{
    QByteArray f = reportHeader(kind, quint8(m_nId));
    if (isJuniperDeviceKind(kind)) {
        f.append(deviceBody(loop, address, type, text));
    } else if (isJuniperPanelKind(kind)) {
        // Panel events carry the time where others carry the number.
        f.truncate(6);
        f.append(timeBytes(m_clock())).append(char(0x00)).append(char(m_nId));
    }
    return appendCrc(f);
}

QByteArray RecordPanelSim::report(quint8 kind, int loop, int address, quint8 type, const QString &text) const
{
    return m_model == Elm ? elmReport(kind, loop, address, type, gbk(text))
                          : juniperReport(kind, loop, address, type, gbk(text));
}

void RecordPanelSim::addReport(quint8 kind, int loop, int address, quint8 type, const QString &text)
{
    // Kept as a recipe: the time is the moment it is sent.
    Step s;
    s.kind = kind;
    s.loop = loop;
    s.address = address;
    s.devType = type;
    s.text = text;
    m_script.append(s);
}

void RecordPanelSim::addRaw(const QByteArray &bytes)
{
    Step s;
    s.type = Step::Raw;
    s.raw = bytes;
    m_script.append(s);
}

void RecordPanelSim::addWait(int ms)
{
    Step s;
    s.type = Step::Wait;
    s.value = ms;
    m_script.append(s);
}

int RecordPanelSim::pendingReports() const
{
    int n = 0;
    for (int i = m_nPos; i < m_script.size(); ++i)
        n += m_script.at(i).type == Step::Report || m_script.at(i).type == Step::Raw;
    return n;
}

bool RecordPanelSim::loadScript(const QString &text, QString *error)
{
    return readScriptLines(text, error, [this](const QString &line) {
        const QStringList w = line.split(QRegularExpression(QStringLiteral("\\s+")));
        const QString word = w.at(0).toLower();
        bool ok = true;
        if (word == QLatin1String("report") && w.size() >= 2 && (w.size() == 2 || w.size() >= 5)) {
            QList<int> v;
            for (int i = 1; i < qMin(w.size(), 5) && ok; ++i)
                v.append(int(w.at(i).toUInt(&ok, 16)));
            while (v.size() < 4)
                v.append(0);
            const QString deviceText = w.size() > 5 ? QStringList(w.mid(5)).join(QLatin1Char(' ')) : QString();
            if (ok && v[0] <= 0xFF && v[3] <= 0xFF)
                addReport(quint8(v[0]), v[1], v[2], quint8(v[3]), deviceText);
            else
                ok = false;
        } else if (word == QLatin1String("raw") && w.size() >= 2) {
            QByteArray f;
            for (int i = 1; i < w.size() && ok; ++i) {
                const uint b = w.at(i).toUInt(&ok, 16);
                ok = ok && b <= 0xFF;
                f.append(char(b));
            }
            if (ok)
                addRaw(f);
        } else if (word == QLatin1String("wait") && w.size() == 2) {
            const int ms = w.at(1).toInt(&ok);
            ok = ok && ms >= 0 && ms <= 3600 * 1000;
            if (ok)
                addWait(ms);
        } else if (word == QLatin1String("panel") && w.size() == 2) {
            const int id = w.at(1).toInt(&ok);
            ok = ok && id >= 0 && id <= 255;
            if (ok) {
                Step s;
                s.type = Step::Panel;
                s.value = id;
                m_script.append(s);
            }
        } else {
            ok = false;
        }
        return ok;
    });
}

bool RecordPanelSim::nextFrame(QByteArray *frame, bool *raw)
{
    // Bounded: a script of pauses and panel changes alone yields nothing.
    for (int guard = 0; guard <= m_script.size() + 1; ++guard) {
        if (m_nWaitMs > 0) {
            if (m_waitUntil.elapsed() < m_nWaitMs)
                return false;
            m_nWaitMs = 0;
        }
        if (m_nPos >= m_script.size()) {
            if (!m_bLoop || m_script.isEmpty())
                return false;
            m_nPos = 0;
        }
        const Step &s = m_script.at(m_nPos++);
        switch (s.type) {
        case Step::Panel:
            m_nId = s.value;
            break;
        case Step::Wait:
            m_nWaitMs = s.value;
            m_waitUntil.start();
            break;
        case Step::Raw:
            *raw = true;
            *frame = s.raw;
            return true;
        case Step::Report:
            *raw = false;
            *frame = report(s.kind, s.loop, s.address, s.devType, s.text);
            return true;
        }
    }
    return false;
}

QByteArray RecordPanelSim::nextReport()
{
    if (m_bSilent || !m_outstanding.isEmpty())
        return QByteArray();
    QByteArray frame;
    bool raw = false;
    if (!nextFrame(&frame, &raw))
        return QByteArray();
    if (m_bGarbage)
        return randomBytes(40);
    ++m_nSent;
    if (!raw) {
        // Raw frames may be damaged on purpose: nobody acknowledges those.
        m_outstanding = frame;
        m_sentAt.start();
    }
    return frame;
}

QByteArray RecordPanelSim::unsolicited()
{
    if (m_bSilent)
        return QByteArray();
    if (!m_outstanding.isEmpty()) {
        if (m_sentAt.elapsed() < m_nRetryMs)
            return QByteArray();
        ++m_nResends;
        m_sentAt.start();
        return m_outstanding;
    }
    return nextReport();
}

RecordPanelSim::Received RecordPanelSim::parse(const QByteArray &frame)
{
    Received r;
    r.bytes = frame;
    if (frame == juniperSilenceFrame()) {
        r.type = Received::Silence;
        r.crcOk = true;
        return r;
    }
    r.crcOk = crcOk(frame);
    if (frame.size() < kHeaderSize || byteAt(frame, 0) != 0x7E)
        return r;
    const quint8 direction = byteAt(frame, 2);
    const quint8 function = byteAt(frame, 4);
    r.code = byteAt(frame, 5);
    r.id = byteAt(frame, 7);
    if (m_model == Juniper) {
        if ((function == 0x07 || function == 0x08) && r.code == 0x42)
            r.type = Received::Answer;
        return r;
    }
    if (function == 0x12) {
        r.type = Received::Connect;
        ++m_nConnects;
        m_announced = QHostAddress(quint32(byteAt(frame, 8)) << 24 | quint32(byteAt(frame, 9)) << 16
                                   | quint32(byteAt(frame, 10)) << 8 | byteAt(frame, 11));
    } else if (function == 0x03) {
        r.type = direction == 0x02 ? Received::Ack : Received::Command;
    } else if (function == 0x0B) {
        r.type = Received::Time;
        r.id = byteAt(frame, 14);
    } else if (function == 0x0C) {
        r.type = Received::DeviceState;
    }
    return r;
}

void RecordPanelSim::check(Received *r)
{
    if (r->type != Received::Ack && r->type != Received::Answer)
        return;
    if (m_outstanding.isEmpty())
        return; // acknowledges something that needed none (a keep-alive, noise)
    bool ok = r->crcOk;
    if (r->type == Received::Ack) {
        const quint8 kind = reportKind(m_outstanding);
        const quint8 number = byteAt(m_outstanding, 7);
        ok = ok && r->code == (kind == 1 ? AckKindOne : AckPlain) && r->id == (number == 251 ? 0 : number);
    } else {
        const QByteArray &b = r->bytes;
        const QDateTime t(QDate(2000 + byteAt(b, 6), byteAt(b, 7), byteAt(b, 8)),
                          QTime(byteAt(b, 9), byteAt(b, 10), byteAt(b, 11)));
        ok = ok && b.size() == (byteAt(b, 4) == 0x08 ? 15 : 14) && t.isValid()
            && qAbs(t.secsTo(m_clock())) <= kTimeSlackSecs;
    }
    r->expected = ok;
    if (!ok) {
        ++m_nWrongAcks;
        return;
    }
    ++m_nAcked;
    m_outstanding.clear();
}

QByteArray RecordPanelSim::feed(const QByteArray &bytes)
{
    QList<QByteArray> frames;
    if (m_model == Elm) {
        frames.append(bytes); // one datagram, one frame
    } else {
        m_buffer += bytes;
        const QByteArray silence = juniperSilenceFrame();
        while (!m_buffer.isEmpty()) {
            if (m_buffer.startsWith(silence)) {
                frames.append(silence);
                m_buffer.remove(0, silence.size());
                continue;
            }
            if (silence.startsWith(m_buffer))
                break; // the rest of a silence frame is still coming
            const Scan scan = scanRecord(m_buffer);
            if (scan.status == Scan::Incomplete)
                break;
            frames.append(m_buffer.left(scan.consumed));
            m_buffer.remove(0, scan.consumed);
        }
    }
    QByteArray reply;
    for (const QByteArray &frame : qAsConst(frames)) {
        Received r = parse(frame);
        check(&r);
        m_received.append(r);
        m_frames.append(Frame{describe(r), int(frame.size())});
        if (r.type == Received::Ack || r.type == Received::Answer)
            reply += nextReport(); // the next report as soon as the last one is acknowledged
    }
    return reply;
}

QList<PanelSim::Frame> RecordPanelSim::takeFrames()
{
    return m_frames.take();
}

QList<RecordPanelSim::Received> RecordPanelSim::takeReceived()
{
    return m_received.take();
}

QString RecordPanelSim::describe(const Received &r)
{
    const auto hex = [](quint8 b) { return QStringLiteral("%1").arg(b, 2, 16, QLatin1Char('0')); };
    const auto dec = [](const QByteArray &bytes, int i) { return QStringLiteral("%1").arg(byteAt(bytes, i), 2, 10, QLatin1Char('0')); };
    const QByteArray &b = r.bytes;
    QString text;
    switch (r.type) {
    case Received::Connect:
        text = QStringLiteral("connect %1.%2.%3.%4").arg(byteAt(b, 8)).arg(byteAt(b, 9)).arg(byteAt(b, 10)).arg(byteAt(b, 11));
        break;
    case Received::Ack:
        text = QStringLiteral("ack %1 panel %2").arg(hex(r.code)).arg(r.id);
        break;
    case Received::Command:
        text = QStringLiteral("command %1 panel %2").arg(hex(r.code)).arg(r.id);
        break;
    case Received::Time:
        text = QStringLiteral("time %1-%2-%3 %4:%5 panel %6").arg(dec(b, 8), dec(b, 9), dec(b, 10), dec(b, 11), dec(b, 12))
                   .arg(r.id);
        break;
    case Received::DeviceState:
        text = QStringLiteral("device-state %1 %2 / %3 / %4").arg(hex(r.code), QString::fromLatin1(b.mid(8, 4).toHex(' ')),
                                                                  QString::fromLatin1(b.mid(12, 4).toHex(' ')), hex(byteAt(b, 16)));
        break;
    case Received::Answer:
        text = QStringLiteral("%1 %2-%3-%4 %5:%6:%7")
                   .arg(byteAt(b, 4) == 0x08 ? QStringLiteral("set-time") : QStringLiteral("answer"), dec(b, 6), dec(b, 7),
                        dec(b, 8), dec(b, 9), dec(b, 10), dec(b, 11));
        break;
    case Received::Silence:
        text = QStringLiteral("silence");
        break;
    case Received::Unknown:
        text = QStringLiteral("unknown %1").arg(QString::fromLatin1(b.left(32).toHex(' ')));
        break;
    }
    if (!r.crcOk)
        text += QStringLiteral(" [bad crc]");
    if (!r.expected)
        text += QStringLiteral(" [unexpected]");
    return text;
}

SimulatorEntry ElmPanelSim::entry()
{
    SimulatorEntry e;
    e.key = QStringLiteral("elm");
    e.create = [](const PanelModel &, const QCommandLineParser &, QString *) -> PanelSim * { return new ElmPanelSim; };
    e.open = [](PanelSim &sim, const PanelModel &, const QCommandLineParser &parser, QString *error) -> SimTransport * {
        return ElmSimSocket::fromOptions(static_cast<RecordPanelSim &>(sim), parser, error);
    };
    return e;
}

SimulatorEntry JuniperPanelSim::entry()
{
    SimulatorEntry e;
    e.key = QStringLiteral("juniper");
    e.create = [](const PanelModel &, const QCommandLineParser &, QString *) -> PanelSim * { return new JuniperPanelSim; };
    return e;
}
