#pragma once
// Driver of the Juniper panel (type code 250): a serial panel at 115200 baud
// that reports on its own in the 0x7E record format. Every record is
// answered with the server's time, so the panel clock follows the server; a
// pending time sync turns one answer into a set-time answer. The DTR line
// of the port shows the remote-centre link as a lamp (on, off, blinking).
//
// Threads: records are framed, decoded and answered in the worker, which
// owns the port while it runs. The lamp is set from the main thread: the
// request is handed to the port's thread and the blinking timer lives there.

#include "panels/controller.h"

#include <QByteArray>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QPointer>

#include <atomic>

class QTimer;

class ControllerJuniper : public Controller
{
    Q_OBJECT
public:
    ControllerJuniper(const QString &strLink, int nControllerID, int nControllerType);
    ~ControllerJuniper() override;
    static const PanelModel &model();

    bool openController() override;
    Result sendControl89() override;
    Result sendControl94() override;
    Result syncTime() override;
    void handleRecvData() override;
    // Not a poll: each pass ends a record cut short by a quiet line; always Done.
    Result pollPanel() override;
    // 1 lamp on, 0 off, 2 blink (renewed by every further 2); main thread.
    void setRemoteLight(uchar nStatus) override;
    void workerEnding() override;

    // Blink period (500 ms) and how long the lamp keeps being refreshed after
    // the last blink request (1000 ms); before the lamp is first used.
    void setLampTiming(int intervalMs, int holdMs) { m_nLampIntervalMs = intervalMs; m_nLampHoldMs = holdMs; }
    bool lampTimerActive() const { return m_bLampTimerActive.load(); }

private:
    // Frames and handles what has arrived; atEnd: the line went quiet.
    void processStream(bool atEnd);
    void handleRecord(const QByteArray &record);
    void sendAnswer();
    bool writeFrame(const QByteArray &frame);
    void dropNoise(const QByteArray &bytes);
    // In the port's thread.
    void applyLamp(int mode);
    void lampTick();
    void setDtr(bool on);

    // Set by syncTime, taken by the next answer (both in the worker).
    std::atomic<bool> m_bTimeSyncPending{false};

    // The link's thread only (the worker while it runs).
    QByteArray m_stream;                 // bytes not yet framed into records
    QDeadlineTimer m_quietAfter;         // when the bytes of m_stream count as all there is
    bool m_bHandling = false;
    int m_nDropped = 0;                  // noise bytes not yet reported
    QDeadlineTimer m_dropLogDue;

    // Lamp, in the link's thread.
    int m_nLampMode = 0;
    bool m_bLampLevel = false;
    qint64 m_nLampDeadlineMs = 0;        // monotonic ms: blinking was last asked for until then
    QPointer<QTimer> m_pLampTimer;       // child of the link, so it moves with it
    bool m_bDtrFailLogged = false;
    int m_nLampIntervalMs = 500;
    int m_nLampHoldMs = 1000;
    std::atomic<bool> m_bLampTimerActive{false};
};
