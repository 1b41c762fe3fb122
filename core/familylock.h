#pragma once
// The product family's mutual exclusion: whoever listens on TCP 21534 runs,
// and "crt.lock" names the holder for the refusal message.

#include <QObject>
#include <QString>
#include <QTcpServer>

class FamilyLock
{
public:
    explicit FamilyLock(quint8 familyNumber, quint16 port = 21534);

    // Takes the port and writes crt.lock; on failure fills refusal with the
    // message naming the holder (empty for an unknown holder).
    bool acquire(QString *refusal);
    // acquire(), and on a refusal the information box "提示" with its text
    // through the prompt layer (the log when headless).
    bool acquireOrTell();
    static QString refusalText(int holder, quint8 own);
    static QString familyName(quint8 number);

private:
    QTcpServer m_server; // only occupies the port; never accepts
    quint8 m_number;
    quint16 m_port;
};
