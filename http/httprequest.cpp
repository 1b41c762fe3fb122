#include "http/httprequest.h"

#include <QTemporaryFile>

QTemporaryFile *HttpRequest::uploadedFile(const QByteArray &fieldName) const
{
    QTemporaryFile *file = m_uploadedFiles.value(fieldName).data();
    if (file)
        file->seek(0);
    return file;
}

QByteArray HttpRequest::urlDecode(const QByteArray &text)
{
    QByteArray plus = text;
    plus.replace('+', ' ');
    return QByteArray::fromPercentEncoding(plus);
}

void HttpRequest::addQueryParameters(const QByteArray &query)
{
    for (const QByteArray &pair : query.split('&')) {
        if (pair.isEmpty())
            continue;
        const int eq = pair.indexOf('=');
        const QByteArray name = urlDecode(eq < 0 ? pair : pair.left(eq));
        const QByteArray value = eq < 0 ? QByteArray() : urlDecode(pair.mid(eq + 1));
        m_parameters.insert(name, value);
    }
}
