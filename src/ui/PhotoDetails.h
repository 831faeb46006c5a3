#pragma once

#include <QObject>
#include <QtQml/qqmlregistration.h>

#include "state/Monitor.h"

// The selected photo's metadata as the sidebar shows it; every value is "—" without a photo.
// Part of WindowState, which shows the selected photo after every Monitor change.
class PhotoDetails : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("Part of WindowState")

    Q_PROPERTY(bool hasPhoto READ hasPhoto NOTIFY changed)
    Q_PROPERTY(QString shutter READ shutter NOTIFY changed)
    Q_PROPERTY(QString aperture READ aperture NOTIFY changed)
    Q_PROPERTY(QString iso READ iso NOTIFY changed)
    Q_PROPERTY(QString exposure READ exposure NOTIFY changed)
    Q_PROPERTY(QString wb READ wb NOTIFY changed)
    Q_PROPERTY(QString filename READ filename NOTIFY changed)
    Q_PROPERTY(QString time READ time NOTIFY changed)
    Q_PROPERTY(QString lens READ lens NOTIFY changed)
    Q_PROPERTY(QString size READ size NOTIFY changed)
    Q_PROPERTY(QString dimensions READ dimensions NOTIFY changed)
    // A photo whose file is not in the capture folder and is not being written there.
    Q_PROPERTY(bool unsaved READ unsaved NOTIFY changed)

public:
    explicit PhotoDetails(QObject *parent = nullptr);

    // Fills every text from `photo`, or with "—" when it is null.
    void show(const CapturedPhoto *photo);

    [[nodiscard]] bool hasPhoto() const { return m_hasPhoto; }
    [[nodiscard]] QString shutter() const { return m_shutter; }
    [[nodiscard]] QString aperture() const { return m_aperture; }
    [[nodiscard]] QString iso() const { return m_iso; }
    [[nodiscard]] QString exposure() const { return m_exposure; }
    [[nodiscard]] QString wb() const { return m_wb; }
    [[nodiscard]] QString filename() const { return m_filename; }
    [[nodiscard]] QString time() const { return m_time; }
    [[nodiscard]] QString lens() const { return m_lens; }
    [[nodiscard]] QString size() const { return m_size; }
    [[nodiscard]] QString dimensions() const { return m_dimensions; }
    [[nodiscard]] bool unsaved() const { return m_unsaved; }

signals:
    void changed();

private:
    bool m_hasPhoto = false;
    QString m_shutter, m_aperture, m_iso, m_exposure, m_wb;
    QString m_filename, m_time, m_lens, m_size, m_dimensions;
    bool m_unsaved = false;
};
