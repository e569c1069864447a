pragma ComponentBehavior: Bound

import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Quayline

// The panel behind the tray icon: header with the count and the refresh
// button, the filter field, the list (or why there is none), and the footer.
// It holds no data of its own beyond the refresh glyph's angle; the
// selection is the list model's.
Item {
    id: root

    required property PortListViewModel viewModel

    // Rotation of the refresh glyph, in degrees clockwise.
    property real spinAngle: 0

    // What the content area shows: "error", "loading", "empty", "noMatch" or
    // "list". The loading view shows only until the first scan has finished:
    // after that, whatever was shown stays while the next scan runs, and the
    // refresh glyph alone shows the activity.
    readonly property string content: {
        const vm = root.viewModel
        if (root.isPresent(vm.lastScanError))
            return "error"
        if (!vm.hasScanResult)
            return "loading"
        if (vm.filteredModel.count === 0)
            return vm.searchText === "" ? "empty" : "noMatch"
        return "list"
    }

    // Set while the panel is on screen: only changes of the loading flag seen
    // then turn the refresh glyph.
    property bool onScreen: false

    signal settingsRequested()

    // Called by the application each time the panel is shown: scan, then
    // restart the auto-refresh timer. A scan already under way when the panel
    // opens does not turn the glyph.
    function shown() {
        root.stopSpinning()
        root.onScreen = true
        root.viewModel.filteredModel.selectedRow = -1
        filterField.forceActiveFocus()
        root.viewModel.refreshAndRestartTimer()
    }

    function isPresent(value) {
        return value !== undefined && value !== null
    }

    // The keyboard acts on the selected row: Return stops its process, the
    // menu key opens its menu.
    function moveSelection(step) {
        const row = root.viewModel.filteredModel.moveSelection(step)
        if (row >= 0)
            list.positionViewAtIndex(row, ListView.Contain)
    }

    function stopSelected() {
        const model = root.viewModel.filteredModel
        if (model.selectedRow < 0)
            return false
        root.viewModel.stopProcess(model.entryAt(model.selectedRow))
        return true
    }

    function openMenuForSelection() {
        const model = root.viewModel.filteredModel
        const index = model.selectedRow
        if (index < 0)
            return false
        list.positionViewAtIndex(index, ListView.Contain)
        const row = list.itemAtIndex(index)
        if (row)
            rowMenu.openFor(model.entryAt(index), row, 12, row.height - 4)
        return row !== null
    }

    // Keys for the list, from the filter field or the list itself.
    function handleListKey(event) {
        if (event.key === Qt.Key_Down || event.key === Qt.Key_Up) {
            root.moveSelection(event.key === Qt.Key_Down ? 1 : -1)
            event.accepted = true
        } else if (event.key === Qt.Key_Return || event.key === Qt.Key_Enter) {
            event.accepted = root.stopSelected()
        } else if (event.key === Qt.Key_Menu
                   || (event.key === Qt.Key_F10 && (event.modifiers & Qt.ShiftModifier))) {
            event.accepted = root.openMenuForSelection()
        }
    }

    function stopSpinning() {
        spinDelay.stop()
        spin.stop()
        root.spinAngle = 0
    }

    width: 380
    height: 460
    implicitWidth: 380
    implicitHeight: 460

    // While a scan runs the glyph turns in twelve steps a second rather than
    // at the frame rate: every frame redraws the panel, and the program's
    // own cost per refresh should stay small beside lsof's. A scan that ends
    // within a quarter of a second, as most do, does not move it at all; when
    // a scan ends the glyph is upright again at once.
    Timer {
        id: spinDelay
        interval: 250
        onTriggered: spin.start()
    }
    Timer {
        id: spin
        objectName: "spinTimer"
        interval: 83
        repeat: true
        onTriggered: root.spinAngle = (root.spinAngle + 30) % 360
    }
    Connections {
        target: root.viewModel
        function onIsLoadingChanged() {
            if (!root.onScreen)
                return
            if (root.viewModel.isLoading)
                spinDelay.start()
            else
                root.stopSpinning()
        }
        function onKillErrorChanged() {
            alert.follow()
        }
    }
    Connections {
        target: root.Window.window
        function onVisibleChanged() {
            if (!root.Window.window.visible) {
                root.onScreen = false
                root.stopSpinning()
            }
        }
    }

    Shortcut {
        sequence: "Ctrl+R"
        onActivated: root.viewModel.refreshNow()
    }
    Shortcut {
        sequence: "Ctrl+,"
        onActivated: root.settingsRequested()
    }
    Shortcut {
        sequence: "Ctrl+Q"
        onActivated: Qt.quit()
    }

    Rectangle {
        anchors.fill: parent
        color: Theme.background
    }

    ColumnLayout {
        anchors.fill: parent
        spacing: 0

        RowLayout {
            Layout.fillWidth: true
            Layout.leftMargin: 12
            Layout.rightMargin: 12
            Layout.topMargin: 10
            Layout.bottomMargin: 10
            spacing: 8

            Icon {
                symbol: "powerplug.fill"
                color: Theme.tint
            }
            Label {
                text: qsTr("Quayline")
                font: Theme.headline
                color: Theme.primary
            }
            Item {
                Layout.fillWidth: true
            }
            Label {
                objectName: "entryCount"
                // A number is data: plain digits, never looked up or grouped.
                text: String(root.viewModel.filteredModel.count)
                textFormat: Text.PlainText
                font.family: Theme.monospaceFamily
                font.pixelSize: Theme.captionSize
                color: Theme.secondary
                Accessible.role: Accessible.StaticText
                Accessible.name: qsTr("%1 listed").arg(text)
            }
            PlainButton {
                objectName: "refreshButton"
                symbol: "arrow.clockwise"
                symbolRotation: root.spinAngle
                toolTip: qsTr("Refresh now")
                accessibleName: qsTr("Refresh")
                onClicked: root.viewModel.refreshNow()
            }
        }

        Divider {
            Layout.fillWidth: true
        }

        RowLayout {
            Layout.fillWidth: true
            Layout.leftMargin: 12
            Layout.rightMargin: 12
            Layout.topMargin: 8
            Layout.bottomMargin: 8
            spacing: 6

            Icon {
                symbol: "magnifyingglass"
                color: Theme.secondary
            }
            TextField {
                id: filterField
                objectName: "filterField"
                Layout.fillWidth: true
                placeholderText: qsTr("Filter by port or process")
                placeholderTextColor: Theme.tertiary
                color: Theme.primary
                font: Theme.body
                padding: 0
                background: null
                text: root.viewModel.searchText
                onTextEdited: root.viewModel.searchText = text
                Keys.onPressed: event => root.handleListKey(event)
                Accessible.name: qsTr("Filter")
                Accessible.description: qsTr("Filter by port or process")

                FocusFrame {
                    anchors.margins: -3
                    visible: filterField.activeFocus
                             && (filterField.focusReason === Qt.TabFocusReason
                                 || filterField.focusReason === Qt.BacktabFocusReason)
                }
            }
            PlainButton {
                objectName: "clearButton"
                visible: root.viewModel.searchText !== ""
                // No taller than the field, so that the row keeps its height
                // when the button comes and goes.
                Layout.maximumHeight: filterField.implicitHeight
                topPadding: 0
                bottomPadding: 0
                symbol: "xmark.circle.fill"
                color: Theme.secondary
                accessibleName: qsTr("Clear filter")
                onClicked: root.viewModel.searchText = ""
            }
        }

        Divider {
            Layout.fillWidth: true
        }

        // What the listing may lack, above it: the kernel's socket table
        // could not be read, so other users' ports may be missing.
        Label {
            objectName: "scanNotice"
            visible: root.viewModel.scanNotice !== ""
            Layout.fillWidth: true
            leftPadding: 12
            rightPadding: 12
            topPadding: 4
            bottomPadding: 4
            text: root.viewModel.scanNotice
            textFormat: Text.PlainText
            wrapMode: Text.Wrap
            font: Theme.caption
            color: Theme.secondary
        }

        // A process stopped here was replaced on its port at once: by whom,
        // what keeps it, and the keeper's stop where there is one.
        Rectangle {
            id: respawnBanner
            objectName: "respawnReport"

            readonly property var report: root.viewModel.respawnReport
            readonly property bool busy: visible
                && root.viewModel.isStoppingKeeper(report.holder, root.viewModel.keepersStopping)

            visible: root.isPresent(report)
            Layout.fillWidth: true
            implicitHeight: bannerRow.implicitHeight + 12
            color: Qt.rgba(Theme.orange.r, Theme.orange.g, Theme.orange.b, 0.12)
            Accessible.role: Accessible.AlertMessage
            Accessible.name: respawnText.text

            RowLayout {
                id: bannerRow
                anchors.fill: parent
                anchors.leftMargin: 12
                anchors.rightMargin: 8
                anchors.topMargin: 6
                anchors.bottomMargin: 6
                spacing: 6

                Label {
                    id: respawnText
                    objectName: "respawnText"
                    Layout.fillWidth: true
                    text: respawnBanner.visible ? respawnBanner.report.text : ""
                    textFormat: Text.PlainText
                    wrapMode: Text.Wrap
                    font: Theme.caption
                    color: Theme.primary
                }
                PlainButton {
                    objectName: "respawnKeeperStop"
                    visible: respawnBanner.visible && respawnBanner.report.action !== ""
                    enabled: !respawnBanner.busy
                    text: respawnBanner.busy ? qsTr("Stopping…") : visible ? respawnBanner.report.action : ""
                    font: Theme.caption
                    color: respawnBanner.busy ? Theme.tertiary : Theme.tint
                    accessibleDescription: visible ? root.viewModel.keeperQuestion(respawnBanner.report.holder) : ""
                    onClicked: keeperConfirmation.openFor(respawnBanner.report.holder)
                }
                PlainButton {
                    objectName: "respawnDismiss"
                    symbol: "xmark.circle.fill"
                    color: Theme.secondary
                    accessibleName: qsTr("Dismiss")
                    onClicked: root.viewModel.respawnReport = null
                }
            }
        }

        // Takes whatever height the rows above and below leave, also when
        // the panel is lower than its usual 460 to fit a small screen.
        Item {
            objectName: "contentArea"
            Layout.fillWidth: true
            Layout.fillHeight: true
            Layout.minimumHeight: 0
            clip: true

            MessageView {
                objectName: "errorView"
                anchors.fill: parent
                visible: root.content === "error"
                symbol: "exclamationmark.triangle"
                symbolColor: Theme.orange
                message: visible ? root.viewModel.lastScanError : ""
            }

            Item {
                objectName: "loadingView"
                anchors.fill: parent
                visible: root.content === "loading"
                Column {
                    anchors.verticalCenter: parent.verticalCenter
                    width: parent.width
                    spacing: 10
                    BusyIndicator {
                        running: root.content === "loading"
                        anchors.horizontalCenter: parent.horizontalCenter
                    }
                    Label {
                        text: qsTr("Scanning ports…")
                        font: Theme.callout
                        color: Theme.secondary
                        anchors.horizontalCenter: parent.horizontalCenter
                    }
                }
            }

            MessageView {
                objectName: "emptyView"
                anchors.fill: parent
                visible: root.content === "empty"
                symbol: "powerplug"
                message: qsTr("Nothing is listening")
            }

            MessageView {
                objectName: "noMatchView"
                anchors.fill: parent
                visible: root.content === "noMatch"
                symbol: "magnifyingglass"
                // The filter text as typed; one placeholder, so a "%1" typed into
                // the filter is shown as it stands. A port number that nothing
                // holds gets whether it is free instead, once that is known.
                message: root.viewModel.freePortText !== "" ? root.viewModel.freePortText
                                                            : qsTr("No ports match “%1”").arg(root.viewModel.searchText)
                actionText: root.viewModel.freePortText !== "" && root.viewModel.nextFreePort > 0
                            ? qsTr("Copy Next Free Port: %1").arg(root.viewModel.nextFreePort) : ""
                actionToolTip: qsTr("Puts the next port after it that is free for TCP on the clipboard")
                onActionTriggered: DesktopActions.copyText(String(root.viewModel.nextFreePort)) // qmllint disable type
            }

            ListView {
                id: list
                objectName: "portList"
                anchors.fill: parent
                visible: root.content === "list"
                clip: true
                boundsBehavior: Flickable.StopAtBounds
                model: root.viewModel.filteredModel
                activeFocusOnTab: true
                Keys.onPressed: event => root.handleListKey(event)
                Accessible.role: Accessible.List
                Accessible.name: qsTr("Listening ports")
                ScrollBar.vertical: ScrollBar {
                    objectName: "scrollBar"
                    // Shown at rest whenever the list can scroll, not only
                    // while it moves.
                    policy: list.contentHeight > list.height ? ScrollBar.AlwaysOn : ScrollBar.AlwaysOff
                }
                delegate: Column {
                    id: listRow
                    required property portEntry entry
                    required property bool selected
                    required property int index
                    required property string stopStage
                    required property string stopRefusal
                    required property string stopCommand
                    required property string keeperAction
                    required property bool keeperRestarts
                    required property bool keeperBusy
                    required property string note
                    required property var firstSeen
                    required property bool isNew
                    required property bool isClosed
                    width: ListView.view.width

                    PortRowView {
                        id: portRow
                        objectName: "portRow"
                        width: parent.width
                        viewModel: root.viewModel
                        entry: listRow.entry
                        stopStage: listRow.stopStage
                        stopRefusal: listRow.stopRefusal
                        stopCommand: listRow.stopCommand
                        keeperAction: listRow.keeperAction
                        keeperRestarts: listRow.keeperRestarts
                        keeperBusy: listRow.keeperBusy
                        note: listRow.note
                        firstSeen: listRow.firstSeen
                        isNew: listRow.isNew
                        isClosed: listRow.isClosed
                        selected: listRow.selected
                        onKeeperStopRequested: keeperConfirmation.openFor(listRow.entry)
                        onSelectRequested: root.viewModel.filteredModel.selectedRow = listRow.index
                        onContextMenuRequested: (x, y) => {
                            root.viewModel.filteredModel.selectedRow = listRow.index
                            rowMenu.openFor(listRow.entry, portRow, x, y)
                        }
                    }
                    Divider {
                        width: parent.width
                    }
                }
            }

            // Inside the list's edges: the list clips what lies outside.
            FocusFrame {
                anchors.margins: 1
                visible: list.visible && list.activeFocus
            }
        }

        Divider {
            Layout.fillWidth: true
        }

        RowLayout {
            Layout.fillWidth: true
            Layout.leftMargin: 12
            Layout.rightMargin: 12
            Layout.topMargin: 8
            Layout.bottomMargin: 8

            PlainButton {
                objectName: "settingsLink"
                symbol: "gearshape"
                symbolSize: 14
                text: qsTr("Settings")
                accessibleDescription: qsTr("Open the settings window")
                font: Theme.callout
                color: Theme.tint
                onClicked: root.settingsRequested()
            }
            Item {
                Layout.fillWidth: true
            }
            PlainButton {
                objectName: "quitButton"
                symbol: "power"
                symbolSize: 14
                text: qsTr("Quit")
                accessibleDescription: qsTr("Quit Quayline")
                font: Theme.callout
                color: Theme.red
                onClicked: Qt.quit()
            }
        }
    }

    // The menu of one row. It keeps the entry it was opened for, so a refresh
    // meanwhile does not change what it copies or opens.
    Menu {
        id: rowMenu
        objectName: "rowMenu"

        property portEntry entry
        readonly property string browserUrl: entry.networkProtocol === "TCP"
            ? DesktopActions.browserUrl(entry.address, entry.port) : "" // qmllint disable type
        readonly property string commandLine: root.viewModel.commandLineToCopy(entry.process)
        readonly property string keeperAction: root.viewModel.keeperAction(entry)
        readonly property bool keeperBusy: root.viewModel.isStoppingKeeper(entry, root.viewModel.keepersStopping)

        function openFor(entry, item, x, y) {
            rowMenu.entry = entry
            rowMenu.popup(item, x, y)
        }

        MenuItem {
            objectName: "copyPort"
            text: qsTr("Copy Port")
            onTriggered: DesktopActions.copyText(String(rowMenu.entry.port)) // qmllint disable type
        }
        MenuItem {
            objectName: "copyPid"
            text: qsTr("Copy PID")
            enabled: rowMenu.entry.pid > 0 // no process known: nothing to copy
            onTriggered: DesktopActions.copyText(String(rowMenu.entry.pid))
        }
        MenuItem {
            objectName: "copyCommandLine"
            text: qsTr("Copy Command Line")
            enabled: rowMenu.commandLine !== ""
            onTriggered: DesktopActions.copyText(rowMenu.commandLine)
        }
        // Always listed, dimmed where they do not apply (UDP, an address no
        // link can name, a folder that could not be read or was removed), so
        // that the menu keeps one shape.
        MenuItem {
            objectName: "openInBrowser"
            text: qsTr("Open in Browser")
            enabled: rowMenu.browserUrl !== ""
            onTriggered: DesktopActions.openUrl(rowMenu.browserUrl)
        }
        MenuItem {
            objectName: "openWorkingFolder"
            text: qsTr("Open Working Folder")
            enabled: rowMenu.entry.process.cwd !== "" && !rowMenu.entry.process.cwdDeleted
            onTriggered: DesktopActions.openFolder(rowMenu.entry.process.cwd)
        }
        // The unit or container that keeps the row's process: only where
        // there is one, whoever owns the process (the service manager or the
        // engine decides who may stop it).
        MenuItem {
            objectName: "stopKeeper"
            visible: rowMenu.keeperAction !== ""
            height: visible ? implicitHeight : 0
            text: rowMenu.keeperBusy ? qsTr("Stopping…") : rowMenu.keeperAction
            enabled: !rowMenu.keeperBusy
            onTriggered: keeperConfirmation.openFor(rowMenu.entry)
        }
        // Another user's port: what would stop it ("systemctl stop nginx.service").
        MenuItem {
            objectName: "copyStopCommand"
            text: qsTr("Copy Stop Command")
            enabled: root.viewModel.stopCommand(rowMenu.entry) !== ""
            onTriggered: DesktopActions.copyText(root.viewModel.stopCommand(rowMenu.entry))
        }
    }

    // The stop-failure alert. Each message has its own id: a new id shows a new
    // alert, and dismissing the one shown clears the model's message.
    Dialog {
        id: alert
        objectName: "stopFailureAlert"

        property string messageId: ""
        property string message: ""

        function follow() {
            const error = root.viewModel.killError
            if (!root.isPresent(error)) {
                messageId = ""
                close()
                return
            }
            if (error.id === messageId)
                return
            messageId = error.id
            message = error.text
            open()
        }

        parent: Overlay.overlay
        anchors.centerIn: parent
        width: Math.min(300, root.width - 40)
        modal: true
        focus: true
        padding: 12
        closePolicy: Popup.CloseOnEscape
        title: qsTr("Unable to Stop Process")

        background: Rectangle {
            color: Theme.background
            border.color: Theme.separator
            radius: 8
        }
        header: Label {
            text: alert.title
            font: Theme.headline
            color: Theme.primary
            leftPadding: 12
            rightPadding: 12
            topPadding: 12
        }
        contentItem: Label {
            objectName: "alertMessage"
            focus: true
            text: alert.message
            textFormat: Text.PlainText
            wrapMode: Text.WrapAtWordBoundaryOrAnywhere
            font: Theme.body
            color: Theme.primary
            Keys.onReturnPressed: alert.accept()
            Keys.onEnterPressed: alert.accept()
        }

        footer: Item {
            implicitHeight: okButton.implicitHeight + 24
            Button {
                id: okButton
                objectName: "alertOk"
                anchors.right: parent.right
                anchors.rightMargin: 12
                anchors.verticalCenter: parent.verticalCenter
                text: qsTr("OK")
                highlighted: true
                onClicked: alert.accept()
            }
        }

        onClosed: {
            const error = root.viewModel.killError
            if (messageId !== "" && root.isPresent(error) && error.id === messageId) {
                messageId = ""
                root.viewModel.killError = null
            }
        }
    }

    // Asks before a unit or container stops, naming it. Cancel has the
    // focus, so Return alone stops nothing; Escape cancels.
    Dialog {
        id: keeperConfirmation
        objectName: "keeperConfirmation"

        property portEntry entry

        function openFor(entry) {
            keeperConfirmation.entry = entry
            open()
        }

        parent: Overlay.overlay
        anchors.centerIn: parent
        width: Math.min(300, root.width - 40)
        modal: true
        focus: true
        padding: 12
        closePolicy: Popup.CloseOnEscape
        title: root.viewModel.keeperAction(entry)

        background: Rectangle {
            color: Theme.background
            border.color: Theme.separator
            radius: 8
        }
        header: Label {
            objectName: "keeperQuestion"
            id: question
            text: root.viewModel.keeperQuestion(keeperConfirmation.entry)
            textFormat: Text.PlainText
            wrapMode: Text.WrapAtWordBoundaryOrAnywhere
            font: Theme.headline
            color: Theme.primary
            leftPadding: 12
            rightPadding: 12
            topPadding: 12
        }
        contentItem: Label {
            objectName: "keeperDetail"
            text: root.viewModel.keeperDetail(keeperConfirmation.entry)
            textFormat: Text.PlainText
            wrapMode: Text.WrapAtWordBoundaryOrAnywhere
            font: Theme.body
            color: Theme.secondary
        }
        footer: Item {
            implicitHeight: confirmButton.implicitHeight + 24
            Row {
                anchors.right: parent.right
                anchors.rightMargin: 12
                anchors.verticalCenter: parent.verticalCenter
                spacing: 8
                Button {
                    id: cancelButton
                    objectName: "keeperCancel"
                    text: qsTr("Cancel")
                    focus: true
                    KeyNavigation.tab: confirmButton
                    Keys.onReturnPressed: keeperConfirmation.reject()
                    Keys.onEnterPressed: keeperConfirmation.reject()
                    onClicked: keeperConfirmation.reject()
                }
                Button {
                    id: confirmButton
                    objectName: "keeperConfirm"
                    text: keeperConfirmation.title
                    KeyNavigation.tab: cancelButton
                    Keys.onReturnPressed: keeperConfirmation.accept()
                    Keys.onEnterPressed: keeperConfirmation.accept()
                    onClicked: keeperConfirmation.accept()
                }
            }
        }

        onOpened: cancelButton.forceActiveFocus()
        onAccepted: root.viewModel.stopKeeper(entry)
    }

    Component.onCompleted: alert.follow()
}
