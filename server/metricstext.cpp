#include "server/metricstext.h"

namespace {
QByteArray escape(const QString &value)
{
    QByteArray v = value.toUtf8();
    v.replace('\\', "\\\\").replace('"', "\\\"").replace('\n', "\\n");
    return v;
}
}

void MetricsText::family(const char *name, const char *type, const char *help)
{
    m_out += "# HELP ";
    m_out += name;
    m_out += ' ';
    m_out += help;
    m_out += "\n# TYPE ";
    m_out += name;
    m_out += ' ';
    m_out += type;
    m_out += '\n';
}

void MetricsText::sample(const char *name, const QList<QPair<const char *, QString>> &labels, double value)
{
    m_out += name;
    if (!labels.isEmpty()) {
        m_out += '{';
        for (int i = 0; i < labels.size(); ++i) {
            if (i > 0)
                m_out += ',';
            m_out += labels.at(i).first;
            m_out += "=\"";
            m_out += escape(labels.at(i).second);
            m_out += '"';
        }
        m_out += '}';
    }
    m_out += ' ';
    m_out += QByteArray::number(value, 'g', 15);
    m_out += '\n';
}

void MetricsText::journal(const char *service, const Journal &journal, qint64 lastSuccessMs)
{
    const QString prefix = QStringLiteral("fireserver_%1_").arg(QLatin1String(service));
    const QByteArray depth = (prefix + QStringLiteral("journal_events")).toLatin1();
    const QByteArray bytes = (prefix + QStringLiteral("journal_bytes")).toLatin1();
    const QByteArray dropped = (prefix + QStringLiteral("journal_dropped_events_total")).toLatin1();
    const QByteArray success = (prefix + QStringLiteral("last_success_timestamp_seconds")).toLatin1();
    family(depth.constData(), "gauge", "Events waiting in the store-and-forward journal.");
    sample(depth.constData(), journal.count());
    family(bytes.constData(), "gauge", "Payload bytes waiting in the journal.");
    sample(bytes.constData(), double(journal.bytes()));
    family(dropped.constData(), "counter", "Oldest events dropped at the journal's cap since the start.");
    sample(dropped.constData(), double(journal.droppedCount()));
    family(success.constData(), "gauge", "When a delivery was last acknowledged (Unix time; 0: never).");
    sample(success.constData(), double(lastSuccessMs) / 1000.0);
}
