#pragma once

#include <ostream>

#include <QString>

// Readable failure messages for Qt strings in GoogleTest assertions (lists of them print through it).
inline void PrintTo(const QString &s, std::ostream *os)
{
    *os << '"' << s.toStdString() << '"';
}
