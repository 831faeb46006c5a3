// Writes the seed corpus of the fuzz targets into <dir>/<target>/: small valid frames of every
// type and malformed ones for the frame reader, hello/state/live-view messages for the inbound
// handlers, and small real image files (made by the tests' data helpers) for the photo builder.
//
// Usage: fuzz_make_corpus <corpus dir>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QList>
#include <QString>

#include <cstdio>
#include <initializer_list>

#include "SampleFiles.h"

namespace {

QString g_root;
int g_failures = 0;

void put(const char *target, const char *name, const QByteArray &bytes)
{
    const QString dir = g_root + QLatin1Char('/') + QLatin1String(target);
    QDir().mkpath(dir);
    QFile file(dir + QLatin1Char('/') + QLatin1String(name));
    if (bytes.isEmpty() || !file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size()) {
        std::fprintf(stderr, "cannot write %s/%s\n", target, name);
        ++g_failures;
    }
}

QByteArray le16(quint16 v)
{
    return QByteArray(1, char(v & 0xff)) + QByteArray(1, char(v >> 8));
}

QByteArray le32(quint32 v)
{
    return le16(quint16(v & 0xffff)) + le16(quint16(v >> 16));
}

QByteArray header(quint8 type, quint32 length, char version = 1)
{
    return QByteArray("HV") + QByteArray(1, version) + QByteArray(1, char(type)) + le32(length);
}

QByteArray frame(quint8 type, const QByteArray &payload)
{
    return header(type, quint32(payload.size())) + payload;
}

QByteArray fileFrame(const QByteArray &name, const QByteArray &content)
{
    return frame(1, le16(quint16(name.size())) + name + content);
}

// The frame reader's input: split bytes first (count, then sizes), then the stream.
QByteArray splitInto(std::initializer_list<quint8> sizes, const QByteArray &stream)
{
    QByteArray out(1, char(sizes.size()));
    for (quint8 s : sizes)
        out.append(char(s));
    return out + stream;
}

// The inbound target's input: op byte, 16-bit length, payload.
QByteArray op(quint8 code, const QByteArray &payload)
{
    return QByteArray(1, char(code)) + le16(quint16(payload.size())) + payload;
}

QByteArray withExtension(quint8 pick, const QByteArray &file)
{
    return QByteArray(1, char(pick)) + file;
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_make_corpus <corpus dir>\n");
        return 2;
    }
    g_root = QString::fromLocal8Bit(argv[1]);

    const QImage picture = SampleFiles::quadrants(QSize(24, 16));
    const QByteArray jpeg = SampleFiles::jpeg(picture, SampleFiles::cameraTags(), SampleFiles::quadrants(QSize(12, 8)), 50);
    const QByteArray png = SampleFiles::encode(picture, "png");
    const QByteArray tiff = SampleFiles::withExif(SampleFiles::encode(picture, "tiff"), SampleFiles::cameraTags());
    const QByteArray webp = SampleFiles::encode(picture, "webp", 50);
    SampleFiles::Dng dngSpec;
    dngSpec.rawSize = QSize(16, 12);
    dngSpec.preview = picture;
    dngSpec.smallThumb = SampleFiles::quadrants(QSize(8, 6));
    dngSpec.orientation = 6;
    dngSpec.tags = SampleFiles::cameraTags();
    const QByteArray dng = SampleFiles::dng(dngSpec);
    const QByteArray heic = SampleFiles::heic(picture, SampleFiles::cameraTags(), 6);

    // Frame reader.
    const QByteArray hello = frame(3, QByteArray("\x00\x01{\"camera\":\"X-T5\"}", 19));
    const QByteArray state = frame(7, R"({"supported":[1],"iso":{"current":400,"values":[200,400,800]}})");
    const QByteArray live = frame(5, jpeg);
    const QByteArray file = fileFrame("IMG_0001.JPG", QByteArray("\xff\xd8\xff\xd9", 4));
    put("fuzz_frame_reader", "file", splitInto({}, file));
    put("fuzz_frame_reader", "file_empty_name", splitInto({3}, fileFrame("", "abc")));
    put("fuzz_frame_reader", "file_no_content", splitInto({1}, fileFrame("a.jpg", "") + hello));
    put("fuzz_frame_reader", "file_short", splitInto({2, 0}, header(1, 1) + "x" + header(1, 0) + state));
    put("fuzz_frame_reader", "file_name_past_frame", splitInto({5}, header(1, 4) + le16(40) + "ab" + hello));
    put("fuzz_frame_reader", "file_bad_utf8", splitInto({7}, fileFrame("\xc0\xaf.jpg", "x") + hello));
    put("fuzz_frame_reader", "hello", splitInto({1}, hello));
    put("fuzz_frame_reader", "state", splitInto({9, 4}, state));
    put("fuzz_frame_reader", "state_empty", splitInto({}, header(7, 0) + header(3, 0) + header(5, 0)));
    put("fuzz_frame_reader", "live", splitInto({200}, live));
    put("fuzz_frame_reader", "other_types", splitInto({3, 17}, frame(2, "zz") + frame(4, "") + frame(6, "{\"cmd\":\"shutter\"}") +
                                                                   frame(9, QByteArray(100, 'q')) + hello));
    put("fuzz_frame_reader", "bad_magic", splitInto({}, QByteArray("VH\x01\x03\x00\x00\x00\x00", 8) + hello));
    put("fuzz_frame_reader", "bad_version", splitInto({}, header(3, 2, 2) + "ab" + hello));
    put("fuzz_frame_reader", "oversize", splitInto({}, header(7, 0xFFFFFFFFu) + "{}"));
    put("fuzz_frame_reader", "cut_short", splitInto({6}, hello + header(7, 50) + "{\"iso\":"));
    put("fuzz_frame_reader", "mixed", splitInto({1, 2, 3, 0}, hello + file + state + frame(8, "x") + hello));

    // Inbound handlers.
    put("fuzz_inbound", "hello", op(0, QByteArray("\x00\x01{\"camera\":\"X-T5\"}", 19)));
    put("fuzz_inbound", "hello_unskipped", op(0, R"({"camera":"A"})"));
    put("fuzz_inbound", "hello_bad", op(0, "..{\"camera\":\"\"}") + op(0, "..{\"camera\":5}") + op(4, "") + op(0, "a"));
    put("fuzz_inbound", "state", op(1, R"({"supported":[1],"iso":{"current":400,"values":[200,400,800]}})"));
    put("fuzz_inbound", "state_mixed",
        op(1, R"({"iso":{"current":400.9,"values":[200,"x"]},"wb":{"values":[1]},"t":{"current":true},"big":{"current":9223372036854775807,"values":[-9223372036854775808,1e300]}})") +
            op(1, "[1,2]") + op(1, "{}") + op(1, "{\"iso\":{\"current\":-1}}"));
    put("fuzz_inbound", "live_jpeg", op(2, jpeg) + op(2, "not an image") + op(6, ""));
    put("fuzz_inbound", "live_png", op(2, png));
    put("fuzz_inbound", "via_handler", op(0x80, QByteArray("\x00\x01{\"camera\":\"B\"}", 16)) + op(0x81, "{\"iso\":{\"current\":1}}") +
                                           op(0x82, png) + op(0x86, ""));
    put("fuzz_inbound", "other_type", op(3 | (5 << 3), "..{\"camera\":\"Y\"}") + op(3 | (7 << 3), "{}"));

    // Photo builder: byte 0 picks the extension (13 jpg, 15 png, 16 tif, 18 webp, 5 dng, 19 heic).
    put("fuzz_build_photo", "jpeg", withExtension(13, jpeg));
    put("fuzz_build_photo", "jpeg_as_raf", withExtension(0, jpeg));
    put("fuzz_build_photo", "png", withExtension(15, png));
    put("fuzz_build_photo", "tiff", withExtension(16 | 0x80, tiff));
    put("fuzz_build_photo", "webp", withExtension(18, webp));
    put("fuzz_build_photo", "dng", withExtension(5, dng));
    put("fuzz_build_photo", "dng_as_nef", withExtension(3, dng));
    put("fuzz_build_photo", "cr3", withExtension(2, SampleFiles::cr3()));
    if (!heic.isEmpty())
        put("fuzz_build_photo", "heic", withExtension(19, heic));
    put("fuzz_build_photo", "garbage", withExtension(21, "not an image at all"));

    return g_failures == 0 ? 0 : 1;
}
