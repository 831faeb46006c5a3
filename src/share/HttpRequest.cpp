#include "share/HttpRequest.h"

#include <QList>

namespace share {

namespace {

const char *reason(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 204:
        return "No Content";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 413:
        return "Content Too Large";
    case 429:
        return "Too Many Requests";
    case 431:
        return "Request Header Fields Too Large";
    default:
        return "Service Unavailable";
    }
}

// A photo's id in its canonical text form, exactly: 36 characters, no braces, lower-case hex.
std::optional<QUuid> photoId(const QByteArray &text)
{
    if (text.size() != 36)
        return std::nullopt;
    const QUuid id = QUuid::fromString(QLatin1String(text));
    if (id.isNull() || id.toByteArray(QUuid::WithoutBraces) != text)
        return std::nullopt;
    return id;
}

} // namespace

HeadStatus parseHead(const QByteArray &buffer, HttpRequest &out)
{
    const qsizetype end = buffer.indexOf("\r\n\r\n");
    if (end < 0)
        return buffer.size() >= kMaxHeadBytes ? HeadStatus::TooLarge : HeadStatus::Incomplete;
    if (end + 4 > kMaxHeadBytes)
        return HeadStatus::TooLarge;
    const QList<QByteArray> lines = buffer.left(end).split('\n');
    const QList<QByteArray> first = lines.first().trimmed().split(' ');
    if (first.size() != 3 || !first[2].startsWith("HTTP/1.") || first[0].isEmpty() || first[1].isEmpty())
        return HeadStatus::Malformed;
    out = HttpRequest {};
    out.method = first[0];
    out.target = first[1];
    out.keepAlive = first[2] != "HTTP/1.0";
    out.headBytes = end + 4;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray &line = lines[i];
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0)
            return HeadStatus::Malformed;
        const QByteArray name = line.left(colon).trimmed().toLower();
        const QByteArray value = line.mid(colon + 1).trimmed();
        if (name == "cookie") {
            out.cookie += (out.cookie.isEmpty() ? "" : "; ") + value;
        } else if (name == "host") {
            out.host = value;
        } else if (name == "origin") {
            out.origin = value;
        } else if (name == "upgrade") {
            out.upgrade = value.toLower();
        } else if (name == "connection") {
            const QByteArray lower = value.toLower();
            if (lower.contains("close"))
                out.keepAlive = false;
            else if (lower.contains("keep-alive"))
                out.keepAlive = true;
        } else if (name == "content-length") {
            bool ok = false;
            out.contentLength = value.toLongLong(&ok);
            if (!ok || out.contentLength < 0)
                return HeadStatus::Malformed;
        } else if (name == "transfer-encoding") {
            return HeadStatus::Malformed; // no request here has a body of unknown length
        }
    }
    return HeadStatus::Complete;
}

Route route(const QByteArray &method, const QByteArray &target)
{
    // The page takes no parameters; a query on anything is ignored rather than interpreted.
    const QByteArray path = target.left(target.indexOf('?') < 0 ? target.size() : target.indexOf('?'));
    const bool get = method == "GET" || method == "HEAD";
    if (path == "/" && get)
        return { Route::Page, {} };
    if (path == "/api/acceso" && method == "POST")
        return { Route::Login, {} };
    if (path == "/api/fotos" && get)
        return { Route::List, {} };
    if (path == "/ws" && method == "GET")
        return { Route::Socket, {} };
    // /foto/<id>/<what>
    const QList<QByteArray> parts = path.split('/');
    if (parts.size() != 4 || !parts[0].isEmpty() || parts[1] != "foto" || !get)
        return {};
    const auto id = photoId(parts[2]);
    if (!id)
        return {};
    if (parts[3] == "vista.jpg")
        return { Route::Preview, *id };
    if (parts[3] == "mini.jpg")
        return { Route::Thumb, *id };
    if (parts[3] == "original")
        return { Route::Original, *id };
    return {};
}

QByteArray response(int status, const QByteArray &contentType, const QByteArray &body,
    const QByteArray &extraHeaders, bool keepAlive)
{
    QByteArray head = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason(status) + "\r\n";
    if (!contentType.isEmpty())
        head += "Content-Type: " + contentType + "\r\n";
    head += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    // Nothing of a shoot is kept by a browser or a proxy, and the page runs nothing foreign.
    head += "Cache-Control: no-store\r\n"
            "X-Content-Type-Options: nosniff\r\n"
            "Referrer-Policy: no-referrer\r\n"
            "Content-Security-Policy: default-src 'self'; img-src 'self'; style-src 'unsafe-inline'; "
            "script-src 'unsafe-inline'; connect-src 'self'; frame-ancestors 'none'\r\n";
    head += keepAlive ? "Connection: keep-alive\r\n" : "Connection: close\r\n";
    return head + extraHeaders + "\r\n" + body;
}

} // namespace share
