#include <gmock/gmock.h>

#include <string>

#include "Frames.h"
#include "link/FrameReader.h"

using namespace frames;
using ::testing::ElementsAre;
using Stop = FrameReader::Stop;

namespace {

// A message as one comparable line: kind, type, name and payload ("<none>" when cut short).
std::string describe(const InboundMessage &m)
{
    const std::string kind[] = { "file", "json", "live" };
    const std::string name = m.kind == InboundMessage::Kind::File ? "[" + m.name.toStdString() + "]" : "";
    return kind[int(m.kind)] + std::to_string(m.type) + name + "="
        + (m.payload ? m.payload->toStdString() : "<none>");
}

struct Outcome {
    std::vector<std::string> messages;
    Stop stop = Stop::None;
    qsizetype consumed = 0;
    FrameReader::Oversized oversized;
    qsizetype buffered = 0; // what the reader held once everything was fed
};

// Feeds `stream` in pieces of at most `piece` bytes, then ends the connection if asked.
Outcome read(const QByteArray &stream, qsizetype piece, bool end = false)
{
    FrameReader reader;
    std::vector<InboundMessage> out;
    qsizetype pos = 0;
    while (pos < stream.size() && !reader.stopped()) {
        const qsizetype n = std::min(piece, stream.size() - pos);
        const qsizetype taken = reader.feed(QByteArrayView(stream).sliced(pos, n), out);
        EXPECT_TRUE(taken == n || reader.stopped()) << "bytes left over although the reader runs";
        pos += taken;
    }
    const qsizetype buffered = reader.bufferedCapacity();
    if (end)
        reader.finish(out);
    Outcome r { {}, reader.stopReason(), pos, reader.oversized(), buffered };
    for (const auto &m : out)
        r.messages.push_back(describe(m));
    return r;
}

// Every rule that lets reading go on: meaningless types and a command frame skipped whole, a
// file with an empty name, a file without content (nothing), L < 2 and N > L - 2 (skipped), an
// empty state payload, a name taken exactly as sent.
const QByteArray kMixed = fileFrame("a.jpg", "JPEGDATA") + frame(3, "\x01\x02{\"camera\":\"X\"}")
    + frame(2, QByteArray(100, 'x')) + frame(6, "z") + frame(9, "w") + frame(0, {}) + frame(255, "q")
    + fileFrame("", "NONAME") + fileFrame("empty.jpg", "") + frame(1, {}) + frame(1, "\x05") + frame(7, {})
    + frame(1, QByteArray("\xc8\0toolongxy", 11)) + frame(1, QByteArray("\x05\0abcd", 6)) + frame(5, "LIVE")
    + fileFrame("\xef\xbb\xbf\x63\xc3\xa1/m.raf", "RAW");
const std::vector<std::string> kMixedMessages = { "file1[a.jpg]=JPEGDATA", "json3=\x01\x02{\"camera\":\"X\"}",
    "file1[]=NONAME", "json7=", "live5=LIVE", "file1[\xef\xbb\xbf\x63\xc3\xa1/m.raf]=RAW" };

} // namespace

TEST(FrameReader, SameMessagesWhereverTheStreamIsSplit)
{
    for (qsizetype piece = 1; piece <= kMixed.size(); ++piece)
        ASSERT_EQ(read(kMixed, piece, piece % 2).messages, kMixedMessages) << "a clean end adds nothing";
}

// A bad header or a file name that is not UTF-8 stops the reader for good: it takes the bytes
// of the bad field and nothing after them, however they are fed.
TEST(FrameReader, BadHeaderOrNameStopsAndNothingLaterIsRead)
{
    const std::pair<QByteArray, qsizetype> cases[] = {
        { header(1, 5, 2), 8 }, { "VH" + header(1, 5).mid(2), 8 }, { QByteArray(8, '\0'), 8 },
        { fileFrame("\xff.jpg", "CONTENT"), 8 + 2 + 5 },
        { fileFrame("\xc0\xaf.jpg", "CONTENT"), 8 + 2 + 6 }, // overlong '/'
        { fileFrame("\xed\xa0\x80", "CONTENT"), 8 + 2 + 3 }, // a surrogate
        { fileFrame("a\xe2\x82", "CONTENT"), 8 + 2 + 3 }, // cut short
    };
    const QByteArray before = fileFrame("first.jpg", "ONE");
    for (const auto &[bad, taken] : cases) {
        const QByteArray stream = before + bad + fileFrame("second.jpg", "TWO");
        for (const Outcome &r : { read(stream, 1), read(stream, 3, true), read(stream, 4096) }) {
            EXPECT_THAT(r.messages, ElementsAre("file1[first.jpg]=ONE")) << bad.toHex().toStdString();
            EXPECT_EQ(r.stop, taken == 8 ? Stop::BadHeader : Stop::BadName) << "the first reason is kept";
            EXPECT_EQ(r.consumed, before.size() + taken) << bad.toHex().toStdString();
        }
    }
}

// Hello, state and live-view payloads up to their cap are delivered; one over it is passed over
// without being kept (counted, the first described) and reading goes on. Nothing is allocated
// from a declared length; file content's cap is far above any photo, and a file over it is passed
// over like the others.
TEST(FrameReader, PayloadsOverTheirCapAreSkippedUnkept)
{
    EXPECT_EQ(read(frame(7, QByteArray(FrameReader::kMaxJsonPayload, ' ')), 1 << 16).messages.size(), 1u);
    EXPECT_EQ(read(frame(5, QByteArray(FrameReader::kMaxLiveViewPayload, 'L')), 1 << 16).messages.size(), 1u);
    const std::pair<quint8, quint32> over[] = { { 3, FrameReader::kMaxJsonPayload + 1 },
        { 7, FrameReader::kMaxJsonPayload + 1 }, { 5, FrameReader::kMaxLiveViewPayload + 1 } };
    for (const auto &[type, length] : over) {
        const QByteArray stream = header(type, length) + QByteArray(qsizetype(length), '{') + frame(3, "..{}")
            + header(5, 0xffffffffu) + QByteArray(64, 'x');
        const Outcome r = read(stream, 1 << 16, true);
        EXPECT_LT(r.buffered, 16 * 1024) << "the oversized payloads were not kept";
        EXPECT_THAT(r.messages, ElementsAre("json3=..{}")) << int(type);
        EXPECT_EQ(r.oversized.count, 2u);
        EXPECT_EQ(r.oversized.firstType, type);
        EXPECT_EQ(r.oversized.firstLength, length);
    }
    const QByteArray big(FrameReader::kMaxLiveViewPayload + 10, 'F');
    EXPECT_EQ(read(fileFrame("big.raf", big), 1 << 16).messages,
        std::vector { "file1[big.raf]=" + big.toStdString() });
    const quint32 overFile = quint32(FrameReader::kMaxFileContent) + 2 + 5 + 1;
    const Outcome r = read(header(1, overFile) + QByteArray("\x05\0a.raw", 7) + QByteArray(1 << 20, 'R'), 1 << 16);
    EXPECT_LT(r.buffered, 16 * 1024);
    EXPECT_TRUE(r.messages.empty());
    EXPECT_EQ(r.oversized.count, 1u);
    EXPECT_EQ(r.oversized.firstLength, overFile);
}
