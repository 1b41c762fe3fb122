#pragma once
// A Mosquitto broker of our own for tests and benchmarks: started on a free
// loopback port with its configuration, persistence and log in a directory
// of the caller's, stopped (and started again on the same port) at will.
// Never the machine's broker: its port and files are left alone.

#include <QByteArray>
#include <QProcess>
#include <QString>

class MosquittoBroker
{
public:
    // Files go into dir, which must exist.
    explicit MosquittoBroker(const QString &dir);
    ~MosquittoBroker();

    // Sessions and retained messages survive a stop() and start().
    void setPersistence(bool on) { m_persistence = on; }
    // A TLS listener; requireClientCert makes the broker ask for ours.
    void setTls(const QString &caFile, const QString &certFile, const QString &keyFile, bool requireClientCert);
    // Lines appended to the broker's configuration (a bridge, say).
    void setExtraConfig(const QByteArray &lines) { m_extraConfig = lines; }
    // The first start picks a free port; later ones reuse it. Waits until
    // the broker accepts connections.
    bool start();
    // SIGTERM, so a persistent broker saves its state; waits for the exit.
    void stop();
    bool isRunning() const { return m_process.state() == QProcess::Running; }
    quint16 port() const { return m_port; }
    qint64 pid() const { return m_process.processId(); }
    // What the broker logged so far (mosquitto.log in the directory).
    QString log() const;

    // Writes a test CA (ca.crt), a server certificate for 127.0.0.1
    // (server.crt/.key) and a client certificate (client.crt/.key) into dir
    // with openssl. False with the reason in *error.
    static bool makeCertificates(const QString &dir, QString *error);

private:
    bool launch();
    bool waitUntilListening();

    QString m_dir;
    quint16 m_port = 0;
    bool m_persistence = false;
    QString m_caFile;
    QString m_certFile;
    QString m_keyFile;
    bool m_requireClientCert = false;
    QByteArray m_extraConfig;
    QProcess m_process;
};
