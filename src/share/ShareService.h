#pragma once

#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QThread>
#include <QThreadPool>
#include <QUuid>

#include <atomic>
#include <deque>
#include <memory>

#include "model/CapturedPhoto.h"
#include "share/ShareServer.h"

class Monitor;
class ServiceAdvertiser;

// The client view: the shoot served to the phones and tablets of the studio. Off by default;
// switched on and off from the window, and remembered in the settings. While on it serves a page
// (ShareServer, on a thread of its own), advertises it by DNS-SD as "_http._tcp", and follows
// the Monitor: each photo listed in the window is announced to every viewer at once, and its
// images (a 1600-pixel preview and a 320-pixel thumbnail) are made once from the preview
// decode the window uses, encoded on a background thread of low priority and kept on the
// ImageShelf. When off it costs nothing: nothing listens, nothing follows the Monitor.
// Main thread only.
class ShareService : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool on READ isOn WRITE setOn NOTIFY changed)
    // The page's address ("http://192.168.1.20:8080/"); empty while off or not yet listening.
    Q_PROPERTY(QString address READ address NOTIFY changed)
    Q_PROPERTY(QString code READ code NOTIFY changed)
    Q_PROPERTY(int viewers READ viewers NOTIFY changed)
    Q_PROPERTY(bool downloadsAllowed READ downloadsAllowed WRITE setDownloadsAllowed NOTIFY changed)
    // Whether the card with the address is shown over the window (while on).
    Q_PROPERTY(bool cardShown READ cardShown WRITE setCardShown NOTIFY changed)

public:
    static constexpr const char *kOnKey = "halvane.share.on";
    static constexpr const char *kDownloadsKey = "halvane.share.downloads";
    // The port last listened on, tried first, so that a printed or scanned address keeps working.
    static constexpr const char *kPortKey = "halvane.share.port";
    static constexpr const char *kServiceType = "_http._tcp";
    // Images are made one photo at a time, behind the window's and the store's threads.
    static constexpr int kEncoderNiceness = 15;
    // Viewers wait for the server less than for images: it runs before the encoder.
    static constexpr int kServerNiceness = 10;

    // `cacheRoot`: where the images go (the user's cache folder when empty).
    explicit ShareService(Monitor &monitor, const QString &cacheRoot = {}, QObject *parent = nullptr);
    ~ShareService() override;

    // Switches on when the settings say it was on.
    void restore();
    [[nodiscard]] bool isOn() const { return m_server != nullptr; }
    void setOn(bool on);
    Q_INVOKABLE void toggle() { setOn(!isOn()); }
    [[nodiscard]] QString address() const { return m_address; }
    [[nodiscard]] QString code() const { return m_gate ? m_gate->code() : QString(); }
    [[nodiscard]] quint16 port() const { return m_port; }
    [[nodiscard]] int viewers() const { return m_viewers; }
    [[nodiscard]] bool downloadsAllowed() const { return m_downloads; }
    void setDownloadsAllowed(bool allowed);
    [[nodiscard]] bool cardShown() const { return m_cardShown; }
    void setCardShown(bool shown);
    // Encoded images held in memory (the shelf's budget).
    [[nodiscard]] qint64 bytesHeld() const;
    // Bytes sent to browsers while on.
    [[nodiscard]] qint64 bytesSent() const;

signals:
    void changed();

private:
    struct Known {
        qsizetype camera = 0; // where it was listed: the Monitor's camera and its photo
        qsizetype at = 0;
        share::PhotoEntry entry;
    };
    void start();
    void stop();
    // `eager`: the new photos' images are made at once (else when a browser asks for them).
    void follow(bool eager);
    // Cameras and their photos are only ever appended: where a photo was listed, it still is.
    [[nodiscard]] const CapturedPhoto &photoOf(const Known &known) const;
    [[nodiscard]] share::PhotoEntry entryOf(const Known &known, const CapturedPhoto &photo) const;
    void want(const QUuid &id, bool first);
    void makeNext();
    void encode(const QUuid &id, const QImage &image, std::function<QByteArray()> read, const QString &name);
    void made(const QUuid &id, bool ok);
    template <typename F> void toServer(F &&f);

    Monitor &m_monitor;
    QString m_cacheRoot;
    std::shared_ptr<share::ImageShelf> m_shelf;
    QThread m_thread;
    share::ShareServer *m_server = nullptr; // lives on m_thread while on
    std::unique_ptr<ServiceAdvertiser> m_advertiser;
    QMetaObject::Connection m_following;
    std::shared_ptr<share::AccessGate> m_gate; // the code and sessions of the whole run
    QString m_address;
    quint16 m_port = 0;
    int m_viewers = 0;
    bool m_downloads = false;
    bool m_cardShown = true;

    QList<Known> m_known; // the run's photos, in order of listing
    QHash<QUuid, qsizetype> m_index;
    QList<qsizetype> m_seenPerCamera; // photos listed so far, by the Monitor's camera index
    QList<qsizetype> m_unsettled;
    QHash<QUuid, bool> m_made;
    std::deque<QUuid> m_queue;
    QSet<QUuid> m_queued;
    bool m_making = false;
    // Bumped at every switch: work of an earlier session is dropped when it comes back.
    // Shared with the decoding thread, which asks whether a photo is still wanted.
    std::shared_ptr<std::atomic<int>> m_generation = std::make_shared<std::atomic<int>>(0);
    QThreadPool m_encoder;
};
