#pragma once

#include <QObject>
#include <QSettings>
#include <QtQml/qqmlregistration.h>

// The viewer's aids the user turns on and off: clipping warnings, focus peaking on live view and
// the rule-of-thirds grid. Each is remembered across runs in the application's settings, beside
// (and independent of) the capture folder's key.
class ViewOptions : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("Part of WindowState")

    Q_PROPERTY(bool clipping READ clipping WRITE setClipping NOTIFY changed)
    Q_PROPERTY(bool peaking READ peaking WRITE setPeaking NOTIFY changed)
    Q_PROPERTY(bool grid READ grid WRITE setGrid NOTIFY changed)

public:
    // `settings` must outlive this object; the stored values are read once, here.
    explicit ViewOptions(QSettings &settings, QObject *parent = nullptr);

    [[nodiscard]] bool clipping() const { return m_clipping; }
    void setClipping(bool on) { store(m_clipping, on, kClippingKey); }
    [[nodiscard]] bool peaking() const { return m_peaking; }
    void setPeaking(bool on) { store(m_peaking, on, kPeakingKey); }
    [[nodiscard]] bool grid() const { return m_grid; }
    void setGrid(bool on) { store(m_grid, on, kGridKey); }

    Q_INVOKABLE void toggleClipping() { setClipping(!m_clipping); }
    Q_INVOKABLE void togglePeaking() { setPeaking(!m_peaking); }
    Q_INVOKABLE void toggleGrid() { setGrid(!m_grid); }

    static constexpr const char *kClippingKey = "halvane.view.clipping";
    static constexpr const char *kPeakingKey = "halvane.view.peaking";
    static constexpr const char *kGridKey = "halvane.view.grid";

signals:
    void changed();

private:
    void store(bool &member, bool on, const char *key);

    QSettings &m_settings;
    bool m_clipping = false;
    bool m_peaking = false;
    bool m_grid = false;
};
