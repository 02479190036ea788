import QtQuick
import QtQuick.Controls

// The one window: fixed 400 x 760, the sign-in screen or the main screen.
ApplicationWindow {
    id: window
    width: 400
    height: 760
    minimumWidth: 400
    maximumWidth: 400
    minimumHeight: 760
    maximumHeight: 760
    visible: true
    // Fixed size: close only, no minimise or maximise button.
    flags: Qt.Window | Qt.CustomizeWindowHint | Qt.WindowTitleHint | Qt.WindowCloseButtonHint
    title: qsTrId("Veskar")
    color: Theme.background

    onClosing: (close) => {
        close.accepted = false
        // Otherwise the shell hides or minimises the window.
        if (shell.requestQuit())
            Qt.quit()
    }

    Shortcut {
        sequences: [StandardKey.Quit]
        onActivated: if (shell.requestQuit()) Qt.quit()
    }

    Loader {
        id: content
        anchors.fill: parent
        source: shell.isLoggedIn ? "qrc:/veskar/qml/MainView.qml" : "qrc:/veskar/qml/LoginView.qml"
        opacity: status === Loader.Ready ? 1 : 0
        Behavior on opacity { NumberAnimation { duration: 250 } }
    }

    Component.onCompleted: shell.initialize()
}
