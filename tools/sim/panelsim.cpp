#include "tools/sim/panelsim.h"

#include <QRandomGenerator>
#include <QStringList>

QByteArray PanelSim::randomBytes(int maxLength)
{
    QByteArray g;
    const int n = 1 + int(QRandomGenerator::global()->bounded(maxLength));
    for (int i = 0; i < n; ++i)
        g.append(char(QRandomGenerator::global()->bounded(256)));
    return g;
}

bool PanelSim::readScriptLines(const QString &text, QString *error,
                               const std::function<bool(const QString &line)> &readLine)
{
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (int n = 0; n < lines.size(); ++n) {
        const QString line = lines.at(n).section(QLatin1Char('#'), 0, 0).trimmed();
        if (line.isEmpty() || readLine(line))
            continue;
        if (error)
            *error = QStringLiteral("line %1: cannot read \"%2\"").arg(n + 1).arg(line);
        return false;
    }
    return true;
}

bool PanelSim::hexBytes(const QStringList &words, QList<quint8> *bytes)
{
    for (int i = 1; i < words.size(); ++i) {
        bool ok = false;
        const uint x = words.at(i).toUInt(&ok, 16);
        if (!ok || x > 0xFF)
            return false;
        bytes->append(quint8(x));
    }
    return true;
}
