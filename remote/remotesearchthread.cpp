#include "remote/remotesearchthread.h"

#include "core/apppaths.h"
#include "core/cevent.h"
#include "core/servercontext.h"
#include "remote/remotecodec.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTcpSocket>

#include <atomic>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// Text columns of the log are read as bytes and end at a zero byte.
QString columnText(const QVariant &value)
{
    QByteArray bytes = value.toByteArray();
    const int zero = bytes.indexOf('\0');
    if (zero >= 0)
        bytes.truncate(zero);
    return QString::fromUtf8(bytes);
}

bool isDocumentCode(int nCode)
{
    return nCode >= 1000 && nCode <= 1007;
}

// The native path of a document, empty when it is not there. The server
// runs with GB2312 as its local 8-bit codec (for its log), which Qt also
// applies to file names, while documents put into the folder on this
// machine have UTF-8 names: both spellings are looked for, UTF-8 first.
QByteArray findDocument(const QString &docDir, const QString &name, qint64 *size)
{
    const QByteArray dir = QFile::encodeName(docDir) + '/';
    for (const QByteArray &file : {name.toUtf8(), QFile::encodeName(name)}) {
        const QByteArray path = dir + file + ".pdf";
        struct stat st;
        if (::stat(path.constData(), &st) == 0 && S_ISREG(st.st_mode)) {
            *size = st.st_size;
            return path;
        }
    }
    return QByteArray();
}
} // namespace

RemoteSearchThread::RemoteSearchThread(qintptr socketDescriptor, const RemoteSearch::Options &options,
                                       RemoteSearch *parent)
    : QThread(parent)
    , m_descriptor(socketDescriptor)
    , m_options(options)
    , m_docDir(AppPaths::file(QStringLiteral("ManageDoc")))
    , m_logPath(AppPaths::file(QStringLiteral("EventRec.db")))
    , m_address(ServerContext::instance().serverAddress.toString())
{
}

void RemoteSearchThread::run()
{
    QTcpSocket socket;
    if (!socket.setSocketDescriptor(m_descriptor)) {
        qWarning() << "query: cannot take over connection" << m_descriptor << ":" << socket.errorString();
        return;
    }
    QByteArray payload;
    if (!readRequest(socket, &payload)) {
        socket.abort();
        return;
    }
    const RemoteCodec::Request request = RemoteCodec::decodeRequest(payload);
    if (!request.valid) {
        qWarning() << "query from" << socket.peerAddress().toString() << "refused: fewer than three fields in"
                   << payload.left(100);
        socket.abort();
        return;
    }
    searchRecords(request.code, request.startDate, request.endDate);

    emit indicateRemoteLight(2);
    bool ok = true;
    while (ok && !m_resultLines.isEmpty()) {
        const QString line = m_resultLines.takeFirst();
        ok = BlockingIo::writeAll(socket, RemoteCodec::encodeFrame(line.toUtf8()), m_options.writeWaitMs, m_stop);
        if (ok) {
            m_stop.sleep(m_options.linePauseMs);
            if (isDocumentCode(request.code))
                ok = sendDocument(socket, actionName(request.code));
            qDebug().noquote() << line;
        }
    }
    if (ok && m_stop.sleep(m_options.closePauseMs))
        qDebug("------end--------");
    qDebug("----------------------close tcpsocket--------------------");
    // Unread bytes of the peer would turn the close into a reset, which can
    // cost the peer the end of the reply.
    socket.waitForReadyRead(0);
    socket.readAll();
    socket.abort();
    emit indicateRemoteLight(1);
}

bool RemoteSearchThread::readRequest(QTcpSocket &socket, QByteArray *payload)
{
    // One deadline for the whole request: a peer trickling a byte now and
    // then must not hold a worker for hours.
    const QDeadlineTimer deadline(m_options.requestWaitMs);
    QByteArray received;
    for (;;) {
        const RemoteCodec::FrameResult frame = RemoteCodec::decodeFrame(received, MaxRequestBytes);
        if (frame.status == RemoteCodec::FrameResult::Complete) {
            *payload = frame.payload;
            return true;
        }
        if (frame.status == RemoteCodec::FrameResult::Invalid) {
            qWarning() << "query from" << socket.peerAddress().toString() << "refused: request length" << frame.length
                       << "exceeds" << MaxRequestBytes << "bytes";
            return false;
        }
        if (!BlockingIo::waitReadable(socket, int(qMax<qint64>(deadline.remainingTime(), 0)), m_stop)) {
            if (!m_stop.isRequested())
                qWarning() << "query from" << socket.peerAddress().toString() << "incomplete after"
                           << received.size() << "bytes:" << (socket.state() == QAbstractSocket::ConnectedState
                                                                  ? QStringLiteral("time-out") : socket.errorString());
            return false;
        }
        received += socket.read(RemoteCodec::HeaderSize + MaxRequestBytes - received.size());
    }
}

bool RemoteSearchThread::sendDocument(QTcpSocket &socket, const QString &name)
{
    qint64 size = 0;
    const QByteArray path = findDocument(m_docDir, name, &size);
    const int fd = path.isEmpty() ? -1 : ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    const QString shown = m_docDir + QLatin1Char('/') + name + QStringLiteral(".pdf");
    QFile file;
    if (fd < 0 || !file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        qWarning() << "query: document" << shown << "cannot be opened";
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    size = file.size();
    if (size > MaxDocumentBytes) {
        qWarning() << "query: document" << shown << "has" << size << "bytes, more than the size field carries";
        return false;
    }
    if (!BlockingIo::writeAll(socket, RemoteCodec::sizeField(quint32(size)), m_options.writeWaitMs, m_stop))
        return false;
    qint64 left = size;
    while (left > 0) {
        const QByteArray piece = file.read(qMin<qint64>(DocumentPiece, left));
        if (piece.isEmpty()) {
            // The peer counts on the announced size; what is missing cannot be made up.
            qWarning() << "query: document" << shown << "ended after" << size - left << "of" << size
                       << "bytes (" << (file.error() == QFileDevice::NoError ? QStringLiteral("the file shrank")
                                                                                : file.errorString())
                       << ") - connection closed";
            return false;
        }
        if (!BlockingIo::writeAll(socket, piece, m_options.writeWaitMs, m_stop))
            return false;
        left -= piece.size();
    }
    return true;
}

void RemoteSearchThread::searchRecords(int nCode, const QString &strStartDate, const QString &strEndDate)
{
    m_resultLines.clear();
    const QString name = actionName(nCode);
    if (isDocumentCode(nCode)) {
        qint64 size = 0;
        const QByteArray path = findDocument(m_docDir, name, &size);
        if (path.isEmpty())
            return;
        if (size > MaxDocumentBytes) {
            qWarning() << "query: document" << name << "in" << m_docDir << "has" << size
                       << "bytes, more than the size field carries; not offered";
            return;
        }
        m_resultLines << RemoteCodec::documentLine(m_address, name, nowText());
        return;
    }
    // The system names have no records.
    if (nCode >= 1008 && nCode <= 1021)
        return;
    querySyslog(name, strStartDate, strEndDate);
}

void RemoteSearchThread::querySyslog(const QString &strAction, const QString &strStartDate, const QString &strEndDate)
{
    m_resultLines.clear();
    // One connection per query under its own name: queries run in parallel.
    static std::atomic_int serial{0};
    const QString connection = QStringLiteral("logdb-%1").arg(++serial);
    const QString &path = m_logPath;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
        db.setDatabaseName(path);
        // The log belongs to another program: never create or change it.
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        if (!db.open()) {
            qWarning() << "query: event log" << path << "cannot be opened:" << db.lastError().text();
        } else {
            const bool all = strAction == QStringLiteral("全部");
            QSqlQuery q(db);
            q.prepare(QStringLiteral("select action, content, atime from EventRecord where ")
                      + (all ? QString() : QStringLiteral("action = ? and "))
                      + QStringLiteral("atime >= ? and atime <= ? order by atime desc"));
            if (!all)
                q.addBindValue(QString(strAction).remove(QStringLiteral("设备")));
            q.addBindValue(strStartDate + QStringLiteral(" 00:00:00"));
            q.addBindValue(strEndDate + QStringLiteral(" 23:59:59"));
            if (!q.exec())
                qWarning() << "query: event log" << path << "cannot be read:" << q.lastError().text();
            while (q.next())
                m_resultLines << RemoteCodec::logLine(m_address, columnText(q.value(0)), columnText(q.value(1)),
                                                      q.value(2).toString());
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(connection);
}
