import QtQuick
import QtQuick.Layouts
import Halvane.Ui

// The root view: the toolbar over the body. The body is empty while there is nothing to show,
// otherwise the photo column, a separator and the sidebar (director controls in director mode,
// the photo's metadata otherwise).
Rectangle {
    id: root
    required property WindowState ws

    objectName: "captureWindow"
    color: Zelv.surface

    ColumnLayout {
        anchors.fill: parent
        spacing: 0

        ToolbarView {
            ws: root.ws
            Layout.fillWidth: true
        }

        EmptyBodyView {
            visible: root.ws.bodyEmpty
            Layout.fillWidth: true
            Layout.fillHeight: true
        }

        RowLayout {
            objectName: "fullBody"
            visible: !root.ws.bodyEmpty
            Layout.fillWidth: true
            Layout.fillHeight: true
            spacing: 0

            LeftColumnView {
                ws: root.ws
                Layout.fillWidth: true
                Layout.fillHeight: true
            }
            Rectangle {
                implicitWidth: 1
                Layout.fillHeight: true
                color: Zelv.divider
            }
            MetadataSidebarView {
                ws: root.ws
                visible: !root.ws.monitor.directorModeOn
                Layout.preferredWidth: 236
                Layout.fillHeight: true
            }
            DirectorSidebarView {
                ws: root.ws
                visible: root.ws.monitor.directorModeOn
                Layout.preferredWidth: 236
                Layout.fillHeight: true
            }
        }
    }
}
