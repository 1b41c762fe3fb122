// fire-client: a command-line peer for the client protocol on TCP 5999.
// Integrators use it to watch a site and to send one command; the tests use
// it as a real client.

#include "clients/clientcodec.h"
#include "clients/jsonsplitter.h"
#include "core/cevent.h"
#include "core/commandline.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>
#include <QTextStream>
#include <QTimer>
#include <cstdio>

namespace {

QTextStream &out()
{
    static QTextStream s(stdout);
    return s;
}

// Takes the complete top-level objects out of the stream buffer.
QList<QByteArray> takeObjects(JsonSplitter &splitter, QByteArray &buffer)
{
    QList<QByteArray> objects;
    for (;;) {
        const JsonSplitter::Result r = splitter.next(buffer);
        buffer.remove(0, r.consumed);
        if (r.status == JsonSplitter::Complete)
            objects << r.object;
        else if (r.status == JsonSplitter::Invalid)
            qWarning("fire-client: dropped an unfinished message over %d bytes", splitter.cap());
        else
            break;
    }
    return objects;
}

QString describe(const QJsonObject &o)
{
    const QString word = o.value("b").toString();
    if (word == QLatin1String("NewEvent")) {
        const CEvent e = ClientCodec::decodeEvent(o);
        return QStringLiteral("%1 NewEvent panel=%2 type=%3 com=%4 class=%5 code=%6 prop=%7 loop=%8 addr=%9 "
                              "dev=%10 device=\"%11\" end=\"%12\" value=%13 note=\"%14\"")
            .arg(e.strTime, QString::number(e.nPanelID), QString::number(e.nPanelType),
                 QString::number(e.nCom), QString::number(e.nEventType), QString::number(e.nEventNo),
                 QString::number(e.nEventProperty), QString::number(e.nLoop), QString::number(e.nAddress))
            .arg(e.nDevType)
            .arg(e.strCode, e.strEndCode)
            .arg(e.nValue)
            .arg(e.strNote);
    }
    QString line = word;
    if (o.contains("a"))
        line = QStringLiteral("#%1 ").arg(o.value("a").toString()) + line;
    if (o.contains("v") && !o.value("v").toString().isEmpty())
        line += QStringLiteral(" v=\"%1\"").arg(o.value("v").toString());
    return line;
}

QByteArray encode(const QJsonObject &o)
{
    return QJsonDocument(o).toJson(QJsonDocument::Indented);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("fire-client");
    QCommandLineParser p;
    p.setApplicationDescription(
        "Connects to a fire server, logs in, prints every message and sends one command.\n\n"
        "Commands:\n"
        "  watch                             only print what arrives (default)\n"
        "  silence PANEL                     silence the panel's sounder\n"
        "  reset PANEL                       reset the panel\n"
        "  settime                           set every panel's clock\n"
        "  start|stop|disable|enable PANEL FROM [TO]   act on a device code range\n"
        "  read PANEL LOOP CHANNEL DEVTYPE   read a live value\n"
        "  readswitch PANEL LOOP CHANNEL ON  switch live-value reporting\n"
        "  getremote                         ask for the monitoring-centre link state");
    p.addHelpOption();
    p.addOptions({
        {{"H", "host"}, "Server address (default 127.0.0.1).", "host", "127.0.0.1"},
        {{"P", "port"}, "Server port (default 5999).", "port", "5999"},
        {{"u", "user"}, "Account name to log in with.", "user"},
        {{"p", "password"}, "Account password.", "password"},
        {"raw", "Print the raw JSON of every message as well."},
        {"count", "Exit after this many NewEvent messages.", "n"},
        {"timeout", "Exit after this many seconds (exit code 3 if --count was not reached).", "seconds"},
        {"hello", "Send a DATARECEIVED right after connecting, so events flow without a login."},
    });
    p.addPositionalArgument("command", "Command and its arguments.", "[command args...]");
    CommandLine::process(p, app.arguments(), true);

    const QStringList args = p.positionalArguments();
    const QString command = args.isEmpty() ? QStringLiteral("watch") : args.first().toLower();
    const auto number = [&](int i) { return i < args.size() ? args.at(i).toInt() : 0; };

    using Request = ClientCodec::Request;
    Request request;
    request.kind = Request::NoWord;
    request.event.nPanelID = quint8(number(1));
    if (command == "silence" || command == "reset") {
        request.kind = Request::SetControl;
        request.event.nEventCode = command == "silence" ? 16 : 11;
    } else if (command == "settime") {
        request.kind = Request::SetTime;
    } else if (command == "start" || command == "stop" || command == "disable" || command == "enable") {
        request.kind = Request::SetControl;
        request.event.nEventCode = command == "start" ? CmdStart : command == "stop" ? CmdStop
                                 : command == "disable" ? CmdDisable : CmdEnable;
        request.event.strCode = args.value(2);
        request.event.strEndCode = args.value(3, request.event.strCode);
    } else if (command == "read" || command == "readswitch") {
        request.kind = command == "read" ? Request::ReadValue : Request::ReadValueSwitch;
        request.event.nLoop = number(2);
        request.event.nChannel = number(3);
        // The switch as the client gives it: 1 on.
        request.event.nDevType = command == "read" ? (number(4) == 1 ? 0 : 1) : number(4);
    } else if (command == "getremote") {
        request.kind = Request::GetRemote;
    } else if (command != "watch") {
        CommandLine::fail(p, QStringLiteral("unknown command %1").arg(command));
    }
    const QJsonObject commandObject = request.kind == Request::NoWord ? QJsonObject()
                                                                      : ClientCodec::encodeRequest(request);

    const bool raw = p.isSet("raw");
    const int wanted = p.value("count").toInt();
    int events = 0;
    bool commandSent = false;
    QTcpSocket socket;
    QByteArray buffer;
    JsonSplitter splitter;

    const auto sendCommand = [&] {
        if (commandSent || commandObject.isEmpty())
            return;
        commandSent = true;
        socket.write(encode(commandObject));
        out() << "sent " << commandObject.value("b").toString() << Qt::endl;
    };

    QObject::connect(&socket, &QTcpSocket::connected, [&] {
        out() << "connected to " << p.value("host") << ":" << p.value("port") << Qt::endl;
        if (p.isSet("user")) {
            Request login;
            login.kind = Request::Login;
            login.user.userName = p.value("user");
            login.user.password = p.value("password");
            socket.write(encode(ClientCodec::encodeRequest(login)));
        } else {
            if (p.isSet("hello")) {
                Request hello;
                hello.kind = Request::DataReceived;
                socket.write(encode(ClientCodec::encodeRequest(hello)));
            }
            sendCommand();
        }
    });
    QObject::connect(&socket, &QTcpSocket::readyRead, [&] {
        buffer += socket.readAll();
        for (const QByteArray &bytes : takeObjects(splitter, buffer)) {
            QJsonParseError err;
            const QJsonObject o = QJsonDocument::fromJson(bytes, &err).object();
            if (err.error != QJsonParseError::NoError) {
                out() << "unparsable message: " << err.errorString() << Qt::endl;
                continue;
            }
            if (raw)
                out() << QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact)) << Qt::endl;
            out() << describe(o) << Qt::endl;
            const QString word = o.value("b").toString();
            if (word == QLatin1String("LogOK_Mulsys")) {
                sendCommand();
            } else if (word == QLatin1String("LogFailed")) {
                fprintf(stderr, "fire-client: login refused\n");
                QCoreApplication::exit(4);
            } else if (word == QLatin1String("NewEvent") && wanted > 0 && ++events >= wanted) {
                QCoreApplication::exit(0);
            }
        }
    });
    QObject::connect(&socket, &QTcpSocket::disconnected, [&] {
        out() << "disconnected" << Qt::endl;
        QCoreApplication::exit(wanted > 0 && events < wanted ? 3 : 0);
    });
    QObject::connect(&socket, &QAbstractSocket::errorOccurred, [&](QAbstractSocket::SocketError e) {
        if (e == QAbstractSocket::RemoteHostClosedError)
            return;
        fprintf(stderr, "fire-client: %s\n", qPrintable(socket.errorString()));
        QCoreApplication::exit(1);
    });
    if (p.isSet("timeout")) {
        QTimer::singleShot(int(p.value("timeout").toDouble() * 1000), [&] {
            QCoreApplication::exit(wanted > 0 && events < wanted ? 3 : 0);
        });
    }
    socket.connectToHost(p.value("host"), quint16(p.value("port").toUInt()));
    return app.exec();
}
