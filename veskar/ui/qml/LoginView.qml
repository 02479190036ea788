import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// The sign-in screen; its state and actions are `loginModel`'s.
Item {
    id: root

    Column {
        id: layout
        anchors.horizontalCenter: parent.horizontalCenter
        anchors.top: parent.top
        anchors.topMargin: 56
        width: parent.width - 48
        spacing: 28
        opacity: 0
        NumberAnimation on opacity { to: 1; duration: 1000; easing.type: Easing.OutQuad }

        LogoSection {
            id: logo
            anchors.horizontalCenter: parent.horizontalCenter
            scale: 0.8
            NumberAnimation on scale { to: 1; duration: 1000; easing.type: Easing.OutQuad }
        }

        Rectangle {
            width: parent.width
            height: card.implicitHeight + 40
            radius: 16
            color: Theme.card

            ColumnLayout {
                id: card
                anchors.fill: parent
                anchors.margins: 20
                spacing: 14

                Text {
                    text: qsTrId("login.title")
                    color: Theme.text
                    font.pixelSize: 22
                    font.bold: true
                }
                Text {
                    Layout.fillWidth: true
                    text: qsTrId("login.instructions")
                    color: Theme.secondaryText
                    wrapMode: Text.Wrap
                    font.pixelSize: 13
                }

                RowLayout {
                    Layout.fillWidth: true
                    spacing: 8

                    ComboBox {
                        id: country
                        Layout.preferredWidth: 104
                        Layout.preferredHeight: 44
                        model: loginModel.countries
                        currentIndex: loginModel.selectedCountry
                        displayText: loginModel.selectedCallingCode
                        popup.width: 260
                        contentItem: Text {
                            leftPadding: 10
                            text: country.displayText
                            color: Theme.text
                            font.pixelSize: 14
                            verticalAlignment: Text.AlignVCenter
                            elide: Text.ElideRight
                        }
                        background: Rectangle {
                            radius: 8
                            color: Theme.field
                            border.color: country.activeFocus ? Theme.accent : "transparent"
                        }
                        onActivated: (index) => loginModel.selectedCountry = index
                    }
                    TextField {
                        id: phone
                        Layout.fillWidth: true
                        Layout.preferredHeight: 44
                        placeholderText: qsTrId("login.phone.placeholder")
                        color: Theme.text
                        placeholderTextColor: Theme.secondaryText
                        background: Rectangle {
                            radius: 8
                            color: Theme.field
                            border.color: parent.activeFocus ? Theme.accent : "transparent"
                        }
                        inputMethodHints: Qt.ImhDialableCharactersOnly
                        text: loginModel.phoneNumber
                        onTextEdited: loginModel.phoneNumber = text
                        onAccepted: password.forceActiveFocus()
                    }
                }

                RowLayout {
                    Layout.fillWidth: true
                    spacing: 8

                    Image {
                        source: "qrc:/veskar/icons/lock.svg"
                        sourceSize.width: 22
                        sourceSize.height: 22
                    }
                    TextField {
                        id: password
                        Layout.fillWidth: true
                        Layout.preferredHeight: 44
                        placeholderText: qsTrId("login.password.placeholder")
                        color: Theme.text
                        placeholderTextColor: Theme.secondaryText
                        background: Rectangle {
                            radius: 8
                            color: Theme.field
                            border.color: parent.activeFocus ? Theme.accent : "transparent"
                        }
                        echoMode: TextInput.Password
                        text: loginModel.password
                        onTextEdited: loginModel.password = text
                        onAccepted: signIn.clicked()
                    }
                }

                Button {
                    id: signIn
                    Layout.fillWidth: true
                    Layout.preferredHeight: 48
                    enabled: loginModel.canLogin
                    onClicked: {
                        root.forceActiveFocus()
                        loginModel.login()
                    }
                    contentItem: Item {
                        Row {
                            spacing: 8
                            anchors.centerIn: parent
                            BusyIndicator {
                                visible: loginModel.isLoading
                                running: loginModel.isLoading
                                width: 22
                                height: 22
                            }
                            Text {
                                anchors.verticalCenter: parent.verticalCenter
                                text: loginModel.isLoading ? qsTrId("login.signing_in") : qsTrId("login.sign_in")
                                color: Theme.text
                                font.pixelSize: 16
                                font.bold: true
                            }
                        }
                    }
                    background: Rectangle {
                        radius: 12
                        color: Theme.accent
                        opacity: signIn.enabled ? 1 : 0.45
                    }
                }
            }
        }

        Row {
            anchors.horizontalCenter: parent.horizontalCenter
            spacing: 24

            Button {
                flat: true
                text: qsTrId("login.sign_up")
                palette.buttonText: Theme.secondaryText
                onClicked: loginModel.openSignUp()
            }
            Button {
                flat: true
                text: qsTrId("login.forgot_password")
                palette.buttonText: Theme.secondaryText
                onClicked: loginModel.openForgotPassword()
            }
        }
    }

    Toast {
        message: loginModel.toastMessage
    }
}
