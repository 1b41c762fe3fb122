#pragma once
// What runs a panel simulator on a line or a socket: the tool only needs its
// frames as text.

#include <QObject>
#include <QString>

class SimTransport : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

signals:
    // One parsed server frame, e.g. "poll 31 [mark]".
    void frameReceived(const QString &text);
};
