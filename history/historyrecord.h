#pragma once
// What one delivered event becomes in the event log: the action in the
// query service's vocabulary, a readable description, the time, the fields
// a history query filters on and the whole event as compact JSON. Pure
// functions; the recorder's thread calls them.

#include "core/cevent.h"

#include <QString>

#include <functional>

struct HistoryRecord
{
    QString action;
    QString content;
    QString atime;     // "yyyy-MM-dd hh:mm:ss"
    int panel = 0;
    int eventClass = 0;
    int eventNo = 0;   // the event table's number
    QString code;
    int property = 0;
    QString raw;       // the event as compact JSON

    // controllerName may be empty (a notice of the server, an unknown
    // controller); receivedAt dates an event whose own time is not valid.
    static HistoryRecord fromEvent(const CEvent &e, const QString &controllerName,
                                   const std::function<QString()> &receivedAt);
    // A notice of the server itself (centre link, logins): no controller.
    static HistoryRecord notice(const QString &action, const QString &text, const QString &time);
};

namespace HistoryText {
// The action of a delivered event: actionName of the matching vocabulary
// code with "设备" removed, "其他" for events the vocabulary has no word for.
QString actionFor(const CEvent &e);
QString describe(const CEvent &e, const QString &controllerName);
QString eventToJson(const CEvent &e);
// Fields missing from the text keep their defaults.
CEvent eventFromJson(const QString &json);
}
