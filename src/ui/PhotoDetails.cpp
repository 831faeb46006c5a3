#include "PhotoDetails.h"

#include "UiFormat.h"

PhotoDetails::PhotoDetails(QObject *parent)
    : QObject(parent)
{
    show(nullptr);
}

void PhotoDetails::show(const CapturedPhoto *photo)
{
    m_hasPhoto = photo != nullptr;
    if (!photo) {
        m_shutter = m_aperture = m_iso = m_exposure = m_wb = kMissing;
        m_filename = m_time = m_lens = m_size = m_dimensions = kMissing;
        m_unsaved = false;
    } else {
        m_shutter = photo->shutter;
        m_aperture = photo->aperture;
        m_iso = photo->iso;
        m_exposure = photo->exposure;
        m_wb = photo->wb;
        m_filename = photo->filename;
        m_time = UiFormat::timeText(photo->capturedAt);
        m_lens = photo->lens;
        m_size = UiFormat::sizeText(photo->fileSizeBytes, photo->format);
        m_dimensions = UiFormat::dimensionsText(photo->width, photo->height);
        m_unsaved = photo->isNotStored();
    }
    emit changed();
}
