#include "GphotoBackend.h"

#include <gphoto2/gphoto2.h>

#include <cstdlib>
#include <limits>

namespace usb {

namespace {

Status statusOf(int result)
{
    switch (result) {
    case GP_OK:
        return Status::Ok;
    case GP_ERROR_CAMERA_BUSY:
        return Status::Busy;
    case GP_ERROR_NOT_SUPPORTED:
        return Status::NotSupported;
    // The port is gone or no longer answers: the camera was unplugged or switched off.
    case GP_ERROR_IO:
    case GP_ERROR_IO_READ:
    case GP_ERROR_IO_WRITE:
    case GP_ERROR_IO_USB_FIND:
    case GP_ERROR_IO_USB_CLAIM:
    case GP_ERROR_IO_INIT:
    case GP_ERROR_MODEL_NOT_FOUND:
        return Status::Gone;
    default:
        return result < 0 ? Status::Failed : Status::Ok;
    }
}

void collect(CameraWidget *widget, QList<ConfigItem> &out)
{
    CameraWidgetType type;
    if (gp_widget_get_type(widget, &type) != GP_OK)
        return;
    if (type == GP_WIDGET_WINDOW || type == GP_WIDGET_SECTION) {
        const int n = gp_widget_count_children(widget);
        for (int i = 0; i < n; ++i) {
            CameraWidget *child = nullptr;
            if (gp_widget_get_child(widget, i, &child) == GP_OK)
                collect(child, out);
        }
        return;
    }
    ConfigItem item;
    const char *name = nullptr;
    if (gp_widget_get_name(widget, &name) != GP_OK || !name)
        return;
    item.name = QString::fromUtf8(name);
    int readOnly = 0;
    gp_widget_get_readonly(widget, &readOnly);
    item.readOnly = readOnly != 0;
    switch (type) {
    case GP_WIDGET_RADIO:
    case GP_WIDGET_MENU:
    case GP_WIDGET_TEXT: {
        const char *text = nullptr;
        if (gp_widget_get_value(widget, &text) == GP_OK && text)
            item.text = QString::fromUtf8(text);
        item.kind = type == GP_WIDGET_TEXT ? ConfigItem::Kind::Text : ConfigItem::Kind::Choice;
        const int n = type == GP_WIDGET_TEXT ? 0 : gp_widget_count_choices(widget);
        for (int i = 0; i < n; ++i) {
            const char *choice = nullptr;
            if (gp_widget_get_choice(widget, i, &choice) == GP_OK && choice)
                item.choices.append(QString::fromUtf8(choice));
        }
        break;
    }
    case GP_WIDGET_RANGE: {
        float value = 0, min = 0, max = 0, step = 0;
        gp_widget_get_value(widget, &value);
        gp_widget_get_range(widget, &min, &max, &step);
        item.kind = ConfigItem::Kind::Range;
        item.value = value;
        item.min = min;
        item.max = max;
        item.step = step;
        break;
    }
    case GP_WIDGET_TOGGLE: {
        int value = 0;
        gp_widget_get_value(widget, &value);
        item.kind = ConfigItem::Kind::Range;
        item.value = value;
        item.max = 1;
        item.step = 1;
        break;
    }
    default:
        return; // dates and buttons carry nothing of the vocabulary
    }
    out.append(item);
}

class GphotoDevice : public CameraDevice
{
public:
    GphotoDevice(Camera *camera, GPContext *context) : m_camera(camera), m_context(context) {}
    ~GphotoDevice() override
    {
        gp_camera_exit(m_camera, m_context);
        gp_camera_unref(m_camera);
        gp_context_unref(m_context);
    }
    GphotoDevice(const GphotoDevice &) = delete;
    GphotoDevice &operator=(const GphotoDevice &) = delete;

    Status readConfig(QList<ConfigItem> &out) override
    {
        CameraWidget *root = nullptr;
        const int result = gp_camera_get_config(m_camera, &root, m_context);
        if (result == GP_OK)
            collect(root, out);
        if (root)
            gp_widget_free(root);
        return note(result);
    }

    Status setConfig(const ConfigItem &item, const QString &text, double value) override
    {
        const QByteArray name = item.name.toUtf8();
        CameraWidget *root = nullptr;
        CameraWidget *widget = nullptr;
        int result = gp_camera_get_config(m_camera, &root, m_context);
        if (result == GP_OK)
            result = gp_widget_get_child_by_name(root, name.constData(), &widget);
        if (result == GP_OK) {
            CameraWidgetType type;
            gp_widget_get_type(widget, &type);
            const QByteArray utf8 = text.toUtf8();
            const float asFloat = float(value);
            const int asInt = int(value);
            if (type == GP_WIDGET_RANGE)
                result = gp_widget_set_value(widget, &asFloat);
            else if (type == GP_WIDGET_TOGGLE)
                result = gp_widget_set_value(widget, &asInt);
            else
                result = gp_widget_set_value(widget, utf8.constData());
        }
        if (result == GP_OK)
            result = gp_camera_set_single_config(m_camera, name.constData(), widget, m_context);
        if (result == GP_ERROR_NOT_SUPPORTED)
            result = gp_camera_set_config(m_camera, root, m_context);
        if (root)
            gp_widget_free(root);
        return note(result);
    }

    Status triggerCapture() override { return note(gp_camera_trigger_capture(m_camera, m_context)); }

    Status waitForEvent(int timeoutMs, CameraEvent &out) override
    {
        CameraEventType type = GP_EVENT_UNKNOWN;
        void *data = nullptr;
        const int result = gp_camera_wait_for_event(m_camera, timeoutMs, &type, &data, m_context);
        out = CameraEvent();
        if (result == GP_OK) {
            switch (type) {
            case GP_EVENT_TIMEOUT:
                out.type = CameraEvent::Type::None;
                break;
            case GP_EVENT_FILE_ADDED: {
                const auto *path = static_cast<const CameraFilePath *>(data);
                out.type = CameraEvent::Type::FileAdded;
                out.folder = QString::fromUtf8(path->folder);
                out.name = QString::fromUtf8(path->name);
                break;
            }
            default:
                out.type = CameraEvent::Type::Other;
                break;
            }
        }
        std::free(data); // a path, a message or nothing, allocated by the library for the caller
        return note(result);
    }

    Status fileSize(const QString &folder, const QString &name, qint64 &size) override
    {
        CameraFileInfo info{};
        const int result = gp_camera_file_get_info(m_camera, folder.toUtf8().constData(), name.toUtf8().constData(), &info, m_context);
        if (result != GP_OK)
            return note(result);
        if (!(info.file.fields & GP_FILE_INFO_SIZE))
            return Status::NotSupported;
        size = qint64(info.file.size);
        return Status::Ok;
    }

    Status download(const QString &folder, const QString &name, QByteArray &out) override
    {
        CameraFile *file = nullptr;
        int result = gp_file_new(&file);
        if (result == GP_OK)
            result = gp_camera_file_get(m_camera, folder.toUtf8().constData(), name.toUtf8().constData(), GP_FILE_TYPE_NORMAL, file, m_context);
        if (result == GP_OK)
            result = copyOut(file, out);
        if (file)
            gp_file_unref(file);
        return note(result);
    }

    Status remove(const QString &folder, const QString &name) override
    {
        return note(gp_camera_file_delete(m_camera, folder.toUtf8().constData(), name.toUtf8().constData(), m_context));
    }

    Status capturePreview(QByteArray &out) override
    {
        CameraFile *file = nullptr;
        int result = gp_file_new(&file);
        if (result == GP_OK)
            result = gp_camera_capture_preview(m_camera, file, m_context);
        if (result == GP_OK)
            result = copyOut(file, out);
        if (file)
            gp_file_unref(file);
        return note(result);
    }

    [[nodiscard]] QString lastError() const override { return m_error; }

private:
    static int copyOut(CameraFile *file, QByteArray &out)
    {
        const char *data = nullptr;
        unsigned long size = 0;
        const int result = gp_file_get_data_and_size(file, &data, &size);
        if (result == GP_OK) {
            if (size > static_cast<unsigned long>(std::numeric_limits<qsizetype>::max()))
                return GP_ERROR_NO_MEMORY;
            out = QByteArray(data, qsizetype(size));
        }
        return result;
    }

    Status note(int result)
    {
        if (result < 0)
            m_error = QString::fromUtf8(gp_result_as_string(result));
        return statusOf(result);
    }

    Camera *m_camera;
    GPContext *m_context;
    QString m_error;
};

} // namespace

GphotoBackend::GphotoBackend() : m_context(gp_context_new()) {}

GphotoBackend::~GphotoBackend()
{
    if (m_abilities)
        gp_abilities_list_free(m_abilities);
    gp_context_unref(m_context);
}

bool GphotoBackend::loadAbilities()
{
    if (m_abilities)
        return true;
    if (gp_abilities_list_new(&m_abilities) != GP_OK)
        return false;
    if (gp_abilities_list_load(m_abilities, m_context) != GP_OK) {
        gp_abilities_list_free(m_abilities);
        m_abilities = nullptr;
        return false;
    }
    return true;
}

QList<DetectedCamera> GphotoBackend::detect()
{
    QList<DetectedCamera> out;
    // While a camera is being opened (seconds, for some bodies) the caller is not held up:
    // this round finds nothing new, the next one will.
    const std::unique_lock guard(m_lock, std::try_to_lock);
    if (!guard.owns_lock())
        return out;
    if (!loadAbilities())
        return out;
    // The port list is read anew each time: that is how a camera plugged in later shows up.
    GPPortInfoList *ports = nullptr;
    CameraList *list = nullptr;
    if (gp_port_info_list_new(&ports) == GP_OK && gp_port_info_list_load(ports) >= GP_OK && gp_list_new(&list) == GP_OK
        && gp_abilities_list_detect(m_abilities, ports, list, m_context) >= GP_OK) {
        const int n = gp_list_count(list);
        for (int i = 0; i < n; ++i) {
            const char *model = nullptr;
            const char *port = nullptr;
            gp_list_get_name(list, i, &model);
            gp_list_get_value(list, i, &port);
            // "usb:" alone is the generic entry for a USB camera not matched by path.
            if (model && port && qstrcmp(port, "usb:") != 0)
                out.append({QString::fromUtf8(model), QString::fromUtf8(port)});
        }
    }
    if (list)
        gp_list_free(list);
    if (ports)
        gp_port_info_list_free(ports);
    return out;
}

std::unique_ptr<CameraDevice> GphotoBackend::open(const DetectedCamera &detected, QString &error)
{
    const std::lock_guard guard(m_lock);
    if (!loadAbilities()) {
        error = QStringLiteral("the camera drivers could not be loaded");
        return nullptr;
    }
    Camera *camera = nullptr;
    GPPortInfoList *ports = nullptr;
    GPContext *context = gp_context_new();
    const QByteArray model = detected.model.toUtf8();
    const QByteArray port = detected.port.toUtf8();
    int result = gp_camera_new(&camera);
    int index = GP_OK;
    if (result == GP_OK)
        result = index = gp_abilities_list_lookup_model(m_abilities, model.constData());
    if (result >= GP_OK) {
        CameraAbilities abilities;
        result = gp_abilities_list_get_abilities(m_abilities, index, &abilities);
        if (result == GP_OK)
            result = gp_camera_set_abilities(camera, abilities);
    }
    if (result >= GP_OK)
        result = gp_port_info_list_new(&ports);
    if (result >= GP_OK)
        result = gp_port_info_list_load(ports);
    if (result >= GP_OK)
        result = index = gp_port_info_list_lookup_path(ports, port.constData());
    if (result >= GP_OK) {
        GPPortInfo info;
        result = gp_port_info_list_get_info(ports, index, &info);
        if (result == GP_OK)
            result = gp_camera_set_port_info(camera, info);
    }
    if (result >= GP_OK)
        result = gp_camera_init(camera, context);
    if (ports)
        gp_port_info_list_free(ports);
    if (result < GP_OK) {
        error = QString::fromUtf8(gp_result_as_string(result));
        if (camera)
            gp_camera_unref(camera);
        gp_context_unref(context);
        return nullptr;
    }
    return std::make_unique<GphotoDevice>(camera, context);
}

} // namespace usb
