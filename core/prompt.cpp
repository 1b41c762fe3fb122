#include "core/prompt.h"

#include <QDebug>

namespace {
Prompt::Handler &handler()
{
    static Prompt::Handler h;
    return h;
}
} // namespace

void Prompt::setHandler(Handler h)
{
    handler() = std::move(h);
}

Prompt::Answer Prompt::show(const Request &request)
{
    if (handler()) {
        // The operator sees a box; the log keeps what it said.
        qDebug().noquote() << QStringLiteral("prompt [%1] %2").arg(request.title, request.text);
        return handler()(request);
    }
    qWarning().noquote() << QStringLiteral("[%1] %2").arg(request.title, request.text);
    return request.defaultAnswer;
}

Prompt::Answer Prompt::information(const QString &title, const QString &text)
{
    return show({Information, title, text, {Ok}, Ok});
}

Prompt::Answer Prompt::warning(const QString &title, const QString &text)
{
    return show({Warning, title, text, {Ok}, Ok});
}

Prompt::Answer Prompt::critical(const QString &title, const QString &text)
{
    return show({Critical, title, text, {Ok}, Ok});
}

Prompt::Answer Prompt::question(const QString &title, const QString &text, Answer defaultAnswer)
{
    return show({Question, title, text, {Yes, No}, defaultAnswer});
}
