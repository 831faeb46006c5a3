#include <QByteArray>
#include <QRandomGenerator>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "FrameBytes.h"
#include "link/FrameReader.h"

using namespace framebytes;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

// A message as one comparable line: kind, type, name and payload ("<none>" when cut short).
std::string describe(const InboundMessage &m)
{
    std::string kind = m.kind == InboundMessage::Kind::File ? "file"
        : m.kind == InboundMessage::Kind::Json              ? "json"
                                                            : "live";
    std::string out = kind + std::to_string(m.type);
    if (m.kind == InboundMessage::Kind::File)
        out += "[" + m.name.toStdString() + "]";
    out += "=" + (m.payload ? m.payload->toStdString() : std::string("<none>"));
    return out;
}

struct Outcome {
    std::vector<std::string> messages;
    FrameReader::Stop stop = FrameReader::Stop::None;
    qsizetype consumed = 0;
};

// Feeds `stream` in the given pieces (sizes cycle), then ends the connection if asked.
Outcome readInPieces(const QByteArray &stream, const std::vector<qsizetype> &pieces, bool end = false)
{
    FrameReader reader;
    std::vector<InboundMessage> out;
    Outcome result;
    qsizetype pos = 0;
    for (size_t i = 0; pos < stream.size(); ++i) {
        const qsizetype n = std::min(pieces[i % pieces.size()], stream.size() - pos);
        const qsizetype taken = reader.feed(QByteArrayView(stream).sliced(pos, n), out);
        result.consumed += taken;
        if (taken < n) {
            EXPECT_TRUE(reader.stopped()) << "bytes left over although the reader runs";
            break;
        }
        pos += n;
    }
    if (end)
        reader.finish(out);
    for (const auto &m : out)
        result.messages.push_back(describe(m));
    result.stop = reader.stopReason();
    return result;
}

Outcome readWhole(const QByteArray &stream, bool end = false)
{
    return readInPieces(stream, { qMax<qsizetype>(stream.size(), 1) }, end);
}

// A stream that exercises every rule that lets reading go on.
QByteArray mixedStream()
{
    QByteArray s;
    s += fileFrame("a.jpg", "JPEGDATA");
    s += frame(3, "\x01\x02{\"camera\":\"X\"}");
    s += frame(2, QByteArray(100, 'x')); // meaningless types are skipped whole
    s += frame(4, QByteArray(100, 'y'));
    s += frame(6, QByteArray(100, 'z')); // a command frame from a bridge is skipped too
    s += frame(9, QByteArray(100, 'w'));
    s += frame(0, {});
    s += frame(255, "q");
    s += fileFrame("", "NONAME"); // N = 0: a file with an empty name
    s += fileFrame("empty.jpg", ""); // L = 2 + N: no content, nothing delivered
    s += frame(1, {}); // L = 0: skipped
    s += frame(1, "\x05"); // L = 1: skipped
    s += frame(7, {}); // state with L = 0: an empty payload
    s += fileFrame("toolong", "xy", 200); // N > L - 2: skipped, no file
    s += frame(5, "LIVE");
    s += fileFrame("c\xc3\xa1mara.raf", "RAW"); // UTF-8 name
    s += frame(7, "{\"iso\":{}}");
    return s;
}

const std::vector<std::string> kMixedMessages = {
    "file1[a.jpg]=JPEGDATA",
    "json3=\x01\x02{\"camera\":\"X\"}",
    "file1[]=NONAME",
    "json7=",
    "live5=LIVE",
    "file1[c\xc3\xa1mara.raf]=RAW",
    "json7={\"iso\":{}}",
};

} // namespace

TEST(FrameReader, ReadsEveryKindOfFrameAndSkipsWhatHasNoMeaning)
{
    const Outcome whole = readWhole(mixedStream());
    EXPECT_EQ(whole.messages, kMixedMessages);
    EXPECT_EQ(whole.stop, FrameReader::Stop::None);
    EXPECT_EQ(whole.consumed, mixedStream().size());
}

TEST(FrameReader, SameMessagesWhereverTheStreamIsSplit)
{
    const QByteArray stream = mixedStream();
    EXPECT_EQ(readInPieces(stream, { 1 }).messages, kMixedMessages) << "one byte at a time";
    for (qsizetype cut = 1; cut < stream.size(); ++cut) {
        const Outcome split = readInPieces(stream, { cut, stream.size() });
        ASSERT_EQ(split.messages, kMixedMessages) << "split at byte " << cut;
    }
    QRandomGenerator rng(1234);
    for (int round = 0; round < 50; ++round) {
        std::vector<qsizetype> pieces;
        for (int i = 0; i < 16; ++i)
            pieces.push_back(rng.bounded(1, 40));
        ASSERT_EQ(readInPieces(stream, pieces).messages, kMixedMessages) << "round " << round;
    }
}

// Reads like the socket loop does: never more than wanted(), payload bytes written straight into
// payloadSpace() and only part of them committed (a short read), everything else fed.
std::vector<std::string> readLikeTheSocket(const QByteArray &stream, qsizetype maxPiece)
{
    FrameReader reader;
    std::vector<InboundMessage> out;
    qsizetype pos = 0;
    while (pos < stream.size() && !reader.stopped()) {
        const qsizetype n = std::min<qsizetype>({ reader.wanted(), stream.size() - pos, maxPiece });
        if (char *space = reader.payloadSpace(n)) {
            const qsizetype got = (n + 1) / 2; // the read returned only part of what was asked
            std::memcpy(space, stream.constData() + pos, size_t(got));
            std::memset(space + got, '#', size_t(n - got)); // room not committed must not show
            reader.commitPayload(got, out);
            pos += got;
        } else {
            EXPECT_EQ(reader.feed(QByteArrayView(stream).sliced(pos, n), out), n);
            pos += n;
        }
    }
    std::vector<std::string> result;
    for (const auto &m : out)
        result.push_back(describe(m));
    return result;
}

TEST(FrameReader, ReadingStraightIntoThePayloadGivesTheSameMessages)
{
    for (const qsizetype piece : { qsizetype(1), qsizetype(3), qsizetype(7), qsizetype(4096) })
        EXPECT_EQ(readLikeTheSocket(mixedStream(), piece), kMixedMessages) << piece;

    FrameReader reader;
    std::vector<InboundMessage> out;
    EXPECT_EQ(reader.payloadSpace(4), nullptr) << "a header is never read straight";
    reader.feed(header(5, 10), out);
    EXPECT_EQ(reader.payloadSpace(11), nullptr) << "no room past the frame";
    EXPECT_NE(reader.payloadSpace(10), nullptr);
    reader.commitPayload(0, out);
    EXPECT_EQ(reader.wanted(), 10) << "nothing committed, nothing taken";
}

TEST(FrameReader, FeedingOnlyWhatIsWantedNeverTakesBytesPastABadHeader)
{
    const QByteArray good = mixedStream();
    const QByteArray stream = good + header(1, 10, 'H', 'V', 2) + fileFrame("late.jpg", "LATE");
    FrameReader reader;
    std::vector<InboundMessage> out;
    qsizetype pos = 0;
    while (pos < stream.size() && reader.wanted() > 0) {
        const qsizetype n = std::min<qsizetype>(reader.wanted(), stream.size() - pos);
        ASSERT_EQ(reader.feed(QByteArrayView(stream).sliced(pos, n), out), n);
        pos += n;
    }
    EXPECT_EQ(pos, good.size() + 8) << "exactly the bad header was taken, nothing after it";
    EXPECT_EQ(reader.stopReason(), FrameReader::Stop::BadHeader);
    EXPECT_EQ(out.size(), kMixedMessages.size());
}

struct BadHeaderCase {
    const char *label;
    QByteArray header;
};

class FrameReaderBadHeader : public ::testing::TestWithParam<BadHeaderCase>
{
};

TEST_P(FrameReaderBadHeader, StopsAndNeverReadsLaterFrames)
{
    const QByteArray before = fileFrame("first.jpg", "ONE");
    const QByteArray stream = before + GetParam().header + fileFrame("second.jpg", "TWO");
    for (const qsizetype piece : { qsizetype(1), qsizetype(3), stream.size() }) {
        const Outcome r = readInPieces(stream, { piece });
        EXPECT_THAT(r.messages, ElementsAre("file1[first.jpg]=ONE")) << GetParam().label;
        EXPECT_EQ(r.stop, FrameReader::Stop::BadHeader) << GetParam().label;
        EXPECT_EQ(r.consumed, before.size() + 8) << GetParam().label;
    }
}

INSTANTIATE_TEST_SUITE_P(Headers, FrameReaderBadHeader,
    ::testing::Values(BadHeaderCase { "version 2", header(1, 5, 'H', 'V', 2) },
        BadHeaderCase { "version 0", header(1, 5, 'H', 'V', 0) },
        BadHeaderCase { "magic swapped", header(1, 5, 'V', 'H', 1) },
        BadHeaderCase { "lower-case magic", header(1, 5, 'h', 'v', 1) },
        BadHeaderCase { "all zero", QByteArray(8, '\0') }),
    [](const auto &info) {
        std::string name = info.param.label;
        for (char &c : name)
            if (!std::isalnum(static_cast<unsigned char>(c)))
                c = '_';
        return name;
    });

TEST(FrameReader, InvalidUtf8NameStopsWithoutAFile)
{
    const std::vector<QByteArray> names = {
        QByteArray("\xff.jpg"), // never valid in UTF-8
        QByteArray("\xc0\xaf.jpg"), // overlong '/'
        QByteArray("\xed\xa0\x80.jpg"), // a UTF-16 surrogate
        QByteArray("a\xe2\x82"), // sequence cut short at the end of the name
        QByteArray("\xf4\x90\x80\x80"), // beyond U+10FFFF
    };
    for (const QByteArray &name : names) {
        const QByteArray stream = fileFrame(name, "CONTENT") + fileFrame("next.jpg", "NEXT");
        const Outcome r = readInPieces(stream, { 2 });
        EXPECT_THAT(r.messages, IsEmpty()) << name.toHex().toStdString();
        EXPECT_EQ(r.stop, FrameReader::Stop::BadName) << name.toHex().toStdString();
        EXPECT_EQ(r.consumed, 8 + 2 + name.size()) << "the content is not read";
    }
}

TEST(FrameReader, NameIsDecodedExactlyAsSent)
{
    // Non-ASCII letters, a leading byte-order mark and an embedded path separator all reach the
    // handler untouched; making a safe file name out of them is storage's job.
    const QByteArray stream = fileFrame("\xef\xbb\xbf"
                                        "Foto \xc3\xb1/\xe2\x82\xac.jpg",
        "X");
    FrameReader reader;
    std::vector<InboundMessage> out;
    reader.feed(stream, out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].name, QChar(0xfeff) + QStringLiteral("Foto \u00f1/\u20ac.jpg"));
}

TEST(FrameReader, NameLongerThanItsFrameIsSkippedWithTheFrame)
{
    // Declared N = 300 in a frame of L = 2 + 3 + 4: the name would swallow the next frames.
    QByteArray stream = fileFrame("abc", "DATA", 300);
    stream += fileFrame("ok.jpg", "GOOD");
    stream += frame(3, "..{\"camera\":\"Y\"}");
    EXPECT_THAT(readWhole(stream).messages, ElementsAre("file1[ok.jpg]=GOOD", "json3=..{\"camera\":\"Y\"}"));
    EXPECT_EQ(readInPieces(stream, { 1 }).messages, readWhole(stream).messages);

    // N exceeds L - 2 by one: still no file.
    EXPECT_THAT(
        readWhole(fileFrame("abcd", "", 5) + fileFrame("n", "Z")).messages, ElementsAre("file1[n]=Z"));
}

TEST(FrameReader, ConnectionEndingMidPayloadPostsTheMessageWithoutPayload)
{
    for (const quint8 type : { quint8(3), quint8(5), quint8(7) }) {
        const QByteArray stream = frame(type, "0123456789").left(8 + 4);
        const Outcome r = readWhole(stream, true);
        ASSERT_EQ(r.messages.size(), 1u) << int(type);
        EXPECT_THAT(r.messages[0], ::testing::EndsWith("=<none>"));
        EXPECT_EQ(r.stop, FrameReader::Stop::Ended);
    }
    // Ending right after a header of a payload frame: cut short too.
    EXPECT_THAT(readWhole(header(7, 10), true).messages, ElementsAre("json7=<none>"));
}

TEST(FrameReader, ConnectionEndingElsewhereDeliversNothing)
{
    const QByteArray file = fileFrame("name.jpg", "CONTENTS");
    const std::vector<qsizetype> cuts = {
        0, // nothing at all
        5, // inside a header
        8 + 1, // inside the name length
        8 + 2 + 3, // inside the name
        file.size() - 1, // one content byte short
    };
    for (const qsizetype cut : cuts) {
        const Outcome r = readWhole(file.left(cut), true);
        EXPECT_THAT(r.messages, IsEmpty()) << "cut at " << cut;
        EXPECT_EQ(r.stop, FrameReader::Stop::Ended);
    }
    EXPECT_THAT(readWhole(frame(9, "skipped").left(10), true).messages, IsEmpty());
    EXPECT_THAT(readWhole(mixedStream(), true).messages, kMixedMessages) << "a clean end adds nothing";
}

TEST(FrameReader, HugeAnnouncementCostsNothingUntilBytesArrive)
{
    for (const quint8 type : { quint8(1), quint8(9) }) {
        FrameReader reader;
        std::vector<InboundMessage> out;
        QByteArray stream = header(type, 0xffffffffu);
        if (type == 1)
            stream += QByteArray("\x04\x00"
                                 "name",
                6);
        stream += QByteArray(1000, 'p');
        ASSERT_EQ(reader.feed(stream, out), stream.size());
        EXPECT_LT(reader.bufferedCapacity(), 16 * 1024) << int(type);
        EXPECT_FALSE(reader.stopped());
        reader.finish(out);
        EXPECT_THAT(out, IsEmpty());
        EXPECT_EQ(reader.bufferedCapacity(), 0);
    }
}

TEST(FrameReader, FileContentGrowsOnlyAsBytesArrive)
{
    FrameReader reader;
    std::vector<InboundMessage> out;
    const quint32 content = 100u << 20; // announces 100 MiB
    reader.feed(header(1, 2 + 1 + content)
            + QByteArray("\x01\x00"
                         "f",
                3),
        out);
    const QByteArray piece(4096, 'c');
    for (int i = 0; i < 256; ++i) // 1 MiB of it
        reader.feed(piece, out);
    EXPECT_LE(reader.bufferedCapacity(), 2 * (1 << 20) + 64 * 1024);
    EXPECT_GE(reader.bufferedCapacity(), 1 << 20);
    EXPECT_EQ(reader.wanted(), qint64(content) - (1 << 20));
}

TEST(FrameReader, PayloadCaps)
{
    // At the cap: read and delivered whole.
    {
        const QByteArray payload(FrameReader::kMaxJsonPayload, ' ');
        const Outcome r = readWhole(frame(7, payload) + frame(3, "..{}"));
        ASSERT_EQ(r.messages.size(), 2u);
        EXPECT_EQ(r.stop, FrameReader::Stop::None);
    }
    {
        FrameReader reader;
        std::vector<InboundMessage> out;
        const QByteArray payload(FrameReader::kMaxLiveViewPayload, 'L');
        reader.feed(frame(5, payload), out);
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(out[0].payload->size(), payload.size());
    }
    // One byte over: the payload is passed over without being kept and the next frame is read;
    // one cut short by the end of the connection delivers nothing.
    const std::vector<std::pair<quint8, quint32>> over = {
        { 3, FrameReader::kMaxJsonPayload + 1 },
        { 7, FrameReader::kMaxJsonPayload + 1 },
        { 5, FrameReader::kMaxLiveViewPayload + 1 },
    };
    for (const auto &[type, length] : over) {
        const QByteArray stream = header(type, length) + QByteArray(qsizetype(length), '{') + frame(3, "..{}")
            + header(5, 0xffffffffu) + QByteArray(64, 'x');
        FrameReader reader;
        std::vector<InboundMessage> out;
        for (qsizetype pos = 0; pos < stream.size(); pos += 65536) {
            const QByteArrayView piece
                = QByteArrayView(stream).sliced(pos).first(qMin(65536, stream.size() - pos));
            ASSERT_EQ(reader.feed(piece, out), piece.size());
        }
        EXPECT_LT(reader.bufferedCapacity(), 16 * 1024) << "the oversized payloads were not kept";
        reader.finish(out);
        ASSERT_EQ(out.size(), 1u) << int(type);
        EXPECT_EQ(describe(out[0]), "json3=..{}");
        EXPECT_EQ(reader.oversized().count, 2u);
        EXPECT_EQ(reader.oversized().firstType, type);
        EXPECT_EQ(reader.oversized().firstLength, length);
    }
    // File content is not capped: a file larger than both caps goes through.
    const QByteArray big(FrameReader::kMaxLiveViewPayload + 10, 'F');
    const Outcome r = readInPieces(fileFrame("big.raf", big), { 65536 });
    ASSERT_EQ(r.messages.size(), 1u);
    EXPECT_EQ(r.messages[0].size(), std::string("file1[big.raf]=").size() + big.size());
}

TEST(FrameReader, StoppedReaderTakesNothingMore)
{
    FrameReader reader;
    std::vector<InboundMessage> out;
    EXPECT_EQ(reader.feed(header(1, 3, 'X', 'V'), out), 8);
    EXPECT_TRUE(reader.stopped());
    EXPECT_EQ(reader.wanted(), 0);
    EXPECT_EQ(reader.feed(fileFrame("a", "b"), out), 0);
    reader.finish(out);
    EXPECT_EQ(reader.stopReason(), FrameReader::Stop::BadHeader) << "the first reason is kept";
    EXPECT_THAT(out, IsEmpty());
}
