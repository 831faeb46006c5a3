#pragma once

#include <mutex>

#include "CameraDevice.h"

struct _GPContext;
struct _CameraAbilitiesList;

namespace usb {

// Cameras through libgphoto2. Detection and opening share one lock: the library loads its
// drivers and port modules on demand, which is not safe from two threads at once. Each opened
// camera is then used from its own thread only.
class GphotoBackend : public CameraBackend
{
public:
    GphotoBackend();
    ~GphotoBackend() override;
    GphotoBackend(const GphotoBackend &) = delete;
    GphotoBackend &operator=(const GphotoBackend &) = delete;

    QList<DetectedCamera> detect() override;
    std::unique_ptr<CameraDevice> open(const DetectedCamera &camera, QString &error) override;

private:
    bool loadAbilities();

    std::mutex m_lock;
    _GPContext *m_context = nullptr;
    _CameraAbilitiesList *m_abilities = nullptr;
};

} // namespace usb
