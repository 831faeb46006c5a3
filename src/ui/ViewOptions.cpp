#include "ViewOptions.h"

ViewOptions::ViewOptions(QSettings &settings, QObject *parent)
    : QObject(parent)
    , m_settings(settings)
    , m_clipping(settings.value(kClippingKey, false).toBool())
    , m_peaking(settings.value(kPeakingKey, false).toBool())
    , m_grid(settings.value(kGridKey, false).toBool())
{
}

void ViewOptions::store(bool &member, bool on, const char *key)
{
    if (member == on)
        return;
    member = on;
    m_settings.setValue(QLatin1String(key), on);
    emit changed();
}
