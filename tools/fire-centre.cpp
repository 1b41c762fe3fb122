// fire-centre: a monitoring centre on the command line. It connects to the
// transmission port, answers every heartbeat and prints every event line;
// with --query or --doc it asks the query service for history or a
// management document instead. Integrators use it to watch a site; tests use
// it as a real peer.

#include "core/commandline.h"
#include "remote/remotecodec.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QTcpSocket>
#include <QTextStream>
#include <QTimer>

namespace {

QTextStream &out()
{
    static QTextStream s(stdout);
    static bool once = (s.setCodec("UTF-8"), true);
    Q_UNUSED(once);
    return s;
}

// The frames of a reply may be large (a long event line); a length beyond
// this is a broken stream.
constexpr quint32 MaxLine = 1024 * 1024;

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("fire-centre");
    QCommandLineParser p;
    p.setApplicationDescription(
        "Plays a monitoring centre against a fire server.\n\n"
        "  fire-centre                         print every event line (port 2009), answer heartbeats\n"
        "  fire-centre --query CODE FROM TO    event-log records of an action code (0: all) between\n"
        "                                      two dates yyyy-MM-dd, newest first (port 2000)\n"
        "  fire-centre --doc CODE              fetch management document 1000..1007 (port 2000)");
    p.addHelpOption();
    p.addOptions({
        {{"H", "host"}, "Server address (default 127.0.0.1).", "host", "127.0.0.1"},
        {{"P", "port"}, "Server port (default 2009, or 2000 with --query/--doc).", "port"},
        {"query", "Ask for event-log records; CODE FROM TO follow as arguments."},
        {"doc", "Ask for the management document with this code.", "code"},
        {"out", "With --doc: file to write (default: the document's name).", "file"},
        {"count", "Exit after this many event lines.", "n"},
        {"timeout", "Exit after this many seconds (exit code 3).", "seconds"},
    });
    p.addPositionalArgument("args", "With --query: CODE FROM TO.", "[CODE FROM TO]");
    CommandLine::process(p, app.arguments(), true);

    const bool query = p.isSet("query");
    const bool doc = p.isSet("doc");
    const QStringList args = p.positionalArguments();
    if (query && doc)
        CommandLine::fail(p, "--query and --doc exclude each other");
    if (query && args.size() != 3)
        CommandLine::fail(p, "--query needs CODE FROM TO");
    if (!query && !args.isEmpty())
        CommandLine::fail(p, QStringLiteral("unexpected argument \"%1\"").arg(args.first()));
    bool ok = true;
    const quint16 port = p.isSet("port") ? quint16(p.value("port").toUInt(&ok)) : quint16(query || doc ? 2000 : 2009);
    if (!ok || port == 0)
        CommandLine::fail(p, "--port needs a port number");
    const int wanted = p.value("count").toInt();
    const int timeout = p.value("timeout").toInt();

    QTcpSocket socket;
    QByteArray buffer;
    int lines = 0;
    bool inDocument = false;     // the line came; size and bytes follow
    qint64 docSize = -1;
    qint64 docReceived = 0;
    QFile docFile;

    const auto finish = [&](int code) {
        socket.disconnect();
        socket.abort();
        QCoreApplication::exit(code);
    };

    QObject::connect(&socket, &QTcpSocket::connected, [&] {
        out() << "connected to " << p.value("host") << ":" << port << Qt::endl;
        if (query)
            socket.write(RemoteCodec::encodeFrame(RemoteCodec::encodeRequest(args.at(0), args.at(1), args.at(2))));
        else if (doc)
            socket.write(RemoteCodec::encodeFrame(RemoteCodec::encodeRequest(p.value("doc"), QString(), QString())));
    });
    QObject::connect(&socket, &QTcpSocket::readyRead, [&] {
        buffer += socket.readAll();
        while (!inDocument) {
            const RemoteCodec::FrameResult f = RemoteCodec::decodeFrame(buffer, MaxLine);
            if (f.status == RemoteCodec::FrameResult::Invalid) {
                out() << "broken stream: frame length " << f.length << Qt::endl;
                return finish(1);
            }
            if (f.status == RemoteCodec::FrameResult::Incomplete)
                return;
            buffer.remove(0, f.consumed);
            if (!query && !doc && f.payload == "a") {
                socket.write("a");
                continue;
            }
            out() << QString::fromUtf8(f.payload) << Qt::endl;
            if (doc) {
                inDocument = true;
                const QString name = QString::fromUtf8(f.payload).section(QStringLiteral("||"), 2, 2);
                docFile.setFileName(p.isSet("out") ? p.value("out") : name);
                if (!docFile.open(QIODevice::WriteOnly)) {
                    out() << "cannot write " << docFile.fileName() << ": " << docFile.errorString() << Qt::endl;
                    return finish(1);
                }
            }
            if (wanted > 0 && ++lines >= wanted)
                return finish(0);
        }
        if (docSize < 0 && buffer.size() >= RemoteCodec::HeaderSize) {
            docSize = RemoteCodec::decodeFrame(buffer, 0).length;
            buffer.remove(0, RemoteCodec::HeaderSize);
        }
        if (docSize >= 0) {
            const QByteArray piece = buffer.left(int(qMin<qint64>(buffer.size(), docSize - docReceived)));
            docReceived += docFile.write(piece);
            buffer.clear();
        }
    });
    QObject::connect(&socket, &QTcpSocket::disconnected, [&] {
        if (doc) {
            docFile.close();
            if (!inDocument) {
                out() << "no such document" << Qt::endl;
                return QCoreApplication::exit(1);
            }
            if (docSize < 0 || docReceived < docSize) {
                out() << "document incomplete: " << docReceived << " of " << docSize << " bytes" << Qt::endl;
                return QCoreApplication::exit(3);
            }
            out() << "saved " << docSize << " bytes to " << docFile.fileName() << Qt::endl;
            return QCoreApplication::exit(0);
        }
        out() << "closed by the server" << Qt::endl;
        // The end of a query reply is the close; a centre link should not end.
        QCoreApplication::exit(query ? 0 : 1);
    });
    QObject::connect(&socket, &QAbstractSocket::errorOccurred, [&](QAbstractSocket::SocketError error) {
        if (error == QAbstractSocket::RemoteHostClosedError)
            return;
        out() << "connection failed: " << socket.errorString() << Qt::endl;
        QCoreApplication::exit(1);
    });
    if (timeout > 0) {
        QTimer::singleShot(timeout * 1000, [&] {
            out() << "timed out after " << timeout << " s" << Qt::endl;
            finish(3);
        });
    }
    socket.connectToHost(p.value("host"), port);
    return app.exec();
}
