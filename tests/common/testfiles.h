#pragma once
// Small helpers shared by the tests: whole files in and out, and a capture
// of the warnings (and, if asked, one logging category) written while it
// lives. Messages still reach the previous handler, so QTest::ignoreMessage
// keeps working.

#include <QByteArray>
#include <QFile>
#include <QMutex>
#include <QString>
#include <QStringList>

namespace TestFiles {

inline bool write(const QString &path, const QByteArray &data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(data) == data.size();
}

inline QByteArray read(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// The files of the sample site (site/ of the sources) copied into dir.
inline bool copySampleSite(const QString &dir)
{
    for (const char *name : {"config.ini", "EventConfig.xml", "SysSet.xml", "httpConfig.ini"}) {
        const QString to = dir + QLatin1Char('/') + QLatin1String(name);
        if (!QFile::copy(QStringLiteral(FIRE_SOURCE_DIR "/site/") + QLatin1String(name), to))
            return false;
    }
    return true;
}

} // namespace TestFiles

class LogCapture
{
public:
    // category: also keep every message of this category (any level).
    explicit LogCapture(const char *category = nullptr) : m_category(category)
    {
        QMutexLocker l(&lock());
        current() = this;
        m_previous = qInstallMessageHandler(handler);
    }
    ~LogCapture()
    {
        qInstallMessageHandler(m_previous);
        QMutexLocker l(&lock());
        current() = nullptr;
    }
    QStringList lines() const
    {
        QMutexLocker l(&lock());
        return m_lines;
    }
    int count(const QString &text) const { return lines().filter(text).size(); }
    void clear()
    {
        QMutexLocker l(&lock());
        m_lines.clear();
    }

private:
    static QMutex &lock() { static QMutex m; return m; }
    static LogCapture *&current() { static LogCapture *c = nullptr; return c; }
    static void handler(QtMsgType type, const QMessageLogContext &ctx, const QString &msg)
    {
        QtMessageHandler previous = nullptr;
        {
            QMutexLocker l(&lock());
            LogCapture *c = current();
            if (!c)
                return;
            if (type == QtWarningMsg || type == QtCriticalMsg
                || (c->m_category && ctx.category && qstrcmp(ctx.category, c->m_category) == 0))
                c->m_lines << msg;
            previous = c->m_previous;
        }
        if (previous)
            previous(type, ctx, msg);
    }

    const char *m_category;
    QtMessageHandler m_previous = nullptr;
    QStringList m_lines; // under lock()
};

// For set-up helpers that check as they go: a failed one ends the test there.
#define STEP(call) \
    do { \
        call; \
        if (QTest::currentTestFailed()) \
            return; \
    } while (false)
