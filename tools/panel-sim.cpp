// Plays a fire-alarm panel on a serial device or a pseudo-terminal, so a
// driver (the server, a test, the sample site) has a live panel to talk to.
// The model decides the simulator and the line settings (from the model
// registry). Every frame it receives is printed as text, with the parity it
// was sent under when the transport can tell (a real serial port; ptys keep
// no parity).

#include "core/commandline.h"
#include "core/signalwatcher.h"
#include "panels/panelmodel.h"
#include "tools/sim/panelsim.h"
#include "tools/sim/simserialport.h"
#include "tools/sim/simtransport.h"
#include "tools/sim/simulators.h"
#include "tools/sim/usersignal.h"

#include <QCoreApplication>
#include <QFile>
#include <QRandomGenerator>
#include <QTextStream>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <memory>

namespace {
void printReportsSent(const PanelSim &sim)
{
    if (sim.reportsSent() >= 0)
        std::fprintf(stdout, "panel-sim: %d reports sent\n", sim.reportsSent());
    std::fflush(stdout);
}

QString modelList()
{
    QStringList names;
    for (const PanelModel *m : PanelModels::all()) {
        if (!m->simulator.isEmpty())
            names << m->name.mid(10).toLower();
    }
    return names.join(QStringLiteral(", "));
}
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    // A soak starts the script with SIGUSR2 (--hold) and ends a looping one
    // with SIGUSR1 after its current pass, and still counts every report.
    UserSignal startSignal(SIGUSR2);
    UserSignal stopSignal(SIGUSR1);
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral("Fire-alarm panel simulator. SIGUSR1 ends a looping script after its "
                                               "current pass; at exit it prints how many reports it sent."));
    const QCommandLineOption hold(QStringLiteral("hold"), QStringLiteral("Play the script only after SIGUSR2 (an idle panel until then)."));
    p.addHelpOption();
    const QCommandLineOption device(QStringLiteral("device"), QStringLiteral("Serial device to open (e.g. one end of a socat pair)."), QStringLiteral("path"));
    const QCommandLineOption pty(QStringLiteral("pty"), QStringLiteral("Create a pseudo-terminal and link its slave here."), QStringLiteral("link"));
    const QCommandLineOption model(QStringLiteral("model"), QStringLiteral("Panel model (%1) or type code; default birch.").arg(modelList()), QStringLiteral("name"), QStringLiteral("birch"));
    const QCommandLineOption id(QStringLiteral("id"), QStringLiteral("Panel number (default 1)."), QStringLiteral("n"), QStringLiteral("1"));
    const QCommandLineOption script(QStringLiteral("script"), QStringLiteral("Script of reports, status frames and records."), QStringLiteral("file"));
    const QCommandLineOption loop(QStringLiteral("loop"), QStringLiteral("Replay the reports when they run out."));
    const QCommandLineOption silent(QStringLiteral("silent"), QStringLiteral("Answer nothing."));
    const QCommandLineOption garbage(QStringLiteral("garbage"), QStringLiteral("Answer every request with random bytes."));
    const QCommandLineOption noise(QStringLiteral("noise-ms"), QStringLiteral("Also send random bytes unasked every ms milliseconds."), QStringLiteral("ms"));
    const QCommandLineOption quiet(QStringLiteral("quiet"), QStringLiteral("Do not print received frames."));
    const QCommandLineOption listen(QStringLiteral("listen"), QStringLiteral("Network panels: the local port the panel uses."), QStringLiteral("port"));
    const QCommandLineOption server(QStringLiteral("server"), QStringLiteral("Network panels: the server's address and port (default 127.0.0.1 and the model's port)."), QStringLiteral("host:port"));
    p.addOptions({device, pty, model, id, script, loop, silent, garbage, noise, quiet, listen, server, hold});
    for (const SimulatorEntry &e : Simulators::all())
        p.addOptions(e.options);
    CommandLine::process(p, app.arguments());

    bool ok = false;
    const int typeCode = p.value(model).toInt(&ok);
    const PanelModel *panel = ok ? PanelModels::forType(typeCode) : PanelModels::byName(p.value(model));
    const SimulatorEntry *entry = panel ? Simulators::byKey(panel->simulator) : nullptr;
    if (!entry)
        CommandLine::fail(p, QStringLiteral("no simulator for model \"%1\" (known: %2)").arg(p.value(model), modelList()));
    const bool serial = !entry->open;
    if (serial && p.isSet(device) == p.isSet(pty))
        CommandLine::fail(p, QStringLiteral("give exactly one of --device PATH or --pty LINK"));
    const int n = p.value(id).toInt(&ok);
    if (!ok || n < 1 || n > 255)
        CommandLine::fail(p, QStringLiteral("--id must be 1..255, not %1").arg(p.value(id)));

    QString why;
    std::unique_ptr<PanelSim> sim(entry->create(*panel, p, &why));
    if (!sim)
        CommandLine::fail(p, why);
    sim->setId(n);
    sim->setLoop(p.isSet(loop));
    sim->setSilent(p.isSet(silent));
    sim->setGarbage(p.isSet(garbage));
    QObject::connect(&stopSignal, &UserSignal::raised, [&sim] {
        sim->setLoop(false);
        std::fprintf(stdout, "panel-sim: the script ends after this pass\n");
        std::fflush(stdout);
    });
    QTextStream err(stderr);
    QString scriptText;
    if (p.isSet(script)) {
        QFile f(p.value(script));
        if (!f.open(QIODevice::ReadOnly)) {
            err << "panel-sim: cannot read script " << f.fileName() << "\n";
            return 2;
        }
        scriptText = QString::fromUtf8(f.readAll());
        // Read once now even when held, so a wrong script fails at start.
        std::unique_ptr<PanelSim> check(entry->create(*panel, p, &why));
        if (!check->loadScript(scriptText, &why) || (!p.isSet(hold) && !sim->loadScript(scriptText, &why))) {
            err << "panel-sim: " << f.fileName() << ": " << why << "\n";
            return 2;
        }
    }
    QObject::connect(&startSignal, &UserSignal::raised, [&sim, &scriptText, &hold, &p] {
        if (!p.isSet(hold) || scriptText.isEmpty())
            return;
        QString ignored;
        sim->loadScript(scriptText, &ignored);
        scriptText.clear();
        std::fprintf(stdout, "panel-sim: the script starts\n");
        std::fflush(stdout);
    });
    const auto print = [](const QString &text) {
        std::fprintf(stdout, "%s\n", text.toLocal8Bit().constData());
        std::fflush(stdout);
    };
    if (!serial) {
        std::unique_ptr<SimTransport> transport(entry->open(*sim, *panel, p, &why));
        if (!transport) {
            err << "panel-sim: " << why << "\n";
            return 1;
        }
        if (!p.isSet(quiet))
            QObject::connect(transport.get(), &SimTransport::frameReceived, print);
        SignalWatcher watcher;
        QObject::connect(&watcher, &SignalWatcher::terminationRequested, &app, &QCoreApplication::quit);
        const int rc = app.exec();
        printReportsSent(*sim);
        return rc;
    }
    SimSerialPort port(*sim);
    const bool opened = p.isSet(device) ? port.openDevice(p.value(device), panel->baudRate)
                                        : port.createPty(p.value(pty));
    if (!opened) {
        err << "panel-sim: " << port.errorText() << "\n";
        return 1;
    }
    if (!p.isSet(quiet))
        QObject::connect(&port, &SimSerialPort::frameReceived, print);
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
    const int rc = app.exec();
    printReportsSent(*sim);
    return rc;
}
