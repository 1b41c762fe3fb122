#pragma once
// Common base of every fire-alarm panel driver: it owns the worker thread and
// its poll loop, the link to the panel, the receive buffer, the queue of client
// commands and the counting of failed polls that becomes communication-fault
// and restore events. A model supplies only its frames and their decoding by
// overriding the virtual operations below, and describes itself (type codes,
// line settings, pacing, communication event code) in its PanelModel.
//
// The panel manager creates drivers through the model registry, connects
// sendEvent(CEvent), calls openController() in the main thread and, when
// that succeeds, start() through a Controller pointer. closeController()
// stops the worker and closes the link; it returns within about a second.
//
// Threads. The driver object itself lives in the thread that created it (the
// main thread). The link object belongs to the worker while the loop runs:
// start() moves it there, the loop hands it back when it ends. Bytes are
// received in the worker, and every wait of the worker sleeps in its own event
// loop, woken by arriving bytes, its deadline or a stop request.

#include "core/cevent.h"
#include "panels/panellink.h"
#include "panels/panelmodel.h"

#include <QByteArray>
#include <QDateTime>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QList>
#include <QMutex>
#include <QSerialPort>
#include <QString>
#include <QThread>
#include <QTimer>
#include <QVariant>

#include <atomic>
#include <functional>

class QTimer;

class Controller : public QThread
{
    Q_OBJECT
public:
    // strLink: "COM:COM3" for serial models (the part after the first ':' is
    // the port name), the network address text for network models. Models
    // pass their PanelModel; without one the driver writes whole frames and
    // reports communication as 101/100.
    Controller(const QString &strLink, int nControllerID, int nControllerType,
               const PanelModel *model = nullptr);
    ~Controller() override;

    // What a poll cycle or a command operation tells the loop. A command
    // that ends in anything but Done or Refused is tried again, 3 times in all.
    enum Result : int {
        NotDone = 1,       // the operation does nothing on this model
        WriteFailed = 4,   // the frame did not go out
        WrongReply = 5,    // the panel answered something else
        NoReply = 6,       // the panel did not answer in time
        Done = 100,        // the panel answered (a poll) or took the command
        NoAnswer = 101,    // a poll without a usable answer: counts towards lost communication
        // A command this model will not send (a device code that names no
        // device of this panel): counted as refused and not tried again.
        Refused = 102,
    };

    // --- operations a model overrides (base behaviour in the comments) ---
    // Serial models: the line opened with the model's settings.
    virtual bool openController();
    // Stops the worker and closes the link.
    virtual bool closeController();
    // Network models: m_bOpen. Otherwise whether the driver holds an open link;
    // a serial link that is being reopened after its device vanished still
    // counts as connected, so the manager closes it and does not open it twice.
    virtual bool isConnected();
    virtual Result sendControl89();            // NotDone
    virtual Result sendControl94();            // NotDone
    virtual Result syncTime();                 // NotDone
    virtual Result sendControl97();            // NotDone
    // One poll cycle.
    virtual Result pollPanel();                // Done
    virtual Result setDeviceState(int type, QString strCode, QString strEndCode); // NotDone
    // Called in the worker after receiveData() added bytes to the buffer; on
    // a datagram link once per datagram, the buffer holding just that one.
    virtual void handleRecvData();
    virtual Result readValueSwitch(quint8 nPanelID, int nLoop, int nChannel, int nDevType); // Done
    virtual Result readValue(quint8 nLoop, quint8 nChannel, quint8 nDevType); // NotDone
    // The model's type name.
    QString controllerTypeName() const;
    // The remote-centre lamp, for models whose PanelModel has remoteLamp
    // (main thread); the base shows nothing.
    virtual void setRemoteLight(uchar nStatus);
    // In the worker as its loop ends, before the link goes back to the
    // thread that opened it: timers the model runs on the link stop here.
    virtual void workerEnding();

    // The clock that set-time frames and reports without a time of their own read (tests pin it).
    void setClock(std::function<QDateTime()> clock) { m_clock = std::move(clock); }

    const PanelModel *model() const { return m_pModel; }

    // Moves the link into the worker, then starts it. Call it through a
    // Controller pointer (it hides QThread::start on purpose).
    void start(QThread::Priority priority = QThread::InheritPriority);

    // Queues a client command (main thread). Refused while the link is closed
    // or the last exchange with the panel did not succeed; 0x94 first empties
    // the queue; codes that no operation executes are dropped.
    bool addCommand(const CEvent &command);
    int commandCount() const;

    // --- state the panel manager reads (any thread) ---
    int getCommState() const { return m_nCommState.load(); }
    void setCommState(int nState) { m_nCommState.store(nState); }
    int getTimeOutCount() const { return m_nTimeOutCount.load(); }
    void setTimeOutCount(int n) { m_nTimeOutCount.store(n); }
    bool isOpen() const { return m_bOpen.load(); }
    bool isLastExchangeOk() const { return m_nCommState.load() == 1; }
    // Wall-clock time of the last bytes received since the link was opened
    // (ms since the epoch, 0 = nothing yet); the manager's check of the
    // listening models reports a panel normal only once it was really heard.
    qint64 lastReceiveMsecs() const { return m_nLastReceiveMs.load(); }
    int failCount() const { return m_nFailCount.load(); }
    // Running totals for monitoring (any thread; relaxed counters).
    quint64 pollsAnswered() const { return m_nPollsAnswered.load(std::memory_order_relaxed); }
    quint64 pollsFailed() const { return m_nPollsFailed.load(std::memory_order_relaxed); }
    quint64 bytesReceived() const { return m_nBytesReceived.load(std::memory_order_relaxed); }
    quint64 commandsRefused() const { return m_nCommandsRefused.load(std::memory_order_relaxed); }
    // Frames a listening model dropped because their check sum failed.
    quint64 invalidFrames() const { return m_nInvalidFrames.load(std::memory_order_relaxed); }
    // Only frames with a failed check sum arrived since the last good one.
    bool lastFramesInvalid() const { return m_nInvalidSinceValid.load() > 0; }
    // ... and no good frame for the silence period (the watchdog's 30 s):
    // bytes arrive, but nothing the driver can read.
    bool isGarbled() const { return lastFramesInvalid() && m_nValidCountdown.load() == 0; }

    // --- settings, mostly for tests and tools ---
    int disconnectTimes() const { return m_nDisconnectTimes; }
    void setDisconnectTimes(int n) { m_nDisconnectTimes = n; }
    // Pause of every loop pass (200 ms).
    void setPassDelayMs(int ms) { m_nPassDelayMs = ms; }
    // Installs a link object (ownership passes to the driver); models create
    // their serial link through openSerialPort, tests install a FakeLink.
    void setLink(PanelLink *link);
    PanelLink *link() const { return m_pLink; }
    // The device path the serial name resolved to when the port was opened.
    QString devicePath() const { return m_strDevicePath; }

    // Set at construction, never changed: safe to read from any thread.
    QString m_strPortName;
    int m_nControllerID;
    int m_nControllerType;
    // Written by the worker (reception, timed reads) and by the manager's
    // checks in the main thread; single words, so atomics and no lock.
    std::atomic<int> m_nTimeOutCount{10};
    std::atomic<int> m_nCommState{-1};

signals:
    void sendEvent(const CEvent &e);

public slots:
    void receiveData();
    void slothandleTimeOut();

protected:
    void run() override;

    // Resolves m_strPortName through AppPaths::serialDevicePath, opens the
    // port with 8N1-style settings of the given parity and no flow control.
    bool openSerialPort(int baudRate, QSerialPort::Parity parity);
    // Marks the installed datagram link open (binding it again when a close
    // unbound it) and connects its reception.
    bool connectUdpLink();
    // For models whose link a panel library owns: the driver counts as
    // connected and accepts commands from now on.
    void markLinkOpen() { m_bOpen.store(true); }
    // Stops the worker (between passes or inside a wait), then closes the link.
    void closePort();
    void startWatchdog();

    // Worker-side byte operations; they return at once when a stop is requested.
    bool readPortData(QByteArray &out, int length, int maxTicks);
    bool writePortData(const char *data, int length);
    bool writePortData(const QByteArray &data) { return writePortData(data.constData(), data.size()); }
    bool setParity(QSerialPort::Parity parity);
    bool setDataTerminalReady(bool on);
    // Sleeps about ms milliseconds while bytes keep arriving; returns the
    // elapsed milliseconds (less when a stop cut it short).
    int delayMs(int ms);
    // A pause inside a frame: bytes keep arriving, but a stop request does
    // not cut it short, so a stop never leaves half a frame on the line.
    void pauseMs(int ms) { waitUntil(ms, 0, false); }
    bool stopRequested() const { return m_bStopRequested.load(); }

    // Receive buffer access for models that parse in handleRecvData().
    void clearRecvBuffer();
    QByteArray takeRecvBuffer();
    int recvBufferSize() const;

    void emitEvent(const CEvent &e);
    // A default event with this driver's number and type and the time now.
    CEvent makeEvent() const;
    // What setClock installed, else the wall clock.
    QDateTime now() const { return m_clock ? m_clock() : QDateTime::currentDateTime(); }
    // The number after "COM" of the port name (COM7 gives 7), else 0.
    quint8 comNumber() const;

    void processPendingCommand();
    // A listening model tells the base of each frame it checked (worker).
    void noteFrame(bool bValid);
    // The panel number of the command being executed (worker only; 0 for a
    // site-wide one). A model that fronts a network addresses that panel.
    quint8 commandPanelID() const { return m_nCommandPanelID; }

    PanelLink *m_pLink = nullptr;   // serial port or UDP socket behind the seam
    QHostAddress m_remoteAddress;   // peer of the network models
    int m_nDisconnectTimes;
    bool m_bRecordQuery = false;    // worker only
    int m_nRecordCount = 1;         // worker only
    quint8 m_nCommandPanelID = 0;   // worker only

private:
    std::function<QDateTime()> m_clock; // set before start(); read by the worker
    // The one wait of the worker: sleeps in the current thread's event
    // dispatcher until wantBytes are buffered (0: only the time), ms pass, or
    // (when interruptible) a stop is requested or the link is lost.
    bool waitUntil(int ms, int wantBytes, bool interruptible);
    void countPollResult(Result r);
    void emitCommEvent(bool bFault);
    Result passWithLostLink();
    void dropLostLink();
    void onDeviceLost();
    void requestStop();
    void appendReceived(const QByteArray &bytes, bool replace);
    // At open: nothing heard, no frame judged yet.
    void startHearing();
    void connectLink();

    std::atomic<bool> m_bOpen{false};
    std::atomic<bool> m_bStopRequested{false};
    std::atomic<bool> m_bLinkLost{false};   // worker sets it when the device vanished
    std::atomic<int> m_nFailCount{0};       // written by the worker only
    std::atomic<quint64> m_nPollsAnswered{0};   // worker
    std::atomic<quint64> m_nPollsFailed{0};     // worker
    std::atomic<quint64> m_nBytesReceived{0};   // worker
    std::atomic<quint64> m_nCommandsRefused{0}; // worker
    std::atomic<quint64> m_nInvalidFrames{0};   // worker
    std::atomic<int> m_nInvalidSinceValid{0};   // worker; reset at open
    // Watchdog periods left until a listening panel has sent no good frame
    // for the silence period; full at open and at each good frame.
    std::atomic<int> m_nValidCountdown{10};
    std::atomic<qint64> m_nLastReceiveMs{0};
    int m_nPassDelayMs = 200;
    const PanelModel *m_pModel;
    QString m_strDevicePath;

    // m_lock guards m_recvBuffer and m_listCommand; the worker (reception,
    // reads) and the main thread (addCommand, counters) take it only for an
    // append, a size test or a take.
    mutable QMutex m_lock;
    QByteArray m_recvBuffer;
    QList<CEvent> m_listCommand;
    bool m_bOverflowLogged = false;         // under m_lock
    bool m_bQueueFullLogged = false;        // under m_lock

    // m_stopLock orders a stop request against the end of the worker, so the
    // request never wakes a dispatcher that is being torn down.
    QMutex m_stopLock;
    bool m_bWorkerActive = false;           // under m_stopLock

    QTimer *m_timer;                        // watchdog, main thread
    QThread *m_pHomeThread = nullptr;       // where the link returns after the loop
    qint64 m_nNextReopenMs = 0;             // worker: deadline of the next reopen attempt
};
