#include "share/AccessGate.h"

#include <QRandomGenerator>

namespace share {

AccessGate::AccessGate(QString code)
    : m_code(std::move(code))
{ }

QString AccessGate::randomCode()
{
    return QStringLiteral("%1").arg(QRandomGenerator::system()->bounded(1'000'000), 6, 10, QLatin1Char('0'));
}

void AccessGate::forget(std::deque<qint64> &times, qint64 nowMs) const
{
    while (!times.empty() && nowMs - times.front() >= kWindowMs)
        times.pop_front();
}

AccessGate::Attempt AccessGate::attempt(const QString &address, const QByteArray &given, qint64 nowMs)
{
    forget(m_wrong, nowMs);
    if (!m_wrongByAddress.contains(address)) {
        if (m_addressOrder.size() >= kMaxAddresses)
            m_wrongByAddress.remove(m_addressOrder.takeFirst());
        m_addressOrder.append(address);
    }
    std::deque<qint64> &times = m_wrongByAddress[address];
    forget(times, nowMs);
    // While limited the code is not even compared, so a sweep learns nothing from the answers.
    const bool addressFull = int(times.size()) >= kWrongPerAddress;
    if (addressFull || int(m_wrong.size()) >= kWrongInTotal) {
        const qint64 oldest = addressFull ? times.front() : m_wrong.front();
        return { Outcome::Limited, {}, oldest + kWindowMs - nowMs };
    }
    if (given.trimmed() != m_code.toLatin1()) {
        times.push_back(nowMs);
        m_wrong.push_back(nowMs);
        return { Outcome::Wrong, {}, 0 };
    }
    QByteArray token = QByteArray::number(QRandomGenerator::system()->generate64(), 16)
        + QByteArray::number(QRandomGenerator::system()->generate64(), 16);
    m_sessions.insert(token);
    m_sessionOrder.push_back(token);
    if (int(m_sessionOrder.size()) > kMaxSessions) {
        m_sessions.remove(m_sessionOrder.front());
        m_sessionOrder.pop_front();
    }
    return { Outcome::Granted, token, 0 };
}

QByteArray AccessGate::tokenFromCookies(const QByteArray &cookieHeader)
{
    const QByteArray prefix = QByteArray(kCookieName) + '=';
    for (const QByteArray &part : cookieHeader.split(';')) {
        const QByteArray cookie = part.trimmed();
        if (cookie.startsWith(prefix))
            return cookie.mid(prefix.size());
    }
    return {};
}

} // namespace share
