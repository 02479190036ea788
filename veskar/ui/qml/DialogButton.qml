import QtQuick
import QtQuick.Controls

// A dialog's button in the window's dark colours; the default style is light.
Button {
    id: control
    property bool primary: false

    contentItem: Text {
        text: control.text
        color: Theme.text
        font.pixelSize: 14
        horizontalAlignment: Text.AlignHCenter
        verticalAlignment: Text.AlignVCenter
    }
    background: Rectangle {
        implicitWidth: 96
        implicitHeight: 36
        radius: 8
        color: control.primary ? Theme.accent : Theme.field
        opacity: control.down ? 0.8 : 1
    }
}
