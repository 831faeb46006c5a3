// Without any network: the advertiser's naming rules, and the bridge simulator's frame writer,
// checked byte for byte against the protocol so that the suites driving the simulator cannot
// pass on a framing that the application and the simulator got wrong in the same way.

#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include "Frames.h"
#include "link/ServiceAdvertiser.h"

namespace {

TEST(ServiceName, PrettyNameThenHostNameThenMacCutToOneDnsLabel)
{
    // 4-byte characters, surrogate pairs in UTF-16: kept whole or dropped whole.
    const QString emoji = QString::fromUcs4(U"\U0001F4F7").repeated(20);
    const QString rows[][3] = {
        {"Estudio de Ana", "ws-7", "Estudio de Ana (Mac)"}, {"", "ws-7", "ws-7 (Mac)"}, {"  ", "ws-7", "ws-7 (Mac)"},
        {"", "", "Mac (Mac)"}, {"", " ", "Mac (Mac)"},
        // 63 bytes at most: 57 are left for the base, 28 two-byte or 14 four-byte characters.
        {QString(80, 'a'), "", QString(57, 'a') + " (Mac)"},
        {QString(40, QChar(0x00e9)), "", QString(28, QChar(0x00e9)) + " (Mac)"},
        {emoji, "", emoji.left(28) + " (Mac)"},
    };
    for (const auto &[pretty, host, name] : rows)
        EXPECT_EQ(ServiceAdvertiser::serviceName(pretty, host), name) << pretty.toStdString();

    const char *const machineInfo[][2] = {
        {"PRETTY_HOSTNAME=\"Estudio \\\"Norte\\\"\"\n", "Estudio \"Norte\""},
        {"# comment\nCHASSIS=laptop\nPRETTY_HOSTNAME='Sala 2'\n", "Sala 2"}, {"PRETTY_HOSTNAME=Bare\\ Name\n", "Bare Name"},
        {"PRETTY_HOSTNAME=\"C\xc3\xa1mara\"\n", "Cámara"}, {"PRETTY_HOSTNAME=one\nPRETTY_HOSTNAME=two\n", "two"},
        {"ICON_NAME=computer\n#PRETTY_HOSTNAME=x\n", ""}, {"", ""},
    };
    for (const auto &[text, pretty] : machineInfo)
        EXPECT_EQ(ServiceAdvertiser::prettyHostname(text), QString::fromUtf8(pretty)) << text;
}

TEST(BridgeFrames, FileAndHelloFramesFollowTheLayout)
{
    // Magic, version 1, type 1, length 2 + 300 + 3 = 0x131 little-endian; name length 300.
    const QByteArray name(300, 'n');
    EXPECT_EQ(frames::fileFrame(name, "abc"), QByteArray("HV\x01\x01\x31\x01\x00\x00\x2c\x01", 10) + name + "abc");
    // Two leading bytes, then the JSON naming the camera.
    const QByteArray hello = frames::helloFrame("Cámara 2");
    EXPECT_EQ(hello.left(8), QByteArray("HV\x01\x03", 4) + char(hello.size() - 8) + QByteArray(3, '\0'));
    EXPECT_EQ(QJsonDocument::fromJson(hello.mid(10)).object(), QJsonObject({{"camera", "Cámara 2"}}));
}

} // namespace
