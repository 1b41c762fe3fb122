#pragma once
// The panel's side of one model's protocol, apart from any transport: a
// simulator takes the bytes a server sends and answers as the panel would.
// A transport (SimSerialPort for serial models) runs it on a device, a pty
// or a socket; the panel simulator tool picks both from the model registry.

#include <QByteArray>
#include <QList>
#include <QString>

class PanelSim
{
public:
    // One frame the server sent, as the simulator understood it.
    struct Frame
    {
        QString text;    // e.g. "poll 31"
        int size = 0;    // its bytes on the line
    };

    virtual ~PanelSim() = default;

    virtual void setId(int id) = 0;
    // Answer nothing at all.
    virtual void setSilent(bool on) = 0;
    // Answer every request with random bytes.
    virtual void setGarbage(bool on) = 0;
    // Replay the report script when it runs out.
    virtual void setLoop(bool on) = 0;
    // Reads the model's script of reports (its own line format).
    virtual bool loadScript(const QString &text, QString *error) = 0;

    // Feeds bytes from the server; returns what the panel answers.
    virtual QByteArray feed(const QByteArray &bytes) = 0;
    // The frames parsed since the last call.
    virtual QList<Frame> takeFrames() = 0;
    // Panels that speak unasked: what to send now (called every
    // unsolicitedIntervalMs by the transport; 0 = never).
    virtual int unsolicitedIntervalMs() const { return 0; }
    virtual QByteArray unsolicited() { return QByteArray(); }
    // Scripted reports sent so far (first sendings, not repeats), so a soak
    // can compare what the panels said with what reached the clients; -1
    // when the simulator does not count.
    virtual int reportsSent() const { return -1; }
};
