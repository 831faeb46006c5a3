#pragma once

#include <ostream>

#include <QString>
#include <QStringList>

// Readable failure messages for Qt strings in GoogleTest assertions.
inline void PrintTo(const QString &s, std::ostream *os)
{
    *os << '"' << s.toStdString() << '"';
}
inline void PrintTo(const QStringList &list, std::ostream *os)
{
    *os << '[' << list.join(QStringLiteral(", ")).toStdString() << ']';
}
