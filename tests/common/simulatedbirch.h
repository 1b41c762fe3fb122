#pragma once
// A live Birch panel for server-level tests: the panel simulator on one end
// of a socat pair in the site's directory ("ttySim"), the server's end
// "ttyPanel" for config.ini to map a COM name to. Every frame the panel
// received is kept as the simulator describes it ("poll 01 ...",
// "command 01 0a ...").

#include "common/socatpair.h"
#include "tools/sim/birchpanelsim.h"

#include <QDir>
#include <QObject>
#include <QRegularExpression>
#include <QStringList>

#include <memory>

class SimulatedBirch : public QObject
{
public:
    explicit SimulatedBirch(const QString &dir) : m_dir(dir) {}

    QString serverEnd() const { return QDir(m_dir).filePath(QStringLiteral("ttyPanel")); }

    bool start(int id = 1)
    {
        const QString simEnd = QDir(m_dir).filePath(QStringLiteral("ttySim"));
        m_pair.reset(new SocatPair(serverEnd(), simEnd));
        if (!m_pair->start())
            return false;
        m_port.reset(new BirchSimPort);
        m_port->sim().setId(id);
        frames.clear();
        connect(m_port.get(), &BirchSimPort::frameReceived, this, [this](const QString &f) { frames << f; });
        return m_port->openDevice(simEnd);
    }

    BirchPanelSim &sim() { return m_port->sim(); }
    // Frames received of one kind ("poll", "command", ...).
    QStringList received(const QString &kind) const
    {
        return frames.filter(QRegularExpression(QLatin1Char('^') + kind + QLatin1Char(' ')));
    }

    QStringList frames;

private:
    const QString m_dir;
    std::unique_ptr<SocatPair> m_pair;
    std::unique_ptr<BirchSimPort> m_port;
};
