import QtQuick
import QtQuick.Layouts
import Halvane.Ui

// The root view: the toolbar over the body. The body is empty while there is nothing to show,
// otherwise the photo column, a separator and the sidebar (director controls in director mode,
// the photo's metadata otherwise).
Rectangle {
    id: root
    required property Monitor m

    objectName: "captureWindow"
    color: Zelv.surface

    WindowState {
        id: ws
        monitor: root.m
    }

    ColumnLayout {
        anchors.fill: parent
        spacing: 0

        ToolbarView {
            m: root.m
            Layout.fillWidth: true
        }

        EmptyBodyView {
            visible: ws.bodyEmpty
            Layout.fillWidth: true
            Layout.fillHeight: true
        }

        RowLayout {
            objectName: "fullBody"
            visible: !ws.bodyEmpty
            Layout.fillWidth: true
            Layout.fillHeight: true
            spacing: 0

            LeftColumnView {
                m: root.m
                Layout.fillWidth: true
                Layout.fillHeight: true
            }
            Rectangle {
                implicitWidth: 1
                Layout.fillHeight: true
                color: Zelv.divider
            }
            MetadataSidebarView {
                m: root.m
                visible: !root.m.directorModeOn
                Layout.preferredWidth: 236
                Layout.fillHeight: true
            }
            DirectorSidebarView {
                m: root.m
                visible: root.m.directorModeOn
                Layout.preferredWidth: 236
                Layout.fillHeight: true
            }
        }
    }
}
