#pragma once
// The tuning of one HTTP listener, as read from an INI group such as
// "listener" of httpConfig.ini. A plain value so a service can also build one
// in code (a second listener on another port, port 0 in tests).

#include <QString>

class QSettings;

struct HttpListenerSettings
{
    QString host;                 // empty: every local address
    quint16 port = 0;             // 0: any free port (serverPort() tells which)
    int minThreads = 1;           // idle handlers the cleanup keeps
    int maxThreads = 100;         // connection handlers at most
    // Threads the handlers share; 0: twice the cores. A listener whose
    // handlers wait (for the main thread, a long query) gives every handler
    // a thread of its own with maxThreads, so that one wait holds up no
    // other connection.
    int handlerThreads = 0;
    int cleanupInterval = 1000;   // ms between two cleanup passes
    int readTimeout = 10000;      // ms a connection may stay idle or take for a request head
    int maxRequestSize = 16000;   // bytes of request line, headers and ordinary body
    int maxMultiPartSize = 1000000; // bytes of a multipart body
    QString sslKeyFile;           // PEM private key, absolute
    QString sslCertFile;          // PEM certificate, absolute

    // Reads the keys of the settings' current group. Relative key and
    // certificate paths are taken from the settings file's directory.
    static HttpListenerSettings fromSettings(const QSettings &settings);
};
