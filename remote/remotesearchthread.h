#pragma once
// One query connection: reads the length-prefixed request, fills the reply
// lines from the event log or the document folder, sends them (a document
// line is followed by the file's size and bytes), pauses and closes. Owns
// its socket and its database connection, both created in its own thread.

#include "remote/blockingio.h"
#include "remote/remotesearch.h"

#include <QStringList>
#include <QThread>

class RemoteSearchThread : public QThread
{
    Q_OBJECT
public:
    // A request carries at most this much text (a 1,024-byte buffer with its terminator).
    static constexpr quint32 MaxRequestBytes = 1023;
    // The size field is read as a signed 32-bit count: larger documents cannot go.
    static constexpr qint64 MaxDocumentBytes = 0x7fffffff;
    static constexpr int DocumentPiece = 4096;

    RemoteSearchThread(qintptr socketDescriptor, const RemoteSearch::Options &options, RemoteSearch *parent);

    // Ends the connection at its next wait; the caller then wait()s.
    void requestStop() { m_stop.request(); }

    // Fills resultLines for one request.
    void searchRecords(int nCode, const QString &strStartDate, const QString &strEndDate);
    // The event-log part: records of the action (every action for "全部")
    // between the two dates, newest first.
    void querySyslog(const QString &strAction, const QString &strStartDate, const QString &strEndDate);
    const QStringList &resultLines() const { return m_resultLines; }

signals:
    void indicateRemoteLight(uchar nStatus);

protected:
    void run() override;

private:
    bool readRequest(QTcpSocket &socket, QByteArray *payload);
    bool sendDocument(QTcpSocket &socket, const QString &name);

    const qintptr m_descriptor;
    const RemoteSearch::Options m_options;
    const QString m_docDir;
    const QString m_logPath;
    const QString m_address;   // the server's own, as it was when the connection came
    QStringList m_resultLines;
    WorkerStop m_stop;
};
