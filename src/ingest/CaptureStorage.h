#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

// Writing received photo files into the capture folder.
//
// Names: the peer's name is made safe first (safeFileName), so that a file always lands
// directly inside the folder, and then numbered until it names no existing item
// (numberedName). A folder whose file system refuses the name itself (FAT, exFAT and NTFS
// disks refuse ":" or "?", and some take shorter names) gets the name made portable instead
// (portableFileName), numbered the same way; only a refusal of that name too is a failure. Writing: the bytes go to a hidden temporary file in the folder, are flushed
// to the disk, and the file is moved to its final name with a rename that never replaces an
// existing item; a name taken by another program in the meantime makes the next number be
// used. A failed store leaves nothing behind in the folder.
//
// Temporary files: ".halvane-" + six letters or digits + ".part". The writer holds an exclusive
// advisory lock (flock) on its temporary file from its creation until it has its final name, so
// a temporary file nobody holds a lock on was left by a writer that died (a crash, a kill, a
// power loss) and can be removed; the lock also keeps another running instance's writes safe.
namespace capture {

// Longest file name component, in UTF-8 bytes, that Linux file systems accept.
inline constexpr int kMaxNameBytes = 255;
// Extensions up to this many UTF-8 bytes are kept whole when a long name is shortened; a
// longer "extension" is not a real one and is cut like the rest of the name.
inline constexpr int kMaxKeptExtensionBytes = 32;
// Name used when the peer's name leaves nothing usable.
inline constexpr const char *kUnnamed = "unnamed";

// The peer's name as a single, visible file name that stays inside the folder:
// "/", "\\", control characters (C0, DEL, C1) and unpaired surrogates become "_"; leading dots
// become "_" (so ".", ".." and hidden names cannot occur); an empty result becomes "unnamed";
// a name over kMaxNameBytes is shortened at a character boundary, keeping its extension.
[[nodiscard]] QString safeFileName(const QString &name);

// The n-th collision-free variant of an already safe name: the name itself for n = 0,
// otherwise base "-" n "." ext (no "." when there is no extension), shortened so that it stays
// within `maxBytes`.
[[nodiscard]] QString numberedName(const QString &safeName, quint64 n, int maxBytes = kMaxNameBytes);

// A safe name as the FAT, exFAT and NTFS file systems take it: `" * : < > ? |` and control
// characters become "_", trailing dots and spaces are removed, and it is cut to `maxBytes`
// (keeping its extension).
[[nodiscard]] QString portableFileName(const QString &safeName, int maxBytes = kMaxNameBytes);

// Why a photo could not be stored. Each cause is reported once per episode.
enum class StoreError {
    None,
    NoFolder,      // no capture folder chosen
    FolderMissing, // the folder (or a parent) is gone, or is not a directory
    NotWritable,   // permissions or a read-only file system
    DiskFull,      // no space or quota left
    NameRefused,   // the folder works, but its file system takes neither the name nor its portable form
    Other,
};
[[nodiscard]] const char *describe(StoreError error);

struct StoreResult {
    QString path; // where the file now is; empty on failure
    StoreError error = StoreError::None;
    int sysError = 0; // errno of the failing call
    [[nodiscard]] bool ok() const { return error == StoreError::None; }
};
// The failed result for a failing call's errno.
[[nodiscard]] StoreResult failure(int err);

// Test seam: runs after a free name was found and before the rename that claims it, with the
// full path of that name.
using BeforeClaimHook = std::function<void(const QString &candidatePath)>;

// Writes `data` into directory `dir` under the first free variant of safeFileName(name),
// complete and flushed to the disk (file and directory entry) before it returns success.
[[nodiscard]] StoreResult storeFile(const QString &dir, const QString &name, const QByteArray &data,
                                    const BeforeClaimHook &beforeClaim = {});

// Whether `name` is exactly a temporary name this writer makes.
[[nodiscard]] bool isTemporaryName(const QByteArray &name);

// Removes from `dir` the temporary files that interrupted writes left behind: regular files
// (never links, directories or anything else) whose name is a temporary name and that no
// writer holds locked. Nothing else is touched. Returns how many were removed.
int removeLeftovers(const QString &dir);

// The first variant of safeFileName(name) at which no item (file, directory, link) exists in
// `dir` right now, as a full path.
[[nodiscard]] QString firstFreePath(const QString &dir, const QString &name);

} // namespace capture
