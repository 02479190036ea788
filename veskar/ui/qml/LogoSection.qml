import QtQuick

Column {
    property real logoSize: 96
    spacing: 8

    Image {
        anchors.horizontalCenter: parent.horizontalCenter
        source: "qrc:/veskar/icons/veskar.svg"
        sourceSize.width: parent.logoSize
        sourceSize.height: parent.logoSize
    }
    Text {
        anchors.horizontalCenter: parent.horizontalCenter
        text: qsTrId("Veskar")
        color: Theme.text
        font.pixelSize: 30
        font.bold: true
    }
    Text {
        anchors.horizontalCenter: parent.horizontalCenter
        text: qsTrId("app.tagline")
        color: Theme.secondaryText
        font.pixelSize: 14
    }
}
