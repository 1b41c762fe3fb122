#pragma once
// Runs a panel simulator on a serial transport: an existing serial device
// (one end of a socat pair, a real adapter) or a pseudo-terminal it creates
// itself.
//
// On a real serial line it tells the parity every byte was sent under: the
// port listens with space parity and marks parity errors, so a byte sent
// under mark parity (an address byte) arrives flagged. Pseudo-terminals keep
// no parity at all, so there the frames are printed without it.

#include "tools/sim/panelsim.h"
#include "tools/sim/simtransport.h"

#include <QObject>
#include <QSerialPort>
#include <QTimer>

class QSocketNotifier;

class SimSerialPort : public SimTransport
{
    Q_OBJECT
public:
    // Runs sim (not owned; it must outlive the port).
    explicit SimSerialPort(PanelSim &sim, QObject *parent = nullptr);
    ~SimSerialPort() override;

    PanelSim &sim() { return m_sim; }

    // Opens an existing device path at the given speed.
    bool openDevice(const QString &path, qint32 baudRate = 2400);
    // Creates a pseudo-terminal and a symlink to its slave at linkPath.
    bool createPty(const QString &linkPath);
    void close();
    QString errorText() const { return m_strError; }

    // Sends bytes unasked (garbage bursts, unsolicited frames).
    void sendRaw(const QByteArray &bytes);
    // Bytes from the server seen so far.
    qint64 bytesReceived() const { return m_nBytesIn; }

private:
    void onBytes(const QByteArray &bytes, const QByteArray &marks);
    void onSerialBytes(const QByteArray &raw);
    bool listenForParity();
    void readPty();

    PanelSim &m_sim;
    QTimer m_unsolicited;
    QSerialPort *m_pPort = nullptr;
    int m_nMaster = -1;
    int m_nSlaveKeep = -1;   // keeps the pty from hanging up while no driver has it open
    QSocketNotifier *m_pNotifier = nullptr;
    QString m_strLink;
    QString m_strError;
    qint64 m_nBytesIn = 0;
    bool m_bParityKnown = false;  // the line reports mark bytes (real serial ports)
    QByteArray m_marks;           // per byte not yet framed: 'M' mark, 'S' space
    int m_nEscape = 0;            // state of the parity-mark escape sequence
};

// A simulator together with its own serial transport, for tests and
// benchmarks that need one live panel. The simulator is a base ahead of the
// port so it is built before the port takes it and outlives it.
template <class Sim>
struct SimPortHolder
{
    Sim held;
};

template <class Sim>
class SimPortOf : private SimPortHolder<Sim>, public SimSerialPort
{
public:
    explicit SimPortOf(QObject *parent = nullptr) : SimSerialPort(this->held, parent) {}
    Sim &sim() { return this->held; }
};
