#pragma once

#include <QByteArray>
#include <QUuid>

#include <optional>

namespace share {

// One HTTP/1.1 request head, as much of it as the server uses.
struct HttpRequest {
    QByteArray method;
    QByteArray target; // as sent: path and query
    QByteArray cookie;
    QByteArray upgrade; // lower case
    QByteArray host;
    QByteArray origin;
    qint64 contentLength = 0;
    bool keepAlive = true;
    qsizetype headBytes = 0; // the head's length, with its blank line
};

// A request head is at most this long (a browser's is under 1 KB); a longer one is refused.
inline constexpr qsizetype kMaxHeadBytes = 8 * 1024;
// The only body the server takes is an access code.
inline constexpr qint64 kMaxBodyBytes = 64;

enum class HeadStatus { Incomplete, Complete, Malformed, TooLarge };
// Parses the head at the start of `buffer`.
[[nodiscard]] HeadStatus parseHead(const QByteArray &buffer, HttpRequest &out);

// What a request asks for. Photos are named by their id only; anything else is NotFound.
struct Route {
    enum Kind { NotFound, Page, Login, List, Preview, Thumb, Original, Socket };
    Kind kind = NotFound;
    QUuid photo;
};
[[nodiscard]] Route route(const QByteArray &method, const QByteArray &target);

// A complete response with the headers every answer carries.
[[nodiscard]] QByteArray response(int status, const QByteArray &contentType, const QByteArray &body,
    const QByteArray &extraHeaders = {}, bool keepAlive = true);

} // namespace share
