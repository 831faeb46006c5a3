#include <QBuffer>
#include <QDir>
#include <QImageReader>
#include <QLockFile>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include "share/AccessGate.h"
#include "share/HttpRequest.h"
#include "share/ShareImages.h"
#include "share/ShareServer.h"

using namespace share;

namespace {

struct HeadCase {
    const char *text;
    HeadStatus status;
    bool keepAlive = true;
    qint64 contentLength = 0;
};

TEST(ShareHttp, ParsesOnlyCompleteWellFormedHeads)
{
    const HeadCase cases[] = {
        { "GET / HTTP/1.1\r\nHost: a\r\n\r\n", HeadStatus::Complete },
        { "GET / HTTP/1.1\r\nHost: a\r\n", HeadStatus::Incomplete },
        { "GET / HTTP/1.0\r\n\r\n", HeadStatus::Complete, false },
        { "GET / HTTP/1.1\r\nConnection: Close\r\n\r\n", HeadStatus::Complete, false },
        { "POST /api/acceso HTTP/1.1\r\nContent-Length: 6\r\n\r\n123456", HeadStatus::Complete, true, 6 },
        { "POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n", HeadStatus::Malformed },
        { "POST / HTTP/1.1\r\nContent-Length: 1x\r\n\r\n", HeadStatus::Malformed },
        { "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", HeadStatus::Malformed },
        { "GET /\r\n\r\n", HeadStatus::Malformed },
        { "GET / SPDY/3\r\n\r\n", HeadStatus::Malformed },
        { "GET / HTTP/1.1\r\nno colon here\r\n\r\n", HeadStatus::Malformed },
    };
    for (const HeadCase &c : cases) {
        HttpRequest request;
        EXPECT_EQ(parseHead(c.text, request), c.status) << c.text;
        if (c.status == HeadStatus::Complete) {
            EXPECT_EQ(request.keepAlive, c.keepAlive) << c.text;
            EXPECT_EQ(request.contentLength, c.contentLength) << c.text;
            EXPECT_EQ(request.headBytes, QByteArray(c.text).indexOf("\r\n\r\n") + 4) << c.text;
        }
    }
    // A head that never ends is refused once it reaches the limit, not buffered further.
    HttpRequest request;
    QByteArray endless = "GET / HTTP/1.1\r\nX: " + QByteArray(kMaxHeadBytes, 'a');
    EXPECT_EQ(parseHead(endless.left(kMaxHeadBytes - 1), request), HeadStatus::Incomplete);
    EXPECT_EQ(parseHead(endless, request), HeadStatus::TooLarge);
    EXPECT_EQ(parseHead(endless + "\r\n\r\n", request), HeadStatus::TooLarge);
    // Headers the server acts on: every Cookie line, the upgrade in lower case.
    ASSERT_EQ(
        parseHead("GET /ws HTTP/1.1\r\nCookie: a=1\r\ncookie: b=2\r\nUpgrade: WebSocket\r\nHost: h:1\r\n"
                  "Origin: http://h:1\r\n\r\n",
            request),
        HeadStatus::Complete);
    EXPECT_EQ(request.cookie, "a=1; b=2");
    EXPECT_EQ(request.upgrade, "websocket");
    EXPECT_EQ(request.host, "h:1");
    EXPECT_EQ(request.origin, "http://h:1");
}

TEST(ShareHttp, RoutesNamePhotosByTheirCanonicalIdOnly)
{
    const QUuid id = QUuid::createUuid();
    const QByteArray text = id.toByteArray(QUuid::WithoutBraces);
    const struct {
        QByteArray method, target;
        Route::Kind kind;
    } cases[] = {
        { "GET", "/", Route::Page },
        { "HEAD", "/?x=1", Route::Page },
        { "POST", "/", Route::NotFound },
        { "POST", "/api/acceso", Route::Login },
        { "GET", "/api/acceso", Route::NotFound },
        { "GET", "/api/fotos", Route::List },
        { "GET", "/ws", Route::Socket },
        { "DELETE", "/api/fotos", Route::NotFound },
        { "GET", "/foto/" + text + "/vista.jpg", Route::Preview },
        { "GET", "/foto/" + text + "/mini.jpg", Route::Thumb },
        { "GET", "/foto/" + text + "/original", Route::Original },
        { "PUT", "/foto/" + text + "/vista.jpg", Route::NotFound },
        { "GET", "/foto/" + text.toUpper() + "/vista.jpg", Route::NotFound },
        { "GET", "/foto/{" + text + "}/vista.jpg", Route::NotFound },
        { "GET", "/foto/" + text + "/../vista.jpg", Route::NotFound },
        { "GET", "/foto/../" + text + "/vista.jpg", Route::NotFound },
        { "GET", "/foto/" + text + "/vista.jpg/", Route::NotFound },
        { "GET", "//foto/" + text + "/vista.jpg", Route::NotFound },
        { "GET", "/foto/" + text, Route::NotFound },
        { "GET", "/foto/%2e%2e/vista.jpg", Route::NotFound },
        { "GET", "/foto/00000000-0000-0000-0000-000000000000/vista.jpg", Route::NotFound },
        { "GET", "/index.html", Route::NotFound },
    };
    for (const auto &c : cases) {
        const Route r = route(c.method, c.target);
        EXPECT_EQ(r.kind, c.kind) << c.method.constData() << ' ' << c.target.constData();
        const bool named = r.kind == Route::Preview || r.kind == Route::Thumb || r.kind == Route::Original;
        EXPECT_EQ(r.photo, named ? id : QUuid());
    }
}

TEST(ShareAccess, WrongCodesAreLimitedPerAddressAndInTotal)
{
    AccessGate gate(QStringLiteral("042917"));
    qint64 now = 1000;
    // Five mistakes from one address, then even the right code waits for the window.
    for (int i = 0; i < AccessGate::kWrongPerAddress; ++i)
        EXPECT_EQ(gate.attempt("10.0.0.2", "000000", now += 10).outcome, AccessGate::Outcome::Wrong);
    const auto limited = gate.attempt("10.0.0.2", "042917", now += 10);
    EXPECT_EQ(limited.outcome, AccessGate::Outcome::Limited);
    EXPECT_TRUE(limited.token.isEmpty());
    EXPECT_GT(limited.retryAfterMs, AccessGate::kWindowMs - 100);
    EXPECT_LE(limited.retryAfterMs, AccessGate::kWindowMs);
    // Another address is not held back by it.
    const auto granted = gate.attempt("10.0.0.3", " 042917\n", now);
    ASSERT_EQ(granted.outcome, AccessGate::Outcome::Granted);
    EXPECT_GE(granted.token.size(), 16);
    EXPECT_TRUE(gate.admits(granted.token));
    EXPECT_FALSE(gate.admits({}));
    EXPECT_FALSE(gate.admits(granted.token.left(granted.token.size() - 1)));
    // Once the window has passed, the first address may try again.
    now += AccessGate::kWindowMs;
    EXPECT_EQ(gate.attempt("10.0.0.2", "042917", now).outcome, AccessGate::Outcome::Granted);
    // A sweep from many addresses meets the total.
    for (int i = 0; i < AccessGate::kWrongInTotal; ++i)
        EXPECT_EQ(gate.attempt(QStringLiteral("10.1.%1.%2").arg(i / 4).arg(i % 4), "111111", ++now).outcome,
            AccessGate::Outcome::Wrong);
    EXPECT_EQ(gate.attempt("10.2.0.1", "042917", ++now).outcome, AccessGate::Outcome::Limited);
    EXPECT_TRUE(gate.admits(granted.token)) << "a session outlives the limit";
}

TEST(ShareAccess, CodesAndCookies)
{
    for (int i = 0; i < 50; ++i)
        EXPECT_TRUE(QRegularExpression("^[0-9]{6}$").match(AccessGate::randomCode()).hasMatch());
    EXPECT_NE(AccessGate::randomCode() + AccessGate::randomCode(),
        AccessGate::randomCode() + AccessGate::randomCode());
    EXPECT_EQ(AccessGate::tokenFromCookies("a=1; halvane_acceso=ab12; b=2"), "ab12");
    EXPECT_EQ(AccessGate::tokenFromCookies("halvane_acceso=ab12"), "ab12");
    EXPECT_EQ(AccessGate::tokenFromCookies("xhalvane_acceso=ab12; other=1"), "");
    EXPECT_EQ(AccessGate::tokenFromCookies(""), "");
}

QSize jpegSize(const QByteArray &jpeg)
{
    QBuffer buffer;
    buffer.setData(jpeg);
    QImageReader reader(&buffer, "jpeg");
    return reader.size();
}

TEST(ShareImages, EncodedAtMostTheirSideNeverEnlarged)
{
    QImage big(4000, 3000, QImage::Format_ARGB32);
    big.fill(Qt::darkCyan);
    EXPECT_EQ(jpegSize(encodeJpeg(big, kPreviewSide)), QSize(1600, 1200));
    EXPECT_EQ(jpegSize(encodeJpeg(big.transformed(QTransform().rotate(90)), kThumbSide)), QSize(240, 320));
    EXPECT_EQ(jpegSize(encodeJpeg(big.scaled(800, 600), kPreviewSide)), QSize(800, 600));
    EXPECT_TRUE(encodeJpeg(QImage(), kPreviewSide).isEmpty());
}

TEST(ShareImages, ShelfKeepsMemoryWithinItsBudgetAndItsFolderForTheRun)
{
    QTemporaryDir root;
    ASSERT_TRUE(root.isValid());
    // A folder a crashed run left (its lock free) goes; one a running Halvane holds stays.
    ASSERT_TRUE(QDir(root.path()).mkpath("run-old") && QDir(root.path()).mkpath("run-live"));
    QLockFile live(root.filePath("run-live/lock"));
    ASSERT_TRUE(live.tryLock(0));
    const QByteArray jpeg(100'000, 'j');
    const QList<QUuid> ids
        = { QUuid::createUuid(), QUuid::createUuid(), QUuid::createUuid(), QUuid::createUuid() };
    QString folder;
    {
        ImageShelf shelf(root.path(), 250'000);
        folder = shelf.folder();
        shelf.removeEarlierRuns();
        EXPECT_TRUE(QDir(folder).exists()) << "its own folder is held";
        EXPECT_FALSE(QDir(root.filePath("run-old")).exists());
        EXPECT_TRUE(QDir(root.filePath("run-live")).exists());
        EXPECT_FALSE(shelf.get(ids[0], ImageKind::Preview).has_value());
        for (const QUuid &id : ids)
            EXPECT_TRUE(shelf.put(id, ImageKind::Preview, jpeg + id.toByteArray()));
        EXPECT_LE(shelf.bytesHeld(), 250'000);
        EXPECT_GT(shelf.bytesHeld(), 0);
        // Every one comes back whole, from memory or from disk.
        for (const QUuid &id : ids)
            EXPECT_EQ(shelf.get(id, ImageKind::Preview), jpeg + id.toByteArray());
        EXPECT_LE(shelf.bytesHeld(), 250'000);
        EXPECT_FALSE(shelf.get(ids[0], ImageKind::Thumb).has_value());
    }
    EXPECT_FALSE(QDir(folder).exists()) << "the run's images go with it";

    // On disk, past its budget, the oldest files go; what is left comes back whole.
    ImageShelf small(root.path(), 0, 250'000);
    for (const QUuid &id : ids)
        ASSERT_TRUE(small.put(id, ImageKind::Preview, jpeg + id.toByteArray())
                    && small.put(id, ImageKind::Thumb, id.toByteArray()));
    qint64 onDisk = 0;
    for (const QFileInfo &file : QDir(small.folder()).entryInfoList({ "*.jpg" }, QDir::Files))
        onDisk += file.size();
    EXPECT_LE(onDisk, 250'000);
    EXPECT_FALSE(small.has(ids[0]) || small.has(ids[1]));
    EXPECT_FALSE(small.get(ids[0], ImageKind::Preview).has_value());
    EXPECT_TRUE(small.has(ids[3]));
    EXPECT_EQ(small.get(ids[3], ImageKind::Preview), jpeg + ids[3].toByteArray());
}

// The server on this thread, with one photo listed whose images are not made yet.
TEST(ShareServerTest, ARequestWaitingForItsImagesIsNotClosedAsIdle)
{
    QTemporaryDir dir;
    auto shelf = std::make_shared<ImageShelf>(dir.path(), 0); // from disk only
    ShareServer server(shelf, std::make_shared<AccessGate>(QStringLiteral("123456")), "<html></html>");
    server.setIdleMs(50);
    const QUuid id = QUuid::createUuid();
    server.setPhotos({ PhotoEntry { id, 1, "a.jpg", "cam", {}, {}, {}, {} } }, {}, {});
    QSignalSpy listening(&server, &ShareServer::listening);
    QSignalSpy wanted(&server, &ShareServer::imagesWanted);
    server.listen(0);
    ASSERT_EQ(listening.size(), 1);
    const auto port = listening.at(0).at(0).value<quint16>();
    ASSERT_NE(port, 0);
    const auto open = [port](QTcpSocket &socket) {
        socket.connectToHost(QHostAddress::LocalHost, port);
        return socket.waitForConnected(5000);
    };

    QTcpSocket login;
    ASSERT_TRUE(open(login));
    login.write("POST /api/acceso HTTP/1.1\r\nConnection: close\r\nContent-Length: 6\r\n\r\n123456");
    QByteArray answer;
    ASSERT_TRUE(QTest::qWaitFor([&] {
        answer += login.readAll();
        return login.state() == QAbstractSocket::UnconnectedState;
    }, 5000));
    const QByteArray cookie = QRegularExpression("Set-Cookie: ([^;]+);")
                                  .match(QString::fromLatin1(answer + login.readAll()))
                                  .captured(1)
                                  .toLatin1();
    ASSERT_FALSE(cookie.isEmpty()) << answer.constData();

    // A preview asked for before it is made waits, past the idle limit, for as long as it takes.
    QTcpSocket viewer;
    ASSERT_TRUE(open(viewer));
    viewer.write("GET /foto/" + id.toByteArray(QUuid::WithoutBraces) + "/vista.jpg HTTP/1.1\r\nCookie: " + cookie
        + "\r\nConnection: close\r\n\r\n");
    ASSERT_TRUE(QTest::qWaitFor([&] { return wanted.size() == 1; }, 5000));
    QTcpSocket quiet; // opened later, sends nothing: closed once the idle limit has passed
    ASSERT_TRUE(open(quiet));
    ASSERT_TRUE(QTest::qWaitFor([&] { return quiet.state() == QAbstractSocket::UnconnectedState; }, 5000));
    EXPECT_EQ(viewer.state(), QAbstractSocket::ConnectedState);

    const QByteArray jpeg = encodeJpeg(QImage(64, 48, QImage::Format_RGB32), kPreviewSide);
    ASSERT_TRUE(shelf->put(id, ImageKind::Preview, jpeg) && shelf->put(id, ImageKind::Thumb, jpeg));
    server.imagesDone(id, true);
    QByteArray got;
    ASSERT_TRUE(QTest::qWaitFor([&] {
        got += viewer.readAll();
        return viewer.state() == QAbstractSocket::UnconnectedState;
    }, 5000));
    got += viewer.readAll();
    EXPECT_TRUE(got.startsWith("HTTP/1.1 200")) << got.left(200).constData();
    EXPECT_TRUE(got.endsWith(jpeg));

    // Its files gone (room made for newer photos'), the next request has them made again.
    for (const QString &name : QDir(shelf->folder()).entryList({ "*.jpg" }, QDir::Files))
        ASSERT_TRUE(QFile::remove(shelf->folder() + "/" + name));
    QTcpSocket again;
    ASSERT_TRUE(open(again));
    again.write("GET /foto/" + id.toByteArray(QUuid::WithoutBraces) + "/mini.jpg HTTP/1.1\r\nCookie: " + cookie
        + "\r\nConnection: close\r\n\r\n");
    ASSERT_TRUE(QTest::qWaitFor([&] { return wanted.size() == 2; }, 5000));
    EXPECT_EQ(again.state(), QAbstractSocket::ConnectedState);
}

} // namespace
