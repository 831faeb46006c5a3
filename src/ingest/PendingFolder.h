#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QStringList>
#include <QString>
#include <QUuid>

#include <functional>
#include <optional>

#include "ingest/CaptureStorage.h"

// The pending folder: a private folder in the user's data directory where a photo that cannot
// be written into the capture folder waits on disk instead of in memory, until it can be.
//
// One pending photo is one file, "<arrival ms>-<sequence>-<photo id>.pending", so that names sort
// oldest first: a header line "HALVANE-PENDING 1", one line of JSON with what finishing the job
// needs (the name as sent, the camera's name, the arrival time, the photo's id, the size) and
// then the photo's bytes, unchanged. It is written to a temporary name (".tmp-…"), flushed, and
// renamed; the folder is flushed after the rename. A crash at any moment therefore leaves either
// a complete pending photo or a temporary file, which the next run removes.
//
// A pending photo is copied into the capture folder and its pending file removed in one job
// (moveInto); before the copy takes its name, that name is noted beside the pending file
// ("<pending file>.stored"). A run stopped between the copy and the removal leaves the note,
// and the next run finds the copy by it instead of storing the photo twice.
//
// Only one running instance uses the folder: it holds a lock on the folder's ".lock" file while
// it runs. These functions do blocking I/O; the photo store runs them on its writing thread.
namespace pending {

struct Meta {
    QUuid id;
    QString name; // as the peer sent it
    QString cameraName;
    QDateTime arrived;
};

struct Photo {
    QString path; // the pending file
    Meta meta;
    qint64 dataOffset = 0; // where the photo's bytes start in the file
    qint64 size = 0; // how many there are
};

// $XDG_DATA_HOME/halvane/pending (~/.local/share/halvane/pending by default).
[[nodiscard]] QString defaultFolder();

// Holds the folder's lock for as long as it lives.
class FolderLock
{
public:
    // Creates `dir` (private to the user) and takes its lock without waiting. isHeld() tells.
    explicit FolderLock(const QString &dir);
    ~FolderLock();
    FolderLock(const FolderLock &) = delete;
    FolderLock &operator=(const FolderLock &) = delete;
    [[nodiscard]] bool isHeld() const { return m_fd >= 0; }
    [[nodiscard]] int error() const { return m_error; } // errno when not held

private:
    int m_fd = -1;
    int m_error = 0;
};

// Writes one pending photo into `dir`, complete and flushed, and returns it; on failure the error
// (classified like a capture folder's) and nothing left behind.
struct WriteResult {
    std::optional<Photo> photo;
    capture::StoreResult error;
};
[[nodiscard]] WriteResult write(const QString &dir, const Meta &meta, const QByteArray &data);

// Reads a pending file's header; nothing when it is not a complete pending photo.
[[nodiscard]] std::optional<Photo> read(const QString &path);
// The photo's bytes; empty when the file is gone or no longer holds them whole.
[[nodiscard]] QByteArray readData(const Photo &photo);

// What is in the folder: the temporary files of interrupted writes are removed (the caller holds
// the lock, so no other writer is at work), and the complete pending photos are listed oldest
// first. A file that is not a complete pending photo is left alone and counted in `unreadable`.
// A pending photo whose note names a complete copy is removed instead (with its note) and the
// copy's path listed in `alreadyStored`.
struct Listing {
    QList<Photo> photos;
    QStringList alreadyStored;
    int removedTemporaries = 0;
    int unreadable = 0;
};
[[nodiscard]] Listing scan(const QString &dir);

// Removes a pending file and flushes the folder.
bool remove(const QString &path);

// The steps of moveInto(), for tests that stop it between them.
enum class Step { Noted, Stored, Removed };
using StepHook = std::function<void(Step)>;

// Stores a pending photo into the capture folder `folder` (capture::storeFile, each claimed name
// noted first) and then removes its pending file and its note.
struct MoveResult {
    capture::StoreResult stored;
    bool unreadable = false; // the pending file no longer holds the photo whole
    bool removed = false; // the pending file is gone
};
[[nodiscard]] MoveResult moveInto(const QString &folder, const Photo &photo, const StepHook &step = {});

} // namespace pending
