#include "tools/sim/glenpanelsim.h"

#include "panels/models/glenframes.h"

#include <QRegularExpression>

using namespace GlenFrames;

namespace {
const int kMaxBlock = 255;

quint8 sum8(const QByteArray &bytes)
{
    quint8 s = 0;
    for (char c : bytes)
        s = quint8(s + quint8(c));
    return s;
}

QByteArray bytesOf(std::initializer_list<int> values)
{
    QByteArray b;
    for (int v : values)
        b.append(char(v));
    return b;
}
}

GlenPanelSim::GlenPanelSim(int id) : StreamPanelSim(id) {}

SimulatorEntry GlenPanelSim::entry()
{
    SimulatorEntry e;
    e.key = QStringLiteral("glen");
    e.options = {QCommandLineOption(QStringLiteral("glen-play"),
                                    QStringLiteral("Glen: play records of every kind (kinds) or full record blocks back to back (blocks)."),
                                    QStringLiteral("what"))};
    e.create = [](const PanelModel &, const QCommandLineParser &parser, QString *error) -> PanelSim * {
        const QString play = parser.value(QStringLiteral("glen-play")).toLower();
        if (!play.isEmpty() && play != QLatin1String("kinds") && play != QLatin1String("blocks")) {
            *error = QStringLiteral("--glen-play must be kinds or blocks, not %1").arg(play);
            return nullptr;
        }
        auto *sim = new GlenPanelSim;
        if (play == QLatin1String("kinds"))
            sim->playEveryKind();
        else if (play == QLatin1String("blocks"))
            sim->playFullBlocks();
        return sim;
    };
    return e;
}

QByteArray GlenPanelSim::record(quint8 kind, const QByteArray &bytes1to7, const QDateTime &when)
{
    QByteArray r(1, char(kind));
    for (int i = 0; i < 7; ++i)
        r.append(char(byteAt(bytes1to7, i)));
    const QDate d = when.date();
    const QTime t = when.time();
    r.append(char(toBcd(d.year() % 100))).append(char(toBcd(d.month()))).append(char(toBcd(d.day())));
    r.append(char(toBcd(t.hour()))).append(char(toBcd(t.minute()))).append(char(toBcd(t.second())));
    return r;
}

QByteArray GlenPanelSim::longRecord(int panel, quint8 loop, quint8 address)
{
    QByteArray r(1, char(LongKind));
    r.append(char(toBcd(panel / 100))).append(char(toBcd(panel % 100)));
    r.append(char(loop)).append(char(address));
    for (int i = 5; i < LongRecord; ++i)
        r.append(char(i));
    return r;
}

QByteArray GlenPanelSim::header(int length) const
{
    QByteArray h = prefix();
    h.append(char(length > 0 ? BlockFollows : 0x50)).append(char(0)).append(char(m_nId)).append(char(length));
    return h;
}

void GlenPanelSim::addBlock(const QList<QByteArray> &records)
{
    QByteArray block;
    for (const QByteArray &r : records)
        block += r;
    QByteArray reply = header(block.size()) + block;
    m_script.append(reply + char(sum8(reply)));
}

void GlenPanelSim::addIdle(int n)
{
    for (int i = 0; i < n; ++i)
        addBlock({});
}

void GlenPanelSim::addRaw(const QByteArray &reply)
{
    m_script.append(reply);
}

void GlenPanelSim::playEveryKind()
{
    const QDateTime when(QDate(2024, 12, 5), QTime(21, 45, 10));
    QList<QByteArray> records;
    const auto flush = [&] {
        addBlock(records);
        records.clear();
    };
    const auto add = [&](const QByteArray &r) {
        int size = r.size();
        for (const QByteArray &x : qAsConst(records))
            size += x.size();
        if (size > kMaxBlock)
            flush();
        records.append(r);
    };
    for (int kind = 1; kind <= 0x1E; ++kind)
        add(record(quint8(kind), bytesOf({0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x00}), when));
    // The special forms: fire alarm of a "69" device, loop states, panel
    // status, power supply, the 0x1C sub-kinds and a 29-byte record.
    add(record(0x01, bytesOf({0x01, 0x02, 0x03, 0x04, 0x05, 0x69, 0x71}), when));
    add(record(0x13, bytesOf({0x01, 0x02, 0x00, 0x97, 0x00, 0x00, 0x00}), when));
    add(record(0x13, bytesOf({0x01, 0x02, 0x01, 0x98, 0x00, 0x00, 0x00}), when));
    add(record(0x14, bytesOf({0x00, 0x01, 0x01, 0x02, 0x00, 0x00, 0x00}), when));
    add(record(0x16, bytesOf({0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x02}), when));
    for (int sub : {0x6F, 0x70, 0x72, 0x73, 0x74, 0x75, 0x76})
        add(record(0x1C, bytesOf({0x01, 0x02, 0x03, 0x04, 0x05, 0x06, sub}), when));
    add(longRecord(m_nId, 2, 17));
    flush();
}

void GlenPanelSim::playFullBlocks()
{
    // Kinds with one plain event each (no pause after code 121).
    static const quint8 kinds[] = {1, 2, 3, 4, 5, 6, 7, 8, 11, 12, 13, 14};
    const QDateTime when(QDate(2024, 12, 5), QTime(21, 45, 10));
    QList<QByteArray> records;
    for (int i = 0; i < fullBlockRecords(); ++i)
        records.append(record(kinds[i % 12], bytesOf({0x01, 0x02, 0x03, 0x04, i, 0x06, 0x00}), when));
    addBlock(records);
    m_bLoop = true;
}

bool GlenPanelSim::loadScript(const QString &text, QString *error)
{
    QList<QByteArray> records;
    int blockSize = 0;
    const auto endBlock = [&] {
        if (!records.isEmpty())
            addBlock(records);
        records.clear();
        blockSize = 0;
    };
    const bool read = readScriptLines(text, error, [&](const QString &line) {
        const QString word = line.section(QLatin1Char(' '), 0, 0).toLower();
        const QString rest = line.section(QLatin1Char(' '), 1).remove(QRegularExpression(QStringLiteral("\\s")));
        const QByteArray bytes = QByteArray::fromHex(rest.toLatin1());
        const bool hexOk = !rest.isEmpty() && rest.size() % 2 == 0
            && QRegularExpression(QStringLiteral("^[0-9a-fA-F]+$")).match(rest).hasMatch();
        bool ok = true;
        if (word == QLatin1String("record") && hexOk && bytes.size() <= kMaxBlock) {
            if (blockSize + bytes.size() > kMaxBlock)
                endBlock();
            records.append(bytes);
            blockSize += bytes.size();
        } else if (word == QLatin1String("block") && rest.isEmpty()) {
            endBlock();
        } else if (word == QLatin1String("idle")) {
            endBlock();
            const int count = rest.toInt(&ok);
            ok = ok && count > 0 && count <= 100000;
            if (ok)
                addIdle(count);
        } else if (word == QLatin1String("raw") && hexOk) {
            endBlock();
            addRaw(bytes);
        } else {
            ok = false;
        }
        return ok;
    });
    if (!read)
        return false;
    endBlock();
    return true;
}

bool GlenPanelSim::parseOne(Received *out)
{
    const QByteArray head = prefix();
    if (m_buffer.isEmpty())
        return false;
    Received r;
    if (!m_buffer.startsWith(head)) {
        // Out of step: everything up to the next prefix is one unknown frame.
        if (m_buffer.size() < head.size() && head.startsWith(m_buffer))
            return false;
        int next = m_buffer.indexOf(head, 1);
        if (next < 0)
            next = m_buffer.size();
        r.bytes = m_buffer.left(next);
        m_buffer.remove(0, next);
        *out = r;
        return true;
    }
    if (m_buffer.size() < 5)
        return false;
    const quint8 b4 = quint8(m_buffer.at(4));
    int size = head.size();
    if (b4 == 0x10 || b4 == 0x11) {
        size = PollSize;
        r.type = Received::Poll;
    } else if (b4 == HeadCommand || b4 == HeadReset) {
        size = CommandSize;
        r.type = Received::Command;
    }
    if (m_buffer.size() < size)
        return false;
    r.bytes = m_buffer.left(size);
    r.function = r.type == Received::Command ? quint8(r.bytes.at(8)) : b4;
    m_buffer.remove(0, size);
    *out = r;
    return true;
}

QByteArray GlenPanelSim::pollReply()
{
    if (m_nScriptPos >= m_script.size() && m_bLoop)
        m_nScriptPos = 0;
    if (m_nScriptPos < m_script.size())
        return m_script.at(m_nScriptPos++);
    const QByteArray idle = header(0);
    return idle + char(sum8(idle));
}

QByteArray GlenPanelSim::answer(const Received &r)
{
    if (m_bSilent || r.type == Received::Unknown)
        return QByteArray();
    if (m_bGarbage)
        return randomBytes(40);
    if (r.type == Received::Poll)
        return pollReply();
    if (r.function == FnTime)
        return QByteArray(); // the panel does not answer a clock frame
    QByteArray ack = prefix();
    ack.append(char(0x40)).append(r.bytes.mid(5, 2)).append(char(r.function));
    return ack;
}

QString GlenPanelSim::describe(const Received &r) const
{
    static const char *const names[] = {"poll", "command", "unknown"};
    return QStringLiteral("%1 %2").arg(QLatin1String(names[r.type]), QString::fromLatin1(r.bytes.toHex(' ')));
}
