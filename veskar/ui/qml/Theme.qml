pragma Singleton
import QtQuick

QtObject {
    readonly property color background: "#0f1b3d"
    readonly property color card: "#1a2a55"
    readonly property color field: "#24386b"
    readonly property color accent: "#2b6cf6"
    readonly property color connected: "#2e9d4f"
    readonly property color text: "#ffffff"
    readonly property color secondaryText: "#a9b6d6"
    readonly property color toast: "#e6222b45"
}
