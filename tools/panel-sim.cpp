// Plays a Birch or Ash panel on a serial device or a pseudo-terminal, so a
// driver (the server, a test, the sample site) has a live panel to talk to.
// Every frame it receives is printed as hex, with the parity it was sent
// under when the transport can tell (a real serial port; ptys keep no parity).

#include "core/signalwatcher.h"
#include "tools/sim/birchsimport.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QRandomGenerator>
#include <QTextStream>
#include <QTimer>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral("Birch/Ash panel simulator"));
    p.addHelpOption();
    const QCommandLineOption device(QStringLiteral("device"), QStringLiteral("Serial device to open (e.g. one end of a socat pair)."), QStringLiteral("path"));
    const QCommandLineOption pty(QStringLiteral("pty"), QStringLiteral("Create a pseudo-terminal and link its slave here."), QStringLiteral("link"));
    const QCommandLineOption model(QStringLiteral("model"), QStringLiteral("birch or ash (default birch)."), QStringLiteral("name"), QStringLiteral("birch"));
    const QCommandLineOption id(QStringLiteral("id"), QStringLiteral("Panel number (default 1)."), QStringLiteral("n"), QStringLiteral("1"));
    const QCommandLineOption script(QStringLiteral("script"), QStringLiteral("Script of reports, status frames and records."), QStringLiteral("file"));
    const QCommandLineOption loop(QStringLiteral("loop"), QStringLiteral("Replay the reports when they run out."));
    const QCommandLineOption ack(QStringLiteral("ack"), QStringLiteral("Command acknowledgement: short or long."), QStringLiteral("form"), QStringLiteral("short"));
    const QCommandLineOption silent(QStringLiteral("silent"), QStringLiteral("Answer nothing."));
    const QCommandLineOption garbage(QStringLiteral("garbage"), QStringLiteral("Answer every request with random bytes."));
    const QCommandLineOption noise(QStringLiteral("noise-ms"), QStringLiteral("Also send random bytes unasked every ms milliseconds."), QStringLiteral("ms"));
    const QCommandLineOption quiet(QStringLiteral("quiet"), QStringLiteral("Do not print received frames."));
    p.addOptions({device, pty, model, id, script, loop, ack, silent, garbage, noise, quiet});
    p.process(app);

    QTextStream err(stderr);
    if (p.isSet(device) == p.isSet(pty)) {
        err << "panel-sim: give exactly one of --device PATH or --pty LINK\n";
        return 2;
    }
    bool ok = false;
    const int n = p.value(id).toInt(&ok);
    if (!ok || n < 1 || n > 255) {
        err << "panel-sim: --id must be 1..255, not " << p.value(id) << "\n";
        return 2;
    }
    BirchSimPort port;
    BirchPanelSim &sim = port.sim();
    sim.setId(n);
    sim.setModel(p.value(model).toLower() == QLatin1String("ash") ? BirchPanelSim::Ash : BirchPanelSim::Birch);
    sim.setAckForm(p.value(ack).toLower() == QLatin1String("long") ? BirchPanelSim::LongAck : BirchPanelSim::ShortAck);
    sim.setLoop(p.isSet(loop));
    sim.setSilent(p.isSet(silent));
    sim.setGarbage(p.isSet(garbage));
    if (p.isSet(script)) {
        QFile f(p.value(script));
        if (!f.open(QIODevice::ReadOnly)) {
            err << "panel-sim: cannot read script " << f.fileName() << "\n";
            return 2;
        }
        QString why;
        if (!sim.loadScript(QString::fromUtf8(f.readAll()), &why)) {
            err << "panel-sim: " << f.fileName() << ": " << why << "\n";
            return 2;
        }
    }
    const bool opened = p.isSet(device) ? port.openDevice(p.value(device)) : port.createPty(p.value(pty));
    if (!opened) {
        err << "panel-sim: " << port.errorText() << "\n";
        return 1;
    }
    if (!p.isSet(quiet)) {
        QObject::connect(&port, &BirchSimPort::frameReceived, [](const QString &text) {
            std::fprintf(stdout, "%s\n", text.toLocal8Bit().constData());
            std::fflush(stdout);
        });
    }
    QTimer noiseTimer;
    if (p.isSet(noise)) {
        QObject::connect(&noiseTimer, &QTimer::timeout, [&port] {
            QByteArray g;
            for (int i = 0; i < 16; ++i)
                g.append(char(QRandomGenerator::global()->bounded(256)));
            port.sendRaw(g);
        });
        noiseTimer.start(qMax(1, p.value(noise).toInt()));
    }
    SignalWatcher watcher;
    QObject::connect(&watcher, &SignalWatcher::terminationRequested, &app, [&port, &app] {
        port.close();
        app.quit();
    });
    return app.exec();
}
