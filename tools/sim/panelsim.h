#pragma once
// The panel's side of one model's protocol, apart from any transport: a
// simulator takes the bytes a server sends and answers as the panel would.
// A transport (SimSerialPort for serial models) runs it on a device, a pty
// or a socket; the panel simulator tool picks both from the model registry.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

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

    void setId(int id) { m_nId = id; }
    int id() const { return m_nId; }
    // Answer nothing at all.
    virtual void setSilent(bool on) { m_bSilent = on; }
    // Answer every request with random bytes.
    void setGarbage(bool on) { m_bGarbage = on; }
    // Replay the report script when it runs out.
    void setLoop(bool on) { m_bLoop = on; }
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

protected:
    explicit PanelSim(int id) : m_nId(id) {}

    // 1 to maxLength random bytes: what a garbage-answering panel sends.
    static QByteArray randomBytes(int maxLength);
    // Runs readLine on every line of a script with its "# comment" cut off
    // and blanks trimmed, skipping empty lines. At the first line readLine
    // refuses it stops and returns false with *error naming that line.
    static bool readScriptLines(const QString &text, QString *error,
                                const std::function<bool(const QString &line)> &readLine);
    // The words of a script line after the first, read as hexadecimal bytes;
    // false when one is not a number or does not fit a byte.
    static bool hexBytes(const QStringList &words, QList<quint8> *bytes);

    // Switched by the tool or a test; the model's answers follow them.
    int m_nId;
    bool m_bSilent = false;
    bool m_bGarbage = false;
    bool m_bLoop = false;
};

// A list of what a simulator received, kept until a reader takes it; a
// reader that never does costs at most the newest kMaxKept entries.
template <class T>
class KeptList
{
public:
    static constexpr int kMaxKept = 1000;

    void append(const T &item)
    {
        m_items.append(item);
        if (m_items.size() > kMaxKept)
            m_items.removeFirst();
    }
    // Everything kept, oldest first, and empties the list.
    QList<T> take()
    {
        QList<T> out;
        out.swap(m_items);
        return out;
    }

private:
    QList<T> m_items;
};

// A panel whose server frames come as a byte stream: feed() gathers the
// bytes in a bounded buffer, parseOne() cuts them into frames one at a time
// and answer() answers each. The model gives the three and describe().
template <class Received>
class StreamPanelSim : public PanelSim
{
public:
    QByteArray feed(const QByteArray &bytes) override
    {
        m_buffer += bytes;
        // Server frames are a few dozen bytes at most; a longer backlog is noise.
        if (m_buffer.size() > kMaxBuffer)
            m_buffer = m_buffer.right(kMaxBuffer);
        QByteArray reply;
        Received r;
        while (parseOne(&r)) {
            m_received.append(r);
            reply += answer(r);
        }
        return reply;
    }

    // The frames parsed since the last call to this or takeFrames().
    QList<Received> takeReceived() { return m_received.take(); }

    QList<Frame> takeFrames() override
    {
        QList<Frame> out;
        for (const Received &r : takeReceived())
            out.append({describe(r), r.bytes.size()});
        return out;
    }

protected:
    using PanelSim::PanelSim;

    // Takes the first frame off m_buffer into *out; false while the buffer
    // holds no whole frame.
    virtual bool parseOne(Received *out) = 0;
    // The panel's answer to a frame (empty for none).
    virtual QByteArray answer(const Received &r) = 0;
    // The frame as text, e.g. "poll 31".
    virtual QString describe(const Received &r) const = 0;

    QByteArray m_buffer;   // the server's bytes not yet framed

private:
    static constexpr int kMaxBuffer = 4096;
    KeptList<Received> m_received;
};
