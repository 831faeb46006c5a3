import QtQuick
import QtQuick.Dialogs
import QtQuick.Window
import Halvane.Ui

// The one window. The shell positions and shows it, starts the camera link once it is on
// screen and asks for a capture folder on first launch; this file only lays the root view in
// and answers the Monitor's request for the folder chooser.
Window {
    id: window
    required property Monitor monitor

    width: 1180
    height: 620
    minimumWidth: 860
    minimumHeight: 480
    title: "Halvane"
    color: Zelv.surface

    CaptureWindowView {
        anchors.fill: parent
        m: window.monitor
    }

    // Desktops here show no application menu, so the quit command is a window-wide shortcut.
    Shortcut {
        sequences: [StandardKey.Quit, "Ctrl+Q"]
        context: Qt.ApplicationShortcut
        onActivated: Qt.quit()
    }

    FolderDialog {
        id: folderChooser
        title: "Elige la carpeta donde se guardarán las fotos entrantes."
        acceptLabel: "Usar esta carpeta"
        modality: Qt.WindowModal
        onAccepted: window.monitor.useChosenFolder(selectedFolder)
    }

    Connections {
        target: window.monitor
        function onFolderChooserRequested(startFolder) {
            if (startFolder !== "")
                folderChooser.currentFolder = "file://" + startFolder;
            folderChooser.open();
        }
    }
}
