import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// The main screen; its state and actions are `mainModel`'s.
Item {
    id: root

    Component.onCompleted: mainModel.appear()
    Component.onDestruction: mainModel.disappear()

    Column {
        id: layout
        anchors.horizontalCenter: parent.horizontalCenter
        anchors.top: parent.top
        anchors.topMargin: 40
        width: parent.width - 48
        spacing: 26
        opacity: 0
        NumberAnimation on opacity { to: 1; duration: 1000; easing.type: Easing.OutQuad }

        LogoSection {
            anchors.horizontalCenter: parent.horizontalCenter
            logoSize: 120
        }

        // The connect button with its progress ring and dots.
        Item {
            anchors.horizontalCenter: parent.horizontalCenter
            width: 190
            height: 190

            Rectangle {
                id: ring
                anchors.fill: parent
                radius: width / 2
                color: "transparent"
                border.width: 4
                border.color: mainModel.isRunning ? Theme.connected : Theme.accent
                opacity: mainModel.isLoading ? 1 : 0.35

                Rectangle {
                    width: 14
                    height: 14
                    radius: 7
                    color: Theme.text
                    visible: mainModel.isLoading
                    x: parent.width / 2 - width / 2
                    y: -width / 2 + 2
                }
                RotationAnimation on rotation {
                    running: mainModel.isLoading
                    from: 0
                    to: 360
                    duration: 2000
                    loops: Animation.Infinite
                    onRunningChanged: if (!running) ring.rotation = 0
                }
            }

            Button {
                id: connectButton
                anchors.centerIn: parent
                width: 160
                height: 160
                enabled: !mainModel.isLoading
                onClicked: mainModel.toggleConnection()
                background: Rectangle {
                    radius: width / 2
                    color: mainModel.isRunning ? Theme.connected : Theme.accent
                }
                // The control sizes its content item: the column is centred inside it.
                contentItem: Item {
                    Column {
                        spacing: 10
                        anchors.centerIn: parent

                        Image {
                            anchors.horizontalCenter: parent.horizontalCenter
                            visible: !mainModel.isLoading
                            source: mainModel.isRunning ? "qrc:/veskar/icons/shield-network.svg" : "qrc:/veskar/icons/shield-outline.svg"
                            sourceSize.width: 56
                            sourceSize.height: 56
                        }
                        Row {
                            anchors.horizontalCenter: parent.horizontalCenter
                            visible: mainModel.isLoading
                            spacing: 10
                            height: 56
                            Repeater {
                                model: 3
                                Rectangle {
                                    required property int index
                                    anchors.verticalCenter: parent.verticalCenter
                                    width: 10
                                    height: 10
                                    radius: 5
                                    color: Theme.text
                                    SequentialAnimation on scale {
                                        running: mainModel.isLoading
                                        loops: Animation.Infinite
                                        PauseAnimation { duration: index * 200 }
                                        NumberAnimation { to: 1.5; duration: 600; easing.type: Easing.InOutQuad }
                                        NumberAnimation { to: 1; duration: 600; easing.type: Easing.InOutQuad }
                                    }
                                }
                            }
                        }
                        Text {
                            anchors.horizontalCenter: parent.horizontalCenter
                            text: mainModel.statusText
                            color: Theme.text
                            font.pixelSize: 18
                            font.bold: true
                        }
                    }
                }
            }
        }

        // Who is signed in, what traffic is left, and the controls.
        Rectangle {
            width: parent.width
            height: status.implicitHeight + 32
            radius: 16
            color: Theme.card

            ColumnLayout {
                id: status
                anchors.fill: parent
                anchors.margins: 16
                spacing: 12

                RowLayout {
                    Layout.fillWidth: true
                    Text {
                        Layout.fillWidth: true
                        text: mainModel.phoneText
                        color: Theme.text
                        font.pixelSize: 16
                    }
                    Text {
                        text: mainModel.trafficText
                        color: Theme.secondaryText
                        font.pixelSize: 16
                    }
                }

                RowLayout {
                    Layout.fillWidth: true
                    spacing: 10

                    Button {
                        id: nodesButton
                        Layout.fillWidth: true
                        Layout.preferredHeight: 44
                        onClicked: mainModel.showingNodeInfo = !mainModel.showingNodeInfo
                        background: Rectangle { radius: 10; color: Theme.field }
                        contentItem: Text {
                            text: qsTrId("vpn.nodes.connected")
                            color: Theme.text
                            font.pixelSize: 15
                            horizontalAlignment: Text.AlignHCenter
                            verticalAlignment: Text.AlignVCenter
                        }
                    }
                    Button {
                        id: highSpeed
                        Layout.preferredWidth: 44
                        Layout.preferredHeight: 44
                        Accessible.name: qsTrId("vpn.high_speed.accessibility_label")
                        Accessible.description: mainModel.highSpeedEnabled ? qsTrId("common.on") : qsTrId("common.off")
                        onClicked: mainModel.toggleHighSpeed()
                        background: Rectangle {
                            radius: 10
                            color: mainModel.highSpeedEnabled ? Theme.accent : Theme.field
                            Behavior on color { ColorAnimation { duration: 180 } }
                        }
                        contentItem: Image {
                            source: "qrc:/veskar/icons/bolt.svg"
                            fillMode: Image.Pad
                            sourceSize.width: 22
                            sourceSize.height: 22
                            opacity: mainModel.highSpeedEnabled ? 1 : 0.5
                        }
                    }
                    Button {
                        id: lockdown
                        Layout.preferredWidth: 44
                        Layout.preferredHeight: 44
                        Accessible.name: qsTrId("vpn.lockdown.accessibility_label")
                        Accessible.description: mainModel.lockdownEnabled ? qsTrId("common.on") : qsTrId("common.off")
                        ToolTip.visible: hovered
                        ToolTip.text: qsTrId("vpn.lockdown.explanation")
                        onClicked: mainModel.toggleLockdown()
                        background: Rectangle {
                            radius: 10
                            color: mainModel.lockdownEnabled ? Theme.accent : Theme.field
                            Behavior on color { ColorAnimation { duration: 180 } }
                        }
                        contentItem: Image {
                            source: "qrc:/veskar/icons/lockdown.svg"
                            fillMode: Image.Pad
                            sourceSize.width: 22
                            sourceSize.height: 22
                            opacity: mainModel.lockdownEnabled ? 1 : 0.5
                        }
                    }
                    Button {
                        Layout.preferredWidth: 44
                        Layout.preferredHeight: 44
                        Accessible.name: qsTrId("app.open_website")
                        ToolTip.visible: hovered
                        ToolTip.text: qsTrId("app.open_website")
                        onClicked: mainModel.openHelp()
                        background: Rectangle { radius: 10; color: Theme.field }
                        contentItem: Image {
                            source: "qrc:/veskar/icons/help.svg"
                            fillMode: Image.Pad
                            sourceSize.width: 22
                            sourceSize.height: 22
                        }
                    }
                }

                ColumnLayout {
                    Layout.fillWidth: true
                    spacing: 2
                    Text {
                        Layout.fillWidth: true
                        text: qsTrId("vpn.lockdown.state").arg(mainModel.lockdownEnabled ? qsTrId("common.on") : qsTrId("common.off"))
                        color: Theme.text
                        font.pixelSize: 13
                    }
                    Text {
                        Layout.fillWidth: true
                        text: qsTrId("vpn.lockdown.explanation")
                        color: Theme.secondaryText
                        font.pixelSize: 12
                        wrapMode: Text.WordWrap
                    }
                }

                CheckBox {
                    id: startAtLoginChoice
                    visible: startAtLogin !== null
                    checked: startAtLogin !== null && startAtLogin.enabled
                    onToggled: {
                        startAtLogin.enabled = checked
                        // What the entry on disk says, also after a failed write.
                        checked = Qt.binding(() => startAtLogin.enabled)
                    }
                    text: qsTrId("app.start_at_login")
                    contentItem: Text {
                        leftPadding: startAtLoginChoice.indicator.width + startAtLoginChoice.spacing
                        text: startAtLoginChoice.text
                        color: Theme.text
                        font.pixelSize: 13
                        verticalAlignment: Text.AlignVCenter
                    }
                }

                Button {
                    Layout.fillWidth: true
                    Layout.preferredHeight: 44
                    onClicked: mainModel.signOut()
                    background: Rectangle { radius: 10; color: Theme.field }
                    contentItem: Item {
                        Row {
                            spacing: 8
                            anchors.centerIn: parent
                            Image {
                                anchors.verticalCenter: parent.verticalCenter
                                source: "qrc:/veskar/icons/sign-out.svg"
                                sourceSize.width: 20
                                sourceSize.height: 20
                            }
                            Text {
                                anchors.verticalCenter: parent.verticalCenter
                                text: qsTrId("login.sign_out")
                                color: Theme.text
                                font.pixelSize: 15
                            }
                        }
                    }
                }
            }
        }
    }

    // The exit paths in use with their first-hop delays.
    Popup {
        id: nodes
        parent: nodesButton
        x: 0
        y: nodesButton.height + 8
        width: layout.width - 32
        padding: 16
        closePolicy: Popup.CloseOnEscape | Popup.CloseOnPressOutside
        onClosed: mainModel.showingNodeInfo = false
        background: Rectangle { radius: 14; color: Theme.field; border.color: Theme.accent }

        Connections {
            target: mainModel
            function onShowingNodeInfoChanged() {
                if (mainModel.showingNodeInfo) nodes.open(); else nodes.close()
            }
        }

        contentItem: Column {
            spacing: 10
            Text {
                text: qsTrId("vpn.nodes.connected")
                color: Theme.text
                font.pixelSize: 16
                font.bold: true
            }
            Text {
                visible: mainModel.nodeInfos.length === 0
                text: qsTrId("vpn.nodes.none_connected")
                color: Theme.secondaryText
                font.pixelSize: 14
            }
            Repeater {
                model: mainModel.nodeInfos
                RowLayout {
                    required property var modelData
                    width: nodes.availableWidth
                    Text {
                        Layout.fillWidth: true
                        text: modelData.name
                        color: Theme.text
                        elide: Text.ElideRight
                        font.pixelSize: 14
                    }
                    Text {
                        text: modelData.latency
                        color: Theme.connected
                        font.pixelSize: 14
                    }
                }
            }
        }
    }

    // The daemon refused us: say so, and how to be let in.
    Popup {
        id: permission
        anchors.centerIn: parent
        width: root.width - 64
        modal: true
        padding: 20
        visible: mainModel.showingPermissionAlert
        closePolicy: Popup.CloseOnEscape
        onClosed: mainModel.showingPermissionAlert = false
        background: Rectangle { radius: 14; color: Theme.card; border.color: Theme.accent }

        contentItem: ColumnLayout {
            spacing: 14
            Text {
                text: qsTrId("vpn.permission.title")
                color: Theme.text
                font.pixelSize: 18
                font.bold: true
            }
            Text {
                Layout.fillWidth: true
                text: mainModel.permissionAlertMessage
                color: Theme.secondaryText
                wrapMode: Text.Wrap
                font.pixelSize: 14
            }
            RowLayout {
                Layout.alignment: Qt.AlignRight
                DialogButton {
                    text: qsTrId("common.cancel")
                    onClicked: mainModel.showingPermissionAlert = false
                }
                DialogButton {
                    text: qsTrId("common.open_help")
                    primary: true
                    onClicked: {
                        mainModel.openPermissionSettings()
                        mainModel.showingPermissionAlert = false
                    }
                }
            }
        }
    }

    Toast {
        message: mainModel.toastMessage
    }
}
