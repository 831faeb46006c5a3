#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "StoreHelpers.h"
#include "ingest/CaptureStorage.h"
#include "ingest/PhotoText.h"
#include "ingest/PosixFile.h"
#include "state/Monitor.h"

namespace {

class CaptureStorage : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(m_root.isValid() && QDir().mkpath(m_folder)); }
    // Stores `data` under the peer's `name`; the file name it got.
    QString stored(const QString &name, const QByteArray &data = "bytes")
    {
        const capture::StoreResult r = capture::storeFile(m_folder, name, data);
        EXPECT_TRUE(r.ok() && readFile(r.path) == data)
            << capture::describe(r.error) << " errno " << r.sysError;
        return QFileInfo(r.path).fileName();
    }
    void write(const QString &name, const QByteArray &data = "theirs")
    {
        QFile f(QDir(m_folder).filePath(name));
        ASSERT_TRUE(f.open(QIODevice::NewOnly) && f.write(data) == data.size()) << name.toStdString();
    }
    // Every entry in the folder, hidden ones included, sorted.
    QStringList everything() const
    {
        return QDir(m_folder).entryList(
            QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    }

    QTemporaryDir m_root;
    QString m_folder = m_root.filePath(QStringLiteral("captures"));
};

} // namespace

// Successive stores of one name take the next free number, unchanged bytes and no temporary
// file left; whatever is there (file, directory, dangling link, or an item another program
// makes just before the rename) is kept.
TEST_F(CaptureStorage, NamesTakeTheNextFreeNumberAndNothingIsReplaced)
{
    // What is there, the name that comes in, and the names it gets when stored again and again.
    const std::tuple<QStringList, QString, QStringList> cases[]
        = { { {}, "IMG_0001.JPG", { "IMG_0001.JPG", "IMG_0001-1.JPG", "IMG_0001-2.JPG" } },
              { { "README" }, "README", { "README-1", "README-2" } },
              { { "archive.tar.gz" }, "archive.tar.gz", { "archive.tar-1.gz" } },
              { { "a.jpg", "a-2.jpg" }, "a.jpg", { "a-1.jpg", "a-3.jpg" } },
              { { "X.Raf" }, "X.Raf", { "X-1.Raf" } }, { { "photo." }, "photo.", { "photo.-1" } } };
    for (const auto &[existing, incoming, names] : cases) {
        for (const QString &name : existing)
            write(name);
        for (const QString &expected : names) {
            EXPECT_EQ(Monitor::nonClobbering(m_folder, incoming), QDir(m_folder).filePath(expected));
            EXPECT_EQ(stored(incoming, expected.toUtf8()), expected);
        }
    }
    ASSERT_TRUE(QDir(m_folder).mkdir("D.JPG"));
    EXPECT_EQ(stored("D.JPG"), "D-1.JPG");
    ASSERT_EQ(::symlink("/nonexistent", QFile::encodeName(QDir(m_folder).filePath("L.jpg")).constData()), 0);
    EXPECT_EQ(stored("L.jpg"), "L-1.jpg");
    int claims = 0;
    const capture::StoreResult r
        = capture::storeFile(m_folder, "R.JPG", "ours", [&](const QString &candidate) {
              if (++claims <= 2)
                  write(QFileInfo(candidate).fileName()); // another program takes the name first
          });
    EXPECT_EQ(QFileInfo(r.path).fileName(), "R-2.JPG");
    EXPECT_EQ(readFile(QDir(m_folder).filePath("R.JPG")), "theirs");
    EXPECT_EQ(stored("big.raf", QByteArray(3 * 1024 * 1024 + 17, 'r')), "big.raf");
    EXPECT_EQ(stored("nul.jpg", QByteArray("\0\0\xff\xd8\0tail", 9)), "nul.jpg");
    EXPECT_TRUE(everything().filter(".part").isEmpty()) << "no temporary file is left";
}

// What a killed writer leaves is removed: regular files with exactly the writer's temporary name
// that nobody holds locked. Near misses, links, directories, FIFOs, the user's files and the
// temporary file of a write under way are never touched.
TEST_F(CaptureStorage, LeftoversOfInterruptedWritesAreRemovedAndNothingElse)
{
    write(".halvane-a1B2c3.part");
    write(".halvane-ZZZZZZ.part");
    QStringList kept = { ".halvane-abc.part", ".halvane-abcdefg.part", ".halvane-ab_d-f.part",
        ".halvane-a1B2c3.part.jpg", "halvane-a1B2c3.part", ".Halvane-a1B2c3.part", ".halvane-a1B2c3.PART",
        ".halvane-\xc3\xa9xyzw.part", "IMG_0001.JPG", ".halvane-lock3d.part" };
    for (const QString &name : kept)
        write(name);
    const QDir folder(m_folder);
    ASSERT_TRUE(folder.mkdir(".halvane-dir123.part"));
    ASSERT_EQ(
        ::symlink("IMG_0001.JPG", QFile::encodeName(folder.filePath(".halvane-link12.part")).constData()), 0);
    ASSERT_EQ(::mkfifo(QFile::encodeName(folder.filePath(".halvane-fifo12.part")).constData(), 0600), 0);
    QFile owned(folder.filePath(".halvane-lock3d.part")); // as a running writer holds it
    ASSERT_TRUE(owned.open(QIODevice::ReadOnly) && ::flock(owned.handle(), LOCK_EX | LOCK_NB) == 0);
    EXPECT_EQ(capture::removeLeftovers(m_folder), 2);
    kept += { ".halvane-dir123.part", ".halvane-link12.part", ".halvane-fifo12.part" };
    kept.sort();
    EXPECT_EQ(everything(), kept);
    owned.close();
    EXPECT_EQ(capture::removeLeftovers(m_folder), 1) << "the lock's holder has gone";
    const capture::StoreResult r = capture::storeFile(m_folder, "W.JPG", "ours", [&](const QString &) {
        int temporary = 0;
        for (const QString &entry : QDir(m_folder).entryList(QDir::Files | QDir::Hidden | QDir::NoSymLinks))
            temporary += capture::isTemporaryName(QFile::encodeName(entry));
        EXPECT_EQ(temporary, 1) << "the writer's own temporary file";
        EXPECT_EQ(capture::removeLeftovers(m_folder), 0) << "a write under way is left alone";
    });
    EXPECT_TRUE(r.ok());
}

TEST_F(CaptureStorage, PeerNamesLandDirectlyInsideTheFolderWithinTheNameLimit)
{
    const std::pair<QString, QString> cases[] = { { "../x.jpg", "___x.jpg" },
        { "/etc/passwd", "_etc_passwd" }, { "a/b.jpg", "a_b.jpg" }, { "a\\..\\b.jpg", "a_.._b.jpg" },
        { ".", "_" }, { "..", "__" }, { "", "unnamed" }, { "\x01.jpg", "_.jpg" },
        { "a\nb\tc.jpg", "a_b_c.jpg" }, { QString::fromUtf8("c\xc2\x85\x64.jpg"), "c_d.jpg" },
        { ".hidden.jpg", "_hidden.jpg" }, { QString(QChar(0xD800)) + "x.jpg", "_x.jpg" },
        { QString::fromUtf8("Ñandú 📷.jpg"), QString::fromUtf8("Ñandú 📷.jpg") } };
    QStringList expected;
    for (const auto &[peer, safe] : cases) {
        EXPECT_EQ(stored(peer), safe) << peer.toStdString();
        expected << safe;
    }
    expected.sort();
    EXPECT_EQ(expected, everything()) << "nothing appeared anywhere else";
    EXPECT_EQ(
        QDir(m_root.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList { "captures" });

    const QString ascii = QString(296, 'x') + ".jpg"; // 300 bytes, cut to 255 keeping the extension
    const QString accented = QString(200, QChar(0xE9)) + ".jpeg"; // cut at a character boundary
    EXPECT_EQ(capture::safeFileName(accented), QString(125, QChar(0xE9)) + ".jpeg");
    EXPECT_EQ(capture::safeFileName("a." + QString(300, 'e')), "a." + QString(253, 'e'))
        << "not a real extension";
    EXPECT_EQ(stored(ascii).toUtf8().size(), capture::kMaxNameBytes);
    EXPECT_TRUE(stored(ascii).endsWith("xx-1.jpg"));
    EXPECT_TRUE(capture::numberedName(capture::safeFileName(ascii), 123456).endsWith("xx-123456.jpg"));
    // 250 bytes, "-1" and ".jpg" come to 256: one too many.
    EXPECT_EQ(capture::numberedName(QString(250, 'x') + ".jpg", 1), QString(249, 'x') + "-1.jpg");
}

TEST_F(CaptureStorage, MissingFolderOrOneThatIsAFileFailsAndLeavesNothing)
{
    EXPECT_EQ(capture::storeFile(QString(), "a.jpg", "x").error, capture::StoreError::NoFolder);
    EXPECT_EQ(
        capture::storeFile(m_root.filePath("gone"), "a.jpg", "x").error, capture::StoreError::FolderMissing);
    write("plain-file", "not a folder");
    EXPECT_EQ(capture::storeFile(QDir(m_folder).filePath("plain-file"), "a.jpg", "x").error,
        capture::StoreError::FolderMissing);
    EXPECT_EQ(everything(), QStringList { "plain-file" });
}

// A write that keeps taking nothing (some FUSE file systems) ends as an error instead of spinning.
TEST(PosixFile, AWriteThatTakesNothingEndsAsAnError)
{
    int calls = 0;
    const auto never = [&](int, const void *, size_t) -> ssize_t { return ++calls, 0; };
    EXPECT_FALSE(posix::writeAllWith(never, -1, "abc", 3));
    EXPECT_TRUE(errno == EIO && calls == posix::kMaxEmptyWrites + 1) << calls;
    const auto sometimes = [&](int, const void *, size_t n) -> ssize_t { return ++calls % 3 ? 0 : ssize_t(std::min<size_t>(n, 2)); };
    EXPECT_TRUE(posix::writeAllWith(sometimes, -1, "abcde", 5));
}
