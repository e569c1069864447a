import QtQuick
import QtTest
import Quayline
import QuaylineTest

Item {
    width: 380
    height: 460

    ViewTestCase {
        id: testCase
        name: "SettingsView"

        Component {
            id: settingsWindow
            Window {
                width: 380
                height: 300
                SettingsView {
                    objectName: "settingsView"
                    viewModel: Fixture.newModel()
                    loginItem: Fixture.newLoginItem(false)
                }
            }
        }

        // Escape closes the settings window, but first an open picker list.
        function test_escapeClosesTheWindow() {
            const window = createTemporaryObject(settingsWindow, testCase)
            window.show()
            window.requestActivate()
            tryVerify(() => window.active, 3000, "the settings window is active")
            const view = child(window.contentItem, "settingsView")
            view.viewModel.autoRefreshEnabled = true
            const picker = child(view, "intervalPicker")
            picker.forceActiveFocus(Qt.TabFocusReason)
            tryVerify(() => picker.activeFocus, 3000)
            picker.popup.open()
            tryCompare(picker.popup, "opened", true)
            Fixture.keyClick(window, Qt.Key_Escape)
            tryCompare(picker.popup, "visible", false)
            verify(window.visible, "the first Escape closes only the list")
            Fixture.keyClick(window, Qt.Key_Escape)
            tryCompare(window, "visible", false)
        }

        // The form sits in the middle of the window: as much room above its
        // first line as below its last.
        function test_formIsCentred() {
            const view = makeSettings(Fixture.newLoginItem(false))
            const about = child(view, "aboutText")
            const form = child(view, "form")
            const top = () => form.mapToItem(view, 0, 0).y
            const bottom = () => view.height - about.mapToItem(view, 0, about.height).y
            // The wrapped about text settles the form's height a frame later.
            tryVerify(() => top() > 16 && Math.abs(top() - bottom()) <= 1, 1000, top() + " above, " + bottom() + " below")
        }

        // The interval picker is dimmed, still showing the interval, while
        // auto-refresh is off; on, it is a stop of the focus chain too.
        function test_focusFrames() {
            const view = makeSettings(Fixture.newLoginItem(false))
            const picker = child(view, "intervalPicker")
            verify(!picker.enabled)
            compare(picker.displayText, "Every 5 seconds")
            mouseClick(child(view, "autoRefreshSwitch"))
            verify(view.viewModel.autoRefreshEnabled)
            compare(tabRound(view), ["autoRefreshSwitch", "intervalPicker", "launchAtLoginSwitch"])
        }

        // A settings file that cannot be written: the window says so, in red,
        // with what the model reports (the file and the reason).
        function test_settingsErrorShows() {
            const view = makeSettings(Fixture.newLoginItem(false), Fixture.newModel(true))
            const error = child(view, "settingsError")
            verify(!error.visible)
            mouseClick(child(view, "autoRefreshSwitch"))
            verify(error.visible)
            compare(error.text, view.viewModel.settingsError)
            verify(Qt.colorEqual(error.color, Theme.red))
            verify(error.mapToItem(view, 0, error.height).y <= view.height, "inside the window")
        }

        // The watched ports as saved; entries that are no port are named, and
        // without a notification service the form says that nothing is watched.
        function test_watchedPorts() {
            const notifier = Fixture.newNotifier("3000")
            const view = makeSettings(Fixture.newLoginItem(false), null, notifier)
            const field = child(view, "watchedPortsField")
            const error = child(view, "watchedPortsError")
            const missing = child(view, "notificationServiceMissing")
            compare(field.text, "3000")
            verify(!error.visible)
            verify(missing.visible)
            compare(missing.text, "No notification service is running; ports are not watched.")
            field.forceActiveFocus()
            keyClick(Qt.Key_End)
            for (const c of ", 70000, 8080")
                keyClick(c)
            compare(notifier.watchedPortsText, "3000, 70000, 8080")
            verify(error.visible)
            compare(error.text, "Not watched, as ports are numbered 1 to 65535: 70000")
            verify(Qt.colorEqual(error.color, Theme.red))
            const about = child(view, "aboutText")
            tryVerify(() => about.mapToItem(view, 0, about.height).y <= view.height, 1000, "the form fits the window")
        }

        // A file where the autostart folder should be: the toggle snaps back and
        // the system's message shows in red.
        function test_launchAtLoginSnapsBackOnFailure() {
            const item = Fixture.newLoginItem(true)
            const view = makeSettings(item)
            const toggle = child(view, "launchAtLoginSwitch")
            const error = child(view, "launchError")
            mouseClick(toggle)
            verify(!toggle.checked, "back to the real state")
            compare(item.status(), LoginItem.NotRegistered)
            verify(error.visible && error.text !== "")
            compare(error.text, item.registerItem())
            verify(Qt.colorEqual(error.color, Theme.red))

            // A change that succeeds removes the message.
            view.loginItem = Fixture.newLoginItem(false)
            mouseClick(toggle)
            verify(toggle.checked)
            compare(view.loginItem.status(), LoginItem.Enabled)
            verify(!error.visible, "a successful change removes the message")
        }
    }
}
