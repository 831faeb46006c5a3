#include <QVariantMap>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "Frames.h"
#include "link/WireProtocol.h"

using frames::header;

TEST(WireProtocol, CommandFramesAreCompactUtf8JsonWithExactIntegers)
{
    EXPECT_EQ(wire::encodeCommandFrame({ { "cmd", "shutter" } }), header(6, 17) + "{\"cmd\":\"shutter\"}");
    for (const qint64 v : { qint64(-1), (qint64(1) << 53) + 1, std::numeric_limits<qint64>::max(),
             std::numeric_limits<qint64>::min() }) {
        const QByteArray payload = "{\"cmd\":\"setParam\",\"param\":\"filmSimulaci\xc3\xb3n\",\"value\":"
            + QByteArray::number(v) + "}";
        EXPECT_EQ(wire::encodeCommandFrame({ { "cmd", "setParam" },
                      { "param", QStringLiteral("filmSimulaci\u00f3n") }, { "value", v } }),
            header(6, quint32(payload.size())) + payload);
    }
    const std::vector<QVariantMap> bad = {
        { { "value", std::nan("") } },
        { { "value", std::numeric_limits<double>::infinity() } },
        { { "value", quint64(1) << 63 } },
        { { "cmd", QVariant::fromValue(QImage()) } },
        { { "cmd", QVariant() } },
    };
    for (const QVariantMap &cmd : bad)
        EXPECT_FALSE(wire::encodeCommandFrame(cmd)) << "cannot be written: nothing";
    EXPECT_TRUE(wire::encodeCommandFrame({ { "value", quint64(7) } }));
}

TEST(WireProtocol, FileFramesCarryTheNameAsUtf8WithA16BitLength)
{
    const QString name = QStringLiteral("DSCF\u00e9 0001.RAF");
    const QByteArray content("\x00\x01\xff raw bytes", 14);
    EXPECT_EQ(wire::encodeFileFrame(name, content), frames::fileFrame(name.toUtf8(), content));
    EXPECT_TRUE(wire::encodeFileFrame(QString(65535, 'a'), "x"));
    EXPECT_FALSE(wire::encodeFileFrame(QString(65536, 'a'), "x"));
    EXPECT_FALSE(wire::encodeFileFrame(QString(32768, QChar(0xe9)), "x")) << "2 bytes per letter";
}
