#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QVariantMap>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "FrameBytes.h"
#include "link/FrameReader.h"
#include "link/WireProtocol.h"

using namespace framebytes;

TEST(WireProtocol, ShutterCommandIsExactlyTheseBytes)
{
    const std::optional<QByteArray> frame
        = wire::encodeCommandFrame({ { "cmd", QStringLiteral("shutter") } });
    ASSERT_TRUE(frame);
    const QByteArray expected = QByteArray("\x48\x56\x01\x06\x11\x00\x00\x00", 8) + "{\"cmd\":\"shutter\"}";
    EXPECT_EQ(frame->size(), 25);
    EXPECT_EQ(frame->toHex(' ').toStdString(), expected.toHex(' ').toStdString());
}

TEST(WireProtocol, SetParamValuesStayExactOverTheWhole64BitRange)
{
    const std::vector<qint64> values = {
        0,
        -1,
        400,
        (qint64(1) << 53) + 1, // the first integer a double cannot hold
        std::numeric_limits<qint64>::max(),
        std::numeric_limits<qint64>::min(),
    };
    for (const qint64 v : values) {
        const std::optional<QByteArray> json
            = wire::encodeCommandJson({ { "cmd", QStringLiteral("setParam") },
                { "param", QStringLiteral("shutterSpeed") }, { "value", v } });
        ASSERT_TRUE(json) << v;
        // Compact, and the value written as a JSON integer with all its digits.
        EXPECT_THAT(json->toStdString(), ::testing::Not(::testing::HasSubstr(" ")));
        EXPECT_THAT(json->toStdString(), ::testing::HasSubstr("\"value\":" + std::to_string(v) + "}"));
        const QJsonObject parsed = QJsonDocument::fromJson(*json).object();
        EXPECT_EQ(parsed.value("cmd").toString(), "setParam");
        EXPECT_EQ(parsed.value("param").toString(), "shutterSpeed");
        EXPECT_EQ(parsed.value("value").toInteger(), v);
    }
}

TEST(WireProtocol, CommandFrameLengthMatchesItsUtf8Payload)
{
    const std::optional<QByteArray> frame = wire::encodeCommandFrame({ { "cmd", QStringLiteral("setParam") },
        { "param", QStringLiteral("filmSimulaci\u00f3n") }, { "value", qint64(3) } });
    ASSERT_TRUE(frame);
    const QByteArray payload = frame->mid(8);
    EXPECT_EQ(frame->left(8), header(6, quint32(payload.size())));
    EXPECT_TRUE(payload.contains("filmSimulaci\xc3\xb3n")) << "strings are written as UTF-8";
}

TEST(WireProtocol, CommandsThatCannotBeWrittenGiveNothing)
{
    const std::vector<QVariantMap> bad = {
        { { "cmd", QStringLiteral("setParam") }, { "value", std::nan("") } },
        { { "cmd", QStringLiteral("setParam") }, { "value", std::numeric_limits<double>::infinity() } },
        { { "cmd", QStringLiteral("setParam") }, { "value", quint64(1) << 63 } }, // beyond signed 64 bits
        { { "cmd", QVariant::fromValue(QImage()) } },
        { { "cmd", QVariant() } },
    };
    for (const QVariantMap &cmd : bad) {
        EXPECT_FALSE(wire::encodeCommandJson(cmd)) << cmd.firstKey().toStdString();
        EXPECT_FALSE(wire::encodeCommandFrame(cmd));
    }
    // Unsigned values within range are fine.
    EXPECT_TRUE(wire::encodeCommandJson({ { "value", quint64(7) } }));
}

TEST(WireProtocol, FileFramesRoundTripThroughTheReader)
{
    const QString name = QStringLiteral("DSCF\u00e9 0001.RAF");
    const QByteArray content("\x00\x01\xff raw bytes", 14);
    const std::optional<QByteArray> frame = wire::encodeFileFrame(name, content);
    ASSERT_TRUE(frame);
    EXPECT_EQ(*frame, fileFrame(name.toUtf8(), content));

    FrameReader reader;
    std::vector<InboundMessage> out;
    reader.feed(*frame, out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].name, name);
    EXPECT_EQ(*out[0].payload, content);

    // A name whose UTF-8 form does not fit the 16-bit length cannot be framed.
    EXPECT_TRUE(wire::encodeFileFrame(QString(65535, 'a'), "x"));
    EXPECT_FALSE(wire::encodeFileFrame(QString(65536, 'a'), "x"));
    EXPECT_FALSE(wire::encodeFileFrame(QString(32768, QChar(0xe9)), "x")) << "2 bytes per letter";
}
