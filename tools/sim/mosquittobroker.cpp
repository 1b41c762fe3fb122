#include "tools/sim/mosquittobroker.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>

#include <pwd.h>
#include <unistd.h>

namespace {
const QString kMosquitto = QStringLiteral("/usr/sbin/mosquitto");

quint16 freeLoopbackPort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

bool runOpenssl(const QStringList &args, const QString &dir, QString *error)
{
    QProcess p;
    p.setWorkingDirectory(dir);
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(QStringLiteral("openssl"), args);
    if (!p.waitForFinished(30000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        *error = QStringLiteral("openssl %1: %2").arg(args.join(' '), QString::fromLocal8Bit(p.readAll()));
        return false;
    }
    return true;
}
} // namespace

MosquittoBroker::MosquittoBroker(const QString &dir) : m_dir(dir)
{
    m_process.setProcessChannelMode(QProcess::ForwardedChannels);
}

MosquittoBroker::~MosquittoBroker()
{
    stop();
}

void MosquittoBroker::setTls(const QString &caFile, const QString &certFile, const QString &keyFile,
                             bool requireClientCert)
{
    m_caFile = caFile;
    m_certFile = certFile;
    m_keyFile = keyFile;
    m_requireClientCert = requireClientCert;
}

bool MosquittoBroker::start()
{
    if (isRunning())
        return true;
    if (m_port != 0)
        return launch();
    // Another program may take the port between our look and the broker's
    // bind: try a few.
    for (int attempt = 0; attempt < 5; ++attempt) {
        m_port = freeLoopbackPort();
        if (m_port != 0 && launch())
            return true;
    }
    m_port = 0;
    return false;
}

bool MosquittoBroker::launch()
{
    // Started as root, mosquitto would become the user "mosquitto", who
    // cannot read our directory: it stays whoever we are.
    const passwd *self = getpwuid(getuid());
    QByteArray conf = "listener " + QByteArray::number(m_port) + " 127.0.0.1\n"
                      "allow_anonymous true\n"
                      "user " + QByteArray(self ? self->pw_name : "root") + "\n"
                      // Benchmarks push far more than the default 1000 queued
                      // messages to one subscriber.
                      "max_queued_messages 0\n"
                      "max_inflight_messages 100\n"
                      "log_dest file " + QDir(m_dir).absoluteFilePath(QStringLiteral("mosquitto.log")).toUtf8() + "\n"
                      "log_type error\nlog_type warning\nlog_type notice\n";
    if (m_persistence)
        conf += "persistence true\npersistence_location " + QDir(m_dir).absolutePath().toUtf8() + "/\n";
    if (!m_caFile.isEmpty()) {
        conf += "cafile " + m_caFile.toUtf8() + "\ncertfile " + m_certFile.toUtf8() + "\nkeyfile "
            + m_keyFile.toUtf8() + "\nrequire_certificate " + (m_requireClientCert ? "true" : "false") + "\n";
    }
    conf += m_extraConfig;
    const QString confPath = QDir(m_dir).filePath(QStringLiteral("mosquitto.conf"));
    QFile f(confPath);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(conf) != conf.size())
        return false;
    f.close();
    m_process.start(kMosquitto, {QStringLiteral("-c"), confPath});
    if (!m_process.waitForStarted(5000))
        return false;
    return waitUntilListening();
}

bool MosquittoBroker::waitUntilListening()
{
    QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired()) {
        if (m_process.state() != QProcess::Running)
            return false;
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, m_port);
        if (probe.waitForConnected(200)) {
            probe.abort();
            return true;
        }
        m_process.waitForFinished(50); // sleeps on the child between looks
    }
    return false;
}

void MosquittoBroker::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(10000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

QString MosquittoBroker::log() const
{
    QFile f(QDir(m_dir).filePath(QStringLiteral("mosquitto.log")));
    return f.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(f.readAll()) : QString();
}

bool MosquittoBroker::makeCertificates(const QString &dir, QString *error)
{
    const QStringList ec{QStringLiteral("-newkey"), QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                         QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes")};
    QFile ext(QDir(dir).filePath(QStringLiteral("server.ext")));
    if (!ext.open(QIODevice::WriteOnly) || ext.write("subjectAltName=IP:127.0.0.1\n") < 0) {
        *error = QStringLiteral("cannot write %1").arg(ext.fileName());
        return false;
    }
    ext.close();
    return runOpenssl(QStringList{"req", "-x509"} + ec
                          + QStringList{"-keyout", "ca.key", "-out", "ca.crt", "-days", "2", "-subj", "/CN=Test CA"},
                      dir, error)
        && runOpenssl(QStringList{"req"} + ec
                          + QStringList{"-keyout", "server.key", "-out", "server.csr", "-subj", "/CN=127.0.0.1"},
                      dir, error)
        && runOpenssl({"x509", "-req", "-in", "server.csr", "-CA", "ca.crt", "-CAkey", "ca.key", "-CAcreateserial",
                       "-out", "server.crt", "-days", "2", "-extfile", "server.ext"},
                      dir, error)
        && runOpenssl(QStringList{"req"} + ec
                          + QStringList{"-keyout", "client.key", "-out", "client.csr", "-subj", "/CN=fireserver-test"},
                      dir, error)
        && runOpenssl({"x509", "-req", "-in", "client.csr", "-CA", "ca.crt", "-CAkey", "ca.key", "-CAcreateserial",
                       "-out", "client.crt", "-days", "2"},
                      dir, error);
}
