import QtQuick
import QtQuick.Controls
import QtTest
import Quayline
import QuaylineTest

// The test case itself is never shown; the views go into this item.
Item {
    id: scene
    width: 380
    height: 300

    TestCase {
        id: testCase
        name: "Settings"
        when: windowShown

        Component {
            id: settingsComponent
            SettingsView {}
        }

        function init() {
            Fixture.reset()
        }

        function makeSettings(settings, loginItem) {
            const view = createTemporaryObject(settingsComponent, scene, {
                viewModel: Fixture.newModel(settings),
                loginItem: loginItem === undefined ? Fixture.newLoginItem() : loginItem
            })
            verify(view !== null)
            return view
        }

        function child(item, name) {
            const found = findChild(item, name)
            verify(found !== null, "no child " + name)
            return found
        }

        function test_intervalPickerFollowsAutoRefresh() {
            const view = makeSettings({ autoRefreshEnabled: false, refreshInterval: 10.0 })
            const picker = child(view, "intervalPicker")
            const toggle = child(view, "autoRefreshSwitch")
            verify(!toggle.checked)
            verify(!picker.enabled, "dimmed while auto-refresh is off")
            compare(picker.displayText, "Every 10 seconds", "still shows the interval")

            mouseClick(toggle)
            verify(view.viewModel.autoRefreshEnabled)
            verify(picker.enabled, "operable at once")
            compare(Fixture.isTimerRunning(view.viewModel), true)

            mouseClick(toggle)
            verify(!view.viewModel.autoRefreshEnabled)
            verify(!picker.enabled)
        }

        function test_choosingAnInterval() {
            const view = makeSettings({ autoRefreshEnabled: true })
            const picker = child(view, "intervalPicker")
            compare(picker.displayText, "Every 5 seconds")
            picker.forceActiveFocus()
            keyClick(Qt.Key_Down)
            keyClick(Qt.Key_Down)
            compare(view.viewModel.refreshInterval, 30.0)
            compare(picker.displayText, "Every 30 seconds")
            keyClick(Qt.Key_Up)
            keyClick(Qt.Key_Up)
            keyClick(Qt.Key_Up)
            compare(view.viewModel.refreshInterval, 2.0)

            // The picker keeps following the model after the user chose.
            view.viewModel.refreshInterval = 10.0
            compare(picker.displayText, "Every 10 seconds")
        }

        function test_unlistedIntervalIsLeftAlone() {
            const view = makeSettings({ autoRefreshEnabled: true, refreshInterval: 7.5 })
            const picker = child(view, "intervalPicker")
            compare(picker.currentIndex, -1)
            compare(view.viewModel.refreshInterval, 7.5, "the view never changes it by itself")
        }

        function test_launchAtLoginStartsFromTheEntry_data() {
            const ours = "[Desktop Entry]\nType=Application\nExec=\"/opt/quayline test/quayline\"\n"
            return [
                { tag: "no entry", text: null, on: false },
                { tag: "enabled", text: ours, on: true },
                { tag: "hidden", text: ours + "Hidden=true\n", on: false },
                { tag: "switched off", text: ours + "X-GNOME-Autostart-enabled=false\n", on: false },
            ]
        }

        function test_launchAtLoginStartsFromTheEntry(data) {
            const item = Fixture.newLoginItem()
            if (data.text !== null)
                verify(Fixture.writeEntry(item, data.text))
            const view = makeSettings({}, item)
            compare(child(view, "launchAtLoginSwitch").checked, data.on)
            compare(view.launchError, "")
            verify(!child(view, "launchError").visible)
        }

        function test_failedRegistrationSnapsBack() {
            const item = Fixture.newLoginItem(true)
            const view = makeSettings({}, item)
            const toggle = child(view, "launchAtLoginSwitch")
            const error = child(view, "launchError")
            verify(!toggle.checked)

            mouseClick(toggle)
            verify(!toggle.checked, "back to the real state")
            verify(!view.launchAtLogin)
            compare(item.status(), LoginItem.NotRegistered)
            verify(error.visible)
            verify(error.text.length > 0)
            // The system's own message, as the login item reports it.
            compare(error.text, item.registerItem())
            verify(Qt.colorEqual(error.color, Theme.red))

            mouseClick(toggle)
            verify(!toggle.checked, "a second failed attempt snaps back as well")
            verify(error.visible)

            Fixture.repairLoginItem(item)
            mouseClick(toggle)
            verify(toggle.checked)
            compare(item.status(), LoginItem.Enabled)
            verify(!error.visible, "a successful change removes the message")

            mouseClick(toggle)
            verify(!toggle.checked)
            compare(item.status(), LoginItem.NotRegistered)
        }

        function test_requiresApprovalRegistersAgain() {
            const item = Fixture.newLoginItem()
            verify(Fixture.writeEntry(item,
                "[Desktop Entry]\nExec=\"/opt/quayline test/quayline\"\nHidden=true\n"))
            compare(item.status(), LoginItem.RequiresApproval)
            const view = makeSettings({}, item)
            const toggle = child(view, "launchAtLoginSwitch")
            verify(!toggle.checked)
            mouseClick(toggle)
            compare(item.status(), LoginItem.Enabled)
            verify(toggle.checked)
        }

        function test_appearanceFollowsChangesMadeElsewhere() {
            const item = Fixture.newLoginItem(true)
            const view = makeSettings({}, item)
            const toggle = child(view, "launchAtLoginSwitch")
            mouseClick(toggle)
            verify(view.launchError !== "")

            // Removed elsewhere (nothing to remove here) and shown again: no
            // change, so the stale message stays until a change succeeds.
            view.shown()
            verify(!toggle.checked)
            verify(view.launchError !== "")

            // Registered elsewhere: the toggle follows and the message goes.
            Fixture.repairLoginItem(item)
            verify(item.registerItem() === "")
            view.shown()
            verify(toggle.checked)
            compare(view.launchError, "")

            // Removed elsewhere: the toggle follows, nothing fails.
            verify(Fixture.removeEntry(item))
            view.shown()
            verify(!toggle.checked)
            compare(view.launchError, "")
            compare(item.status(), LoginItem.NotRegistered)
        }
    }
}
