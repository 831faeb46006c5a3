#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "StoreHelpers.h"
#include "ingest/CaptureStorage.h"
#include "ingest/PhotoText.h"
#include "state/Monitor.h"

namespace {

void writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::NewOnly)) << path.toStdString();
    ASSERT_EQ(f.write(data), data.size());
}

// Every entry under `root`, hidden ones included, relative to it, sorted.
QStringList everything(const QString &root)
{
    QStringList all;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext())
        all << QDir(root).relativeFilePath(it.next());
    all.sort();
    return all;
}

class CaptureStorage : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(m_root.isValid() && QDir().mkpath(m_folder)); }
    QString stored(const QString &name, const QByteArray &data = "bytes")
    {
        const capture::StoreResult r = capture::storeFile(m_folder, name, data);
        EXPECT_TRUE(r.ok()) << capture::describe(r.error) << " errno " << r.sysError;
        EXPECT_EQ(readFile(r.path), data);
        return QFileInfo(r.path).fileName();
    }
    QString at(const QString &name) const { return QDir(m_folder).filePath(name); }

    QTemporaryDir m_root;
    QString m_folder = m_root.filePath(QStringLiteral("captures"));
};

} // namespace

// Successive stores of one name take the next free number; whatever is there (file,
// directory, dangling link, or an item another program makes just before the rename) is kept.
TEST_F(CaptureStorage, NamesTakeTheNextFreeNumberAndNothingIsReplaced)
{
    struct Case { QStringList files, dirs; QString incoming; QStringList expected; };
    const Case cases[] = {
        {{}, {}, "IMG_0001.JPG", {"IMG_0001.JPG", "IMG_0001-1.JPG", "IMG_0001-2.JPG"}},
        {{"README"}, {}, "README", {"README-1", "README-2"}},
        {{"archive.tar.gz"}, {}, "archive.tar.gz", {"archive.tar-1.gz"}},
        {{}, {"IMG_0002.JPG"}, "IMG_0002.JPG", {"IMG_0002-1.JPG"}},
        {{"a.jpg", "a-2.jpg"}, {}, "a.jpg", {"a-1.jpg", "a-3.jpg"}},
        {{"X.Raf"}, {}, "X.Raf", {"X-1.Raf"}},
        {{"photo."}, {}, "photo.", {"photo.-1"}},
    };
    for (const Case &c : cases) {
        for (const QString &f : c.files)
            writeFile(at(f), "old");
        for (const QString &d : c.dirs)
            ASSERT_TRUE(QDir(m_folder).mkdir(d));
        for (const QString &expected : c.expected) {
            EXPECT_EQ(Monitor::nonClobbering(m_folder, c.incoming), at(expected));
            EXPECT_EQ(stored(c.incoming, expected.toUtf8()), expected);
        }
        for (const QString &f : c.files)
            EXPECT_EQ(readFile(at(f)), "old");
    }
    ASSERT_EQ(::symlink("/nonexistent", QFile::encodeName(at("L.jpg")).constData()), 0);
    EXPECT_EQ(stored("L.jpg"), "L-1.jpg");

    QStringList seen;
    const capture::StoreResult r = capture::storeFile(m_folder, "R.JPG", "ours", [&](const QString &candidate) {
        seen << QFileInfo(candidate).fileName();
        if (seen.size() == 1)
            QDir().mkdir(candidate);
        else if (seen.size() <= 3)
            writeFile(candidate, "theirs");
    });
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(seen, (QStringList{"R.JPG", "R-1.JPG", "R-2.JPG", "R-3.JPG"}));
    EXPECT_EQ(readFile(r.path), "ours");
    EXPECT_TRUE(QFileInfo(at("R.JPG")).isDir());
    EXPECT_EQ(readFile(at("R-2.JPG")), "theirs");

    QByteArray big(3 * 1024 * 1024 + 17, Qt::Uninitialized);
    for (qsizetype i = 0; i < big.size(); ++i)
        big[i] = char(QRandomGenerator::global()->bounded(256));
    EXPECT_EQ(stored("big.raf", big), "big.raf");
    EXPECT_EQ(stored("nul.jpg", QByteArray("\0\0\xff\xd8\0tail", 9)), "nul.jpg");
    EXPECT_TRUE(everything(m_folder).filter(".part").isEmpty()) << "no temporary file is left";
}

// What a killed writer leaves is removed: regular files with exactly the writer's temporary
// name that nobody holds locked. Near misses, links, directories, FIFOs, the user's files and
// the temporary file of a write under way are never touched.
TEST_F(CaptureStorage, LeftoversOfInterruptedWritesAreRemovedAndNothingElse)
{
    const auto path = [&](const char *name) { return QFile::encodeName(at(QString::fromLatin1(name))); };
    for (const char *name : {".halvane-a1B2c3.part", ".halvane-ZZZZZZ.part"})
        writeFile(at(QString::fromLatin1(name)), "left by a killed writer");
    const QStringList kept = {".halvane-abc.part", ".halvane-abcdefg.part", ".halvane-ab_d-f.part",
                              ".halvane-a1B2c3.part.jpg", "halvane-a1B2c3.part", ".Halvane-a1B2c3.part",
                              ".halvane-a1B2c3.PART", ".halvane-\xc3\xa9" "bcde.part", "IMG_0001.JPG", ".halvane-lock3d.part"};
    for (const QString &name : kept)
        writeFile(at(name), "user's");
    ASSERT_TRUE(QDir(m_folder).mkdir(".halvane-dir123.part"));
    ASSERT_EQ(::symlink("IMG_0001.JPG", path(".halvane-link12.part").constData()), 0);
    ASSERT_EQ(::mkfifo(path(".halvane-fifo12.part").constData(), 0600), 0);
    QFile owned(at(".halvane-lock3d.part")); // as a running writer holds it
    ASSERT_TRUE(owned.open(QIODevice::ReadOnly));
    ASSERT_EQ(::flock(owned.handle(), LOCK_EX | LOCK_NB), 0);

    EXPECT_EQ(capture::removeLeftovers(m_folder), 2);
    QStringList expected = kept + QStringList{".halvane-dir123.part", ".halvane-link12.part", ".halvane-fifo12.part"};
    expected.sort();
    EXPECT_EQ(everything(m_folder), expected);
    owned.close();
    EXPECT_EQ(capture::removeLeftovers(m_folder), 1) << "the lock's holder has gone";

    int temporary = 0;
    const capture::StoreResult r = capture::storeFile(m_folder, "W.JPG", "ours", [&](const QString &) {
        for (const QString &entry : QDir(m_folder).entryList(QDir::Files | QDir::Hidden | QDir::NoSymLinks))
            temporary += capture::isTemporaryName(QFile::encodeName(entry)) ? 1 : 0;
        EXPECT_EQ(capture::removeLeftovers(m_folder), 0);
    });
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(temporary, 1);
    EXPECT_EQ(capture::removeLeftovers(at("missing")), 0);
}

TEST_F(CaptureStorage, PeerNamesLandDirectlyInsideTheFolder)
{
    const std::pair<QString, QString> cases[] = {
        {"../x.jpg", "___x.jpg"}, {"/etc/passwd", "_etc_passwd"}, {"a/b.jpg", "a_b.jpg"}, {"a\\..\\b.jpg", "a_.._b.jpg"},
        {".", "_"}, {"..", "__"}, {"", "unnamed"}, {"\x01.jpg", "_.jpg"}, {"a\nb\tc.jpg", "a_b_c.jpg"},
        {QString::fromUtf8("c\xc2\x85" "d.jpg"), "c_d.jpg"}, {".hidden.jpg", "_hidden.jpg"},
        {QString(QChar(0xD800)) + "x.jpg", "_x.jpg"}, {QString::fromUtf8("Ñandú 📷.jpg"), QString::fromUtf8("Ñandú 📷.jpg")},
    };
    QStringList expected{"captures"};
    for (const auto &[peer, safe] : cases) {
        EXPECT_EQ(stored(peer, safe.toUtf8()), safe);
        expected << "captures/" + safe;
    }
    expected.sort();
    EXPECT_EQ(everything(m_root.path()), expected) << "nothing appeared anywhere else";
}

TEST_F(CaptureStorage, LongNamesAreCutAtACharacterBoundaryKeepingTheExtension)
{
    const QString ascii = QString(296, QLatin1Char('x')) + ".jpg"; // 300 bytes
    for (const QString &name : {ascii, QString(200, QChar(0x00E9)) + ".jpeg", QString::fromUtf8("📷").repeated(80) + ".dng"}) {
        const QByteArray utf8 = capture::safeFileName(name).toUtf8();
        EXPECT_LE(utf8.size(), capture::kMaxNameBytes);
        EXPECT_GT(utf8.size(), capture::kMaxNameBytes - 4) << "cut more than one character";
        const PhotoText::NameParts parts = PhotoText::splitExtension(QString::fromUtf8(utf8));
        EXPECT_EQ(parts.ext, PhotoText::splitExtension(name).ext);
        EXPECT_TRUE(name.startsWith(parts.base)) << "not cut at a character boundary";
    }
    EXPECT_EQ(capture::safeFileName("a." + QString(300, 'e')), "a." + QString(253, 'e')) << "not a real extension";
    const QString first = stored(ascii);
    EXPECT_EQ(first.toUtf8().size(), capture::kMaxNameBytes);
    EXPECT_TRUE(stored(ascii).endsWith("-1.jpg"));
    EXPECT_EQ(capture::numberedName(first, 123456).toUtf8().size(), capture::kMaxNameBytes);
    EXPECT_TRUE(capture::numberedName(first, 123456).endsWith("-123456.jpg"));
}

TEST_F(CaptureStorage, FailuresAreClassifiedAndLeaveNothingBehind)
{
    EXPECT_EQ(capture::storeFile(QString(), "a.jpg", "x").error, capture::StoreError::NoFolder);
    const capture::StoreResult gone = capture::storeFile(m_root.filePath("gone"), "a.jpg", "x");
    EXPECT_EQ(gone.error, capture::StoreError::FolderMissing);
    EXPECT_TRUE(gone.path.isEmpty());
    writeFile(m_root.filePath("plain-file"), "not a folder");
    EXPECT_EQ(capture::storeFile(m_root.filePath("plain-file"), "a.jpg", "x").error, capture::StoreError::FolderMissing);
    EXPECT_EQ(everything(m_root.path()), (QStringList{"captures", "plain-file"}));
}

// Inside a private mount namespace only (test_ingest_store_mounts): small tmpfs folders.
TEST_F(CaptureStorage, PrivateMountDiskFullAndReadOnlyFoldersFailCleanly)
{
    if (qEnvironmentVariableIsEmpty("HALVANE_PRIVATE_MOUNTS"))
        GTEST_SKIP() << "runs as test_ingest_store_mounts";
    const auto mountTmpfs = [&](int kilobytes, unsigned long flags) {
        const QByteArray options = "size=" + QByteArray::number(kilobytes) + "k";
        return ::mount("tmpfs", QFile::encodeName(m_folder).constData(), "tmpfs", flags, options.constData()) == 0;
    };
    if (!mountTmpfs(256, 0))
        GTEST_SKIP() << "cannot mount a tmpfs here: " << strerror(errno);
    EXPECT_EQ(stored("small.jpg", QByteArray(64 * 1024, 's')), "small.jpg");
    const capture::StoreResult full = capture::storeFile(m_folder, "big.jpg", QByteArray(512 * 1024, 'b'));
    EXPECT_EQ(full.error, capture::StoreError::DiskFull);
    EXPECT_TRUE(full.path.isEmpty());
    EXPECT_EQ(everything(m_folder), QStringList{"small.jpg"});
    ::umount(QFile::encodeName(m_folder).constData());

    ASSERT_TRUE(mountTmpfs(64, MS_RDONLY));
    EXPECT_EQ(capture::storeFile(m_folder, "a.jpg", "x").error, capture::StoreError::NotWritable);
    EXPECT_TRUE(everything(m_folder).isEmpty());
    ::umount(QFile::encodeName(m_folder).constData());
}
