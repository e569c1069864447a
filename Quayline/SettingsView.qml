import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Quayline

// The settings form. It only binds: the two refresh settings are the model's,
// launch at login and the message of a failed change the login item's, the
// watched ports the notifier's.
Item {
    id: root

    required property PortListViewModel viewModel
    required property LoginItem loginItem
    // Without one, the form has no notifications section.
    property PortNotifier notifier: null

    // Called by the application each time the settings window is shown: when
    // the autostart entry was changed elsewhere, the switch follows it.
    function shown() {
        root.loginItem.followRegistration()
    }

    width: 380
    height: notifier ? 420 : 300
    implicitWidth: 380
    implicitHeight: height

    // Escape closes the window, as it does any settings window. Keys that the
    // focused control leaves alone come up to here; an open picker list takes
    // its Escape first.
    focus: true
    Keys.onEscapePressed: {
        if (root.Window.window)
            root.Window.window.close()
    }

    Rectangle {
        anchors.fill: parent
        color: Theme.background
    }

    component SectionHeader: Label {
        font.pixelSize: Theme.calloutSize
        font.weight: Font.DemiBold
        color: Theme.secondary
        leftPadding: 4
    }

    component Group: Rectangle {
        default property alias rows: column.data
        Layout.fillWidth: true
        implicitHeight: column.implicitHeight
        radius: 6
        color: Theme.groupFill
        border.color: Theme.separator
        ColumnLayout {
            id: column
            anchors.left: parent.left
            anchors.right: parent.right
            spacing: 0
        }
    }

    component FormRow: RowLayout {
        property alias label: rowLabel.text
        Layout.fillWidth: true
        Layout.leftMargin: 10
        Layout.rightMargin: 10
        Layout.minimumHeight: 36
        spacing: 8
        Label {
            id: rowLabel
            font: Theme.body
            color: Theme.primary
            Layout.fillWidth: true
        }
    }

    // Centred in the window; when messages make it taller than the window,
    // its top stays in sight.
    ColumnLayout {
        objectName: "form"
        x: 16
        y: Math.max(16, Math.round((root.height - implicitHeight) / 2))
        width: root.width - 32
        spacing: 4

        SectionHeader {
            text: qsTr("Refresh")
        }
        Group {
            FormRow {
                label: qsTr("Auto-refresh")
                Switch {
                    id: autoRefreshSwitch
                    objectName: "autoRefreshSwitch"
                    Accessible.name: qsTr("Auto-refresh")
                    Accessible.description: qsTr("Scan the ports again at the chosen interval")
                    checked: root.viewModel.autoRefreshEnabled
                    onToggled: root.viewModel.autoRefreshEnabled = checked
                    FocusFrame {
                        visible: autoRefreshSwitch.visualFocus
                    }
                }
            }
            Divider {
                Layout.fillWidth: true
                Layout.leftMargin: 10
            }
            FormRow {
                label: qsTr("Interval")
                ComboBox {
                    id: intervalPicker
                    objectName: "intervalPicker"
                    Accessible.name: qsTr("Interval")
                    Accessible.description: qsTr("How often the ports are scanned again")
                    // Dimmed while auto-refresh is off, still showing the interval.
                    enabled: root.viewModel.autoRefreshEnabled
                    implicitContentWidthPolicy: ComboBox.WidestText
                    textRole: "text"
                    valueRole: "seconds"
                    model: [
                        { seconds: 2.0, text: qsTr("Every 2 seconds") },
                        { seconds: 5.0, text: qsTr("Every 5 seconds") },
                        { seconds: 10.0, text: qsTr("Every 10 seconds") },
                        { seconds: 30.0, text: qsTr("Every 30 seconds") },
                    ]
                    // An interval that is none of the options (hand-edited
                    // settings) selects nothing and is left as it is.
                    currentIndex: count > 0 ? indexOfValue(root.viewModel.refreshInterval) : -1
                    onActivated: root.viewModel.refreshInterval = currentValue
                    FocusFrame {
                        visible: intervalPicker.visualFocus
                    }
                }
            }
            // A change that did not reach the settings file, with its path
            // and the reason: the switch and the picker show the new value,
            // but it will not be there at the next start.
            Label {
                objectName: "settingsError"
                visible: root.viewModel.settingsError !== ""
                Layout.fillWidth: true
                Layout.leftMargin: 10
                Layout.rightMargin: 10
                Layout.bottomMargin: 8
                text: root.viewModel.settingsError
                textFormat: Text.PlainText
                wrapMode: Text.WrapAtWordBoundaryOrAnywhere
                font: Theme.caption
                color: Theme.red
                Accessible.role: Accessible.AlertMessage
                Accessible.name: text
            }
        }

        Item {
            implicitHeight: 8
        }

        SectionHeader {
            visible: root.notifier !== null
            text: qsTr("Notifications")
        }
        Group {
            visible: root.notifier !== null
            Label {
                id: watchedPortsLabel
                Layout.fillWidth: true
                Layout.leftMargin: 10
                Layout.rightMargin: 10
                Layout.topMargin: 8
                text: qsTr("Tell me when these ports open or close:")
                wrapMode: Text.Wrap
                font: Theme.body
                color: Theme.primary
            }
            TextField {
                id: watchedPortsField
                objectName: "watchedPortsField"
                Layout.fillWidth: true
                Layout.leftMargin: 10
                Layout.rightMargin: 10
                Layout.topMargin: 4
                Layout.bottomMargin: 8
                placeholderText: "3000, 5173, 8080"
                Accessible.name: watchedPortsLabel.text
                Accessible.description: qsTr("Port numbers, separated by commas")
                text: root.notifier ? root.notifier.watchedPortsText : ""
                onTextEdited: root.notifier.watchedPortsText = text
                FocusFrame {
                    visible: watchedPortsField.activeFocus
                }
            }
            // Entries that are no port, and a list that could not be saved.
            Label {
                objectName: "watchedPortsError"
                visible: text !== ""
                Layout.fillWidth: true
                Layout.leftMargin: 10
                Layout.rightMargin: 10
                Layout.bottomMargin: 8
                text: root.notifier ? root.notifier.watchedPortsError : ""
                textFormat: Text.PlainText
                wrapMode: Text.WrapAtWordBoundaryOrAnywhere
                font: Theme.caption
                color: Theme.red
                Accessible.role: Accessible.AlertMessage
                Accessible.name: text
            }
            Label {
                objectName: "notificationServiceMissing"
                visible: root.notifier !== null && !root.notifier.serviceAvailable
                Layout.fillWidth: true
                Layout.leftMargin: 10
                Layout.rightMargin: 10
                Layout.bottomMargin: 8
                text: qsTr("No notification service is running; ports are not watched.")
                textFormat: Text.PlainText
                wrapMode: Text.Wrap
                font: Theme.caption
                color: Theme.secondary
                Accessible.role: Accessible.StaticText
                Accessible.name: text
            }
        }

        Item {
            visible: root.notifier !== null
            implicitHeight: 8
        }

        SectionHeader {
            text: qsTr("General")
        }
        Group {
            FormRow {
                label: qsTr("Launch at login")
                Switch {
                    id: launchAtLoginSwitch
                    objectName: "launchAtLoginSwitch"
                    Accessible.name: qsTr("Launch at login")
                    Accessible.description: qsTr("Start Quayline when you log in")
                    checked: root.loginItem.launchAtLogin
                    onToggled: root.loginItem.launchAtLogin = checked
                    FocusFrame {
                        visible: launchAtLoginSwitch.visualFocus
                    }
                }
            }
            Label {
                objectName: "launchError"
                visible: root.loginItem.error !== ""
                Layout.fillWidth: true
                Layout.leftMargin: 10
                Layout.rightMargin: 10
                Layout.bottomMargin: 8
                text: root.loginItem.error
                textFormat: Text.PlainText
                wrapMode: Text.WrapAtWordBoundaryOrAnywhere
                font: Theme.caption
                color: Theme.red
                Accessible.role: Accessible.AlertMessage
                Accessible.name: text
            }
        }

        Item {
            implicitHeight: 8
        }

        Label {
            objectName: "aboutText"
            Layout.fillWidth: true
            leftPadding: 4
            rightPadding: 4
            text: "Quayline reads listening ports with lsof and can stop processes you own."
            textFormat: Text.PlainText
            wrapMode: Text.Wrap
            // The height it takes wrapped, which the layout would otherwise
            // reckon from one long line.
            Layout.preferredHeight: contentHeight + topPadding + bottomPadding
            font: Theme.caption
            color: Theme.secondary
        }
    }
}
