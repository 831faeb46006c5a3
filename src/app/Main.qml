import QtQuick
import QtQuick.Dialogs
import QtQuick.Window
import Halvane.Ui

// The one window. The shell positions and shows it, starts the camera link once it is on
// screen and asks for a capture folder on first launch; this file lays the shell view in,
// routes every way of quitting through it and answers the Monitor's request for the folder
// chooser.
Window {
    id: window
    // The one WindowState over the one Monitor, created by the shell.
    required property WindowState windowState
    readonly property Monitor monitor: windowState.monitor

    width: 1180
    height: 620
    minimumWidth: 860
    minimumHeight: 480
    title: "Halvane"
    color: Zelv.surface

    ShellView {
        id: shell
        anchors.fill: parent
        ws: window.windowState
    }

    // The quit key, registered once: StandardKey.Quit is Ctrl+Q on this desktop.
    Shortcut {
        sequence: StandardKey.Quit
        context: Qt.ApplicationShortcut
        onActivated: shell.requestQuit()
    }

    // Closing the window quits, after the same question as the quit key.
    onClosing: (close) => { close.accepted = shell.requestQuit(); }

    Connections {
        target: shell.guard
        function onQuitConfirmed() { Qt.quit(); }
    }

    FolderDialog {
        id: folderChooser
        title: "Elige la carpeta donde se guardarán las fotos entrantes."
        acceptLabel: "Usar esta carpeta"
        modality: Qt.WindowModal
        onAccepted: {
            window.monitor.useChosenFolder(selectedFolder);
            shell.guard.folderChosen();
        }
        onRejected: shell.guard.folderChoiceCancelled()
    }

    Connections {
        target: window.monitor
        function onFolderChooserRequested(startFolder) {
            folderChooser.currentFolder = startFolder;
            folderChooser.open();
        }
    }
}
