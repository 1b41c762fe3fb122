#include "http/httplistenerthread.h"

#include "http/httplistener.h"

#include <QThread>

HttpListenerThread::~HttpListenerThread()
{
    stop();
}

bool HttpListenerThread::start(const HttpListenerSettings &settings, HttpRequestHandler *handler,
                               const QString &threadName)
{
    stop();
    m_thread = new QThread;
    m_thread->setObjectName(threadName);
    m_context = new QObject;
    m_context->moveToThread(m_thread);
    m_thread->start();
    bool listening = false;
    QMetaObject::invokeMethod(m_context, [&] {
        m_listener = new HttpListener(settings, handler); // listens at once
        listening = m_listener->isListening();
        m_port = m_listener->serverPort();
    }, Qt::BlockingQueuedConnection);
    if (!listening)
        stop();
    return listening;
}

void HttpListenerThread::stop()
{
    if (!m_thread)
        return;
    QMetaObject::invokeMethod(m_context, [this] {
        if (m_listener)
            m_listener->close();
        delete m_listener;
        m_listener = nullptr;
    }, Qt::BlockingQueuedConnection);
    m_thread->quit();
    m_thread->wait();
    delete m_context;
    delete m_thread;
    m_context = nullptr;
    m_thread = nullptr;
}
