// fire-arc: an alarm receiving centre's DC-09 receiver on the command line.
// It listens on TCP and UDP, checks every frame (CRC, length, framing),
// decrypts with the key given, prints each message with its decoded fields
// and answers ACK, or NAK, DUH or nothing when asked to. Integrators point a
// site's Arc group at it to watch what the centre would get; tests and
// benchmarks use it as a real peer.

#include "core/commandline.h"
#include "core/signalwatcher.h"
#include "tools/sim/dc09receiver.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>
#include <QTimer>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("fire-arc");
    QCommandLineParser p;
    p.setApplicationDescription(
        "Plays an alarm receiving centre's SIA DC-09 receiver (TCP and UDP on one port).\n\n"
        "  fire-arc --port 7000                        ACK every message, print it\n"
        "  fire-arc --key AAAAAAAAAAAAAAAA --key-format text\n"
        "  fire-arc --answer nak|duh|silent            refuse or ignore every message\n"
        "  fire-arc --clock-offset 600                 a receiver clock 10 minutes ahead (NAKs)");
    p.addHelpOption();
    p.addOptions({
        {{"H", "host"}, "Address to listen on (default 127.0.0.1).", "host", "127.0.0.1"},
        {{"P", "port"}, "Port for TCP and UDP (default 7000; 0: any free one, printed).", "port", "7000"},
        {"key", "AES key of the account (hex or text, see --key-format).", "key"},
        {"key-format", "hex (default) or text.", "format", "hex"},
        {"answer", "ack (default), nak, duh or silent.", "answer", "ack"},
        {"clock-offset", "Seconds our clock is off the true UTC time.", "seconds", "0"},
        {"count", "Exit after this many messages.", "n"},
        {"quiet", "Print nothing per message; only the total at exit."},
    });
    CommandLine::process(p, app.arguments());

    Dc09Receiver receiver;
    QString error;
    Dc09::Key key;
    if (!Dc09::Key::parse(p.value("key"), p.value("key-format"), &key, &error))
        CommandLine::fail(p, error);
    receiver.setKey(key);
    const QString answer = p.value("answer").toLower();
    if (answer == "ack")
        receiver.setMode(Dc09Receiver::Ack);
    else if (answer == "nak")
        receiver.setMode(Dc09Receiver::Nak);
    else if (answer == "duh")
        receiver.setMode(Dc09Receiver::Duh);
    else if (answer == "silent")
        receiver.setMode(Dc09Receiver::Silent);
    else
        CommandLine::fail(p, "--answer is ack, nak, duh or silent");
    bool ok = true;
    receiver.setClockOffsetSecs(p.value("clock-offset").toLongLong(&ok));
    if (!ok)
        CommandLine::fail(p, "--clock-offset needs a number of seconds");
    const uint port = p.value("port").toUInt(&ok);
    if (!ok || port > 65535)
        CommandLine::fail(p, "--port needs a port number");
    const QHostAddress host(p.value("host"));
    if (host.isNull())
        CommandLine::fail(p, "--host needs an IP address");
    const int wanted = p.value("count").toInt();
    const bool quiet = p.isSet("quiet");
    receiver.setKeep(false);

    QTextStream out(stdout);
    out.setCodec("UTF-8");
    if (!receiver.listen(quint16(port), host)) {
        QTextStream(stderr) << "fire-arc: cannot listen on " << host.toString() << ':' << port << '\n';
        return 1;
    }
    out << "fire-arc: listening on " << host.toString() << ':' << receiver.port() << " (TCP and UDP)"
        << (key.isSet() ? QStringLiteral(", AES-%1").arg(key.bytes.size() * 8) : QString()) << Qt::endl;
    QObject::connect(&receiver, &Dc09Receiver::messageReceived, &app, [&](const Dc09Receiver::Received &r) {
        if (!quiet)
            out << Dc09Receiver::describe(r) << Qt::endl;
        if (wanted > 0 && receiver.count() >= wanted)
            QTimer::singleShot(0, &app, &QCoreApplication::quit);
    });
    // SIGINT and SIGTERM end it with its count.
    SignalWatcher watcher;
    QObject::connect(&watcher, &SignalWatcher::terminationRequested, &app, &QCoreApplication::quit);
    const int rc = app.exec();
    out << "fire-arc: " << receiver.count() << " messages, " << receiver.invalidCount() << " refused frames" << Qt::endl;
    return rc;
}
