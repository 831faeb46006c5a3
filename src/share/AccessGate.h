#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>

#include <deque>

namespace share {

// Who may see the photos: a browser that has given the 6-digit access code once gets a session
// token (kept in a cookie) for the rest of the run. Wrong codes are limited per client address
// and in total, so that guessing a code takes months rather than minutes; a browser that holds
// a token is never locked out. Times are milliseconds of a monotonic clock the caller supplies.
// Not thread-safe: the server's thread only.
class AccessGate
{
public:
    // Five typing mistakes are forgiven; after that an address waits for the window to pass.
    static constexpr int kWrongPerAddress = 5;
    // Every address together: a few people mistyping at once, not a sweep of the code space.
    static constexpr int kWrongInTotal = 30;
    static constexpr qint64 kWindowMs = 5 * 60 * 1000;
    // Addresses remembered at once; a sweep from many addresses still meets the total.
    static constexpr int kMaxAddresses = 256;
    // Sessions of this run: far more browsers than a studio holds.
    static constexpr int kMaxSessions = 1024;

    enum class Outcome { Granted, Wrong, Limited };
    struct Attempt {
        Outcome outcome;
        QByteArray token; // the new session's, when granted
        qint64 retryAfterMs = 0; // when limited: until an attempt is counted again
    };

    // `code` is the access code, six digits.
    explicit AccessGate(QString code);

    [[nodiscard]] const QString &code() const { return m_code; }
    Attempt attempt(const QString &address, const QByteArray &given, qint64 nowMs);
    [[nodiscard]] bool admits(const QByteArray &token) const
    {
        return !token.isEmpty() && m_sessions.contains(token);
    }
    // The session token in a Cookie header's value; empty when there is none.
    [[nodiscard]] static QByteArray tokenFromCookies(const QByteArray &cookieHeader);
    static constexpr const char *kCookieName = "halvane_acceso";

    // A fresh random code of six digits.
    [[nodiscard]] static QString randomCode();

private:
    void forget(std::deque<qint64> &times, qint64 nowMs) const;

    QString m_code;
    QHash<QString, std::deque<qint64>> m_wrongByAddress;
    QList<QString> m_addressOrder; // oldest first, to forget when full
    std::deque<qint64> m_wrong;
    QSet<QByteArray> m_sessions;
    std::deque<QByteArray> m_sessionOrder;
};

} // namespace share
