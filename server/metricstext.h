#pragma once
// The Prometheus text format the health and metrics listener answers with:
// one HELP and TYPE line per family, then its samples. Each service writes
// its own families into it.

#include "gateways/journal.h"

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

class MetricsText
{
public:
    void family(const char *name, const char *type, const char *help);
    void sample(const char *name, const QList<QPair<const char *, QString>> &labels, double value);
    void sample(const char *name, double value) { sample(name, {}, value); }
    // Depth, size, drops and last success of an outbound service's journal,
    // as fireserver_<service>_journal_*.
    void journal(const char *service, const Journal &journal, qint64 lastSuccessMs);
    QByteArray text() const { return m_out; }

private:
    QByteArray m_out;
};
