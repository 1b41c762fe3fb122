#include "gateways/chttpclient.h"

#include "core/apppaths.h"

#include <QDateTime>
#include <QDebug>
#include <QDomDocument>
#include <QFile>
#include <QJsonDocument>

CHttpClient::CHttpClient(const QString &strAddress, QObject *parent)
    : CHttpClient(strAddress, Options(), parent)
{
}

CHttpClient::CHttpClient(const QString &strAddress, const Options &options, QObject *parent)
    : QObject(parent), m_options(options), m_poster(new CloudPoster(this))
{
    if (m_options.maxBatchEvents < 1)
        m_options.maxBatchEvents = 1;
    connect(&m_tick, &QTimer::timeout, this, &CHttpClient::tick);
    if (m_options.tickMs > 0)
        m_tick.start(m_options.tickMs);
    deviceMarks = loadDeviceMarks(m_options.projectFile.isEmpty()
                                      ? AppPaths::file(QStringLiteral("Project/Server/config.xml"))
                                      : m_options.projectFile);
    connect(m_poster, &CloudPoster::postFinished, this, &CHttpClient::onPostFinished);
    m_poster->setAnswerLimit(m_options.answerLimitMs);
    m_poster->initPostData(strAddress);
    beatCountdown = BeatTicks;

    const QString journalPath = m_options.journalPath.isEmpty() ? AppPaths::file(QStringLiteral("CloudJournal.db"))
                                                                : m_options.journalPath;
    m_journal.open(journalPath, m_options.journalCaps);
    qDebug().noquote() << QStringLiteral("cloud upload to %1; journal %2 holds %3 waiting events")
                              .arg(m_poster->url().toString(), journalPath).arg(m_journal.count());
}

void CHttpClient::setPostInfo(const QString &strSubName, const QString &strUserName, const QString &strPassword,
                              const QString &strSign)
{
    m_poster->setPostInfo(strSubName, strUserName, strPassword, strSign);
}

bool CHttpClient::isUploadable(int nEventNo)
{
    switch (nEventNo) {
    case 1: case 2: case 3: case 5: case 6: case 7: case 8: case 9: case 10: case 11: case 16:
    case 2300: case 7100: case 7101: case 7111: case 7112: case 7114: case 7115: case 7116: case 7117: case 7118:
        return true;
    default:
        return false;
    }
}

QString CHttpClient::eventTypeWord(int nEventNo, int nEventProperty)
{
    struct Words { int code; const char *present; const char *restored; };
    static const Words table[] = {
        {1, "alarm", "alarm"},
        {3, "supervision", "supervision"},
        {5, "action", "action_restore"},
        {6, "feedback", "feedback_restore"},
        {7, "fault", "fault_restore"},
        {8, "disable", "enable"},
        {9, "poweroff", "poweroff_restore"},
        {10, "test", "test_restore"},
        {11, "reset", "reset"},
        {2300, "poweroff", "poweroff_restore"},
        {7100, "powerstop", "powerstop_restore"},
        {7101, "powerfault", "powerfault_restore"},
        {7111, "OverV", "OverV_restore"},
        {7112, "LessV", "LessV_restore"},
        {7114, "OverI", "OverI_restore"},
        {7115, "MutualOpen", "MutualOpen_restore"},
        {7116, "MutualShort", "MutualShort_restore"},
        {7117, "PhaseLack", "PhaseLack_restore"},
        {7118, "PhaseDislocation", "PhaseDislocation_restore"},
    };
    for (const Words &w : table) {
        if (w.code == nEventNo)
            return QString::fromLatin1(nEventProperty == 0 ? w.restored : w.present);
    }
    return QString();
}

QJsonObject CHttpClient::uploadRecord(const CEvent &event, const QHash<QString, QString> &marks)
{
    QDateTime time = QDateTime::fromString(event.strTime, QStringLiteral("yyyy-MM-dd hh:mm:ss"));
    if (!time.isValid()) {
        // The platform needs some time; the moment the event reached us is
        // the nearest one we know.
        qWarning().noquote() << QStringLiteral("cloud upload: event time \"%1\" of %2 is not yyyy-MM-dd hh:mm:ss; "
                                               "the time of arrival is sent instead")
                                    .arg(event.strTime, event.strCode);
        time = QDateTime::currentDateTime();
    }
    const auto mark = marks.constFind(event.strCode);
    QJsonObject record;
    record.insert(QStringLiteral("eve_type"), eventTypeWord(event.nEventNo, event.nEventProperty));
    record.insert(QStringLiteral("dev_id"), event.strCode.rightJustified(12, QLatin1Char('0')));
    record.insert(QStringLiteral("dev_type"), event.nDevType);
    record.insert(QStringLiteral("eve_time"), time.toMSecsSinceEpoch());
    record.insert(QStringLiteral("dev_info"), mark != marks.constEnd() ? *mark : event.strNote);
    return record;
}

QJsonObject CHttpClient::heartbeatRecord(qint64 nowMs)
{
    QJsonObject record;
    record.insert(QStringLiteral("eve_type"), QStringLiteral("beat"));
    record.insert(QStringLiteral("dev_id"), QStringLiteral("000000000000"));
    record.insert(QStringLiteral("dev_type"), 0);
    record.insert(QStringLiteral("eve_time"), nowMs);
    record.insert(QStringLiteral("dev_info"), QString(""));
    return record;
}

QHash<QString, QString> CHttpClient::loadDeviceMarks(const QString &path)
{
    QHash<QString, QString> marks;
    QFile file(path);
    if (!file.exists())
        return marks;
    QDomDocument doc;
    QString error;
    int line = 0;
    int column = 0;
    if (!file.open(QIODevice::ReadOnly) || !doc.setContent(&file, &error, &line, &column)) {
        qWarning().noquote() << QStringLiteral("cloud upload: project file %1 unreadable (%2 at line %3, column %4); "
                                               "records carry the event notes")
                                    .arg(path, error.isEmpty() ? file.errorString() : error).arg(line).arg(column);
        return marks;
    }
    const QDomElement project = doc.documentElement().firstChildElement(QStringLiteral("project"));
    const QDomNodeList zones = project.elementsByTagName(QStringLiteral("zone"));
    for (int i = 0; i < zones.size(); ++i) {
        for (QDomElement device = zones.at(i).firstChildElement(); !device.isNull();
             device = device.nextSiblingElement()) {
            const QString key = QString::asprintf("%02d", device.attribute(QStringLiteral("deviceTypeid")).toInt())
                + device.attribute(QStringLiteral("devicenumber"));
            marks.insert(key, device.attribute(QStringLiteral("mark")));
        }
    }
    return marks;
}

void CHttpClient::addEvent(const CEvent &event)
{
    // A reset is never preceded, in the platform's view, by older events
    // still waiting. A batch on its way keeps its own copy of the bytes, and
    // its success removes only its own entries.
    if (event.nEventNo == 11 && m_journal.count() > 0) {
        qDebug() << "cloud upload: reset discards" << m_journal.count() << "waiting events";
        m_journal.clear();
    }
    if (!isUploadable(event.nEventNo))
        return;
    if (m_journal.append(QJsonDocument(uploadRecord(event, deviceMarks)).toJson(QJsonDocument::Compact)) == 0)
        qWarning().noquote() << QStringLiteral("cloud upload: event %1 of %2 could not be queued")
                                    .arg(event.nEventNo).arg(event.strCode);
}

void CHttpClient::tick()
{
    if (m_journal.count() > 0) {
        if (sendEnabled)
            sendBatch();
        beatCountdown = BeatTicks;
    } else if (beatCountdown > 0) {
        --beatCountdown;
    } else {
        sendHeartbeatRecord();
        beatCountdown = BeatTicks;
    }
}

void CHttpClient::sendBatch()
{
    // The batch is fixed here: events that arrive while it is on its way
    // wait for the next one, and only these ids are removed on success.
    const QList<Journal::Entry> entries = m_journal.peek(m_options.maxBatchEvents);
    if (entries.isEmpty())
        return;
    sendEnabled = false;
    inFlightEvents.clear();
    QByteArray body;
    body.reserve(2 + entries.size() * (entries.first().payload.size() + 1));
    body.append('[');
    for (const Journal::Entry &e : entries) {
        if (!inFlightEvents.isEmpty())
            body.append(',');
        body.append(e.payload);
        inFlightEvents.append(e.id);
    }
    body.append(']');
    m_batchRequest = m_poster->sendPostBody(body);
}

void CHttpClient::sendHeartbeatRecord()
{
    m_poster->sendPostData(QJsonArray{heartbeatRecord(QDateTime::currentMSecsSinceEpoch())});
}

void CHttpClient::onPostFinished(quint64 request, bool accepted, const QString &reason)
{
    if (accepted)
        m_lastAcceptedMs = QDateTime::currentMSecsSinceEpoch();
    if (request != m_batchRequest || sendEnabled)
        return; // a heartbeat: its answer does not matter
    const int count = inFlightEvents.size();
    if (accepted) {
        m_journal.remove(inFlightEvents);
        if (m_refusedInRow > 0)
            qDebug() << "cloud upload: accepted again after" << m_refusedInRow << "refused batches";
        m_refusedInRow = 0;
    } else if (m_refusedInRow++ == 0) {
        qWarning().noquote() << QStringLiteral("cloud upload: batch of %1 events refused (%2); "
                                               "retrying every tick, %3 events waiting")
                                    .arg(count).arg(reason).arg(m_journal.count());
    }
    inFlightEvents.clear();
    sendEnabled = true;
    emit batchFinished(count, accepted);
    // A full batch means a backlog: keep draining without waiting a tick.
    if (accepted && count >= m_options.maxBatchEvents && m_journal.count() > 0)
        sendBatch();
}
