import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import QtQuick.Templates as T
import Qt.labs.folderlistmodel
import Halvane.Ui

// Answers the Monitor's request for the folder chooser: the desktop's own dialog through the
// portal when there is one, otherwise a folder browser over the window in its dark palette
// (folders only; a click opens one, "Usar esta carpeta" takes the folder shown). Either answer
// goes to the Monitor and to the quit guard, which may be waiting for it.
Item {
    id: root
    required property WindowState ws
    // The folder the window's own chooser shows.
    property url shown

    function choose(folder) {
        root.ws.monitor.useChosenFolder(folder);
        root.ws.quitGuard.folderChosen();
    }

    FolderChooser {
        id: chooser
        window: root.Window.window
        onChosen: (folder) => root.choose(folder)
        onCancelled: root.ws.quitGuard.folderChoiceCancelled()
        onInWindowRequested: (startFolder) => {
            root.shown = startFolder;
            browser.open();
        }
    }

    Connections {
        target: root.ws.monitor
        // One chooser at a time: the one on screen answers for a second request too.
        function onFolderChooserRequested(startFolder) {
            if (!browser.visible)
                chooser.open(startFolder);
        }
    }

    FolderListModel {
        id: folders
        folder: root.shown
        showFiles: false
        showDotAndDotDot: false
        showHidden: false
        sortCaseSensitive: false
    }

    Popup {
        id: browser
        property bool answered: false

        parent: T.Overlay.overlay
        anchors.centerIn: parent
        width: 520
        height: Math.min(460, parent ? parent.height - 40 : 460)
        modal: true
        focus: true
        padding: 20
        closePolicy: Popup.CloseOnEscape
        onAboutToShow: answered = false
        // Escape, like "Cancelar", leaves the folder as it was.
        onClosed: if (!answered) root.ws.quitGuard.folderChoiceCancelled()

        function answer(take) {
            answered = true;
            close();
            if (take)
                root.choose(root.shown);
            else
                root.ws.quitGuard.folderChoiceCancelled();
        }

        T.Overlay.modal: Rectangle {
            color: Qt.rgba(Zelv.bg.r, Zelv.bg.g, Zelv.bg.b, 0.6)
        }
        background: Rectangle {
            color: Zelv.surface
            radius: Zelv.radiusLg
            border.color: Zelv.divider
            border.width: 1
        }

        contentItem: ColumnLayout {
            objectName: "folderBrowser"
            spacing: 10

            Text {
                text: "Elige la carpeta donde se guardarán las fotos entrantes."
                font: Zelv.headingFont
                color: Zelv.text
                wrapMode: Text.Wrap
                Layout.fillWidth: true
            }
            RowLayout {
                spacing: 8
                Layout.fillWidth: true

                BorderedButton {
                    objectName: "folderUp"
                    text: "↑"
                    palette.buttonText: Zelv.text
                    enabled: folders.parentFolder.toString() !== ""
                    onClicked: root.shown = folders.parentFolder
                }
                Text {
                    objectName: "folderPath"
                    text: decodeURIComponent(root.shown.toString().replace(/^file:\/\//, ""))
                    font.pixelSize: 12
                    color: Zelv.neutral400
                    elide: Text.ElideMiddle
                    Layout.fillWidth: true
                }
            }
            Rectangle {
                color: Zelv.bg
                radius: Zelv.radiusMd
                border.color: Zelv.divider
                border.width: 1
                clip: true
                Layout.fillWidth: true
                Layout.fillHeight: true

                ListView {
                    id: list
                    anchors.fill: parent
                    anchors.margins: 4
                    model: folders
                    boundsBehavior: Flickable.StopAtBounds
                    ScrollBar.vertical: ScrollBar {}

                    delegate: ItemDelegate {
                        id: row
                        required property string fileName
                        required property url fileUrl

                        objectName: "folderRow"
                        width: ListView.view.width
                        height: 30
                        text: fileName
                        contentItem: Row {
                            spacing: 8
                            SvgIcon {
                                name: "folder.fill"
                                color: Zelv.accent
                                width: 16
                                height: 16
                                anchors.verticalCenter: parent.verticalCenter
                            }
                            Text {
                                text: fileName
                                color: Zelv.text
                                font.pixelSize: 13
                                elide: Text.ElideRight
                                anchors.verticalCenter: parent.verticalCenter
                            }
                        }
                        background: Rectangle {
                            radius: Zelv.radiusSm
                            color: row.hovered ? Zelv.neutral800 : "transparent"
                        }
                        onClicked: root.shown = fileUrl
                    }
                }
                Text {
                    visible: list.count === 0
                    anchors.centerIn: parent
                    text: "No hay carpetas aquí"
                    font.pixelSize: 12
                    color: Zelv.neutral500
                }
            }
            RowLayout {
                spacing: 8
                Layout.alignment: Qt.AlignRight

                BorderedButton {
                    objectName: "folderCancel"
                    text: "Cancelar"
                    palette.buttonText: Zelv.text
                    onClicked: browser.answer(false)
                }
                BorderedButton {
                    objectName: "folderAccept"
                    text: "Usar esta carpeta"
                    tinted: true
                    palette.buttonText: Zelv.accent100
                    onClicked: browser.answer(true)
                }
            }
        }
    }
}
