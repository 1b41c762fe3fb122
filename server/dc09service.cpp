#include "server/dc09service.h"

#include "config/configtables.h"
#include "core/apppaths.h"
#include "core/servercontext.h"
#include "server/fireserver.h"
#include "server/metricstext.h"

#include <QDateTime>
#include <QDebug>
#include <QRegularExpression>

namespace {
const char kCodeArc1[] = "ARC1";
// Events staged for one journal commit at most, and entries read ahead.
constexpr int kMaxStaged = 500;
constexpr int kReadAhead = 64;
constexpr int kMaxAnswered = 200;
constexpr int kRemoveDelayMs = 50;
const char kCodeArc2[] = "ARC2";

bool hexField(const QString &key, const QString &fallback, int maxDigits, bool required, QByteArray *out, QString *error)
{
    const QString text = ServerContext::instance().iniText(key, fallback);
    static const QRegularExpression kHex(QStringLiteral("^[0-9A-Fa-f]*$"));
    if ((required && text.isEmpty()) || text.size() > maxDigits || !kHex.match(text).hasMatch()) {
        *error = QStringLiteral("%1=%2 must be 1 to %3 hex digits").arg(key, text).arg(maxDigits);
        return false;
    }
    *out = text.toUpper().toLatin1();
    return true;
}

bool hostPort(const QString &key, QString *host, quint16 *port, QString *error)
{
    const QString text = ServerContext::instance().iniText(key);
    if (text.isEmpty())
        return true;
    const int colon = text.lastIndexOf(QLatin1Char(':'));
    bool ok = false;
    const int n = colon > 0 ? text.mid(colon + 1).toInt(&ok) : 0;
    if (!ok || n < 1 || n > 65535) {
        *error = QStringLiteral("%1=%2 is not host:port").arg(key, text);
        return false;
    }
    *host = text.left(colon);
    if (host->startsWith(QLatin1Char('[')) && host->endsWith(QLatin1Char(']')))
        *host = host->mid(1, host->size() - 2);
    *port = quint16(n);
    return true;
}

bool isLinkEvent(const CEvent &e)
{
    return e.nPanelID == 0 && (e.strCode == QLatin1String(kCodeArc1) || e.strCode == QLatin1String(kCodeArc2));
}

// The one place that reads the delivered record for the transmission.
Dc09::Event arcEvent(const CEvent &e, const Dc09::CodeTable &codes)
{
    Dc09::Event a;
    a.eventClass = e.nEventType;
    a.eventNumber = e.nEventNo;
    a.restore = e.nEventProperty % 2 == 0;
    a.area = e.nPanelID;
    // Drivers that decode a device's address give it; the others only a code.
    a.zone = e.nAddress > 0 ? e.nAddress : codes.zoneFromCode(e.strCode);
    return a;
}
} // namespace

bool Dc09Service::settingsFromIni(Settings *s, QString *error)
{
    const ServerContext &ctx = ServerContext::instance();
    if (!ctx.iniSwitch(QStringLiteral("Arc/enabled")))
        return false;
    Dc09LinkOptions &o = s->link;
    const QString format = ctx.iniText(QStringLiteral("Arc/format"), QStringLiteral("SIA-DCS")).toUpper();
    if (format == QLatin1String("ADM-CID")) {
        s->format = Dc09::Format::ContactId;
    } else if (format == QLatin1String("SIA-DCS")) {
        s->format = Dc09::Format::SiaDcs;
    } else {
        *error = QStringLiteral("Arc/format=%1 is neither SIA-DCS nor ADM-CID").arg(format);
        return false;
    }
    const QString transport = ctx.iniText(QStringLiteral("Arc/transport"), QStringLiteral("tcp")).toLower();
    if (transport != QLatin1String("tcp") && transport != QLatin1String("udp")) {
        *error = QStringLiteral("Arc/transport=%1 is neither tcp nor udp").arg(transport);
        return false;
    }
    o.udp = transport == QLatin1String("udp");
    if (!hexField(QStringLiteral("Arc/account"), QString(), 16, true, &o.account, error)
        || !hexField(QStringLiteral("Arc/receiver"), QString(), 6, false, &o.receiver, error)
        || !hexField(QStringLiteral("Arc/line"), QStringLiteral("0"), 6, true, &o.line, error)
        || !hostPort(QStringLiteral("Arc/primary"), &o.primaryHost, &o.primaryPort, error)
        || !hostPort(QStringLiteral("Arc/backup"), &o.backupHost, &o.backupPort, error))
        return false;
    if (o.primaryHost.isEmpty()) {
        *error = QStringLiteral("Arc/primary is not set");
        return false;
    }
    const QString key = ctx.iniText(QStringLiteral("Arc/key"));
    if (!Dc09::Key::parse(key, ctx.iniText(QStringLiteral("Arc/keyFormat"), QStringLiteral("hex")), &o.key, error)) {
        *error = QStringLiteral("Arc/key: %1").arg(*error);
        return false;
    }
    o.ackTimeoutMs = ctx.iniInt(QStringLiteral("Arc/ackTimeout"), 10, 1, 300) * 1000;
    o.retries = ctx.iniInt(QStringLiteral("Arc/retries"), 2, 0, 10);
    o.supervisionMs = ctx.iniInt(QStringLiteral("Arc/supervision"), 0, 0, 86400) * 1000;
    o.retryIntervalMs = ctx.iniInt(QStringLiteral("Arc/retryInterval"), 10, 1, 10) * 1000;
    s->codesPath = AppPaths::file(QStringLiteral("ArcCodes.xml"));
    s->journalPath = AppPaths::file(QStringLiteral("ArcJournal.db"));
    return true;
}

Dc09Service::~Dc09Service()
{
    if (m_link)
        stop();
}

ServerService::Start Dc09Service::start(FireServer &server)
{
    Settings s;
    QString error;
    if (!settingsFromIni(&s, &error)) {
        if (!error.isEmpty())
            qWarning().noquote() << QStringLiteral("DC-09: transmission off: %1").arg(error);
        return Start::Off;
    }
    server.addEventSource(this);
    startWith(s);
    return Start::Running;
}

void Dc09Service::startWith(const Settings &settings)
{
    m_settings = settings;
    QString error;
    if (!m_codes.load(m_settings.codesPath, &error))
        qWarning().noquote() << QStringLiteral("DC-09: no event codes (%1): only supervision is sent").arg(error);
    m_journal.open(m_settings.journalPath, m_settings.journalCaps);
    m_link = new Dc09Link(m_settings.link, this);
    connect(m_link, &Dc09Link::delivered, this, [this](qint64 id) {
        m_lastAckMs = QDateTime::currentMSecsSinceEpoch();
        forget(id);
    });
    connect(m_link, &Dc09Link::refused, this, &Dc09Service::forget);
    m_removeTimer.setSingleShot(true);
    connect(&m_removeTimer, &QTimer::timeout, this, &Dc09Service::removeAnswered);
    connect(m_link, &Dc09Link::ready, this, [this] {
        m_inFlight = 0;
        pump();
    });
    connect(m_link, &Dc09Link::pathChanged, this, &Dc09Service::onPathChanged);
    const Dc09LinkOptions &o = m_settings.link;
    qDebug().noquote() << QStringLiteral("DC-09: %1 account %2 to %3%4 over %5%6; journal %7 holds %8 waiting events")
                              .arg(QString::fromLatin1(Dc09::formatId(m_settings.format)), QString::fromLatin1(o.account),
                                   m_link->pathText(Dc09Link::Primary),
                                   m_link->hasBackup() ? QStringLiteral(" (backup %1)").arg(m_link->pathText(Dc09Link::Backup))
                                                       : QString(),
                                   o.udp ? QStringLiteral("UDP") : QStringLiteral("TCP"),
                                   o.key.isSet() ? QStringLiteral(", AES-%1").arg(o.key.bytes.size() * 8) : QString(),
                                   m_journal.path())
                              .arg(m_journal.count());
    m_link->start();
    pump();
}

void Dc09Service::stop()
{
    flushStaged();
    removeAnswered();
    // What is out and unanswered stays in the journal for the next start.
    delete m_link;
    m_link = nullptr;
    m_journal.close();
}

void Dc09Service::eventDelivered(const CEvent &e)
{
    if (!m_link || isLinkEvent(e))
        return;
    const Dc09::Event a = arcEvent(e, m_codes);
    const Dc09::Code *code = m_codes.find(a.eventClass, a.eventNumber);
    if (!code || (m_settings.format == Dc09::Format::ContactId && code->cid == 0)) {
        ++m_notSent;
        const qint64 key = (qint64(a.eventClass) << 32) | quint32(a.eventNumber);
        if (!m_unmappedLogged.contains(key)) {
            m_unmappedLogged.insert(key);
            qDebug().noquote() << QStringLiteral("DC-09: events of class %1 number %2 have no code in ArcCodes.xml; "
                                                 "they are not transmitted")
                                      .arg(a.eventClass).arg(a.eventNumber);
        }
        return;
    }
    bool clipped = false;
    const QByteArray data = Dc09::eventData(m_settings.format, m_settings.link.account, *code, a, &clipped);
    if (clipped)
        qWarning().noquote() << QStringLiteral("DC-09: controller %1 device %2 does not fit the format's area and zone; "
                                               "sent as \"%3\"")
                                    .arg(e.nPanelID).arg(e.strCode, QString::fromLatin1(data));
    m_staged.append(Dc09::formatId(m_settings.format) + '\n' + data);
    // The events of one pass of the event loop share one journal commit.
    if (m_staged.size() >= kMaxStaged)
        flushStaged();
    else if (m_staged.size() == 1)
        QMetaObject::invokeMethod(this, &Dc09Service::flushStaged, Qt::QueuedConnection);
}

void Dc09Service::forget(qint64 id)
{
    // Answered entries leave the journal together a moment later: one
    // commit for many under load. A crash meanwhile only sends them twice.
    m_answered.append(id);
    if (m_answered.size() >= kMaxAnswered)
        removeAnswered();
    else if (!m_removeTimer.isActive())
        m_removeTimer.start(kRemoveDelayMs);
}

void Dc09Service::removeAnswered()
{
    m_removeTimer.stop();
    m_journal.remove(m_answered);
    m_answered.clear();
}

void Dc09Service::flushStaged()
{
    if (m_staged.isEmpty() || !m_link)
        return;
    const QList<qint64> ids = m_journal.append(m_staged);
    const int lost = int(ids.count(0));
    if (lost > 0)
        qWarning().noquote() << QStringLiteral("DC-09: %1 events could not be journaled and are not transmitted").arg(lost);
    m_staged.clear();
    pump();
}

void Dc09Service::pump()
{
    if (!m_link || !m_link->isIdle() || m_inFlight != 0)
        return;
    // Strictly in order, so the journal is read ahead a batch at a time.
    if (m_ahead.isEmpty()) {
        m_ahead = m_journal.peek(kReadAhead, -1, m_cursor);
        if (m_ahead.isEmpty())
            return;
        m_cursor = m_ahead.last().id;
    }
    const Journal::Entry next = m_ahead.takeFirst();
    const int nl = next.payload.indexOf('\n');
    m_inFlight = next.id;
    m_link->send(m_inFlight, next.payload.left(nl), next.payload.mid(nl + 1));
}

void Dc09Service::onPathChanged(int path, bool up)
{
    CEvent e;
    e.nEventCode = up ? LinkRestoredCode : LinkLostCode;
    e.nEventProperty = up ? 0 : 1;
    e.strCode = QLatin1String(path == Dc09Link::Primary ? kCodeArc1 : kCodeArc2);
    e.strNote = QStringLiteral("ARC link %1: %2 %3")
                    .arg(up ? QStringLiteral("restored") : QStringLiteral("lost"),
                         path == Dc09Link::Primary ? QStringLiteral("primary") : QStringLiteral("backup"),
                         m_link->pathText(path));
    e.strTime = nowText();
    ConfigTables::instance().complete(e); // the event log shows it by its name too
    emit sendEvent(e);
}

void Dc09Service::writeMetrics(MetricsText &t) const
{
    if (!m_link)
        return;
    t.journal("arc", m_journal, m_lastAckMs);
    t.family("fireserver_arc_path_up", "gauge", "Whether the DC-09 path to the receiving centre answers (1), "
                                                "is lost (0) or was not tried yet (-1).");
    t.family("fireserver_arc_path_lost_total", "counter", "Times a DC-09 path was lost after its retries.");
    for (int p : {int(Dc09Link::Primary), int(Dc09Link::Backup)}) {
        if (p == Dc09Link::Backup && !m_link->hasBackup())
            continue;
        const QString name = p == Dc09Link::Primary ? QStringLiteral("primary") : QStringLiteral("backup");
        t.sample("fireserver_arc_path_up", {{"path", name}}, m_link->pathState(p));
        t.sample("fireserver_arc_path_lost_total", {{"path", name}}, double(m_link->lost[p]));
    }
    t.family("fireserver_arc_answers_total", "counter", "Answers of the receiving centre by kind (NAK: its clock "
                                                        "disagreed; DUH: it could not process a message).");
    t.sample("fireserver_arc_answers_total", {{"kind", "ack"}}, double(m_link->acked));
    t.sample("fireserver_arc_answers_total", {{"kind", "nak"}}, double(m_link->naks));
    t.sample("fireserver_arc_answers_total", {{"kind", "duh"}}, double(m_link->duhs));
    t.family("fireserver_arc_timeouts_total", "counter", "DC-09 messages that got no answer in time or whose path failed.");
    t.sample("fireserver_arc_timeouts_total", double(m_link->timeouts));
    t.family("fireserver_arc_supervision_total", "counter", "NULL supervision messages sent.");
    t.sample("fireserver_arc_supervision_total", double(m_link->nulls));
    t.family("fireserver_arc_not_sent_total", "counter", "Delivered events without a code in ArcCodes.xml.");
    t.sample("fireserver_arc_not_sent_total", double(m_notSent));
}

QList<ServerService::Link> Dc09Service::links() const
{
    if (!m_link)
        return {};
    QList<Link> out{{QStringLiteral("报警中心 DC-09 主"), m_link->pathState(Dc09Link::Primary), QString()}};
    if (m_link->hasBackup())
        out.append({QStringLiteral("报警中心 DC-09 备"), m_link->pathState(Dc09Link::Backup), QString()});
    return out;
}
