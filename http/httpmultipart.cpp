// The multipart/form-data body of a request, read back from its temporary
// file a line at a time so an upload never has to fit in memory at once.

#include "http/httprequestparser.h"

#include "http/httplog.h"

#include <QDebug>
#include <QTemporaryFile>

namespace {
constexpr qint64 PieceSize = 64 * 1024; // longest piece of a content line read at once
constexpr qint64 HeaderLineSize = 8 * 1024;

// The parameters of a Content-Disposition value: form-data; name="a"; filename="b;c".
QMap<QByteArray, QByteArray> dispositionParameters(const QByteArray &value, QByteArray *type)
{
    QMap<QByteArray, QByteArray> out;
    int i = value.indexOf(';');
    *type = value.left(i < 0 ? value.size() : i).trimmed().toLower();
    while (i >= 0 && i < value.size()) {
        ++i; // past ';'
        const int eq = value.indexOf('=', i);
        if (eq < 0)
            break;
        const QByteArray key = value.mid(i, eq - i).trimmed().toLower();
        QByteArray v;
        int j = eq + 1;
        while (j < value.size() && value.at(j) == ' ')
            ++j;
        if (j < value.size() && value.at(j) == '"') {
            for (++j; j < value.size() && value.at(j) != '"'; ++j) {
                if (value.at(j) == '\\' && j + 1 < value.size())
                    ++j;
                v += value.at(j);
            }
            i = value.indexOf(';', j);
        } else {
            i = value.indexOf(';', j);
            v = value.mid(j, (i < 0 ? value.size() : i) - j).trimmed();
        }
        out.insert(key, v);
    }
    return out;
}

// "--boundary" alone on its line (final when followed by "--").
bool isDelimiter(const QByteArray &piece, const QByteArray &delimiter, bool *final)
{
    if (!piece.startsWith(delimiter))
        return false;
    const QByteArray rest = piece.mid(delimiter.size()).trimmed();
    *final = rest == "--";
    return rest.isEmpty() || *final;
}
} // namespace

bool HttpRequestParser::parseMultipart(QIODevice &in, const QByteArray &boundary, HttpRequest &request)
{
    qCDebug(lcHttp, "HttpRequest: parsing multipart temp file");
    const QByteArray delimiter = "--" + boundary;
    bool lineStart = true;
    bool final = false;
    for (;;) { // the preamble before the first delimiter is skipped
        const QByteArray piece = in.readLine(PieceSize);
        if (piece.isEmpty()) {
            qWarning("HttpRequest: format error, unexpected end of file data");
            return false;
        }
        if (lineStart && isDelimiter(piece, delimiter, &final))
            break;
        lineStart = piece.endsWith('\n');
    }
    while (!final) {
        QByteArray disposition;
        for (;;) {
            const QByteArray line = in.readLine(HeaderLineSize);
            if (line.isEmpty()) {
                qWarning("HttpRequest: format error, unexpected end of file data");
                return false;
            }
            const QByteArray trimmed = line.trimmed();
            if (trimmed.isEmpty())
                break;
            if (trimmed.toLower().startsWith("content-disposition:"))
                disposition = trimmed.mid(20).trimmed();
        }
        QByteArray type;
        const QMap<QByteArray, QByteArray> params = dispositionParameters(disposition, &type);
        const bool supported = type == "form-data" && params.contains("name");
        const QByteArray name = params.value("name");
        const QByteArray fileName = params.value("filename");
        QSharedPointer<QTemporaryFile> file;
        if (supported && !fileName.isEmpty()) {
            file.reset(new QTemporaryFile);
            if (!file->open()) {
                qWarning("HttpRequest: error writing temp file, %s", qPrintable(file->errorString()));
                return false;
            }
        }
        QByteArray value;
        QByteArray pendingEol; // a line end before the delimiter belongs to the delimiter
        lineStart = true;
        for (;;) {
            QByteArray piece = in.readLine(PieceSize);
            if (piece.isEmpty()) {
                qWarning("HttpRequest: format error, unexpected end of file data");
                return false;
            }
            if (lineStart && isDelimiter(piece, delimiter, &final))
                break;
            QByteArray out = pendingEol;
            pendingEol.clear();
            lineStart = piece.endsWith('\n');
            if (lineStart) {
                const int eol = piece.endsWith("\r\n") ? 2 : 1;
                pendingEol = piece.right(eol);
                piece.chop(eol);
            }
            out += piece;
            if (!supported)
                continue;
            if (!file) {
                value += out;
            } else if (file->write(out) != out.size()) {
                qWarning("HttpRequest: error writing temp file, %s", qPrintable(file->errorString()));
                return false;
            }
        }
        if (!supported) {
            qCDebug(lcHttp, "HttpRequest: ignoring unsupported content part %s", disposition.constData());
        } else if (file) {
            file->flush();
            qCDebug(lcHttp, "HttpRequest: uploaded file size is %li", long(file->size()));
            request.m_parameters.insert(name, fileName);
            request.m_uploadedFiles.insert(name, file);
        } else {
            qCDebug(lcHttp, "HttpRequest: set parameter %s=%s", name.constData(), value.left(200).constData());
            request.m_parameters.insert(name, value);
        }
    }
    return true;
}
