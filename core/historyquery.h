#pragma once
// A question to the event history and its answer, shared by whoever asks
// (the client protocol, the web console) and whoever answers (the history
// store), so neither has to know the other. Plain values: they cross threads.

#include "core/cevent.h"

#include <QList>
#include <QString>

struct HistoryQuery
{
    // The range, inclusive, as "yyyy-MM-dd hh:mm:ss" once normalise() has
    // accepted it; a bare date stands for its whole day.
    QString from;
    QString to;
    int panel = 0;       // controller number; 0: every controller
    int eventClass = 0;  // class of the event table; 0: every class
    QString text;        // the description contains it; empty: no condition
    int pageSize = DefaultPageSize;
    // Where the previous page ended ("time|id"); empty: the newest first.
    QString cursor;

    static constexpr int DefaultPageSize = 100;
    static constexpr int MaxPageSize = 1000;
    static constexpr int MaxTextLength = 200;

    // Checks the values a peer sent and puts the range into its full form.
    // Empty when the query can run; otherwise what is wrong, for the answer.
    QString normalise();
    // The parts of a cursor; false when it is not one of ours.
    bool cursorParts(QString *time, qint64 *id) const;
    static QString makeCursor(const QString &time, qint64 id);
};

struct HistoryRow
{
    qint64 id = 0;
    QString action;   // in the query service's vocabulary ("火警", "故障", ...)
    QString content;  // the readable description
    QString atime;    // "yyyy-MM-dd hh:mm:ss"
    CEvent event;     // the recorded event, as far as the row carries it
};

struct HistoryPage
{
    QString error;         // empty: the query ran
    QList<HistoryRow> rows; // newest first
    QString nextCursor;    // empty: this is the last page
};
