import QtQuick
import QtQuick.Window
import Halvane.Ui

// The one window. The shell positions and shows it, starts the camera link once it is on
// screen and asks for a capture folder on first launch; this file lays the shell view in,
// routes every way of quitting through it, answers the Monitor's request for the folder
// chooser and goes full screen when the keys ask.
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

    // Full screen and back, asked for by the keys.
    Connections {
        target: window.windowState.keys
        function onFullScreenRequested(on) { window.visibility = on ? Window.FullScreen : Window.Windowed; }
    }
    Binding {
        target: window.windowState.keys
        property: "fullScreen"
        value: window.visibility === Window.FullScreen
    }

    // Closing the window quits, after the same question as the quit key.
    onClosing: (close) => { close.accepted = shell.requestQuit(); }

    Connections {
        target: shell.guard
        function onQuitConfirmed() { Qt.quit(); }
    }

    // The folder chooser the Monitor asks for: the desktop's own, or the window's.
    FolderChooserView {
        ws: window.windowState
    }
}
