#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "QtPrinters.h"

#include "ingest/CaptureStorage.h"
#include "model/Monitor.h"

namespace {

QByteArray readFile(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return "<unreadable>";
    return f.readAll();
}

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
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        all << QDir(root).relativeFilePath(it.next());
    all.sort();
    return all;
}

QByteArray randomBytes(qsizetype size)
{
    QByteArray data(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        data[i] = char(QRandomGenerator::global()->bounded(256));
    return data;
}

class CaptureStorage : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_root.isValid());
        m_folder = m_root.filePath(QStringLiteral("captures"));
        ASSERT_TRUE(QDir().mkpath(m_folder));
    }
    QString stored(const QString &name, const QByteArray &data = "bytes")
    {
        const capture::StoreResult r = capture::storeFile(m_folder, name, data);
        EXPECT_TRUE(r.ok()) << capture::describe(r.error) << " errno " << r.sysError;
        return QFileInfo(r.path).fileName();
    }

    QTemporaryDir m_root;
    QString m_folder;
};

} // namespace

// --- Collision-free names -----------------------------------------------------------------

struct CollisionCase {
    const char *label;
    QStringList existingFiles;
    QStringList existingDirs;
    QString incoming;
    QStringList expected; // names of successive stores of `incoming`
};

class Collisions : public CaptureStorage, public ::testing::WithParamInterface<CollisionCase>
{
};

TEST_P(Collisions, TakesTheNextFreeNumberAndKeepsWhatWasThere)
{
    const CollisionCase &c = GetParam();
    for (const QString &f : c.existingFiles)
        writeFile(QDir(m_folder).filePath(f), "old:" + f.toUtf8());
    for (const QString &d : c.existingDirs)
        ASSERT_TRUE(QDir(m_folder).mkdir(d));

    for (int i = 0; i < c.expected.size(); ++i) {
        const QString expected = c.expected.at(i);
        EXPECT_EQ(Monitor::nonClobbering(m_folder, c.incoming), QDir(m_folder).filePath(expected));
        const QByteArray data = "new " + QByteArray::number(i);
        EXPECT_EQ(stored(c.incoming, data), expected);
        EXPECT_EQ(readFile(QDir(m_folder).filePath(expected)), data);
    }
    for (const QString &f : c.existingFiles)
        EXPECT_EQ(readFile(QDir(m_folder).filePath(f)), "old:" + f.toUtf8());
    for (const QString &d : c.existingDirs)
        EXPECT_TRUE(QFileInfo(QDir(m_folder).filePath(d)).isDir());
}

INSTANTIATE_TEST_SUITE_P(
    Names, Collisions,
    ::testing::Values(
        CollisionCase{"empty_folder", {}, {}, "IMG_0001.JPG", {"IMG_0001.JPG", "IMG_0001-1.JPG", "IMG_0001-2.JPG"}},
        CollisionCase{"existing_file", {"IMG_0001.JPG"}, {}, "IMG_0001.JPG", {"IMG_0001-1.JPG", "IMG_0001-2.JPG"}},
        CollisionCase{"no_extension", {"README"}, {}, "README", {"README-1", "README-2"}},
        CollisionCase{"last_extension_only", {"archive.tar.gz"}, {}, "archive.tar.gz", {"archive.tar-1.gz"}},
        CollisionCase{"directory_takes_name", {}, {"IMG_0002.JPG"}, "IMG_0002.JPG", {"IMG_0002-1.JPG"}},
        CollisionCase{"gap_is_reused", {"a.jpg", "a-2.jpg"}, {}, "a.jpg", {"a-1.jpg", "a-3.jpg"}},
        CollisionCase{"extension_case_kept", {"X.Raf"}, {}, "X.Raf", {"X-1.Raf"}},
        CollisionCase{"trailing_dot", {"photo."}, {}, "photo.", {"photo.-1"}}),
    [](const auto &info) { return std::string(info.param.label); });

TEST_F(CaptureStorage, DanglingLinkCountsAsTaken)
{
    ASSERT_EQ(::symlink("/nonexistent/target", QFile::encodeName(QDir(m_folder).filePath("L.jpg")).constData()), 0);
    EXPECT_EQ(stored("L.jpg"), "L-1.jpg");
    EXPECT_TRUE(QFileInfo(QDir(m_folder).filePath("L.jpg")).isSymLink());
}

// --- The rename that never replaces ---------------------------------------------------------

TEST_F(CaptureStorage, ItemCreatedBetweenCheckAndRenameIsNeverOverwritten)
{
    QStringList seen;
    const auto hook = [&](const QString &candidate) {
        seen << QFileInfo(candidate).fileName();
        // Another program takes each of the first three names we settle on.
        if (seen.size() <= 3)
            writeFile(candidate, "theirs " + QFileInfo(candidate).fileName().toUtf8());
    };
    const capture::StoreResult r = capture::storeFile(m_folder, "IMG_0005.JPG", "ours", hook);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(seen, (QStringList{"IMG_0005.JPG", "IMG_0005-1.JPG", "IMG_0005-2.JPG", "IMG_0005-3.JPG"}));
    EXPECT_EQ(QFileInfo(r.path).fileName(), "IMG_0005-3.JPG");
    EXPECT_EQ(readFile(r.path), "ours");
    EXPECT_EQ(readFile(QDir(m_folder).filePath("IMG_0005.JPG")), "theirs IMG_0005.JPG");
    EXPECT_EQ(readFile(QDir(m_folder).filePath("IMG_0005-2.JPG")), "theirs IMG_0005-2.JPG");
    EXPECT_EQ(everything(m_folder).size(), 4) << everything(m_folder).join(' ').toStdString();
}

TEST_F(CaptureStorage, DirectoryCreatedBeforeRenameIsLeftAlone)
{
    const auto hook = [&](const QString &candidate) {
        if (!candidate.endsWith("-1.JPG"))
            QDir().mkdir(candidate);
    };
    const capture::StoreResult r = capture::storeFile(m_folder, "D.JPG", "ours", hook);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(QFileInfo(r.path).fileName(), "D-1.JPG");
    EXPECT_TRUE(QFileInfo(QDir(m_folder).filePath("D.JPG")).isDir());
}

// --- Content and leftovers -------------------------------------------------------------------

TEST_F(CaptureStorage, WritesBytesUnchangedAndLeavesNoTemporaryFile)
{
    const QByteArray big = randomBytes(3 * 1024 * 1024 + 17);
    const QByteArray withNuls("\0\0\xff\xd8\0tail", 9);
    EXPECT_EQ(readFile(QDir(m_folder).filePath(stored("big.raf", big))), big);
    EXPECT_EQ(readFile(QDir(m_folder).filePath(stored("nul.jpg", withNuls))), withNuls);
    EXPECT_EQ(everything(m_folder), (QStringList{"big.raf", "nul.jpg"}));
}

// What a killed writer leaves is removed: regular files with exactly the writer's temporary
// name that nobody holds locked. Near misses, links, directories, FIFOs, the user's files and
// the temporary file of a write under way (this or another instance's) are never touched.
TEST_F(CaptureStorage, LeftoversOfInterruptedWritesAreRemovedAndNothingElse)
{
    const QDir folder(m_folder);
    const auto path = [&](const char *name) { return QFile::encodeName(folder.filePath(QString::fromLatin1(name))); };
    for (const char *name : {".halvane-a1B2c3.part", ".halvane-ZZZZZZ.part"})
        writeFile(folder.filePath(QString::fromLatin1(name)), "left by a killed writer");
    const QStringList kept = {".halvane-abc.part", ".halvane-abcdefg.part", ".halvane-ab_d-f.part",
                              ".halvane-a1B2c3.part.jpg", "halvane-a1B2c3.part", ".Halvane-a1B2c3.part",
                              ".halvane-a1B2c3.PART", ".halvane-\xc3\xa9" "bcde.part", "IMG_0001.JPG",
                              ".halvane-lock3d.part"};
    for (const QString &name : kept)
        writeFile(folder.filePath(name), "user's");
    ASSERT_TRUE(folder.mkdir(".halvane-dir123.part"));
    ASSERT_EQ(::symlink("IMG_0001.JPG", path(".halvane-link12.part").constData()), 0);
    ASSERT_EQ(::mkfifo(path(".halvane-fifo12.part").constData(), 0600), 0);
    QFile owned(folder.filePath(".halvane-lock3d.part")); // as a running writer holds it
    ASSERT_TRUE(owned.open(QIODevice::ReadOnly));
    ASSERT_EQ(::flock(owned.handle(), LOCK_EX | LOCK_NB), 0);

    EXPECT_EQ(capture::removeLeftovers(m_folder), 2);
    QStringList expected = kept + QStringList{".halvane-dir123.part", ".halvane-link12.part", ".halvane-fifo12.part"};
    expected.sort();
    EXPECT_EQ(everything(m_folder), expected);
    EXPECT_EQ(readFile(folder.filePath("IMG_0001.JPG")), "user's");
    owned.close();
    EXPECT_EQ(capture::removeLeftovers(m_folder), 1) << "the lock's holder has gone";

    // This process's own writer, between its write and its rename: its temporary file has the
    // pattern and is left alone.
    QStringList temporary;
    const capture::StoreResult r = capture::storeFile(m_folder, "W.JPG", "ours", [&](const QString &) {
        for (const QString &entry : QDir(m_folder).entryList(QDir::Files | QDir::Hidden | QDir::NoSymLinks))
            if (capture::isTemporaryName(QFile::encodeName(entry)))
                temporary << entry;
        EXPECT_EQ(capture::removeLeftovers(m_folder), 0);
    });
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(temporary.size(), 1);
    EXPECT_EQ(readFile(r.path), "ours");
    EXPECT_EQ(capture::removeLeftovers(QDir(m_folder).filePath("missing")), 0);
}

// --- Names from the peer never leave the folder ----------------------------------------------

struct NameCase {
    const char *label;
    QString peerName;
    QString expected;
};

class SafeNames : public CaptureStorage, public ::testing::WithParamInterface<NameCase>
{
};

TEST_P(SafeNames, LandDirectlyInsideTheFolder)
{
    const NameCase &c = GetParam();
    const QByteArray data = "photo for " + QByteArray(c.label);
    const capture::StoreResult r = capture::storeFile(m_folder, c.peerName, data);
    ASSERT_TRUE(r.ok()) << capture::describe(r.error);
    EXPECT_EQ(QFileInfo(r.path).fileName(), c.expected);
    EXPECT_EQ(QFileInfo(r.path).absolutePath(), QFileInfo(m_folder).absoluteFilePath());
    EXPECT_EQ(readFile(r.path), data);
    // Nothing appeared anywhere but the one file in the folder.
    EXPECT_EQ(everything(m_root.path()), (QStringList{"captures", "captures/" + c.expected}));
}

INSTANTIATE_TEST_SUITE_P(
    Hostile, SafeNames,
    ::testing::Values(NameCase{"parent", "../x.jpg", "___x.jpg"},
                      NameCase{"absolute", "/etc/passwd", "_etc_passwd"},
                      NameCase{"subfolder", "a/b.jpg", "a_b.jpg"},
                      NameCase{"backslash", "a\\..\\b.jpg", "a_.._b.jpg"},
                      NameCase{"dot", ".", "_"},
                      NameCase{"dotdot", "..", "__"},
                      NameCase{"empty", "", "unnamed"},
                      NameCase{"control", "\x01.jpg", "_.jpg"},
                      NameCase{"newline_tab", "a\nb\tc.jpg", "a_b_c.jpg"},
                      NameCase{"c1_control", QString::fromUtf8("a\xc2\x85" "b.jpg"), "a_b.jpg"},
                      NameCase{"hidden", ".hidden.jpg", "_hidden.jpg"},
                      NameCase{"lone_surrogate", QString(QChar(0xD800)) + "x.jpg", "_x.jpg"},
                      NameCase{"unicode_kept", QString::fromUtf8("Ñandú 📷.jpg"), QString::fromUtf8("Ñandú 📷.jpg")}),
    [](const auto &info) { return std::string(info.param.label); });

TEST(SafeFileName, LongNamesAreCutAtACharacterBoundaryKeepingTheExtension)
{
    const QString ascii = QString(296, QLatin1Char('x')) + ".jpg"; // 300 bytes
    const QString accented = QString(200, QChar(0x00E9)) + ".jpeg"; // 405 bytes
    const QString emoji = QString::fromUtf8("📷").repeated(80) + ".dng"; // 324 bytes
    for (const QString &name : {ascii, accented, emoji}) {
        const QString safe = capture::safeFileName(name);
        const QByteArray utf8 = safe.toUtf8();
        EXPECT_LE(utf8.size(), capture::kMaxNameBytes);
        EXPECT_GT(utf8.size(), capture::kMaxNameBytes - 4) << "cut more than one character";
        EXPECT_EQ(QString::fromUtf8(utf8), safe) << "not valid UTF-8";
        EXPECT_EQ(capture::splitExtension(safe).ext, capture::splitExtension(name).ext);
        EXPECT_TRUE(name.startsWith(capture::splitExtension(safe).base));
    }
    // An "extension" too long to be one is cut with the rest.
    const QString longExt = "a." + QString(300, QLatin1Char('e'));
    EXPECT_EQ(capture::safeFileName(longExt), "a." + QString(253, QLatin1Char('e')));
}

TEST_F(CaptureStorage, LongNamesStayWithinTheLimitWhenNumbered)
{
    const QString name = QString(296, QLatin1Char('x')) + ".jpg";
    const QString first = stored(name);
    const QString second = stored(name);
    EXPECT_EQ(first.toUtf8().size(), capture::kMaxNameBytes);
    EXPECT_LE(second.toUtf8().size(), capture::kMaxNameBytes);
    EXPECT_TRUE(second.endsWith("-1.jpg"));
    EXPECT_EQ(capture::numberedName(first, 123456).toUtf8().size(), capture::kMaxNameBytes);
    EXPECT_TRUE(capture::numberedName(first, 123456).endsWith("-123456.jpg"));
}

// --- Failures leave nothing behind ------------------------------------------------------------

TEST_F(CaptureStorage, FolderThatIsGoneOrNotAFolderFails)
{
    EXPECT_EQ(capture::storeFile(QString(), "a.jpg", "x").error, capture::StoreError::NoFolder);

    const QString gone = m_root.filePath("gone");
    const capture::StoreResult r1 = capture::storeFile(gone, "a.jpg", "x");
    EXPECT_EQ(r1.error, capture::StoreError::FolderMissing);
    EXPECT_TRUE(r1.path.isEmpty());

    const QString file = m_root.filePath("plain-file");
    writeFile(file, "not a folder");
    EXPECT_EQ(capture::storeFile(file, "a.jpg", "x").error, capture::StoreError::FolderMissing);
    EXPECT_EQ(readFile(file), "not a folder");
    EXPECT_EQ(everything(m_root.path()), (QStringList{"captures", "plain-file"}));
}

namespace {

// A tmpfs of `kilobytes` at `path`, in the private mount namespace the mount test runs in.
bool mountTmpfs(const QString &path, int kilobytes, bool readOnly)
{
    const QByteArray options = "size=" + QByteArray::number(kilobytes) + "k";
    return ::mount("tmpfs", QFile::encodeName(path).constData(), "tmpfs", readOnly ? MS_RDONLY : 0,
                   options.constData()) == 0;
}

} // namespace

TEST_F(CaptureStorage, PrivateMountDiskFullLeavesNoPartialFile)
{
    if (qEnvironmentVariableIsEmpty("HALVANE_PRIVATE_MOUNTS"))
        GTEST_SKIP() << "runs as test_ingest_store_mounts, inside a private mount namespace";
    if (!mountTmpfs(m_folder, 256, false))
        GTEST_SKIP() << "cannot mount a tmpfs here: " << strerror(errno);

    const QByteArray fits = randomBytes(64 * 1024);
    EXPECT_EQ(stored("small.jpg", fits), "small.jpg");
    const capture::StoreResult r = capture::storeFile(m_folder, "big.jpg", randomBytes(512 * 1024));
    EXPECT_EQ(r.error, capture::StoreError::DiskFull);
    EXPECT_TRUE(r.path.isEmpty());
    EXPECT_EQ(everything(m_folder), QStringList{"small.jpg"});
    EXPECT_EQ(readFile(QDir(m_folder).filePath("small.jpg")), fits);
    ::umount(QFile::encodeName(m_folder).constData());
}

TEST_F(CaptureStorage, PrivateMountReadOnlyFolderIsReportedAsNotWritable)
{
    if (qEnvironmentVariableIsEmpty("HALVANE_PRIVATE_MOUNTS"))
        GTEST_SKIP() << "runs as test_ingest_store_mounts, inside a private mount namespace";
    if (!mountTmpfs(m_folder, 64, true))
        GTEST_SKIP() << "cannot mount a tmpfs here: " << strerror(errno);

    const capture::StoreResult r = capture::storeFile(m_folder, "a.jpg", "x");
    EXPECT_EQ(r.error, capture::StoreError::NotWritable);
    EXPECT_TRUE(everything(m_folder).isEmpty());
    ::umount(QFile::encodeName(m_folder).constData());
}
