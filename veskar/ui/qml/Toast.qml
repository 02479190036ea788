import QtQuick

// A transient message above the content; hidden when `message` is empty.
Rectangle {
    id: toast
    property string message
    anchors.horizontalCenter: parent.horizontalCenter
    anchors.bottom: parent.bottom
    anchors.bottomMargin: 48
    width: Math.min(label.implicitWidth + 32, parent.width - 48)
    height: label.implicitHeight + 20
    radius: 10
    color: Theme.toast
    opacity: message.length > 0 ? 1 : 0
    visible: opacity > 0
    z: 10
    Behavior on opacity { NumberAnimation { duration: 200 } }

    Text {
        id: label
        anchors.centerIn: parent
        width: parent.width - 32
        text: toast.message
        color: Theme.text
        wrapMode: Text.Wrap
        horizontalAlignment: Text.AlignHCenter
        font.pixelSize: 14
    }
}
