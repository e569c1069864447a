import QtQuick
import QtTest
import Quayline
import QuaylineTest

Item {
    width: 380
    height: 460

    ViewTestCase {
        name: "SettingsView"

        function test_intervalPickerFollowsAutoRefresh() {
            const view = makeSettings(Fixture.newLoginItem(false))
            const picker = child(view, "intervalPicker")
            const toggle = child(view, "autoRefreshSwitch")
            verify(!picker.enabled, "dimmed while auto-refresh is off")
            compare(picker.displayText, "Every 5 seconds", "still showing the interval")
            mouseClick(toggle)
            verify(view.viewModel.autoRefreshEnabled)
            verify(picker.enabled)
            mouseClick(toggle)
            verify(!picker.enabled)
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
