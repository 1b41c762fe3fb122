#pragma once
// Collects the warnings logged while it lives, so a test can count the lines
// a component wrote (one per episode, not one per datagram). Main thread.

#include <QString>
#include <QStringList>
#include <QtGlobal>

class LogCapture
{
public:
    LogCapture() { m_previous = qInstallMessageHandler(&LogCapture::handler); s_active = this; }
    ~LogCapture()
    {
        s_active = nullptr;
        qInstallMessageHandler(m_previous);
    }

    // The warnings (and worse) containing the text.
    QStringList warnings(const QString &containing = QString()) const
    {
        return containing.isEmpty() ? m_warnings : m_warnings.filter(containing);
    }
    void clear() { m_warnings.clear(); }

private:
    static void handler(QtMsgType type, const QMessageLogContext &ctx, const QString &msg)
    {
        if (s_active && type != QtDebugMsg && type != QtInfoMsg)
            s_active->m_warnings.append(msg);
        if (s_active && s_active->m_previous)
            s_active->m_previous(type, ctx, msg);
    }

    static inline LogCapture *s_active = nullptr;
    QtMessageHandler m_previous = nullptr;
    QStringList m_warnings;
};
